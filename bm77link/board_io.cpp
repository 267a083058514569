#include "board_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "messages.h"

using namespace bm77;

namespace {

// The one place that talks to the driver. `value` is passed by pointer when given, else the
// request gets the plain value 0. Returns 0, or -1 after the line that says why.
int BoardIoRequest(unsigned long request, int* value) {
  const int fd = open(kBoardIoPath, O_RDWR);
  if (fd <= 0) {
    printf(msg::kOpenFailFormat, kBoardIoPath);
    return -1;
  }
  const int result = value != nullptr ? ioctl(fd, request, value) : ioctl(fd, request, 0);
  close(fd);
  if (result != 0) {
    puts(msg::kChangeModeFailed);
    return -1;
  }
  return 0;
}

}  // namespace

int SetBM77Mode(int mode) { return BoardIoRequest(kReqBootMode, &mode); }

int SetBM77Power(int on) { return BoardIoRequest(on != 0 ? kReqPowerOn : kReqPowerOff, nullptr); }

void SetVcomTo9928(int vcom) { BoardIoRequest(kReqVcomTo9928, &vcom); }
