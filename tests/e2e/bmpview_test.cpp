// bmpview end to end: the reader's traces, where the pixel rows land in the framebuffer memory,
// the framebuffer requests in their order, and each way a run can fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <functional>
#include <cstring>
#include <regex>

#include "board_test.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testbed::FbRequest;
using testbed::Framebuffer;

constexpr size_t kMemorySize = 768000;  // the panel's framebuffer: 800 x 480, 2 bytes a pixel
constexpr uint8_t kUntouched = 0xEE;    // the memory before a run: any other byte was written
// In the board folder, a folder of the machine's: the program is given its full path.
const char kPicture[] = "/picture.bmp";

// ---- Pictures ----------------------------------------------------------------------------------

struct Bmp {
  int32_t width = 4;
  int32_t height = 3;
  int16_t bit_count = 16;
  int32_t compression = 0;
  Bytes masks;             // at 54, behind the headers
  std::string type = "BM";
  uint32_t off_bits = 54;  // as the header states it
  size_t data_at = 54;     // where the rows really are; the gap is filled with `filler`
  uint8_t filler = 0x5A;
  Bytes rows;              // the pixel rows as stored, bottom row first unless height < 0
};

void PutLe(Bytes& out, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out.push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// `count` rows of `stride` bytes; every byte tells its row and column apart from the others.
Bytes PatternRows(size_t stride, size_t count) {
  Bytes rows;
  for (size_t r = 0; r < count; ++r) {
    for (size_t k = 0; k < stride; ++k) rows.push_back(static_cast<uint8_t>(r * 37 + k * 11 + 5));
  }
  return rows;
}

size_t FileSize(const Bmp& b) { return b.data_at + b.rows.size(); }

Bytes Build(const Bmp& b) {
  Bytes out(b.type.begin(), b.type.end());
  PutLe(out, static_cast<uint32_t>(FileSize(b)), 4);
  PutLe(out, 0, 2);
  PutLe(out, 0, 2);
  PutLe(out, b.off_bits, 4);
  PutLe(out, 40, 4);
  PutLe(out, static_cast<uint32_t>(b.width), 4);
  PutLe(out, static_cast<uint32_t>(b.height), 4);
  PutLe(out, 1, 2);
  PutLe(out, static_cast<uint16_t>(b.bit_count), 2);
  PutLe(out, static_cast<uint32_t>(b.compression), 4);
  PutLe(out, static_cast<uint32_t>(b.rows.size()), 4);
  for (int i = 0; i < 4; ++i) PutLe(out, 0, 4);
  out.insert(out.end(), b.masks.begin(), b.masks.end());
  out.resize(b.data_at, b.filler);
  out.insert(out.end(), b.rows.begin(), b.rows.end());
  return out;
}

// A picture whose rows are `stride` bytes apart in the file.
Bmp Picture(int32_t width, int32_t height, size_t stride) {
  Bmp b;
  b.width = width;
  b.height = height;
  b.rows = PatternRows(stride, static_cast<size_t>(height < 0 ? -int64_t{height} : height));
  return b;
}

// The memory after a picture was shown: its rows top row first, `stride` bytes apart, from the
// first byte on, the rest untouched.
Bytes Shown(const Bytes& rows, size_t stride, bool bottom_up, size_t memory = kMemorySize) {
  Bytes out(memory, kUntouched);
  const size_t count = rows.size() / stride;
  for (size_t i = 0; i < count; ++i) {
    const size_t from = (bottom_up ? count - 1 - i : i) * stride;
    std::copy_n(rows.begin() + static_cast<ptrdiff_t>(from), stride,
                out.begin() + static_cast<ptrdiff_t>(i * stride));
  }
  return out;
}

::testing::AssertionResult SameMemory(const Bytes& actual, const Bytes& expected) {
  if (actual.size() != expected.size()) {
    return ::testing::AssertionFailure()
           << "memory holds " << actual.size() << " bytes, expected " << expected.size();
  }
  const auto diff = std::mismatch(actual.begin(), actual.end(), expected.begin());
  if (diff.first == actual.end()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "first difference at byte " << (diff.first - actual.begin()) << ": "
         << int{*diff.first} << " instead of " << int{*diff.second};
}

// ---- Output ------------------------------------------------------------------------------------

// Line numbers are whatever the source has: they are masked as '#'.
std::string Masked(const std::string& line) {
  static const std::regex trace(R"(^(file=\[[^\]]*\]\([^)]*\))\(\d+\))");
  static const std::regex shown(R"(^--line=\[\d+\]--$)");
  return std::regex_replace(std::regex_replace(line, trace, "$1(#)"), shown, "--line=[#]--");
}

Lines MaskedLines(const testbed::RunResult& r) {
  Lines lines = r.OutLines();
  for (std::string& l : lines) l = Masked(l);
  return lines;
}

std::string Reader(const std::string& text) {
  return "file=[bmpReader.cpp](read_bmp_565)(#) " + text;
}
std::string Copy(const std::string& text) {
  return "file=[bmpReader.cpp](DisplayBMPData)(#) " + text;
}
std::string Two(const char* first, int a, const char* second, int b) {
  return std::string(first) + "=[" + std::to_string(a) + "], " + second + "=[" +
         std::to_string(b) + "]";
}

// The traces up to biBitCount, as `b` states its header.
Lines HeaderTraces(const Bmp& b) {
  const auto type = [&](size_t i) { return i < b.type.size() ? uint8_t(b.type[i]) : 0; };
  return {Reader("start."),
          Reader("sizeof(BITMAPFILEHEADER)=[16]"),
          Reader(Two("bfType[0]", type(0), "bfType[1]", type(1))),
          Reader("bfSize=[" + std::to_string(FileSize(b)) + "]"),
          Reader("bfOffBits=[" + std::to_string(static_cast<int32_t>(b.off_bits)) + "]"),
          Reader("sizeof(BITMAPINFOHEADER)=[40]"),
          Reader(Two("biWidth", b.width, "biHeight", b.height)),
          Reader("biBitCount=[" + std::to_string(b.bit_count) + "].")};
}

// Everything a run that showed `b` prints; `pair` are the bytes at 54 and 55.
Lines ShownLines(const Bmp& b, std::pair<int, int> pair, size_t memory = kMemorySize) {
  Lines out = HeaderTraces(b);
  out.insert(out.end(), {Reader(Two("rgb555", pair.first, "rgb565", pair.second)),
                         Reader("end."), Copy("start."), Copy("end."),
                         "fb_mem_size = " + std::to_string(memory), "--line=[#]--"});
  return out;
}

// The bytes at 54 and 55 of a picture whose rows start at 54.
std::pair<int, int> FirstBytes(const Bmp& b) { return {b.rows[0], b.rows[1]}; }

const std::vector<uint32_t> kAllRequests = {Framebuffer::kGetFixInfo, Framebuffer::kGetVarInfo,
                                            Framebuffer::kSetMode, Framebuffer::kPan};

std::vector<uint32_t> Numbers(const std::vector<FbRequest>& requests) {
  std::vector<uint32_t> out;
  for (const FbRequest& r : requests) out.push_back(r.request);
  return out;
}

// ---- Fixture -----------------------------------------------------------------------------------

class BmpView : public BoardTest {
 protected:
  void SetUp() override { Reset(); }

  void Reset() { fb().SetMemory(Bytes(kMemorySize, kUntouched)); }

  testbed::RunResult Show(const Bytes& file) {
    board_.WriteFile(kPicture, file);
    return Run("bmpview", {board_.SandboxPath(kPicture)});
  }

  // A run that must have shown `b`: status, output, requests and memory.
  void ExpectShown(const Bmp& b, size_t stride, std::pair<int, int> pair) {
    const auto r = Show(Build(b));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(MaskedLines(r), ShownLines(b, pair));
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(SameMemory(fb().Memory(), Shown(b.rows, stride, b.height > 0)));
  }

  Framebuffer& fb() { return board_.framebuffer(); }
};

// ---- A picture shown ---------------------------------------------------------------------------

TEST_F(BmpView, ShowsPictureWithTracesAndRequestsInOrder) {
  testbed::FbVarInfo var;  // what the driver reports is handed back to the pan unchanged
  var.yres_virtual = 960;
  var.yoffset = 480;
  var.reserved = {1, 2, 3, 4};
  fb().SetVarInfo(var);
  const Bmp b = Picture(4, 3, 8);
  ExpectShown(b, 8, FirstBytes(b));

  const auto requests = fb().requests();
  ASSERT_EQ(Numbers(requests), kAllRequests);
  for (const FbRequest& q : requests) EXPECT_EQ(q.result, 0) << q.request;
  EXPECT_EQ(requests[2].value, 0u);
  ASSERT_TRUE(requests[3].var.has_value());
  EXPECT_TRUE(*requests[3].var == var);
}

TEST_F(BmpView, RowsLandTopRowFirstWithThePaddedStride) {
  struct Case {
    int32_t width;
    size_t stride;
  };
  for (const Case c : {Case{10, 20}, Case{11, 24}, Case{1, 4}, Case{2, 4}, Case{3, 8}}) {
    SCOPED_TRACE("width " + std::to_string(c.width));
    Reset();
    const Bmp b = Picture(c.width, 3, c.stride);
    ExpectShown(b, c.stride, FirstBytes(b));
    // The last row stored in the file is the first in memory.
    const Bytes memory = fb().Memory();
    EXPECT_TRUE(std::equal(b.rows.end() - static_cast<ptrdiff_t>(c.stride), b.rows.end(),
                           memory.begin()));
  }
}

TEST_F(BmpView, TopDownFileIsShownUpright) {
  const Bmp b = Picture(5, -4, 12);
  ExpectShown(b, 12, FirstBytes(b));
  EXPECT_TRUE(std::equal(b.rows.begin(), b.rows.begin() + 12, fb().Memory().begin()));
}

TEST_F(BmpView, FullPanelPicturesLieByteForByteInMemory) {
  for (const Bmp& b : {Picture(800, 480, 1600), Picture(799, 480, 1600),
                       Picture(800, -480, 1600)}) {
    SCOPED_TRACE(std::to_string(b.width) + " x " + std::to_string(b.height));
    Reset();
    ExpectShown(b, 1600, FirstBytes(b));
  }
}

TEST_F(BmpView, PixelDataStartAtTheStatedOffsetWhenItLiesInTheFile) {
  struct Case {
    const char* what;
    uint32_t off_bits;
    size_t data_at;
  };
  const size_t end_of_file = 56 + 3 * 8;
  for (const Case c : {Case{"no colour masks", 54, 54}, Case{"three colour masks", 66, 66},
                       Case{"offset zero", 0, 56}, Case{"offset inside the headers", 53, 56},
                       Case{"offset past the end", 100000, 56},
                       Case{"offset above 2^31", 0x80000036u, 56}}) {
    SCOPED_TRACE(c.what);
    Reset();
    Bmp b = Picture(4, 3, 8);
    b.off_bits = c.off_bits;
    b.data_at = c.data_at;
    const std::pair<int, int> pair = c.data_at == 54 ? FirstBytes(b) : std::pair{0x5A, 0x5A};
    ExpectShown(b, 8, pair);
  }
  // An offset at the very end of the file leaves no pixel data to read.
  Reset();
  Bmp b = Picture(4, 3, 8);
  b.data_at = 56;
  b.off_bits = static_cast<uint32_t>(end_of_file);
  ASSERT_EQ(FileSize(b), end_of_file);
  EXPECT_EQ(Show(Build(b)).exit_status, 1);
  EXPECT_TRUE(SameMemory(fb().Memory(), Shown(Bytes(24, 0), 8, true)));
}

const std::string kNot16Bit = "can not load image: not a 16-bit BMP picture.";

TEST_F(BmpView, OnlySixteenBitPicturesAreShown) {
  // Plain, or with 5-6-5 colour masks between the headers and the rows.
  Bmp masked = Picture(6, 2, 12);
  masked.compression = 3;
  masked.masks = Hex("00F80000 E0070000 1F000000");
  masked.off_bits = 66;
  masked.data_at = 66;
  ExpectShown(masked, 12, {0x00, 0xF8});
  // 5-6-5 bit fields whose masks are left out: the rows start right behind the headers.
  Bmp unmasked = Picture(6, 2, 12);
  unmasked.compression = 3;
  ExpectShown(unmasked, 12, FirstBytes(unmasked));
  // Anything else would be drawn as stripes.
  const auto with = [](std::function<void(Bmp&)> change) {
    Bmp b = Picture(6, 2, 12);
    change(b);
    return b;
  };
  for (const Bmp& b : {with([](Bmp& p) { p.type = "XY"; }),
                       with([](Bmp& p) { p.bit_count = 24; }),
                       with([](Bmp& p) { p.bit_count = 8; }),
                       with([](Bmp& p) { p.compression = 1; }),
                       with([&](Bmp& p) {  // 5-5-5 masks
                         p = masked;
                         p.masks = Hex("007C0000 E0030000 1F000000");
                       }),
                       with([&](Bmp& p) {  // 5-5-5 masks, the rows stated behind them
                         p = masked;
                         p.masks = Hex("007C0000 E0030000 1F000000");
                         p.off_bits = 70;
                         p.data_at = 70;
                       })}) {
    Reset();
    const auto r = Show(Build(b));
    EXPECT_EQ(r.exit_status, 255);
    Lines expected = HeaderTraces(b);
    expected.insert(expected.end(), {kNot16Bit, "Error Read BMP File " + board_.SandboxPath(kPicture)});
    EXPECT_EQ(MaskedLines(r), expected);
    EXPECT_TRUE(SameMemory(fb().Memory(), Bytes(kMemorySize, kUntouched)));
  }
}

TEST_F(BmpView, BytesAt54And55PrintUnsigned) {
  Bmp b = Picture(2, 2, 4);
  b.rows[0] = 0x80;
  b.rows[1] = 0xFF;
  ExpectShown(b, 4, {128, 255});
}

TEST_F(BmpView, ZeroWidthOrHeightShowsNothingAndSucceeds) {
  for (const auto& [width, height] : {std::pair{0, 5}, std::pair{5, 0}}) {
    SCOPED_TRACE(std::to_string(width) + " x " + std::to_string(height));
    Bmp b = Picture(width, height, 12);
    b.rows = Hex("0102");  // bytes behind the headers, but no pixel data to read
    const auto r = Show(Build(b));
    EXPECT_EQ(r.exit_status, 1);
    EXPECT_EQ(MaskedLines(r), ShownLines(b, {1, 2}));
    EXPECT_TRUE(SameMemory(fb().Memory(), Bytes(kMemorySize, kUntouched)));
  }
  EXPECT_EQ(fb().requests().size(), 2 * kAllRequests.size());
}

TEST_F(BmpView, TruncatedFileLeavesWhatItLacksZero) {
  // Pixel data cut in the middle row: the top row (stored last) and half the middle one are 0.
  const Bmp b = Picture(4, 3, 8);
  Bytes file = Build(b);
  file.resize(54 + 12);
  const auto r = Show(file);
  EXPECT_EQ(r.exit_status, 1);
  Bytes rows = b.rows;
  std::fill(rows.begin() + 12, rows.end(), 0);
  EXPECT_TRUE(SameMemory(fb().Memory(), Shown(rows, 8, true)));

  // Headers cut short: the missing values print as 0, and without "BM" and 16 bits a pixel the
  // file is refused.
  Bmp empty;
  empty.type = "";
  empty.off_bits = 0;
  empty.data_at = 0;
  empty.width = 0;
  empty.height = 0;
  empty.bit_count = 0;
  Reset();
  auto cut = Show({});
  EXPECT_EQ(cut.exit_status, 255);
  Lines expected = HeaderTraces(empty);
  expected.insert(expected.end(), {kNot16Bit, "Error Read BMP File " + board_.SandboxPath(kPicture)});
  EXPECT_EQ(MaskedLines(cut), expected);

  Bytes headers = Build(b);
  headers.resize(22);  // up to biWidth
  cut = Show(headers);
  EXPECT_EQ(cut.exit_status, 255);
  EXPECT_THAT(MaskedLines(cut), ::testing::Contains(Reader("biWidth=[4], biHeight=[0]")));
  EXPECT_THAT(MaskedLines(cut), ::testing::Contains(Reader("biBitCount=[0].")));
  EXPECT_TRUE(SameMemory(fb().Memory(), Bytes(kMemorySize, kUntouched)));
}

TEST_F(BmpView, CopyStopsAtTheEndOfTheFramebufferMemory) {
  // 100 x 30 takes 6000 bytes; the driver offers 4100, within a memory file of 8192.
  testbed::FbFixInfo fix;
  fix.smem_len = 4100;
  fb().SetFixInfo(fix);
  fb().SetMemory(Bytes(8192, kUntouched));
  const Bmp b = Picture(100, 30, 200);
  const auto r = Show(Build(b));
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(MaskedLines(r), ShownLines(b, FirstBytes(b), 4100));
  Bytes expected = Shown(b.rows, 200, true, 8192);
  std::fill(expected.begin() + 4100, expected.end(), kUntouched);
  EXPECT_TRUE(SameMemory(fb().Memory(), expected));
}

// ---- Refused pictures ---------------------------------------------------------------------------

TEST_F(BmpView, PicturesBeyondThePixelBufferAreRefused) {
  struct Case {
    int32_t width;
    int32_t height;
    std::string refusal;
  };
  const auto large = [](int32_t w, int32_t h) {
    return Case{w, h, "can not load image: " + Two("biWidth", w, "biHeight", h) +
                          " does not fit 768000 bytes."};
  };
  for (const Case& c : {large(801, 480), large(800, 481), large(800, -481), large(1, 192001),
                        large(INT32_MAX, 2), large(2, INT32_MIN),
                        large(INT32_MAX, INT32_MIN),  // stride times rows passes 64 bits
                        Case{-4, 3, "can not load image: negative biWidth=[-4]."},
                        Case{-4, -3, "can not load image: negative biWidth=[-4]."}}) {
    SCOPED_TRACE(c.refusal);
    Bmp b = Picture(2, 2, 4);  // a few rows behind the headers
    b.width = c.width;
    b.height = c.height;
    const auto r = Show(Build(b));
    EXPECT_EQ(r.exit_status, 255);
    Lines expected = HeaderTraces(b);
    expected.push_back(c.refusal);
    expected.push_back("Error Read BMP File " + board_.SandboxPath(kPicture));
    EXPECT_EQ(MaskedLines(r), expected);
  }
  EXPECT_THAT(fb().requests(), IsEmpty());
  EXPECT_TRUE(SameMemory(fb().Memory(), Bytes(kMemorySize, kUntouched)));
}

// ---- Failures -----------------------------------------------------------------------------------

TEST_F(BmpView, InvalidArgumentsTouchNothing) {
  board_.WriteFile(kPicture, Build(Picture(4, 3, 8)));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{},
        std::vector<std::string>{board_.SandboxPath(kPicture), board_.SandboxPath(kPicture)}}) {
    const auto r = Run("bmpview", args);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "Invalid Arguments!\n");
  }
  EXPECT_THAT(fb().requests(), IsEmpty());
  EXPECT_TRUE(SameMemory(fb().Memory(), Bytes(kMemorySize, kUntouched)));
}

