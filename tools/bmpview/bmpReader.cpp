// bmpReader: the BMP file reader and the row copy into the framebuffer.
//
// The reader trusts no header value with memory: the pixel block is bounded by the buffer, a
// negative width is refused, and the pixel data are taken from bfOffBits only when that lies
// inside the file and behind the headers (a 16-bit file without colour masks states 54, one
// with three masks 66); otherwise from byte 56, right behind the two bytes at 54 and 55.
#include "bmpReader.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>

#include "messages.h"
#include "plain_file.h"

unsigned char srcbmp[bmpview::kPixelBufferSize];
int32_t srcbmp_width = 0;
int32_t srcbmp_height = 0;

namespace {

namespace msg = bmpview::msg;

// Source file, function and line of a trace.
#define BMP_WHERE __FILE_NAME__, __func__, __LINE__

// The records as this reader declares them; the file stores every field little-endian.
struct BITMAPFILEHEADER {  // 14 bytes in the file, read field by field
  uint8_t bfType[2];
  int32_t bfSize;
  int16_t bfReserved1;
  int16_t bfReserved2;
  int32_t bfOffBits;
};

struct BITMAPINFOHEADER {  // 40 bytes, the same in the file, read in one block
  int32_t biSize;
  int32_t biWidth;
  int32_t biHeight;
  int16_t biPlanes;
  int16_t biBitCount;
  int32_t biCompression;
  int32_t biSizeImage;
  int32_t biXPelsPerMeter;
  int32_t biYPelsPerMeter;
  int32_t biClrUsed;
  int32_t biClrImportant;
};

// The two bytes behind the information header; printed, nothing more.
struct RGBQUAD {
  uint8_t rgb555;
  uint8_t rgb565;
};

struct BITMAP_FILE {
  BITMAPFILEHEADER bitmapheader;
  BITMAPINFOHEADER bitmapinfoheader;
  RGBQUAD palette;
};

// The traces print these sizes.
static_assert(sizeof(BITMAPFILEHEADER) == 16, "file header as the traces state it");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "information header as the file holds it");

// Only RGB565 pictures are shown: 16 bits a pixel, stored plain or with 5-6-5 colour masks.
constexpr int kBitsPerPixel = 16;
constexpr int32_t kCompressionNone = 0;
constexpr int32_t kCompressionBitFields = 3;
constexpr uint32_t kMasks565[] = {0xF800, 0x07E0, 0x001F};  // red, green, blue
constexpr int64_t kMasksSize = 12;  // three 4-byte masks, when the file holds them
constexpr int64_t kRowAlign = 4;  // BMP rows are padded to a multiple of 4 bytes

constexpr size_t kInfoHeaderFileSize = 40;
constexpr int64_t kHeadersEnd = 54;         // file header and information header
constexpr int64_t kPixelsBehindPair = 56;   // behind the two bytes at 54 and 55

// ---- Little-endian fields -----------------------------------------------------------------------

uint32_t LittleEndian(const uint8_t* bytes, size_t size) {
  uint32_t value = 0;
  for (size_t i = size; i > 0; --i) value = value << 8 | bytes[i - 1];
  return value;
}

// One field of at most 4 bytes, with its own read; what the file does not supply stays 0.
uint32_t ReadField(FILE* f, size_t size) {
  uint8_t bytes[4] = {};
  (void)fread(bytes, 1, size, f);
  return LittleEndian(bytes, size);
}

int32_t Long(const uint8_t* bytes) { return static_cast<int32_t>(LittleEndian(bytes, 4)); }
int16_t Word(const uint8_t* bytes) { return static_cast<int16_t>(LittleEndian(bytes, 2)); }

void ReadFileHeader(FILE* f, BITMAPFILEHEADER* h) {
  (void)fread(h->bfType, 1, sizeof h->bfType, f);
  h->bfSize = static_cast<int32_t>(ReadField(f, 4));
  h->bfReserved1 = static_cast<int16_t>(ReadField(f, 2));
  h->bfReserved2 = static_cast<int16_t>(ReadField(f, 2));
  h->bfOffBits = static_cast<int32_t>(ReadField(f, 4));
}

