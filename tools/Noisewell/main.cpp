// Noisewell: takes 32 random bytes from the ATSHA204A chip, prints them as a dump and stores
// them raw at the start of /opt/random. The file is written in place: a longer file keeps its
// tail, and a new one is readable by its owner only. Command-line arguments are ignored.
//
// Exit status: 0 done (also when the write itself failed, after its line); 255 the device or
// /opt/random could not be opened; else the chip's status code of the wake-up or the Random
// command. On every failure before the file is opened, /opt/random is left as it was.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "ATSHA204A.h"
#include "line_output.h"
#include "messages.h"

namespace {

constexpr const char kRandomPath[] = "/opt/random";
constexpr mode_t kRandomFileMode = 0600;
constexpr int kStatusDone = 0;
constexpr int kStatusOpenFailed = 255;

// Pause between opening the device and waking the chip.
constexpr useconds_t kSettleUs = 69000;

constexpr size_t kRandomSize = 32;
constexpr int kValuesPerLine = 8;

// The packet buffer, and its capacity as the transport is told it.
constexpr size_t kCommandSize = 128;
constexpr uint8_t kCommandCapacity = 39;
uint8_t Command[kCommandSize];
// Count byte, the 32 random bytes, CRC.
uint8_t challenge[atsha204a::kDataResponseSize];
constexpr size_t kRandomAt = 1;

// The chip's Random command: mode 0, no data; the packet is 07 1B 00 00 00 24 CD.
uint8_t SHA204A_GetRandomNumber(uint8_t* response_buffer) {
  return ATSHA204A_Execute(atsha204a::kOpRandom, 0, 0, 0, nullptr, 0, nullptr, 0, nullptr,
                           kCommandCapacity, Command, atsha204a::kDataResponseSize,
                           response_buffer);
}

void PrintDump(const uint8_t* bytes) {
  fputs(noisewell::msg::kDumpHeading, stdout);
  for (size_t i = 0; i < kRandomSize; ++i) {
    if (i % kValuesPerLine == 0) putchar('\n');
    printf(noisewell::msg::kDumpValueFormat, bytes[i]);
  }
  putchar('\n');
}

void CloseDevice() {
  close(fd);
  fd = -1;
}

// Wakes the chip and runs the Random command into `challenge`; the chip goes back to sleep
// only after both worked. Returns 0 or the failing status, after its line.
uint8_t DrawRandom() {
  uint8_t status = SHA204A_WakeUp();
  if (status != atsha204a::kSuccess) {
    printf(noisewell::msg::kWakeUpFailureFormat, status);
    return status;
  }
  status = SHA204A_GetRandomNumber(challenge);
  if (status != atsha204a::kSuccess) {
    printf(noisewell::msg::kChallengeFailureFormat, status);
    return status;
  }
  ATSHA204A_Sleep();  // its result changes nothing: the random bytes are in
  return atsha204a::kSuccess;
}

// Opened read-write and created when missing, never truncated; a planted link is refused.
int StoreRandom(const uint8_t* bytes) {
  const int out =
      open(kRandomPath, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, kRandomFileMode);
  if (out < 0) {
    puts(noisewell::msg::kCreateFailed);
    return kStatusOpenFailed;
  }
  if (write(out, bytes, kRandomSize) < 0) puts(noisewell::msg::kWriteFailed);
  close(out);
  return kStatusDone;
}

}  // namespace

int main() {
  bm77::UseLineBufferedOutput();
  fd = open(atsha204a::kDevicePath, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    printf(noisewell::msg::kOpenFailFormat, atsha204a::kDevicePath);
    return kStatusOpenFailed;
  }
  usleep(kSettleUs);
  const uint8_t status = DrawRandom();
  if (status != atsha204a::kSuccess) {
    CloseDevice();
    return status;
  }
  PrintDump(challenge + kRandomAt);
  CloseDevice();
  return StoreRandom(challenge + kRandomAt);
}
