// Table files: the text functions, the line reader and the data-line parser.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "bm77link.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Write {
  uint16_t address;
  Bytes values;
  bool operator==(const Write& o) const { return address == o.address && values == o.values; }
};

std::ostream& operator<<(std::ostream& os, const Write& w) {
  os << std::hex << "@" << w.address << ":";
  for (uint8_t v : w.values) os << " " << int{v};
  return os;
}

std::vector<Write> Parse(const std::string& line) {
  bm77::TableWrite writes[bm77::kMaxWritesPerLine];
  const int n = bm77::ParseTableLine(line.c_str(), static_cast<int>(line.size()), writes,
                                     bm77::kMaxWritesPerLine);
  std::vector<Write> out;
  for (int i = 0; i < n; ++i) {
    out.push_back({writes[i].address, Bytes(writes[i].values, writes[i].values + writes[i].count)});
  }
  return out;
}

Bytes Seq(uint8_t first, size_t count) {
  Bytes b;
  for (size_t i = 0; i < count; ++i) b.push_back(static_cast<uint8_t>(first + i));
  return b;
}

struct LineCase {
  const char* name;
  std::string line;
  std::vector<Write> writes;
  bool readable = true;  // a line that cannot be read is not written at all
};

class DataLines : public ::testing::TestWithParam<LineCase> {};

TEST_P(DataLines, WritesInOrder) {
  const LineCase& c = GetParam();
  EXPECT_EQ(Parse(c.line), c.writes);
  EXPECT_EQ(bm77::TableLineReadable(c.line.c_str(), static_cast<int>(c.line.size())), c.readable);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DataLines,
    ::testing::Values(
        LineCase{"SkipSplitsRuns", "0010: 01 02 ** 04 ;", {{0x10, {1, 2}}, {0x13, {4}}}},
        LineCase{"SixteenInOneWrite",
                 "0100  AA BB CC DD EE FF 00 11 22 33 44 55 66 77 88 99 ;",
                 {{0x100, {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0x00, 0x11, 0x22, 0x33, 0x44,
                           0x55, 0x66, 0x77, 0x88, 0x99}}}},
        LineCase{"EndMarkOnly", "0020: ;", {}},
        LineCase{"LeadingSkips", "0020: ** ** 05 ;", {{0x22, {5}}}},
        LineCase{"LastPositionAfterSkip",
                 "0030: 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E ** 10 ;",
                 {{0x30, Seq(1, 14)}, {0x3F, {0x10}}}},
        LineCase{"BeyondSixteenIgnored",
                 "0030: 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F ** 11 ;",
                 {{0x30, Seq(1, 15)}}},
        LineCase{"LowerCaseDigits", "0040: ab cd ;", {{0x40, {0xAB, 0xCD}}}},
        LineCase{"ExtraBlanks", "0050:  01   02 ;", {{0x50, {1, 2}}}},
        LineCase{"MarkValuesAsTheyAre", "0019: 3C 00 ;", {{0x19, {0x3C, 0x00}}}},
        // A run that starts within the sixteen positions is written whole.
        LineCase{"LongRunWrittenWhole",
                 "0000: 00 01 02 03 04 05 06 07 08 09 0A 0B 0C 0D 0E 0F 10 11 ;",
                 {{0x00, Seq(0, 18)}}},
        // What the conversions give for non-hex digits; such a line is refused as a whole.
        LineCase{"NonHexDigits", "0060: g1 1g ;", {{0x60, {0xF1, 0xFF}}}, false},
        LineCase{"ValuesAColumnEarly", "0000 01 02 03", {{0x00, {0xFF, 0xFF}}}, false},
        LineCase{"NonHexAddress", "00G0: 01 ;", {{0x0F0, {1}}}, false},
        LineCase{"LoneStar", "0060: * 01 ;", {{0x61, {0xFF}}}, false},
        LineCase{"AnythingAfterTheEndMark", "0060: 01 ; zz", {{0x60, {1}}}},
        // Without an end mark the line ends at its end.
        LineCase{"NoEndMark", "0070: 01 02", {{0x70, {1, 2}}}},
        LineCase{"NoEndMarkTrailingBlank", "0070: 01 02 ", {{0x70, {1, 2}}}},
        LineCase{"FieldCutByLineEnd", "0070: 01 0", {{0x70, {1}}}, false},
        LineCase{"ShorterThanSixCharacters", "0080", {}},
        LineCase{"EndMarkNeedsASeparator", "0090: 01;", {{0x90, {1}}}}),
    [](const auto& tc) { return std::string(tc.param.name); });

