// Frame building, CRC and acknowledgement judgement: pure functions, checked against the
// module's documented wire bytes and check values.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bm77link.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Frame(uint8_t command, const Bytes& payload) {
  uint8_t frame[bm77::kTxBufferSize];
  const int n = BuildCommandFrame(command, payload.data(), static_cast<uint8_t>(payload.size()),
                                  frame, sizeof frame);
  if (n < 0) return {};
  return Bytes(frame, frame + n);
}

TEST(Crc, CheckValues) {
  const uint8_t bc[] = {0x62, 0x63};
  EXPECT_EQ(CalculateCRC16(0x61, bc, 2), 0x1EE4);  // "abc"
  const uint8_t digits[] = {'2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(CalculateCRC16('1', digits, 8), 0xBEEF);
  EXPECT_EQ(CalculateCRC16(0x50, nullptr, 0), 0x0050);  // empty payload: the command byte
}

TEST(Crc, TableEntries) {
  EXPECT_EQ(crc_table[0], 0x0000);
  EXPECT_EQ(crc_table[1], 0x1021);
  EXPECT_EQ(crc_table[2], 0x2042);
  EXPECT_EQ(crc_table[255], 0x1EF0);
}

TEST(Crc, TwoZeroBytesMoreGiveXmodem) {
  // The same step over the covered bytes and two zero bytes is CRC-16/XMODEM.
  const uint8_t payload[] = {0x62, 0x63, 0x00, 0x00};
  EXPECT_EQ(CalculateCRC16(0x61, payload, 4), 0x9DD6);
}

struct FrameCase {
  const char* name;
  uint8_t command;
  Bytes payload;
  Bytes wire;
};

class FrameExamples : public ::testing::TestWithParam<FrameCase> {};

TEST_P(FrameExamples, BytesOnTheWire) {
  EXPECT_EQ(Frame(GetParam().command, GetParam().payload), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Wire, FrameExamples,
    ::testing::Values(
        FrameCase{"ReadMacRecord", 0x73, {0x00, 0x00, 0x06},
                  {0x3C, 0x66, 0x73, 0x00, 0x00, 0x06, 0x5D, 0x0C, 0x3C, 0x5A}},
        FrameCase{"WriteVcom", 0x74, {0x00, 0x19, 0x01, 0x00},
                  {0x3C, 0x66, 0x74, 0x00, 0x19, 0x01, 0x00, 0x86, 0xD0, 0x3C, 0x5A}},
        FrameCase{"PayloadMarkDoubled", 0x74, {0x00, 0x19, 0x3C, 0x00},
                  {0x3C, 0x66, 0x74, 0x00, 0x19, 0x3C, 0x3C, 0x00, 0xBB, 0xD0, 0x3C, 0x5A}},
        FrameCase{"EmptyPayload", 0x50, {}, {0x3C, 0x66, 0x50, 0x00, 0x50, 0x3C, 0x5A}},
        // Command 0x3C is sent once; with an empty payload it is also the CRC low byte,
        // which is doubled.
        FrameCase{"CommandMarkNotDoubled", 0x3C, {}, {0x3C, 0x66, 0x3C, 0x00, 0x3C, 0x3C, 0x3C, 0x5A}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(FrameBuilding, CrcHighByteMarkIsDoubled) {
  // Find a two-byte payload whose CRC high byte is 0x3C, and check both bytes go out.
  for (int b = 0; b < 0x10000; ++b) {
    const Bytes payload = {static_cast<uint8_t>(b >> 8), static_cast<uint8_t>(b)};
    const uint16_t crc = CalculateCRC16(0x74, payload.data(), 2);
    if ((crc >> 8) != 0x3C || payload[0] == 0x3C || payload[1] == 0x3C || (crc & 0xFF) == 0x3C) {
      continue;
    }
    EXPECT_EQ(Frame(0x74, payload), (Bytes{0x3C, 0x66, 0x74, payload[0], payload[1], 0x3C, 0x3C,
                                           static_cast<uint8_t>(crc), 0x3C, 0x5A}));
    return;
  }
  FAIL() << "no payload gives a CRC high byte of 0x3C";
}

TEST(FrameBuilding, FullBufferIsTheLimit) {
  // Header, command, CRC and trailer take 7 bytes: 249 plain payload bytes fill the 256.
  const Bytes payload(249, 0x01);
  const Bytes f = Frame(0x74, payload);
  ASSERT_EQ(f.size(), bm77::kTxBufferSize);
  EXPECT_EQ(Bytes(f.begin() + 3, f.begin() + 252), payload);
  EXPECT_TRUE(Frame(0x74, Bytes(250, 0x01)).empty());
}

TEST(FrameBuilding, FrameThatOverflowsAfterDoublingIsRefused) {
  const Bytes payload(200, 0x3C);  // 400 bytes once doubled
  uint8_t frame[bm77::kTxBufferSize];
  EXPECT_EQ(BuildCommandFrame(0x74, payload.data(), 200, frame, sizeof frame), -1);
}

TEST(AckJudgement, PoliciesAgreeOnAcceptAndRefuse) {
  for (auto policy : {bm77::AckPolicy::kStrict, bm77::AckPolicy::kLenient}) {
    EXPECT_EQ(bm77::JudgeAck(policy, 0x33), bm77::AckVerdict::kAccepted);
    EXPECT_EQ(bm77::JudgeAck(policy, 0x55), bm77::AckVerdict::kRefused);
    EXPECT_EQ(bm77::JudgeAck(policy, 0x88), bm77::AckVerdict::kRefused);
    // Silence is never taken for acceptance, whatever the policy.
    EXPECT_EQ(bm77::JudgeAck(policy, bm77::kNoAck), bm77::AckVerdict::kRefused);
  }
}

TEST(AckJudgement, OtherStatusesSplitThePolicies) {
  for (int status : {0x00, 0x01, 0x34, 0x3C, 0xFF}) {
    EXPECT_EQ(bm77::JudgeAck(bm77::AckPolicy::kStrict, status), bm77::AckVerdict::kRefused);
    EXPECT_EQ(bm77::JudgeAck(bm77::AckPolicy::kLenient, status),
              bm77::AckVerdict::kSuccessWithoutResponse);
  }
}

}  // namespace
