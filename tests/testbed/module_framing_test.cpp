// The simulated module's framing engine, byte for byte: CRC, response encoding and the parser
// of the host's stream.
#include <gtest/gtest.h>

#include <string>

#include "module_framing.h"
#include "module_test_support.h"

namespace testbed {
namespace {

using framing::FrameParser;
using Kind = WireEvent::Kind;

// ---- CRC -------------------------------------------------------------------------------------

TEST(ModuleCrc, TableHasTheCcittEntries) {
  const auto& table = framing::CrcTable();
  EXPECT_EQ(table[0], 0x0000);
  EXPECT_EQ(table[1], 0x1021);
  EXPECT_EQ(table[2], 0x2042);
  EXPECT_EQ(table[128], 0x9188);
  EXPECT_EQ(table[255], 0x1EF0);
}

struct CrcCase {
  const char* name;
  uint8_t command;
  Bytes payload;
  uint16_t crc;
};

class ModuleCommandCrc : public ::testing::TestWithParam<CrcCase> {};

TEST_P(ModuleCommandCrc, MatchesTheCheckValue) {
  EXPECT_EQ(framing::CommandCrc(GetParam().command, GetParam().payload), GetParam().crc);
}

INSTANTIATE_TEST_SUITE_P(
    CheckValues, ModuleCommandCrc,
    ::testing::Values(CrcCase{"abc", 0x61, {0x62, 0x63}, 0x1EE4},
                      CrcCase{"digits", 0x31, {'2', '3', '4', '5', '6', '7', '8', '9'}, 0xBEEF},
                      CrcCase{"empty_is_command", 0x50, {}, 0x0050},
                      CrcCase{"empty_high_command", 0xC3, {}, 0x00C3},
                      CrcCase{"read_mac", 0x73, {0x00, 0x00, 0x06}, 0x5D0C},
                      CrcCase{"write_vcom", 0x74, {0x00, 0x19, 0x01, 0x00}, 0x86D0},
                      CrcCase{"write_sync_byte", 0x74, {0x00, 0x19, 0x3C, 0x00}, 0xBBD0}),
    CaseName<CrcCase>);

TEST(ModuleCrc, TwoZeroBytesMoreGiveXmodem) {
  uint16_t reg = 0;
  for (uint8_t byte : Bytes{'a', 'b', 'c', 0, 0}) reg = framing::CrcUpdate(reg, byte);
  EXPECT_EQ(reg, 0x9DD6);
}

TEST(ModuleCrc, BodyCrcCoversTheBodyAlone) {
  EXPECT_EQ(framing::BodyCrc({'a', 'b', 'c'}), 0x1EE4);
  EXPECT_EQ(framing::BodyCrc({}), 0x0000);
}

// ---- What the module sends -------------------------------------------------------------------

TEST(ModuleEncoding, AckAndResponseBytes) {
  EXPECT_EQ(framing::EncodeAck(0x33), (Bytes{0x3C, 0x33}));
  // Body 74 00: CRC 0x74 0x00 the way the register runs (0x74 then a zero shifted in).
  EXPECT_EQ(framing::EncodeResponse({0x74, 0x00}),
            (Bytes{0x3C, 0x66, 0x74, 0x00, 0x74, 0x00, 0x3C, 0x5A}));
  EXPECT_EQ(framing::EncodeResponse({'a', 'b', 'c'}),
            (Bytes{0x3C, 0x66, 'a', 'b', 'c', 0x1E, 0xE4, 0x3C, 0x5A}));
}

TEST(ModuleEncoding, ResponseBodyIsNotDoubled) {
  EXPECT_EQ(framing::EncodeResponse({0x3C}), (Bytes{0x3C, 0x66, 0x3C, 0x00, 0x3C, 0x3C, 0x5A}));
}

TEST(ModuleEncoding, WrongHeaderKeepsBodyAndTrailer) {
  EXPECT_EQ(framing::EncodeResponseWithHeader(0x78, {'a', 'b', 'c'}),
            (Bytes{0x3C, 0x78, 'a', 'b', 'c', 0x1E, 0xE4, 0x3C, 0x5A}));
}

// The tests' own host-side encoder must produce the wire examples, or every later test lies.
TEST(ModuleEncoding, TestHostFramesMatchTheWireExamples) {
  EXPECT_EQ(HostFrame(0x73, {0x00, 0x00, 0x06}), (Bytes{0x3C, 0x66, 0x73, 0x00, 0x00, 0x06, 0x5D,
                                                        0x0C, 0x3C, 0x5A}));
  EXPECT_EQ(HostFrame(0x74, {0x00, 0x19, 0x3C, 0x00}),
            (Bytes{0x3C, 0x66, 0x74, 0x00, 0x19, 0x3C, 0x3C, 0x00, 0xBB, 0xD0, 0x3C, 0x5A}));
  EXPECT_EQ(HostFrame(0x50, {}), (Bytes{0x3C, 0x66, 0x50, 0x00, 0x50, 0x3C, 0x5A}));
}

// ---- Parser: frames --------------------------------------------------------------------------

struct WireExample {
  const char* name;
  Bytes raw;
  uint8_t command;
  Bytes payload;
};

class ModuleParserExample : public ::testing::TestWithParam<WireExample> {
 protected:
  void ExpectFrame(const std::vector<WireEvent>& events) {
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::kFrame);
    EXPECT_EQ(events[0].dir, WireEvent::Dir::kHostToModule);
    EXPECT_EQ(events[0].command, GetParam().command);
    EXPECT_EQ(events[0].payload, GetParam().payload);
    EXPECT_TRUE(events[0].crc_ok);
    EXPECT_EQ(events[0].raw, GetParam().raw);
  }
};

TEST_P(ModuleParserExample, DecodesInOnePiece) {
  FrameParser parser;
  ExpectFrame(parser.Feed(GetParam().raw));
}

TEST_P(ModuleParserExample, DecodesByteByByte) {
  FrameParser parser;
  std::vector<WireEvent> events;
  for (uint8_t byte : GetParam().raw) {
    for (WireEvent& event : parser.Feed({byte})) events.push_back(event);
  }
  ExpectFrame(events);
}

INSTANTIATE_TEST_SUITE_P(
    WireExamples, ModuleParserExample,
    ::testing::Values(
        WireExample{"read_mac",
                    {0x3C, 0x66, 0x73, 0x00, 0x00, 0x06, 0x5D, 0x0C, 0x3C, 0x5A},
                    0x73,
                    {0x00, 0x00, 0x06}},
        WireExample{"write_vcom",
                    {0x3C, 0x66, 0x74, 0x00, 0x19, 0x01, 0x00, 0x86, 0xD0, 0x3C, 0x5A},
                    0x74,
                    {0x00, 0x19, 0x01, 0x00}},
        WireExample{"doubled_payload",
                    {0x3C, 0x66, 0x74, 0x00, 0x19, 0x3C, 0x3C, 0x00, 0xBB, 0xD0, 0x3C, 0x5A},
                    0x74,
                    {0x00, 0x19, 0x3C, 0x00}},
        WireExample{"empty_payload", {0x3C, 0x66, 0x50, 0x00, 0x50, 0x3C, 0x5A}, 0x50, {}},
        // Command 0x3C is never doubled; its CRC 0x003C has a doubled low byte.
        WireExample{"sync_command_doubled_crc",
                    {0x3C, 0x66, 0x3C, 0x00, 0x3C, 0x3C, 0x3C, 0x5A},
                    0x3C,
                    {}},
        WireExample{"payload_ends_in_sync_byte",
                    {0x3C, 0x66, 0x45, 0x3C, 0x3C, 0x3C, 0x3C, 0x24, 0x5D, 0x3C, 0x5A},
                    0x45,
                    {0x3C, 0x3C}}),
    CaseName<WireExample>);

TEST(ModuleParser, ExampleCrcOfSyncPayload) {
  // Keeps the last example above honest.
  EXPECT_EQ(framing::CommandCrc(0x45, {0x3C, 0x3C}), 0x245D);
}

TEST(ModuleParser, WrongCrcIsDecodedAndMarked) {
  FrameParser parser;
  auto events = parser.Feed({0x3C, 0x66, 0x73, 0x00, 0x00, 0x06, 0x5D, 0x0D, 0x3C, 0x5A});
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, Kind::kFrame);
  EXPECT_EQ(events[0].payload, (Bytes{0x00, 0x00, 0x06}));
  EXPECT_FALSE(events[0].crc_ok);
}

