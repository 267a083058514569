// Noisewell: takes 32 random bytes from the ATSHA204A chip, prints them as a dump and stores
// them raw at the start of /opt/random. The file is written in place: a longer file keeps its
// tail, and a new one is readable by its owner only. Command-line arguments are ignored.
//
// Exit status: 0 done; 255 the device or /opt/random could not be opened (anything but a
// regular file with one link there is refused), or the 32 bytes not written to it; else the chip's status code of the wake-up or the Random command (0xE5 also for a
// response without its 32 bytes). On every failure before the file is opened, /opt/random is
// left as it was.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "ATSHA204A.h"
#include "line_output.h"
#include "messages.h"
#include "plain_file.h"
#include "run_record.h"
#include "std_descriptors.h"

namespace {

constexpr const char kRandomPath[] = "/opt/random";
constexpr mode_t kRandomFileMode = 0600;
constexpr int kStatusDone = 0;
constexpr int kStatusFileFailed = 255;  // the device or /opt/random

constexpr record::Outcome kOutcomes[] = {{0, "ok"}, {255, "file"}};
// Any other status is the chip's.
constexpr char kChipOutcome[] = "chip";

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

// The chip's Random command: mode 0, no data; the packet is 07 1B 00 00 00 24 CD. A response
// that carries no 32 bytes (a status-only one, even with status 0x00 and a good CRC) is no
// random number: taken as one, it would give every device with that fault the same MAC.
uint8_t SHA204A_GetRandomNumber(uint8_t* response_buffer) {
  const uint8_t status = ATSHA204A_Execute(atsha204a::kOpRandom, 0, 0, 0, nullptr, 0, nullptr,
                                           0, nullptr, kCommandCapacity, Command,
                                           atsha204a::kDataResponseSize, response_buffer);
  if (status == atsha204a::kSuccess && response_buffer[0] != atsha204a::kDataResponseSize) {
    return atsha204a::kBadCrc;
  }
  return status;
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

// Opened read-write and created when missing, never truncated; a planted link, FIFO or
// folder is refused. bm77_ident takes its MAC from this file, so a write that did not put all
// 32 bytes in fails the run.
int StoreRandom(const uint8_t* bytes) {
  const int out = bm77::OpenPlainFile(kRandomPath, O_RDWR | O_CREAT, kRandomFileMode,
                                      bm77::FileOwner::kTool);
  if (out < 0) {
    puts(noisewell::msg::kCreateFailed);
    return kStatusFileFailed;
  }
  const bool written = write(out, bytes, kRandomSize) == static_cast<ssize_t>(kRandomSize);
  if (!written) puts(noisewell::msg::kWriteFailed);
  close(out);
  return written ? kStatusDone : kStatusFileFailed;
}

int Run() {
  bm77::KeepStandardDescriptorsOpen();  // before anything is opened
  bm77::UseLineBufferedOutput();
  fd = open(atsha204a::kDevicePath, O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    printf(noisewell::msg::kOpenFailFormat, atsha204a::kDevicePath);
    return kStatusFileFailed;
  }
  usleep(kSettleUs);
  const uint8_t status = DrawRandom();
  if (status != atsha204a::kSuccess) {
    CloseDevice();
    return status;
  }
  record::SetRandomBytes(kRandomSize);
  PrintDump(challenge + kRandomAt);
  CloseDevice();
  return StoreRandom(challenge + kRandomAt);
}

}  // namespace

int main(int argc, char** argv) {
  record::Start("Noisewell", argc, argv);
  return record::Finish(Run(), kOutcomes, kChipOutcome);
}
