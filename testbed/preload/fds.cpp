// Descriptors that lead to the simulated devices or to the port. A device descriptor is checked
// again when it is used (same file as when it was opened), because descriptors are reused and
// not every way of closing one passes through this library.
#include <errno.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "preload.h"

namespace bm77sim {

namespace {

constexpr int kTrackedFds = 1024;

struct TrackedFd {
  uint32_t device;  // simwire::Device
  bool port;
  dev_t dev;
  ino_t ino;
};
TrackedFd g_fds[kTrackedFds];

BM77SIM_SLOT(fstat);
BM77SIM_SLOT(close);
BM77SIM_SLOT(fclose);

constexpr char kForeignDevice[] = "opened a device outside the simulated board";

bool Tracked(int fd) { return fd >= 0 && fd < kTrackedFds; }

}  // namespace

void RememberFd(int fd, const Mapped& m) {
  if (!Tracked(fd)) return;
  TrackedFd& t = g_fds[fd];
  t.device = m.device;
  t.port = m.port;
  struct stat st;
  if (m.device != simwire::kDevNone && BM77SIM_REAL(fstat)(fd, &st) == 0) {
    t.dev = st.st_dev;
    t.ino = st.st_ino;
  }
}

void ForgetFd(int fd) {
  if (Tracked(fd)) g_fds[fd] = TrackedFd{};
}

bool IsPortFd(int fd) { return Tracked(fd) && g_fds[fd].port; }

uint32_t DeviceOfFd(int fd) {
  if (!Tracked(fd) || g_fds[fd].device == simwire::kDevNone) return simwire::kDevNone;
  struct stat st;
  if (BM77SIM_REAL(fstat)(fd, &st) != 0 || st.st_dev != g_fds[fd].dev ||
      st.st_ino != g_fds[fd].ino) {
    ForgetFd(fd);
    return simwire::kDevNone;
  }
  return g_fds[fd].device;
}

bool ForeignDevice(int fd) {
  struct stat st;
  if (BM77SIM_REAL(fstat)(fd, &st) != 0) return false;
  return S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !HarmlessCharDevice(st.st_rdev));
}

int DropForeign(const char* op, const char* path, int fd) {
  BM77SIM_REAL(close)(fd);
  ReportViolation("%s %s: %s", op, path, kForeignDevice);
  errno = EACCES;
  return -1;
}

void* DropForeignStream(const char* op, const char* path, void* stream) {
  BM77SIM_REAL(fclose)(static_cast<FILE*>(stream));
  ReportViolation("%s %s: %s", op, path, kForeignDevice);
  errno = EACCES;
  return nullptr;
}

int FileNumber(void* stream) { return stream == nullptr ? -1 : fileno(static_cast<FILE*>(stream)); }

}  // namespace bm77sim