TEST(ModuleParser, LargestPayloadFits) {
  Bytes payload(framing::kMaxPayload, 0x3C);
  FrameParser parser;
  auto events = parser.Feed(HostFrame(0x74, payload));
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].payload, payload);
  EXPECT_TRUE(events[0].crc_ok);
}

TEST(ModuleParser, HostAckBetweenFrames) {
  FrameParser parser;
  Bytes stream = HostFrame(0x73, {0x00, 0x00, 0x06});
  Append(stream, {0x3C, 0x33});
  Append(stream, HostFrame(0x74, {0x00, 0x19, 0x01, 0x00}));
  auto events = parser.Feed(stream);
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].command, 0x73);
  EXPECT_EQ(events[1].kind, Kind::kAck);
  EXPECT_EQ(events[1].status, 0x33);
  EXPECT_EQ(events[1].raw, (Bytes{0x3C, 0x33}));
  EXPECT_EQ(events[2].command, 0x74);
}

// ---- Parser: garbage and resynchronisation ---------------------------------------------------

struct GarbageCase {
  const char* name;
  Bytes junk;     // sent before a good frame
  Bytes logged;   // the garbage event's bytes
};

class ModuleParserGarbage : public ::testing::TestWithParam<GarbageCase> {};

TEST_P(ModuleParserGarbage, IsLoggedThenTheNextFrameDecodes) {
  FrameParser parser;
  Bytes stream = GetParam().junk;
  const Bytes good = HostFrame(0x73, {0x00, 0x00, 0x06});
  Append(stream, good);
  auto events = parser.Feed(stream);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::kGarbage);
  EXPECT_EQ(events[0].raw, GetParam().logged);
  EXPECT_EQ(events[1].kind, Kind::kFrame);
  EXPECT_EQ(events[1].raw, good);
  EXPECT_TRUE(events[1].crc_ok);
}

