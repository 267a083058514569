// Whatever the module sends back, an EEPROM read stays inside the caller's buffer, returns
// one of its documented results, and hands out data only when a whole response carried it.
// Input: byte 0 is the count asked for; the rest is what the module says on the line.
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "bm77link.h"

namespace {

constexpr uint8_t kCanary = 0xA7;

// A port whose other end has said everything it will ever say: reads end at once.
int PortSaying(const uint8_t* data, size_t size, int* peer) {
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) abort();
  size_t done = 0;
  while (done < size) {
    const ssize_t n = write(fds[1], data + done, size - done);
    if (n <= 0) abort();
    done += static_cast<size_t>(n);
  }
  shutdown(fds[1], SHUT_WR);
  fcntl(fds[0], F_SETFL, O_NONBLOCK);
  *peer = fds[1];
  return fds[0];
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  static bool quiet = [] { return freopen("/dev/null", "w", stdout) != nullptr; }();
  (void)quiet;
  const uint8_t count = data[0];
  int peer;
  const int port = PortSaying(data + 1, size - 1, &peer);

  uint8_t buffer[3 + 255 + 16];
  memset(buffer, kCanary, sizeof buffer);
  buffer[0] = 0x00;
  buffer[1] = 0x10;
  buffer[2] = count;
  bm77::SetAckPolicy(size % 2 ? bm77::AckPolicy::kLenient : bm77::AckPolicy::kStrict);
  bm77::ReadOutcome outcome;
  const int result = bm77::EepromRead(port, buffer, &outcome);

  for (size_t i = 3u + count; i < sizeof buffer; ++i) {
    if (buffer[i] != kCanary) abort();  // written past what was asked for
  }
  if (outcome == bm77::ReadOutcome::kData && result != 0) abort();
  if (result < -1) abort();
  close(port);
  close(peer);
  return 0;
}