bool FitsOneFrame(uint16_t address, const Bytes& values) {
  Bytes payload = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
  payload.insert(payload.end(), values.begin(), values.end());
  uint8_t frame[bm77::kTxBufferSize];
  return BuildCommandFrame(0x74, payload.data(), static_cast<uint8_t>(payload.size()), frame,
                           sizeof frame) > 0;
}

std::string LineOf(const char* address, int count, const char* value) {
  std::string line = std::string(address) + ": ";
  for (int i = 0; i < count; ++i) line += std::string(value) + " ";
  return line + ";";
}

TEST(DataLines, RunThatFitsOneFrameIsOneWrite) {
  // 125 values without a mark byte: 134 bytes of frame.
  const std::string line = LineOf("0000", 125, "11");
  ASSERT_LE(line.size(), 383u);
  EXPECT_EQ(Parse(line), (std::vector<Write>{{0x0000, Bytes(125, 0x11)}}));
  // The longest line, without an end mark, holds 126.
  std::string longest = "0000: ";
  for (int i = 0; i < 126; ++i) longest += i == 125 ? "22" : "22 ";
  ASSERT_EQ(longest.size(), 383u);
  EXPECT_EQ(Parse(longest), (std::vector<Write>{{0x0000, Bytes(126, 0x22)}}));
}

TEST(DataLines, RunTooLongForOneFrameIsSplitWhereItMust) {
  for (const char* address : {"0000", "003C", "0F3C"}) {
    const std::string line = LineOf(address, 125, "3C");  // 250 bytes once doubled
    const std::vector<Write> writes = Parse(line);
    ASSERT_GE(writes.size(), 2u) << address;
    // Consecutive writes that hold every value, each as long as one frame allows.
    Bytes all;
    uint16_t next = bm77::TableLineAddress(line.c_str(), static_cast<int>(line.size()));
    for (size_t i = 0; i < writes.size(); ++i) {
      EXPECT_EQ(writes[i].address, next) << address;
      EXPECT_TRUE(FitsOneFrame(writes[i].address, writes[i].values)) << address;
      if (i + 1 < writes.size()) {
        Bytes one_more = writes[i].values;
        one_more.push_back(writes[i + 1].values[0]);
        EXPECT_FALSE(FitsOneFrame(writes[i].address, one_more)) << address << " split early";
      }
      next = static_cast<uint16_t>(next + writes[i].values.size());
      all.insert(all.end(), writes[i].values.begin(), writes[i].values.end());
    }
    EXPECT_EQ(all, Bytes(125, 0x3C)) << address;
  }
}

// ---- Reading lines ----

class LineReader : public ::testing::Test {
 protected:
  void SetUp() override { fd_ = memfd_create("table", 0); }
  void TearDown() override { close(fd_); }
  void Content(const std::string& s) {
    ASSERT_EQ(write(fd_, s.data(), s.size()), static_cast<ssize_t>(s.size()));
    lseek(fd_, 0, SEEK_SET);
  }
  int Next() { return Read_Line(fd_, buffer_); }
  std::string Text() const { return buffer_; }

  int fd_ = -1;
  char buffer_[bm77::kLineBufferSize];
};

TEST_F(LineReader, CarriageReturnAndOneMoreByteEndALine) {
  Content("abc\r\ndef\rXghi\r\n");
  EXPECT_EQ(Next(), 3);
  EXPECT_EQ(Text(), "abc");
  EXPECT_EQ(Next(), 3);
  EXPECT_EQ(Text(), "def");  // the byte after the carriage return is dropped unseen
  EXPECT_EQ(Next(), 3);
  EXPECT_EQ(Text(), "ghi");
  EXPECT_EQ(Next(), bm77::kLineEndOfFile);
}

TEST_F(LineReader, BareLineFeedAndTheFilesEndEndALine) {
  Content("0010: 01 ;\n\n0011: 02 ;");
  EXPECT_EQ(Next(), 10);
  EXPECT_EQ(Text(), "0010: 01 ;");
  EXPECT_EQ(Next(), 0);
  EXPECT_EQ(Next(), 10);
  EXPECT_EQ(Text(), "0011: 02 ;");
  EXPECT_EQ(Next(), bm77::kLineEndOfFile);
}

