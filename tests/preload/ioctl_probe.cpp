// Issues board I/O requests through /dev/vrk_io the way the tools do (the value by pointer for
// 218/220/221, nothing for 216/217), plus the faults a program could make: an unknown request,
// a bad pointer, a mode out of range, and an ioctl on another character device.
//
//   ioctl_probe    prints "<what> <result> <errno name or 0>" per request; exit 0, or 3 when
//                  /dev/vrk_io cannot be opened
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kNotUnderBoard = 2;
constexpr int kNoDevice = 3;

constexpr unsigned long kPowerOff = 216;
constexpr unsigned long kPowerOn = 217;
constexpr unsigned long kBootMode = 220;
constexpr unsigned long kVcom = 221;
constexpr unsigned long kUnknown = 999;

constexpr int kFirmwareMode = 2;
constexpr int kModeOutOfRange = 7;
constexpr int kVcomValue = 1234;
// An address in the never-mapped first page: the caller's memory is bad.
constexpr uintptr_t kBadPointer = 8;

void Report(const char* what, int result) {
  std::printf("%s %d %s\n", what, result, result < 0 ? strerrorname_np(errno) : "0");
}

}  // namespace

int main() {
  if (dlsym(RTLD_DEFAULT, "bm77sim_active") == nullptr) return kNotUnderBoard;
  const int fd = open("/dev/vrk_io", O_RDWR);
  if (fd < 0) {
    Report("open", fd);
    return kNoDevice;
  }
  int mode = kFirmwareMode;
  int vcom = kVcomValue;
  int bad_mode = kModeOutOfRange;
  Report("power-on", ioctl(fd, kPowerOn, 0));
  Report("mode", ioctl(fd, kBootMode, &mode));
  Report("vcom", ioctl(fd, kVcom, &vcom));
  Report("power-off", ioctl(fd, kPowerOff, 0));
  Report("unknown", ioctl(fd, kUnknown, 0));
  Report("bad-pointer", ioctl(fd, kBootMode, reinterpret_cast<int*>(kBadPointer)));
  Report("bad-mode", ioctl(fd, kBootMode, &bad_mode));
  close(fd);
  const int null = open("/dev/null", O_RDONLY);
  int pending = 0;
  Report("null-device", ioctl(null, FIONREAD, &pending));
  close(null);
  return 0;
}
