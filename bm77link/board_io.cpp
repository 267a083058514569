#include "board_io.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "messages.h"

using namespace bm77;

namespace {

const char* RequestName(unsigned long request) {
  switch (request) {
    case kReqPowerOff: return msg::kRequestPowerOff;
    case kReqPowerOn: return msg::kRequestPowerOn;
    case kReqBootMode: return msg::kRequestBootMode;
    default: return msg::kRequestVcom;
  }
}

int RequestFailed(unsigned long request, const int* value) {
  if (value != nullptr) {
    printf(msg::kRequestValueFailedFormat, request, RequestName(request), *value);
  } else {
    printf(msg::kRequestFailedFormat, request, RequestName(request));
  }
  return -1;
}

// The one place that talks to the driver. `value` is passed by pointer when given, else the
// request gets the plain value 0. Returns 0, or -1 after the lines that say why.
int BoardIoRequest(unsigned long request, int* value) {
  const int fd = open(kBoardIoPath, O_RDWR);
  if (fd <= 0) {
    printf(msg::kOpenFailFormat, kBoardIoPath);
    return RequestFailed(request, value);
  }
  const int result = value != nullptr ? ioctl(fd, request, value) : ioctl(fd, request, 0);
  close(fd);
  if (result != 0) {
    puts(msg::kChangeModeFailed);
    return RequestFailed(request, value);
  }
  return 0;
}

}  // namespace

int SetBM77Mode(int mode) { return BoardIoRequest(kReqBootMode, &mode); }

int SetBM77Power(int on) { return BoardIoRequest(on != 0 ? kReqPowerOn : kReqPowerOff, nullptr); }

void SetVcomTo9928(int vcom) { HandVcomTo9928(vcom); }

int HandVcomTo9928(int vcom) { return BoardIoRequest(kReqVcomTo9928, &vcom); }