TEST(LineReaderErrors, AFailedReadIsAnErrorNotTheEndOfTheTable) {
  char buffer[bm77::kLineBufferSize];
  const int folder = open("/", O_RDONLY | O_DIRECTORY);  // read() on it fails with EISDIR
  ASSERT_GE(folder, 0);
  EXPECT_EQ(Read_Line(folder, buffer), bm77::kLineReadError);
  close(folder);
}

TEST_F(LineReader, EmptyFileAndEmptyLine) {
  EXPECT_EQ(Next(), bm77::kLineEndOfFile);
  Content("\r\n");
  EXPECT_EQ(Next(), 0);
}

TEST_F(LineReader, LongestLineFitsAndOneMoreIsSkipped) {
  const std::string longest(383, 'x');
  const std::string too_long(384, 'y');
  Content(longest + "\r\n" + too_long + "\r\n" + "ok\r\n");
  EXPECT_EQ(Next(), 383);
  EXPECT_EQ(Text(), longest);
  EXPECT_EQ(Next(), bm77::kLineTooLong);
  EXPECT_EQ(Next(), 2);  // the reader is back in step after the long line
  EXPECT_EQ(Text(), "ok");
}

TEST_F(LineReader, ReadErrorIsNotEndOfFile) {
  char buffer[bm77::kLineBufferSize];
  EXPECT_EQ(Read_Line(-1, buffer), bm77::kLineReadError);
}

// ---- The table under the guard ----

TEST_F(LineReader, TableThatCannotBeReadToItsEndIsNotWhole) {
  bm77::SavedIdentity identity;
  identity.has_mac = identity.has_name = identity.has_vcom = true;
  // Nothing to write: the port is never used.
  Content("// settings\r\n");
  EXPECT_TRUE(bm77::UpdateEEPROMGuarded(-1, fd_, identity));
  const int folder = open(".", O_RDONLY | O_DIRECTORY);  // reading it fails
  ASSERT_GE(folder, 0);
  EXPECT_FALSE(bm77::UpdateEEPROMGuarded(-1, folder, identity));
  close(folder);
}

// ---- Text functions ----

TEST(TextFunctions, TableFileNames) {
  for (const char* ok : {"table.txt", "TABLE.TXT", "t.Txt", "/path/to/x.tXt"}) {
    EXPECT_EQ(check_tablefile(ok), 0) << ok;
  }
  for (const char* bad : {".txt", "table.text", "table.dat", "txt", "", "table.tx"}) {
    EXPECT_EQ(check_tablefile(bad), -1) << bad;
  }
}

TEST(TextFunctions, HexDigits) {
  EXPECT_EQ(char2hex('0'), 0);
  EXPECT_EQ(char2hex('9'), 9);
  EXPECT_EQ(char2hex('A'), 10);
  EXPECT_EQ(char2hex('f'), 15);
  for (char c : {'g', 'G', ' ', ':', '\0', '*'}) EXPECT_EQ(char2hex(c), 0xFF) << int{c};
  EXPECT_EQ(hex2char(0), '0');
  EXPECT_EQ(hex2char(10), 'A');
  EXPECT_EQ(hex2char(15), 'F');
  EXPECT_EQ(hex2char(16), 0xFF);
  for (uint8_t v = 0; v < 16; ++v) EXPECT_EQ(char2hex(static_cast<char>(hex2char(v))), v);
}

TEST(TextFunctions, MakeWithNonHexDigits) {
  EXPECT_EQ(make_uint8(0xA, 0xB), 0xAB);
  EXPECT_EQ(make_uint8(0xFF, 0x1), 0xF1);
  EXPECT_EQ(make_uint8(0x1, 0xFF), 0xFF);
  EXPECT_EQ(make_uint16(0, 1, 2, 3), 0x0123);
  EXPECT_EQ(make_uint16(0xFF, 0, 0, 0), 0xF000);
  EXPECT_EQ(make_uint16(0, 0xFF, 0, 0), 0x0F00);
  EXPECT_EQ(make_uint16(0, 0, 0xFF, 0), 0x00F0);
  EXPECT_EQ(make_uint16(0, 0, 0, 0xFF), 0x00FF);
}

}  // namespace