void ReadInfoHeader(FILE* f, BITMAPINFOHEADER* h) {
  uint8_t b[kInfoHeaderFileSize] = {};
  (void)fread(b, 1, sizeof b, f);
  h->biSize = Long(b);
  h->biWidth = Long(b + 4);
  h->biHeight = Long(b + 8);
  h->biPlanes = Word(b + 12);
  h->biBitCount = Word(b + 14);
  h->biCompression = Long(b + 16);
  h->biSizeImage = Long(b + 20);
  h->biXPelsPerMeter = Long(b + 24);
  h->biYPelsPerMeter = Long(b + 28);
  h->biClrUsed = Long(b + 32);
  h->biClrImportant = Long(b + 36);
}

// ---- Geometry -----------------------------------------------------------------------------------

// Bytes from one row to the next, in the file and in the framebuffer.
int64_t RowStride(int32_t width) {
  if (width <= 0) return 0;
  const int64_t bytes = int64_t{width} * kBitsPerPixel / 8;
  return (bytes + kRowAlign - 1) / kRowAlign * kRowAlign;
}

int64_t RowCount(int32_t height) { return height < 0 ? -int64_t{height} : int64_t{height}; }

// Whether the three colour masks behind the headers are 5-6-5. The stream is left at their
// start, where the reader goes on.
bool Masks565(FILE* f) {
  bool same = true;
  for (uint32_t mask : kMasks565) same = ReadField(f, 4) == mask && same;
  return fseek(f, kHeadersEnd, SEEK_SET) == 0 && same;
}

// Whether a bit-field picture leaves out its masks: its pixels start right behind the headers,
// where the masks would stand. Some converters write 5-6-5 pictures so; there is nothing to
// check then, and nothing says the layout is another.
bool MasksLeftOut(const BITMAPFILEHEADER& file) {
  const int64_t stated = static_cast<uint32_t>(file.bfOffBits);
  return stated >= kHeadersEnd && stated < kHeadersEnd + kMasksSize;
}

// Whether the file is a 16-bit RGB565 picture; anything known to be another layout would be
// drawn as stripes.
bool Is565Picture(FILE* f, const BITMAPFILEHEADER& file, const BITMAPINFOHEADER& info) {
  const bool ok = file.bfType[0] == 'B' && file.bfType[1] == 'M' &&
                  info.biBitCount == kBitsPerPixel &&
                  (info.biCompression == kCompressionNone ||
                   (info.biCompression == kCompressionBitFields &&
                    (MasksLeftOut(file) || Masks565(f))));
  if (!ok) puts(msg::kNot16Bit);
  return ok;
}

// Whether the image's rows fit srcbmp; a refusal is printed here.
bool Loadable(int32_t width, int32_t height) {
  if (width < 0) {
    printf(msg::kNegativeWidth, width);
    return false;
  }
  // Rows compared by division: stride times rows can pass 64 bits (width 0x7FFFFFFF, height
  // -2^31) and would wrap past this check.
  const int64_t stride = RowStride(width);
  if (stride > 0 && RowCount(height) > static_cast<int64_t>(sizeof srcbmp) / stride) {
    printf(msg::kImageTooLarge, width, height, static_cast<int>(sizeof srcbmp));
    return false;
  }
  return true;
}

// Where the pixel data start: bfOffBits when it lies between the headers' end and the file's.
int64_t PixelStart(FILE* f, int32_t off_bits) {
  const int64_t stated = static_cast<uint32_t>(off_bits);
  if (fseek(f, 0, SEEK_END) != 0) return kPixelsBehindPair;
  const int64_t end = ftell(f);
  return stated >= kHeadersEnd && stated <= end ? stated : kPixelsBehindPair;
}