INSTANTIATE_TEST_SUITE_P(
    Resync, ModuleParserGarbage,
    ::testing::Values(
        GarbageCase{"plain_bytes", {0x41, 0x42}, {0x41, 0x42}},
        GarbageCase{"sync_then_other", {0x3C, 0x41}, {0x3C, 0x41}},
        GarbageCase{"doubled_sync", {0x3C}, {0x3C}},
        GarbageCase{"host_refusal_status", {0x3C, 0x55}, {0x3C, 0x55}},
        GarbageCase{"bad_escape", {0x3C, 0x66, 0x73, 0x00, 0x3C, 0x41},
                    {0x3C, 0x66, 0x73, 0x00, 0x3C, 0x41}},
        // A frame cut short by a new "<f": the new frame is not lost.
        GarbageCase{"restarted_frame", {0x3C, 0x66, 0x73, 0x00}, {0x3C, 0x66, 0x73, 0x00}},
        GarbageCase{"no_room_for_crc", {0x3C, 0x66, 0x50, 0x3C, 0x5A},
                    {0x3C, 0x66, 0x50, 0x3C, 0x5A}}),
    CaseName<GarbageCase>);

TEST(ModuleParser, RestartedFrameAfterAck) {
  FrameParser parser;
  auto events = parser.Feed({0x3C, 0x66, 0x73, 0x3C, 0x33, 0x41});
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, Kind::kGarbage);
  EXPECT_EQ(events[0].raw, (Bytes{0x3C, 0x66, 0x73}));
  EXPECT_EQ(events[1].kind, Kind::kAck);
}

TEST(ModuleParser, RunawayFrameBecomesGarbage) {
  FrameParser parser;
  Bytes stream{0x3C, 0x66, 0x74};
  stream.resize(stream.size() + framing::kMaxFrameContent + 10, 0x00);
  EXPECT_TRUE(parser.Feed(stream).empty());
  auto junk = parser.FlushGarbage();
  ASSERT_TRUE(junk.has_value());
  EXPECT_EQ(junk->raw, stream);
}

TEST(ModuleParser, FlushHandsOutJunkOnlyBetweenElements) {
  FrameParser parser;
  EXPECT_TRUE(parser.Feed({0x41, 0x42}).empty());
  auto junk = parser.FlushGarbage();
  ASSERT_TRUE(junk.has_value());
  EXPECT_EQ(junk->kind, Kind::kGarbage);
  EXPECT_EQ(junk->raw, (Bytes{0x41, 0x42}));
  EXPECT_FALSE(parser.FlushGarbage().has_value());

  EXPECT_TRUE(parser.Feed({0x3C, 0x66, 0x73}).empty());
  EXPECT_FALSE(parser.FlushGarbage().has_value());  // a frame is under way
}

TEST(ModuleParser, ResetGivesBackThePartialFrame) {
  FrameParser parser;
  EXPECT_TRUE(parser.Feed({0x3C, 0x66, 0x73, 0x00}).empty());
  auto partial = parser.Reset();
  ASSERT_TRUE(partial.has_value());
  EXPECT_EQ(partial->raw, (Bytes{0x3C, 0x66, 0x73, 0x00}));
  EXPECT_FALSE(parser.Reset().has_value());
  // Fresh start: a frame tail alone is no frame.
  auto events = parser.Feed({0x06, 0x5D, 0x0C, 0x3C, 0x5A});
  EXPECT_TRUE(events.empty());
}

}  // namespace
}  // namespace testbed
