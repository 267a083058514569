// The BMP reader of bmpview: loads a 16-bit-per-pixel BMP file into one static pixel buffer
// and copies it into a mapped framebuffer, top row first. Pixels stay as the file stores them
// (RGB565, two bytes each); nothing is converted, rotated or scaled.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bmpview {

// The pixel buffer holds one 800 x 480 picture of 2 bytes a pixel.
constexpr size_t kPixelBufferSize = 768000;

}  // namespace bmpview

// Pixel rows as the file stores them (bottom row first, unless the file is top-down), each
// row padded to a multiple of 4 bytes as in the file.
extern unsigned char srcbmp[bmpview::kPixelBufferSize];
// biWidth and biHeight of the last file loaded (0 after a file that was refused). A negative
// height marks a top-down file.
extern int32_t srcbmp_width;
extern int32_t srcbmp_height;

// Loads `filename` into srcbmp, printing a trace line for each header value. Returns 0 when
// the file was read (a short file leaves what it lacks zeroed), -1 when it cannot be opened,
// or when the image has a negative width or its rows would not fit srcbmp.
int read_bmp_565(const char* filename);

// read_bmp_565, reduced to 0 or -1.
int show_bmp_file(const char* file);

// Copies the loaded image into the framebuffer memory, top row first, rows as far apart as in
// the file; never writes past fb_mem_size bytes.
void DisplayBMPData(unsigned char* fb_mem, size_t fb_mem_size);
