// rx_probe: switches the Bluetooth module on, opens its serial port with two stop bits and
// counts the bytes that arrive, printing the running total whenever the line has been quiet
// for more than 50000 reads. Runs until it is killed.
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "board_io_requests.h"
#include "line_output.h"
#include "serial_port.h"
#include "std_descriptors.h"

namespace {

constexpr const char kControlFail[] = "RF_Gate Control Fail.";
constexpr const char kPowerLineFormat[] = "RF_Gate --- %d, ret = %d\n";
constexpr const char kPortInitFail[] = "BT Com Port Init Fail.";
constexpr const char kPortInitSuccess[] = "BT Com Port Init Success.";
constexpr const char kTotalFormat[] = "R:%d\n";

// Quiet time before a total is printed, counted in empty reads, not in time: the tool is a
// bench probe and polls the port as fast as the processor allows.
constexpr int kQuietReads = 50000;
constexpr size_t kReadChunk = 32;

int RF_Gate_Control(int on) {
  const int fd = open(bm77::kBoardIoPath, O_RDWR);
  if (fd <= 0) {
    puts(kControlFail);
    return 0;
  }
  const unsigned long request = on != 0 ? bm77::kReqPowerOn : bm77::kReqPowerOff;
  printf(kPowerLineFormat, on, ioctl(fd, request, 0));
  close(fd);
  return 0;
}

[[noreturn]] void CountForever(int port) {
  unsigned char buffer[kReadChunk];
  int total = 0;
  int idle = 0;
  for (;;) {
    const ssize_t n = read(port, buffer, sizeof buffer);
    if (n > 0) total += static_cast<int>(n);
    if (idle > kQuietReads) {
      printf(kTotalFormat, total);
      idle = 0;
    }
    idle = n > 0 ? 0 : idle + 1;
  }
}

}  // namespace

int main() {
  bm77::KeepStandardDescriptorsOpen();
  bm77::UseLineBufferedOutput();
  const int port = bm77::OpenSerialPort(bm77::kSerialPortPath, /*two_stop_bits=*/true);
  RF_Gate_Control(1);  // the module goes on even when the port is not there
  if (port <= 0) {
    puts(kPortInitFail);
    return -1;
  }
  puts(kPortInitSuccess);
  CountForever(port);
}
