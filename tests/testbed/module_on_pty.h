// The simulated module on a real pseudo-terminal: the test plays the program on the slave side
// and serves the module's hooks the way the board's event loop does.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <limits>
#include <thread>
#include <vector>

#include "module_impl.h"
#include "module_test_support.h"

namespace testbed {

using namespace std::chrono_literals;

constexpr auto kReplyLimit = 1000ms;  // generous: a reply normally takes well under 1 ms
constexpr auto kQuiet = 15ms;         // how long silence must last to count as silence
constexpr auto kPoll = 100us;
constexpr size_t kEverything = std::numeric_limits<size_t>::max();

const Bytes kHostAck{0x3C, 0x33};

inline Bytes Flatten(const std::vector<Bytes>& pieces) {
  Bytes all;
  for (const Bytes& piece : pieces) Append(all, piece);
  return all;
}

inline Bytes Ack(uint8_t status) { return framing::EncodeAck(status); }

inline Bytes AckAndResponse(const Bytes& body) {
  Bytes bytes = Ack(framing::kAccept);
  Append(bytes, framing::EncodeResponse(body));
  return bytes;
}

class ModuleOnPty : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = open(impl_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(host_, 0);
    SetHost([](termios& t) {
      cfmakeraw(&t);
      cfsetispeed(&t, B115200);
      cfsetospeed(&t, B115200);
    });
  }
  void TearDown() override {
    if (host_ >= 0) close(host_);
  }

  template <typename Change>
  void SetHost(Change change) {
    termios settings{};
    ASSERT_EQ(tcgetattr(host_, &settings), 0);
    change(settings);
    ASSERT_EQ(tcsetattr(host_, TCSANOW, &settings), 0);
  }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(write(host_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Serves the module's hooks until `want` bytes reached the host or `limit` ran out; returns
  // what each of the host's reads got.
  std::vector<Bytes> Serve(size_t want, std::chrono::microseconds limit) {
    std::vector<Bytes> reads;
    size_t total = 0;
    const auto end = Clock::now() + limit;
    while (total < want && Clock::now() < end) {
      impl_.OnReadable();
      impl_.OnTick(Clock::now());
      uint8_t buffer[512];
      const ssize_t n = read(host_, buffer, sizeof buffer);
      if (n > 0) {
        reads.emplace_back(buffer, buffer + n);
        total += static_cast<size_t>(n);
      } else {
        std::this_thread::sleep_for(kPoll);
      }
    }
    return reads;
  }

  // Everything that arrives until `want` bytes are in, and then whatever follows in a quiet
  // spell (so extra bytes show up in the result).
  Bytes Collect(size_t want) {
    Bytes got = Flatten(Serve(want, kReplyLimit));
    Append(got, Flatten(Serve(kEverything, kQuiet)));
    return got;
  }

  Bytes Exchange(const Bytes& frame, size_t want) {
    Send(frame);
    return Collect(want);
  }

  Module::Impl impl_;
  Module module_{&impl_};
  int host_ = -1;
};

}  // namespace testbed