// The pixel rows in one block; rows the file lacks stay 0.
void LoadRows(FILE* f, int32_t off_bits, size_t length) {
  if (length == 0) return;
  if (fseek(f, static_cast<long>(PixelStart(f, off_bits)), SEEK_SET) != 0) return;
  (void)fread(srcbmp, 1, length, f);
}

// The picture as a stream; a FIFO, folder or device at its name is refused like a missing file.
FILE* OpenPicture(const char* filename) {
  const int fd = bm77::OpenPlainFile(filename, O_RDONLY, 0, bm77::FileOwner::kOperator);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "r");
  if (f == nullptr) close(fd);
  return f;
}

}  // namespace

int read_bmp_565(const char* filename) {
  printf(msg::kTraceStart, BMP_WHERE);
  memset(srcbmp, 0, sizeof srcbmp);
  srcbmp_width = 0;
  srcbmp_height = 0;
  BITMAP_FILE bmp{};
  FILE* f = OpenPicture(filename);
  if (f == nullptr) {
    printf(msg::kCannotOpenFile, filename);
    return -1;
  }

  const BITMAPFILEHEADER& file = bmp.bitmapheader;
  ReadFileHeader(f, &bmp.bitmapheader);
  printf(msg::kTraceFileHeaderSize, BMP_WHERE, static_cast<int>(sizeof(BITMAPFILEHEADER)));
  printf(msg::kTraceType, BMP_WHERE, file.bfType[0], file.bfType[1]);
  printf(msg::kTraceSize, BMP_WHERE, file.bfSize);
  printf(msg::kTraceOffBits, BMP_WHERE, file.bfOffBits);
  printf(msg::kTraceInfoHeaderSize, BMP_WHERE, static_cast<int>(sizeof(BITMAPINFOHEADER)));

  const BITMAPINFOHEADER& info = bmp.bitmapinfoheader;
  ReadInfoHeader(f, &bmp.bitmapinfoheader);
  printf(msg::kTraceDimensions, BMP_WHERE, info.biWidth, info.biHeight);
  printf(msg::kTraceBitCount, BMP_WHERE, info.biBitCount);
  if (!Is565Picture(f, file, info) || !Loadable(info.biWidth, info.biHeight)) {
    fclose(f);
    return -1;
  }
  srcbmp_width = info.biWidth;
  srcbmp_height = info.biHeight;

  bmp.palette.rgb555 = static_cast<uint8_t>(ReadField(f, 1));
  bmp.palette.rgb565 = static_cast<uint8_t>(ReadField(f, 1));
  printf(msg::kTracePalette, BMP_WHERE, bmp.palette.rgb555, bmp.palette.rgb565);

  LoadRows(f, file.bfOffBits,
           static_cast<size_t>(RowStride(srcbmp_width) * RowCount(srcbmp_height)));
  fclose(f);
  printf(msg::kTraceEnd, BMP_WHERE);
  return 0;
}

int show_bmp_file(const char* file) { return read_bmp_565(file) == -1 ? -1 : 0; }

void DisplayBMPData(unsigned char* fb_mem, size_t fb_mem_size) {
  printf(msg::kTraceStart, BMP_WHERE);
  const auto stride = static_cast<size_t>(RowStride(srcbmp_width));
  // Bottom-up files (positive height) store the last row first.
  const bool bottom_up = srcbmp_height > 0;
  const auto stored = static_cast<size_t>(RowCount(srcbmp_height));
  const size_t rows = stride == 0 ? 0 : std::min(stored, sizeof srcbmp / stride);
  size_t written = 0;
  for (size_t row = 0; row < rows && written < fb_mem_size; ++row) {
    const size_t from = (bottom_up ? rows - 1 - row : row) * stride;
    const size_t length = std::min(stride, fb_mem_size - written);
    memcpy(fb_mem + written, srcbmp + from, length);
    written += length;
  }
  printf(msg::kTraceEnd, BMP_WHERE);
}
