// Table files are outside input: whatever bytes a file holds, the line reader and the
// data-line parser stay inside their buffers and every write they produce fits one frame.
#include <stdint.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include "bm77link.h"

namespace {

int FileWith(const uint8_t* data, size_t size) {
  static int fd = memfd_create("table", 0);
  ftruncate(fd, 0);
  lseek(fd, 0, SEEK_SET);
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fd, data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  lseek(fd, 0, SEEK_SET);
  return fd;
}

void CheckWrite(const bm77::TableWrite& w) {
  if (w.count == 0 || w.count > bm77::kLineValuesMax) abort();
  uint8_t payload[2 + bm77::kLineValuesMax];
  payload[0] = static_cast<uint8_t>(w.address >> 8);
  payload[1] = static_cast<uint8_t>(w.address);
  for (size_t i = 0; i < w.count; ++i) payload[2 + i] = w.values[i];
  uint8_t frame[bm77::kTxBufferSize];
  if (BuildCommandFrame(bm77::kCmdEepromWrite, payload, static_cast<uint8_t>(2 + w.count), frame,
                        sizeof frame) < 0) {
    abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = FileWith(data, size);
  char line[bm77::kLineBufferSize];
  for (;;) {
    const int length = Read_Line(fd, line);
    if (length == bm77::kLineEndOfFile || length == bm77::kLineReadError) break;
    if (length == bm77::kLineTooLong || length == 0 || line[0] != '0') continue;
    if (static_cast<size_t>(length) >= sizeof line || line[length] != '\0') abort();
    bm77::TableWrite writes[bm77::kMaxWritesPerLine];
    const int n = bm77::ParseTableLine(line, length, writes, bm77::kMaxWritesPerLine);
    if (n < 0 || n > bm77::kMaxWritesPerLine) abort();
    for (int i = 0; i < n; ++i) CheckWrite(writes[i]);
  }
  return 0;
}
