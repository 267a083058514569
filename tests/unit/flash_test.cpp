// Pure parts of the flash programming: the bank CRC, the image name test and the size rule.
#include <gtest/gtest.h>

#include <string>

#include "flash.h"

namespace {

uint16_t Crc(const std::string& text, uint16_t from = 0) {
  return _CalculateCRC16(from, reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

TEST(BurstCrc, CheckValues) {
  EXPECT_EQ(Crc("abc"), 0x1EE4);
  // No zero bytes appended: with two of them it would be the XMODEM value of "abc".
  EXPECT_EQ(Crc(std::string("abc\0\0", 5)), 0x9DD6);
  EXPECT_EQ(Crc(""), 0x0000);
}

TEST(BurstCrc, RunsOnAcrossBlocks) {
  EXPECT_EQ(Crc("c", Crc("ab")), Crc("abc"));
  EXPECT_EQ(Crc("", 0x1234), 0x1234);
}

struct NameCase {
  const char* name;
  int result;
};

class BinFileName : public ::testing::TestWithParam<NameCase> {};

TEST_P(BinFileName, IsJudgedByItsSuffix) {
  EXPECT_EQ(check_binfile(GetParam().name), GetParam().result) << GetParam().name;
}

INSTANTIATE_TEST_SUITE_P(Names, BinFileName,
                         ::testing::Values(NameCase{"a.bin", 0}, NameCase{"FW.BIN", 0},
                                           NameCase{"fw.Bin", 0}, NameCase{"/x/y.bIn", 0},
                                           NameCase{".bin", -1}, NameCase{"fw.bi", -1},
                                           NameCase{"fw.bin.txt", -1}, NameCase{"fwXbin", -1},
                                           NameCase{"fw.txt", -1}, NameCase{"", -1}));

TEST(ImageSize, FitsFromOneByteToEveryBank) {
  EXPECT_FALSE(bm77::ImageSizeFits(-1));
  EXPECT_FALSE(bm77::ImageSizeFits(0));
  EXPECT_TRUE(bm77::ImageSizeFits(1));
  EXPECT_TRUE(bm77::ImageSizeFits(524288));
  EXPECT_FALSE(bm77::ImageSizeFits(524289));
}

}  // namespace
