// rf_gate WORD: switches the Bluetooth module's power ("1", "0") or selects its boot mode
// ("app", "cfg", "fwu") with one request on the board I/O control driver. Always exits 0.
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "board_io_requests.h"
#include "line_output.h"
#include "std_descriptors.h"

namespace {

constexpr const char kInvalidArguments[] = "Invalid Arguments!";
constexpr const char kControlFail[] = "RF_Gate Control Fail.";
constexpr const char kPowerLineFormat[] = "RF_Gate --- %d, ret = %d\n";

enum Selector { kPowerOff = 0, kPowerOn = 1, kApp = 2, kCfg = 3, kFwu = 4, kNone = -1 };

// Words in the order they are tried; the first whole, case-sensitive match wins.
struct Word {
  const char* text;
  Selector selector;
};
constexpr Word kWords[] = {{"1", kPowerOn}, {"0", kPowerOff}, {"app", kApp},
                           {"cfg", kCfg},   {"fwu", kFwu}};

Selector SelectorFor(const char* word) {
  for (const Word& w : kWords) {
    if (strcmp(word, w.text) == 0) return w.selector;
  }
  return kNone;
}

int BootModeOf(Selector selector) {
  switch (selector) {
    case kApp: return bm77::kModeApplication;
    case kCfg: return bm77::kModeConfiguration;
    default: return bm77::kModeFirmwareUpdate;
  }
}

// Returns 0 once the driver was opened, whatever the request's result; -1 when it was not.
int RF_Gate_Control(int selector) {
  const int fd = open(bm77::kBoardIoPath, O_RDWR);
  if (fd < 0) {
    puts(kControlFail);
    return -1;
  }
  if (selector == kPowerOff || selector == kPowerOn) {
    const unsigned long request = selector == kPowerOn ? bm77::kReqPowerOn : bm77::kReqPowerOff;
    printf(kPowerLineFormat, selector, ioctl(fd, request, 0));
  } else if (selector >= kApp && selector <= kFwu) {
    int mode = BootModeOf(static_cast<Selector>(selector));
    ioctl(fd, bm77::kReqBootMode, &mode);  // a failed mode request is silent
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  bm77::KeepStandardDescriptorsOpen();
  bm77::UseLineBufferedOutput();
  const Selector selector = argc == 2 ? SelectorFor(argv[1]) : kNone;
  if (selector == kNone) {
    puts(kInvalidArguments);
    return 0;
  }
  RF_Gate_Control(selector);
  return 0;
}
