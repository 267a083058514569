// The fixture of the end-to-end tests: a fresh simulated board per test, programs from
// build/bin run against it, and no test may end with something refused by the sandbox.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "board.h"

namespace e2e {

using testbed::Bytes;
using Lines = std::vector<std::string>;

inline Bytes Hex(const std::string& text) {
  Bytes out;
  unsigned value = 0;
  int digits = 0;
  for (char c : text) {
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    if (v < 0) continue;
    value = value << 4 | static_cast<unsigned>(v);
    if (++digits == 2) {
      out.push_back(static_cast<uint8_t>(value));
      value = 0;
      digits = 0;
    }
  }
  return out;
}

inline std::string HexOf(const Bytes& bytes) {
  std::string s;
  char b[3];
  for (uint8_t v : bytes) {
    std::snprintf(b, sizeof b, "%02X", v);
    s += b;
  }
  return s;
}

class BoardTest : public ::testing::Test {
 protected:
  explicit BoardTest(testbed::BoardOptions options = {}) : board_(options) {}

  // Runs a program that must start under the sandbox and greet the board.
  testbed::RunResult Run(const std::string& program, const std::vector<std::string>& args,
                         const testbed::RunOptions& options = {}) {
    testbed::RunResult r = board_.Run(program, args, options);
    EXPECT_TRUE(r.started) << r.refusal;
    EXPECT_TRUE(r.handshake) << program << " ran without the sandbox";
    return r;
  }

  void TearDown() override { EXPECT_THAT(board_.violations(), ::testing::IsEmpty()); }

  testbed::Module& module() { return board_.module(); }
  testbed::BoardIo& io() { return board_.io(); }
  testbed::Chip& chip() { return board_.chip(); }

  testbed::Board board_;
};

}  // namespace e2e
