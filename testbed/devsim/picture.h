// The framebuffer as a picture a person can open, and a test picture to show on it.
#pragma once

#include <cstdint>
#include <string>

#include "board.h"

namespace devsim {

// The visible screen, 8-bit red, green, blue a pixel, top row first: each pixel of
// `bits_per_pixel` 16 is taken little-endian from the memory at the panned offset and its
// colour fields (var.red, green, blue) are widened to 8 bits. "" when done; else why not.
std::string ScreenRgb(const testbed::Bytes& memory, const testbed::FbVarInfo& var,
                      const testbed::FbFixInfo& fix, testbed::Bytes* rgb);

// Writes rows of 8-bit RGB as a PNG file. "" when done; else why not.
std::string WritePng(const std::string& file, uint32_t width, uint32_t height,
                     const testbed::Bytes& rgb);

// A 16-bit (RGB565) BMP test picture, stored bottom row first as BMP files are: colour bars
// across the top, a white arrow pointing up in the middle, and the letters "UP" in blocks,
// so a picture shown upside down or mirrored is seen at once.
testbed::Bytes TestPictureBmp(uint32_t width, uint32_t height);

}  // namespace devsim
