// Every program started with standard input closed behaves as with it open: the first
// descriptor it opens (the port, the board I/O device, a file) must not become descriptor 0,
// where a "0 or below" check would take it for a failed open.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

#include "board_test.h"
#include "flash_support.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;

Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

void PutLe(Bytes& out, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// A 2 x 1 picture of 16 bits a pixel, bottom-up, its one row padded to 4 bytes.
Bytes TinyPicture() {
  Bytes b = {'B', 'M'};
  for (uint32_t v : {58u, 0u, 54u, 40u, 2u, 1u}) PutLe(b, v, 4);
  PutLe(b, 1, 2);   // planes
  PutLe(b, 16, 2);  // bits a pixel
  for (int i = 0; i < 6; ++i) PutLe(b, 0, 4);
  const Bytes pixels = Hex("1F00 E007");
  b.insert(b.end(), pixels.begin(), pixels.end());
  return b;
}

struct Case {
  const char* program;
  // Prepares the board; returns the program's arguments.
  std::function<std::vector<std::string>(testbed::Board&)> setup;
};

// What a run shows of itself outside the program.
struct Seen {
  int status;
  std::string out;
  std::vector<std::pair<uint32_t, std::optional<int32_t>>> io;
  std::vector<uint32_t> chip;
  std::vector<uint32_t> fb;
  std::vector<std::pair<uint16_t, Bytes>> writes;
};

Seen RunOnce(const Case& c, bool stdin_closed) {
  testbed::Board board;
  board.module().SetEeprom(0x0000, Hex("665544332211"));
  board.module().SetEeprom(0x000B, Hex("54617672696E652D32323131"));  // "Tavrine-2211"
  board.module().SetEeprom(0x0019, Hex("0100"));
  testbed::RunOptions o;
  o.time_limit = 30s;
  o.stdin_closed = stdin_closed;
  // rx_probe ends after ten reads; the other programs need their reads of the port.
  if (std::string(c.program) == "rx_probe") o.env["BM77SIM_PORT_READ_LIMIT"] = "10";
  const testbed::RunResult r = board.Run(c.program, c.setup(board), o);
  EXPECT_TRUE(r.handshake) << c.program;
  EXPECT_THAT(board.violations(), ::testing::IsEmpty());
  Seen s{r.exit_status, r.out, {}, {}, {}, board.module().eeprom_writes()};
  for (const auto& q : board.io().requests()) s.io.emplace_back(q.request, q.value);
  for (const auto& q : board.chip().requests()) s.chip.push_back(q.request);
  for (const auto& q : board.framebuffer().requests()) s.fb.push_back(q.request);
  return s;
}

class ClosedStandardInput : public ::testing::TestWithParam<Case> {};

TEST_P(ClosedStandardInput, ChangesNothing) {
  const Seen open = RunOnce(GetParam(), false);
  const Seen closed = RunOnce(GetParam(), true);
  EXPECT_EQ(closed.status, open.status);
  EXPECT_EQ(closed.out, open.out);
  EXPECT_EQ(closed.io, open.io);
  EXPECT_EQ(closed.chip, open.chip);
  EXPECT_EQ(closed.fb, open.fb);
  EXPECT_EQ(closed.writes, open.writes);
  EXPECT_NE(open.io.size() + open.chip.size() + open.fb.size() + open.writes.size(), 0u)
      << "the run did nothing that could differ: " << open.out;
}

using Args = std::vector<std::string>;
const Bytes kTable = Ascii("0010: 01 02 03 ;\r\n");

INSTANTIATE_TEST_SUITE_P(
    EveryProgram, ClosedStandardInput,
    ::testing::Values(
        Case{"bm77_fwupdate",
             [](testbed::Board& b) {
               return Args{WriteImage(b, ImageBytes(100)), WriteImage(b, kTable, "t.txt")};
             }},
        Case{"bm77_tableupdate",
             [](testbed::Board& b) { return Args{WriteImage(b, kTable, "t.txt")}; }},
        Case{"bm77_ident", [](testbed::Board&) { return Args{}; }},
        Case{"bm77_provision", [](testbed::Board&) { return Args{"00:1A:2B:3C:4D:5E", "256"}; }},
        Case{"Noisewell", [](testbed::Board&) { return Args{}; }},
        Case{"bmpview",
             [](testbed::Board& b) { return Args{WriteImage(b, TinyPicture(), "p.bmp")}; }},
        Case{"rf_gate", [](testbed::Board&) { return Args{"0"}; }},
        Case{"rx_probe", [](testbed::Board&) { return Args{}; }}),
    [](const auto& tc) { return std::string(tc.param.program); });

}  // namespace
}  // namespace e2e
