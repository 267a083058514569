// The framebuffer written out as a PNG picture, and the test picture devsim offers to show.
#include "picture.h"

#include <png.h>

#include <array>
#include <cstring>

namespace devsim {

using testbed::Bytes;

namespace {

constexpr uint32_t kBytesPerPixel = 2;  // the panel's 16 bits a pixel

// A colour field of `length` bits widened to 0..255, full field to full brightness.
uint8_t Widen(uint32_t pixel, const testbed::FbBitfield& field) {
  if (field.length == 0 || field.length > 16) return 0;
  const uint32_t top = (1u << field.length) - 1;
  const uint32_t value = (pixel >> field.offset) & top;
  return static_cast<uint8_t>((value * 255 + top / 2) / top);
}

// ---- The test picture ----

constexpr uint16_t kBackground = 0x2124;  // dark grey
constexpr uint16_t kWhite = 0xFFFF;
constexpr uint16_t kLetters = 0xFFE0;  // yellow
// Bars from left to right: white, yellow, cyan, green, magenta, red, blue, black.
constexpr std::array<uint16_t, 8> kBars = {0xFFFF, 0xFFE0, 0x07FF, 0x07E0,
                                           0xF81F, 0xF800, 0x001F, 0x0000};
constexpr int kGlyphWidth = 5;
constexpr int kGlyphHeight = 7;
using Glyph = std::array<const char*, kGlyphHeight>;
constexpr Glyph kU = {"#...#", "#...#", "#...#", "#...#", "#...#", "#...#", ".###."};
constexpr Glyph kP = {"####.", "#...#", "#...#", "####.", "#....", "#....", "#...."};

bool InGlyph(const Glyph& glyph, int x, int y, int left, int top, int scale) {
  const int col = (x - left) / scale;
  const int row = (y - top) / scale;
  if (x < left || y < top || col >= kGlyphWidth || row >= kGlyphHeight) return false;
  return glyph[static_cast<size_t>(row)][col] == '#';
}

// The colour at (x, y), y counted from the top row.
uint16_t TestColour(int x, int y, int width, int height) {
  if (y < height / 6) return kBars[static_cast<size_t>(x * 8 / width)];
  const int centre = width / 2;
  const int head_top = height / 4;
  const int head_bottom = height / 2;
  const int distance = x > centre ? x - centre : centre - x;
  // The arrow's head widens downwards from its tip, its shaft hangs below it.
  if (y >= head_top && y < head_bottom && distance <= (y - head_top)) return kWhite;
  if (y >= head_bottom && y < height * 5 / 6 && distance <= width / 40) return kWhite;
  const int scale = height / 24 > 0 ? height / 24 : 1;
  const int left = width / 16;
  const int top = height / 3;
  if (InGlyph(kU, x, y, left, top, scale)) return kLetters;
  if (InGlyph(kP, x, y, left + (kGlyphWidth + 1) * scale, top, scale)) return kLetters;
  return kBackground;
}

void PutLe(Bytes& out, size_t at, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out[at + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

std::string ScreenRgb(const Bytes& memory, const testbed::FbVarInfo& var,
                      const testbed::FbFixInfo& fix, Bytes* rgb) {
  if (var.bits_per_pixel != 16) {
    return "the screen has " + std::to_string(var.bits_per_pixel) +
           " bits a pixel; only 16 are understood";
  }
  const size_t line = fix.line_length != 0 ? fix.line_length : size_t{var.xres} * kBytesPerPixel;
  const size_t end = (size_t{var.yoffset} + var.yres) * line;
  if (var.yres > 0 && (end > memory.size() ||
                       (size_t{var.xoffset} + var.xres) * kBytesPerPixel > line)) {
    return "the framebuffer memory holds fewer bytes than the screen shows";
  }
  rgb->assign(size_t{var.xres} * var.yres * 3, 0);
  size_t out = 0;
  for (size_t y = 0; y < var.yres; ++y) {
    const size_t row = (var.yoffset + y) * line + size_t{var.xoffset} * kBytesPerPixel;
    for (size_t x = 0; x < var.xres; ++x) {
      const size_t at = row + x * kBytesPerPixel;
      const uint32_t pixel = memory[at] | (uint32_t{memory[at + 1]} << 8);
      (*rgb)[out++] = Widen(pixel, var.red);
      (*rgb)[out++] = Widen(pixel, var.green);
      (*rgb)[out++] = Widen(pixel, var.blue);
    }
  }
  return "";
}

std::string WritePng(const std::string& file, uint32_t width, uint32_t height, const Bytes& rgb) {
  png_image image;
  std::memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = PNG_FORMAT_RGB;
  if (rgb.size() < size_t{width} * height * 3) return "fewer pixels than the picture's size";
  if (png_image_write_to_file(&image, file.c_str(), 0, rgb.data(), 0, nullptr) == 0) {
    return "cannot write " + file + ": " + image.message;
  }
  return "";
}

Bytes TestPictureBmp(uint32_t width, uint32_t height) {
  constexpr size_t kFileHeader = 14;
  constexpr size_t kInfoHeader = 40;
  constexpr size_t kMasks = 12;
  constexpr size_t kDataAt = kFileHeader + kInfoHeader + kMasks;
  constexpr uint32_t kBitfields = 3;
  const size_t stride = (size_t{width} * kBytesPerPixel + 3) / 4 * 4;
  Bytes bmp(kDataAt + stride * height, 0);
  bmp[0] = 'B';
  bmp[1] = 'M';
  PutLe(bmp, 2, static_cast<uint32_t>(bmp.size()), 4);
  PutLe(bmp, 10, kDataAt, 4);
  PutLe(bmp, 14, kInfoHeader, 4);
  PutLe(bmp, 18, width, 4);
  PutLe(bmp, 22, height, 4);  // positive: the bottom row comes first
  PutLe(bmp, 26, 1, 2);       // planes
  PutLe(bmp, 28, 16, 2);      // bits a pixel
  PutLe(bmp, 30, kBitfields, 4);
  PutLe(bmp, 34, static_cast<uint32_t>(stride * height), 4);
  PutLe(bmp, 54, 0xF800, 4);  // red, green and blue masks: RGB565
  PutLe(bmp, 58, 0x07E0, 4);
  PutLe(bmp, 62, 0x001F, 4);
  const int w = static_cast<int>(width);
  const int h = static_cast<int>(height);
  for (int y = 0; y < h; ++y) {
    const size_t row = kDataAt + static_cast<size_t>(h - 1 - y) * stride;
    for (int x = 0; x < w; ++x) {
      PutLe(bmp, row + static_cast<size_t>(x) * kBytesPerPixel, TestColour(x, y, w, h), 2);
    }
  }
  return bmp;
}

}  // namespace devsim
