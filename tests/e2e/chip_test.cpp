// The chip transport against the simulated chip: the requests it makes of the driver, the
// packets and sizes it hands over, the waits it keeps, and the status it makes of each answer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>

#include "board_test.h"

namespace e2e {
namespace {

using testbed::Chip;
using testbed::ChipRequest;
using testbed::ChipState;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Ge;
using ::testing::Lt;

const std::string kChipDriver = std::string(BM77_TEST_BIN_DIR) + "/chipdrv";

constexpr uint32_t kResetIo = 101;
constexpr uint32_t kSleep = 102;
constexpr uint32_t kIdle = 103;
constexpr uint32_t kSend = 104;
constexpr uint32_t kWake = 105;
constexpr uint32_t kReceive = 106;

constexpr double kWrongWakePauseMs = 69;

const std::string kRandomStep = "exec:1B:00:0000:23:27";

double MsBetween(const ChipRequest& a, const ChipRequest& b) {
  return std::chrono::duration<double, std::milli>(b.at - a.at).count();
}

class ChipLink : public BoardTest {
 protected:
  testbed::RunResult Drive(const std::vector<std::string>& steps) {
    return Run(kChipDriver, steps);
  }

  std::vector<uint32_t> Requests() {
    std::vector<uint32_t> numbers;
    for (const ChipRequest& r : board_.chip().requests()) numbers.push_back(r.request);
    return numbers;
  }

};

TEST_F(ChipLink, RandomExchange) {
  const Bytes random = Hex("00112233445566778899AABBCCDDEEFF0F1E2D3C4B5A69788796A5B4C3D2E1F0");
  chip().SetRandom(random);
  const auto r = Drive({"wake", kRandomStep, "sleep"});
  EXPECT_EQ(r.exit_status, 0);
  const auto log = chip().requests();
  ASSERT_EQ(Requests(), (std::vector<uint32_t>{kWake, kReceive, kSend, kReceive, kSleep}));
  EXPECT_EQ(log[1].size, 4);
  EXPECT_EQ(log[1].packet, Hex("04 11 33 43"));
  EXPECT_EQ(log[2].packet, Hex("07 1B 00 00 00 24 CD"));
  EXPECT_EQ(log[3].size, 35);
  ASSERT_EQ(log[3].packet.size(), 35u);
  EXPECT_EQ(Bytes(log[3].packet.begin() + 1, log[3].packet.end() - 2), random);
  EXPECT_THAT(MsBetween(log[2], log[3]), Ge(50.0));
  EXPECT_THAT(r.OutLines(), ElementsAre("wake=00",
                                        "exec=00 resp=" + HexOf(log[3].packet) + " after=EEEEEEEE",
                                        "sleep=00"));
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(log[i].state, ChipState::kAwake) << i;
  EXPECT_EQ(chip().state(), ChipState::kAsleep);
}

// ---- Command table ------------------------------------------------------------------------------

struct TableEntry {
  uint8_t opcode;
  uint8_t param1;
  uint8_t rx_size;
  int delay_ms;
  const char* status;  // the simulated chip knows every opcode of the table
};

TEST_F(ChipLink, EachCommandReadsItsSizeAfterItsTime) {
  const std::vector<TableEntry> table = {
      {0x01, 0, 4, 1, "00"},    {0x02, 0x00, 7, 1, "00"}, {0x02, 0x80, 35, 1, "00"},
      {0x08, 0, 35, 35, "00"},  {0x11, 0, 35, 1, "00"},   {0x12, 0, 4, 4, "00"},
      {0x15, 0, 4, 1, "00"},    {0x16, 3, 4, 22, "00"},   {0x16, 0, 35, 22, "00"},
      {0x17, 0, 4, 10, "00"},   {0x1B, 0, 35, 50, "00"},  {0x1C, 0, 4, 14, "00"},
      {0x20, 0, 4, 4, "00"},    {0x28, 0, 4, 12, "00"},   {0x30, 0, 7, 1, "00"},
      // outside the table: the caller's size (0x13), and the chip's parse error
      {0x00, 0, 0x13, 0, "D2"}, {0x31, 0x80, 0x13, 0, "D2"}, {0xFF, 3, 0x13, 0, "D2"},
  };
  std::vector<std::string> steps = {"wake"};
  char step[64];
  for (const TableEntry& e : table) {
    std::snprintf(step, sizeof step, "exec:%02X:%02X:0000:13:27", e.opcode, e.param1);
    steps.push_back(step);
  }
  const auto r = Drive(steps);
  const auto lines = r.OutLines();
  ASSERT_EQ(lines.size(), table.size() + 1) << r.out;
  const auto log = chip().requests();
  ASSERT_EQ(log.size(), 2 + 2 * table.size());
  for (size_t i = 0; i < table.size(); ++i) {
    const TableEntry& e = table[i];
    const ChipRequest& send = log[2 + 2 * i];
    const ChipRequest& receive = log[3 + 2 * i];
    SCOPED_TRACE(::testing::Message() << "opcode " << int{e.opcode} << " param1 " << int{e.param1});
    EXPECT_EQ(lines[i + 1].substr(0, 7), std::string("exec=") + e.status);
    EXPECT_EQ(send.request, kSend);
    EXPECT_EQ(send.packet[1], e.opcode);
    EXPECT_EQ(receive.size, e.rx_size);
    EXPECT_THAT(MsBetween(send, receive), Ge(e.delay_ms));
  }
}

TEST_F(ChipLink, DataPartsFollowTheParametersInOrder) {
  const auto r = Drive({"wake", "exec:12:80:1234:00:27:AABB::CC"});
  // the chip checked count and CRC, and answered the Write with status 0x00
  EXPECT_THAT(r.OutLines(), ElementsAre("wake=00", ::testing::StartsWith("exec=00 resp=0400")));
  const auto log = chip().requests();
  ASSERT_EQ(log.size(), 4u);
  ASSERT_EQ(log[2].packet.size(), 10u);
  EXPECT_EQ(Bytes(log[2].packet.begin(), log[2].packet.begin() + 8),
            Hex("0A 12 80 34 12 AA BB CC"));
}

TEST_F(ChipLink, PacketBeyondTheDeclaredCapacityIsNotSent) {
  const auto r =
      Drive({"wake", "exec:12:00:0000:00:09:01:02:03", "exec:12:00:0000:00:0A:01:02:03"});
  // nothing was read either: the response buffer is untouched
  EXPECT_THAT(r.OutLines(), ElementsAre("wake=00", "exec=E7 resp= after=EEEEEEEE",
                                        ::testing::StartsWith("exec=00 resp=0400")));
  EXPECT_EQ(Requests(), (std::vector<uint32_t>{kWake, kReceive, kSend, kReceive}));
  EXPECT_EQ(chip().requests()[2].packet.size(), 10u);
}

// ---- What the chip answers ----------------------------------------------------------------------

struct AnswerCase {
  const char* name;
  std::function<void(Chip&)> setup;
  std::string step;
  std::string status;  // the exec line's status
  std::vector<uint32_t> requests;
};

const std::vector<uint32_t> kWholeExchange = {kWake, kReceive, kSend, kReceive};

class ChipAnswers : public ChipLink, public ::testing::WithParamInterface<AnswerCase> {};

TEST_P(ChipAnswers, BecomeOneStatus) {
  const AnswerCase& c = GetParam();
  c.setup(chip());
  const auto r = Drive({"wake", c.step});
  const auto lines = r.OutLines();
  ASSERT_EQ(lines.size(), 2u) << r.out;
  EXPECT_EQ(lines[1].substr(0, 7), "exec=" + c.status);
  EXPECT_EQ(Requests(), c.requests);
  EXPECT_EQ(r.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Chip, ChipAnswers,
    ::testing::Values(
        // (the Random command's failures are in Noisewell's tests)
        AnswerCase{"StatusAwake", [](Chip& c) { c.SetStatusByte(0x11); }, kRandomStep, "00",
                   kWholeExchange},
        AnswerCase{"BadCrcOfAStatus", [](Chip& c) { c.SetBadCrc(true); }, "exec:01:00:0000:00:27",
                   "E5", kWholeExchange},
        // DevRev reads 7 bytes; a count byte of 35 must not lead the check beyond them
        AnswerCase{"CountAboveTheSizeRead",
                   [](Chip& c) { c.SetResponse(Hex("23 30 00 00 00 00 00 00")); },
                   "exec:30:00:0000:00:27", "E5", kWholeExchange},
        AnswerCase{"CountBelowAStatus", [](Chip& c) { c.SetResponse(Hex("03 03 00")); },
                   kRandomStep, "E5", kWholeExchange},
        AnswerCase{"ReceiveFailsWithACode", [](Chip& c) { c.FailRequest(kReceive, 0x2D4, 2); },
                   kRandomStep, "D4", kWholeExchange}),
    [](const auto& tc) { return std::string(tc.param.name); });

// The bytes asked for are zeroed before the receive: a short answer leaves zeros behind it.
TEST_F(ChipLink, ShortAnswerLeavesZerosBehind) {
  chip().SetStatusByte(0x0F);
  const auto r = Drive({"wake", kRandomStep});
  EXPECT_THAT(r.OutLines(), ElementsAre("wake=00", ::testing::MatchesRegex(
                                                       "exec=D3 resp=040F.... after=00000000")));
}

TEST_F(ChipLink, NoCommandWithoutWake) {
  const auto r = Drive({kRandomStep});
  EXPECT_THAT(r.OutLines(), ElementsAre("exec=FF resp= after=EEEEEEEE"));
  EXPECT_THAT(Requests(), ElementsAre(kSend));
  EXPECT_EQ(chip().requests()[0].result, -1);
}

// ---- Requests without data ----------------------------------------------------------------------

struct PlainCase {
  const char* step;
  uint32_t request;
  ChipState state;  // after it, on an awake chip
};

class PlainRequests : public ChipLink, public ::testing::WithParamInterface<PlainCase> {};

TEST_P(PlainRequests, ZeroArgumentAndAnyFailureIsD3) {
  const PlainCase& c = GetParam();
  chip().FailRequest(c.request, -1, 2);
  chip().FailRequest(c.request, 5, 3);  // a positive result is a failure too
  const auto r = Drive({"wake", c.step, c.step, c.step});
  const std::string step = c.step;
  EXPECT_THAT(r.OutLines(), ElementsAre("wake=00", step + "=00", step + "=D3", step + "=D3"));
  const auto log = chip().requests();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[2].request, c.request);
  EXPECT_EQ(log[2].arg, 0u);
  EXPECT_EQ(log[2].state, c.state);
}

INSTANTIATE_TEST_SUITE_P(Driver, PlainRequests,
                         ::testing::Values(PlainCase{"sleep", kSleep, ChipState::kAsleep},
                                           PlainCase{"idle", kIdle, ChipState::kIdle},
                                           PlainCase{"reset", kResetIo, ChipState::kAwake}),
                         [](const auto& tc) { return std::string(tc.param.step); });

// ---- Wake -------------------------------------------------------------------------------------

struct WakeCase {
  const char* name;
  std::function<void(Chip&)> setup;
  std::string status;
  bool pauses;  // a wrong wake response: 69 ms before the status goes back
};

class Wake : public ChipLink, public ::testing::WithParamInterface<WakeCase> {};

// Three wakes in a row; the pause shows as the gap before each following wake request.
TEST_P(Wake, StatusAndPause) {
  const WakeCase& c = GetParam();
  c.setup(chip());
  const auto r = Drive({"wake", "wake", "wake"});
  const std::string line = "wake=" + c.status;
  EXPECT_THAT(r.OutLines(), ElementsAre(line, line, line));
  const auto log = chip().requests();
  std::vector<double> gaps;
  for (size_t i = 1; i < log.size(); ++i) {
    if (log[i].request == kWake) gaps.push_back(MsBetween(log[i - 1], log[i]));
  }
  ASSERT_EQ(gaps.size(), 2u);
  // A pause never ends early (1 ms spare for the clocks). Without one, a wake follows the last
  // at once; a loaded machine may stretch one gap, so the shorter of the two is judged.
  if (c.pauses) {
    EXPECT_THAT(gaps, ::testing::Each(Ge(kWrongWakePauseMs)));
  } else {
    EXPECT_THAT(*std::min_element(gaps.begin(), gaps.end()), Lt(kWrongWakePauseMs));
  }
}

void WakeAnswers(Chip& c, const std::string& hex) { c.SetWakeResponse(Hex(hex)); }

INSTANTIATE_TEST_SUITE_P(
    Responses, Wake,
    ::testing::Values(
        WakeCase{"Right", [](Chip&) {}, "00", false},
        WakeCase{"WrongCrc", [](Chip& c) { WakeAnswers(c, "04 11 33 44"); }, "E5", true},
        WakeCase{"WrongCrcLowByte", [](Chip& c) { WakeAnswers(c, "04 11 34 43"); }, "E5", true},
        WakeCase{"WrongStatus", [](Chip& c) { WakeAnswers(c, "04 00 33 43"); }, "F0", true},
        WakeCase{"WrongCount", [](Chip& c) { WakeAnswers(c, "07 11 33 43"); }, "E4", true},
        WakeCase{"CountJudgedFirst", [](Chip& c) { WakeAnswers(c, "07 00 00 00"); }, "E4", true},
        WakeCase{"StatusJudgedBeforeCrc", [](Chip& c) { WakeAnswers(c, "04 00 00 00"); }, "F0",
                 true},
        WakeCase{"TooShort", [](Chip& c) { WakeAnswers(c, "04 11"); }, "E5", true},
        WakeCase{"WakeRequestFails", [](Chip& c) { c.FailRequest(kWake); }, "D3", false},
        WakeCase{"WakeRequestFailsPositive", [](Chip& c) { c.FailRequest(kWake, 2); }, "D3",
                 false},
        WakeCase{"ReceiveFails", [](Chip& c) { c.FailRequest(kReceive); }, "FF", false},
        WakeCase{"ReceiveFailsWithACode", [](Chip& c) { c.FailRequest(kReceive, 0x1E4); }, "E4",
                 false}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace e2e