TEST_F(BmpView, MissingFileOrNoPlainFile) {
  // A FIFO would hold the open for ever; a folder would be "shown" as an empty picture.
  const std::string fifo = "/opt/fifo.bmp";
  const std::string folder = "/opt/folder.bmp";
  board_.WriteFile("/opt/other", {});
  ASSERT_EQ(mkfifo(board_.SandboxPath(fifo).c_str(), 0644), 0);
  ASSERT_EQ(mkdir(board_.SandboxPath(folder).c_str(), 0755), 0);
  for (const std::string& path : {std::string("/opt/none.bmp"), fifo, folder}) {
    testbed::RunOptions o;
    o.time_limit = std::chrono::seconds(5);
    const auto r = Run("bmpview", {path}, o);
    EXPECT_EQ(r.exit_status, 255) << path;
    EXPECT_THAT(MaskedLines(r),
                ElementsAre(Reader("start."), "can not open file=[" + path +
                                                  "].Error Read BMP File " + path));
  }
  EXPECT_THAT(fb().requests(), IsEmpty());
}

TEST_F(BmpView, FramebufferThatCannotBeOpened) {
  fb().SetPresent(false);
  const Bmp b = Picture(4, 3, 8);
  const auto r = Show(Build(b));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "can not open device usbkeyboard!: " + std::string(std::strerror(ENOENT)) +
                       "\n");
  Lines expected = ShownLines(b, FirstBytes(b));
  expected.resize(10);  // the reader's traces, nothing after them
  EXPECT_EQ(MaskedLines(r), expected);
  EXPECT_THAT(fb().requests(), IsEmpty());
}

