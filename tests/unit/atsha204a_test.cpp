// The chip transport's pure parts: its CRC with the chip's check values, the packets it
// builds, its command table, and how it judges a response.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ATSHA204A.h"

namespace {

using Bytes = std::vector<uint8_t>;
using atsha204a::DataPart;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

Bytes Crc(const Bytes& data, uint16_t initial = 0) {
  uint8_t crc[2] = {0xAA, 0xAA};
  Calculate_CRC16(static_cast<uint8_t>(data.size()), data.data(), crc, initial);
  return {crc[0], crc[1]};
}

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// ---- CRC ----------------------------------------------------------------------------------------

struct CrcCase {
  const char* name;
  Bytes data;
  Bytes crc;  // low byte first
};

class ChipCrc : public ::testing::TestWithParam<CrcCase> {};

TEST_P(ChipCrc, CheckValues) { EXPECT_EQ(Crc(GetParam().data), GetParam().crc); }

INSTANTIATE_TEST_SUITE_P(
    Values, ChipCrc,
    ::testing::Values(CrcCase{"abc", Text("abc"), {0xE9, 0x1C}},
                      CrcCase{"Digits", Text("123456789"), {0xDD, 0xBC}},
                      CrcCase{"WakeResponse", {0x04, 0x11}, {0x33, 0x43}},
                      CrcCase{"RandomPacket", {0x07, 0x1B, 0x00, 0x00, 0x00}, {0x24, 0xCD}},
                      CrcCase{"Nothing", {}, {0x00, 0x00}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST(ChipCrcStart, ContinuesFromTheInitialRegister) {
  const Bytes ab = Crc(Text("ab"));
  const auto reg = static_cast<uint16_t>(ab[0] | ab[1] << 8);
  EXPECT_EQ(Crc(Text("c"), reg), (Bytes{0xE9, 0x1C}));
}

// ---- Packets ------------------------------------------------------------------------------------

constexpr uint8_t kUnused = 0xEE;

struct Built {
  uint8_t count;
  Bytes buffer;  // the whole 64-byte buffer
  Bytes Packet() const { return Bytes(buffer.begin(), buffer.begin() + count); }
};

Built Build(uint8_t opcode, uint8_t param1, uint16_t param2, const std::vector<Bytes>& data,
            uint8_t capacity) {
  std::vector<DataPart> parts;
  for (const Bytes& d : data) {
    parts.push_back({static_cast<uint8_t>(d.size()), d.empty() ? nullptr : d.data()});
  }
  Built b{0, Bytes(64, kUnused)};
  b.count = atsha204a::BuildPacket(opcode, param1, param2, parts.data(), parts.size(), capacity,
                                   b.buffer.data());
  return b;
}

TEST(ChipPacket, RandomCommandWithoutData) {
  const Built b = Build(0x1B, 0, 0, {{}, {}, {}}, 39);
  EXPECT_EQ(b.count, 7);
  EXPECT_EQ(b.Packet(), (Bytes{0x07, 0x1B, 0x00, 0x00, 0x00, 0x24, 0xCD}));
  EXPECT_EQ(b.buffer[7], kUnused);
}

TEST(ChipPacket, DataPartsInOrderAfterParam2LowByteFirst) {
  const Built b = Build(0x12, 0x80, 0x1234, {{0xAA, 0xBB}, {}, {0xCC}}, 39);
  const Bytes head = {0x0A, 0x12, 0x80, 0x34, 0x12, 0xAA, 0xBB, 0xCC};
  EXPECT_EQ(b.count, 10);
  EXPECT_EQ(b.Packet(), Join(head, Crc(head)));
  const Built all = Build(0x16, 0x00, 0x0000, {{0x01}, {0x02, 0x03}, {0x04}}, 39);
  const Bytes all_head = {0x0B, 0x16, 0x00, 0x00, 0x00, 0x01, 0x02, 0x03, 0x04};
  EXPECT_EQ(all.Packet(), Join(all_head, Crc(all_head)));
}

TEST(ChipPacket, OnlyWhatFitsTheDeclaredCapacityIsBuilt) {
  const std::vector<Bytes> three_bytes = {{1}, {2}, {3}};
  EXPECT_EQ(Build(0x12, 0, 0, three_bytes, 10).count, 10);
  const Built refused = Build(0x12, 0, 0, three_bytes, 9);
  EXPECT_EQ(refused.count, 0);
  EXPECT_EQ(refused.buffer, Bytes(64, kUnused));
  // 250 + 10 data bytes would wrap the count byte round to 11: still refused.
  const Built wrapped = Build(0x12, 0, 0, {Bytes(250, 1), Bytes(10, 2)}, 255);
  EXPECT_EQ(wrapped.count, 0);
  EXPECT_EQ(wrapped.buffer, Bytes(64, kUnused));
}

// ---- Command table ------------------------------------------------------------------------------

struct TableCase {
  const char* name;
  uint8_t opcode;
  uint8_t param1;
  uint8_t delay_ms;
  uint8_t rx_size;
};

class CommandTable : public ::testing::TestWithParam<TableCase> {};

constexpr uint8_t kCallerRxSize = 19;

TEST_P(CommandTable, DelayAndResponseSize) {
  const TableCase& c = GetParam();
  const atsha204a::CommandTiming t = atsha204a::LookUpCommand(c.opcode, c.param1, kCallerRxSize);
  EXPECT_EQ(t.delay_ms, c.delay_ms);
  EXPECT_EQ(t.rx_size, c.rx_size);
}

INSTANTIATE_TEST_SUITE_P(
    Opcodes, CommandTable,
    ::testing::Values(
        TableCase{"Pause", 0x01, 0, 1, 4}, TableCase{"ReadWord", 0x02, 0x00, 1, 7},
        TableCase{"ReadWordHighParam", 0x02, 0x7F, 1, 7},
        TableCase{"ReadBlock", 0x02, 0x80, 1, 35}, TableCase{"ReadBlockLowBits", 0x02, 0x81, 1, 35},
        TableCase{"Mac", 0x08, 0, 35, 35}, TableCase{"Hmac", 0x11, 0, 1, 35},
        TableCase{"Write", 0x12, 0x80, 4, 4}, TableCase{"GenDig", 0x15, 0, 1, 4},
        TableCase{"NoncePassThrough", 0x16, 3, 22, 4}, TableCase{"NonceRandom", 0x16, 0, 22, 35},
        TableCase{"NonceMode1", 0x16, 1, 22, 35}, TableCase{"Lock", 0x17, 0, 10, 4},
        TableCase{"Random", 0x1B, 0, 50, 35}, TableCase{"DeriveKey", 0x1C, 0, 14, 4},
        TableCase{"UpdateExtra", 0x20, 0, 4, 4}, TableCase{"CheckMac", 0x28, 0, 12, 4},
        TableCase{"DevRev", 0x30, 0, 1, 7},
        TableCase{"Outside00", 0x00, 0, 0, kCallerRxSize},
        TableCase{"Outside31", 0x31, 0x80, 0, kCallerRxSize},
        TableCase{"OutsideFF", 0xFF, 3, 0, kCallerRxSize}),
    [](const auto& tc) { return std::string(tc.param.name); });

// ---- Judging a response -------------------------------------------------------------------------

// Count byte, `data`, CRC: a response as the chip sends it.
Bytes Response(const Bytes& data) {
  const Bytes head = Join({static_cast<uint8_t>(data.size() + 3)}, data);
  return Join(head, Crc(head));
}

Bytes Spoilt(Bytes response) {
  response.back() ^= 0x01;
  return response;
}

struct JudgeCase {
  const char* name;
  Bytes response;
  uint8_t size;  // bytes read; the test's buffer holds exactly these
  uint8_t status;
};

class ResponseJudgement : public ::testing::TestWithParam<JudgeCase> {};

TEST_P(ResponseJudgement, StatusFromCountCrcAndStatusByte) {
  const JudgeCase& c = GetParam();
  // A buffer of exactly `size` bytes, so that the sanitizers see any read beyond it.
  Bytes read = c.response;
  read.resize(c.size, 0);
  EXPECT_EQ(atsha204a::ResponseStatus(read.data(), c.size), c.status);
  const uint8_t crc = ATSHA204A_CheckResponseCRC(read.data(), c.size);
  EXPECT_EQ(crc, c.status == atsha204a::kBadCrc ? atsha204a::kBadCrc : atsha204a::kSuccess);
}

const Bytes kBlock = Bytes(32, 0x03);

INSTANTIATE_TEST_SUITE_P(
    Responses, ResponseJudgement,
    ::testing::Values(
        JudgeCase{"ParseError", Response({0x03}), 35, 0xD2},
        JudgeCase{"ExecutionError", Response({0x0F}), 35, 0xD3},
        JudgeCase{"CommunicationError", Response({0xFF}), 4, 0xD4},
        JudgeCase{"StatusZero", Response({0x00}), 4, 0x00},
        JudgeCase{"StatusAwake", Response({0x11}), 4, 0x00},
        JudgeCase{"StatusOther", Response({0x01}), 4, 0x00},
        // data is not a status, whatever its first byte
        JudgeCase{"WordStartingWithParseError", Response({0x03, 0, 0, 0}), 7, 0x00},
        JudgeCase{"Block", Response(kBlock), 35, 0x00},
        JudgeCase{"BadCrcStatus", Spoilt(Response({0x00})), 4, 0xE5},
        JudgeCase{"BadCrcWord", Spoilt(Response({1, 2, 3, 4})), 7, 0xE5},
        JudgeCase{"BadCrcBlock", Spoilt(Response(kBlock)), 35, 0xE5},
        JudgeCase{"BadCrcLowByte", [] {
                    Bytes r = Response(kBlock);
                    r[33] ^= 0x80;
                    return r;
                  }(), 35, 0xE5},
        // counts outside 4 .. size, even with a CRC that matches what they cover
        JudgeCase{"CountZero", Bytes(35, 0), 35, 0xE5},
        JudgeCase{"CountTwo", {0x02, 0x00, 0x00, 0x00}, 4, 0xE5},
        JudgeCase{"CountThree", Join({0x03}, Crc({0x03})), 4, 0xE5},
        JudgeCase{"CountAboveSize", Response({1, 2, 3, 4}), 4, 0xE5},
        JudgeCase{"CountAboveSizeBlock", Response(kBlock), 34, 0xE5},
        JudgeCase{"CountAtSize", Response({1, 2, 3, 4}), 7, 0x00}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
