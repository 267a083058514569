// BMP files are outside input: whatever a file holds, the reader stays inside its pixel buffer
// and loads only pictures whose rows fit it, and the copy writes nothing past the framebuffer
// memory it is given.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bmpReader.h"

namespace {

int g_fd = -1;
char g_path[64];

// The input as a file the reader opens by name.
void WriteInput(const uint8_t* data, size_t size) {
  if (ftruncate(g_fd, 0) != 0 || lseek(g_fd, 0, SEEK_SET) != 0) abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(g_fd, data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
}

int64_t Magnitude(int32_t v) { return v < 0 ? -int64_t{v} : int64_t{v}; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The reader's traces would bury the fuzzer's own report.
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  g_fd = memfd_create("picture", 0);
  if (g_fd < 0) abort();
  snprintf(g_path, sizeof g_path, "/proc/self/fd/%d", g_fd);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  WriteInput(data, size);
  if (read_bmp_565(g_path) != 0) return 0;  // refused
  const int64_t stride = (int64_t{srcbmp_width} * 2 + 3) / 4 * 4;
  if (srcbmp_width < 0 || stride * Magnitude(srcbmp_height) > int64_t{sizeof srcbmp}) abort();

  // A framebuffer exactly as large as its memory, of a size the input picks: the sanitizer
  // sees any byte written past it.
  const size_t fb_size =
      size == 0 ? 0 : (data[size - 1] * 4099u + size * 131u) % (bmpview::kPixelBufferSize + 1);
  auto* fb = static_cast<unsigned char*>(malloc(fb_size == 0 ? 1 : fb_size));
  if (fb == nullptr) abort();
  DisplayBMPData(fb, fb_size);
  free(fb);
  return 0;
}