TEST_F(BmpView, MappingThatFails) {
  testbed::FbFixInfo fix;
  fix.smem_len = 0;  // nothing to map
  fb().SetFixInfo(fix);
  const auto r = Show(Build(Picture(4, 3, 8)));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, "mmap error.!: " + std::string(std::strerror(EINVAL)) + "\n");
  EXPECT_THAT(Numbers(fb().requests()), ElementsAre(Framebuffer::kGetFixInfo));
  EXPECT_TRUE(SameMemory(fb().Memory(), Bytes(kMemorySize, kUntouched)));
}

struct RequestFailure {
  const char* name;
  uint32_t request;
  int err;
  std::string out_tail;  // what follows the reader's traces (and the copy's, once mapped)
  std::string err_text;
  bool mapped;           // the picture was copied before the request
};

class BmpViewFailingRequest : public BmpView,
                              public ::testing::WithParamInterface<RequestFailure> {};

TEST_P(BmpViewFailingRequest, EndsWith255AndItsMessage) {
  const RequestFailure& c = GetParam();
  fb().FailRequest(c.request, c.err);
  const Bmp b = Picture(4, 3, 8);
  const auto r = Show(Build(b));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.err, c.err_text);

  Lines traces = ShownLines(b, FirstBytes(b));
  traces.resize(c.mapped ? 13 : 10);  // up to "fb_mem_size = ..." or the reader's end
  std::string expected;
  for (const std::string& l : traces) expected += l + "\n";
  std::string out;
  for (const std::string& l : MaskedLines(r)) out += l + "\n";
  if (!r.out.empty() && r.out.back() != '\n') out.pop_back();
  EXPECT_EQ(out, expected + c.out_tail);

  const auto requests = fb().requests();
  ASSERT_FALSE(requests.empty());
  EXPECT_EQ(requests.back().request, c.request);
  EXPECT_EQ(requests.back().result, -1);
  const std::vector<uint32_t> issued(kAllRequests.begin(),
                                     std::find(kAllRequests.begin(), kAllRequests.end(),
                                               c.request) + 1);
  EXPECT_EQ(Numbers(requests), issued);
  // The picture stays in memory when the driver fails to show it.
  const Bytes expected_memory =
      c.mapped ? Shown(b.rows, 8, true) : Bytes(kMemorySize, kUntouched);
  EXPECT_TRUE(SameMemory(fb().Memory(), expected_memory));
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BmpViewFailingRequest,
    ::testing::Values(
        RequestFailure{"FixedInfo", Framebuffer::kGetFixInfo, EIO,
                       "Error reading fixed information",
                       "QLinuxFbScreen::connect: " + std::string(std::strerror(EIO)) + "\n", false},
        RequestFailure{"VariableInfo", Framebuffer::kGetVarInfo, EINVAL,
                       "get FBIOGET_VSCREENINFO error !\n", "", true},
        RequestFailure{"SetMode", Framebuffer::kSetMode, EINVAL,
                       "get FB0_IOCTL_SET_MODE error !\n", "", true},
        RequestFailure{"Pan", Framebuffer::kPan, EBUSY, "get FFBIOPAN_DISPLAY error !\n", "",
                       true}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace e2e
