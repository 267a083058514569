// The wrapped calls whose rules need the full libc headers: ioctl, system and the exec family.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

#include "preload.h"

extern char** environ;

namespace bm77sim {

namespace {

BM77SIM_SLOT(ioctl);
BM77SIM_SLOT(fstat);
BM77SIM_SLOT(execve);
BM77SIM_SLOT(open);
BM77SIM_SLOT(close);

// What glibc's tmpfile() gives its files.
constexpr mode_t kTmpFileMode = 0600;
// What a shell reports for a command it could not run.
constexpr int kNotRunStatus = 127;
// The emulator's setting of the preload list, "LD_PRELOAD=<list>".
constexpr size_t kPreloadSettingMax = 2 * PATH_MAX;

// The real ioctl on a descriptor that is neither a simulated device nor a foreign device.
int PassIoctl(int fd, unsigned request, void* arg) { return BM77SIM_REAL(ioctl)(fd, request, arg); }

// In the child: becomes `program`. Under an emulator (a program of the device cannot start
// another by itself: the kernel does not know its kind) it starts through the emulator as the
// board started this one, with the preload list for the emulated program only.
[[noreturn]] void BecomeNoisewell(const char* program) {
  const char* emulator = getenv(simwire::kEnvEmulator);
  if (emulator == nullptr || emulator[0] == '\0') {
    char* const argv[] = {const_cast<char*>(program), nullptr};
    BM77SIM_REAL(execve)(program, argv, environ);
    _exit(kNotRunStatus);
  }
  static char preload[kPreloadSettingMax];
  const char* list = getenv(simwire::kPreloadVariable);
  const int n = snprintf(preload, sizeof preload, "%s=%s", simwire::kPreloadVariable,
                         list == nullptr ? "" : list);
  if (n < 0 || static_cast<size_t>(n) >= sizeof preload) _exit(kNotRunStatus);
  const char* loader = getenv(simwire::kEnvEmulatorLoader);
  const char* libraries = getenv(simwire::kEnvEmulatorLibraries);
  if (loader == nullptr || libraries == nullptr) _exit(kNotRunStatus);
  // As the board's runner starts a program (testbed::EmulatorWords), without a name of its own:
  // the loader gives the program its path.
  const char* argv[] = {emulator,
                        simwire::kEmulatorEnvOption, preload,
                        loader, simwire::kLoaderLibrariesOption, libraries,
                        program, nullptr};
  unsetenv(simwire::kPreloadVariable);  // the emulator is a program of this machine
  BM77SIM_REAL(execve)(emulator, const_cast<char* const*>(argv), environ);
  _exit(kNotRunStatus);
}

// Runs the program that stands for /bin/Noisewell against the same board (same environment,
// so its own preload library greets the same board) and returns its wait status.
int RunNoisewell() {
  const char* program = getenv(simwire::kEnvNoisewell);
  if (program == nullptr || program[0] == '\0') {
    errno = EACCES;
    return -1;
  }
  const pid_t pid = fork();
  if (pid < 0) return -1;
  if (pid == 0) BecomeNoisewell(program);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return status;
}

}  // namespace

bool OpenTakesMode(int flags) { return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE; }

Leaf LeafOfOpen(int flags) {
  const bool exclusive = (flags & (O_CREAT | O_EXCL)) == (O_CREAT | O_EXCL);
  return (flags & O_NOFOLLOW) != 0 || exclusive ? Leaf::kKeep : Leaf::kFollow;
}

Leaf LeafOfAt(int flags) {
  return (flags & AT_SYMLINK_NOFOLLOW) != 0 ? Leaf::kKeep : Leaf::kFollow;
}

Leaf LeafOfLinkAt(int flags) {
  return (flags & AT_SYMLINK_FOLLOW) != 0 ? Leaf::kFollow : Leaf::kKeep;
}

bool MknodMakesDevice(mode_t mode) { return S_ISCHR(mode) || S_ISBLK(mode); }

int Ioctl(int fd, unsigned request, void* arg) {
  EnsureReady();
  const uint32_t device = DeviceOfFd(fd);
  if (device != simwire::kDevNone) return ForwardIoctl(device, request, arg);
  if (IsPortFd(fd)) return PassIoctl(fd, request, arg);
  struct stat st;
  // Even harmless devices get no ioctl: a terminal request on the wrong descriptor is a fault
  // in the program, and the pseudo-terminal is the only terminal it should talk to.
  if (BM77SIM_REAL(fstat)(fd, &st) == 0 &&
      (S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !IsPortDevice(st.st_rdev)))) {
    ReportViolation("ioctl %u on device %u:%u: not a simulated device", request, major(st.st_rdev),
                    minor(st.st_rdev));
    errno = EACCES;
    return -1;
  }
  return PassIoctl(fd, request, arg);
}

int System(const char* command) {
  EnsureReady();
  if (command == nullptr) return 0;  // "is there a shell?": not for programs under test
  const int32_t answer = AskSystem(command);
  if (answer == simwire::kSystemRun) return RunNoisewell();
  if (answer == -1) {
    errno = EACCES;
    return -1;
  }
  return answer;
}

void* TmpFile() {
  char folder[PATH_MAX];
  if (snprintf(folder, sizeof folder, "%s/tmp", Sandbox()) >= static_cast<int>(sizeof folder)) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  const int fd = BM77SIM_REAL(open)(folder, O_TMPFILE | O_RDWR | O_CLOEXEC, kTmpFileMode);
  if (fd < 0) return nullptr;
  FILE* f = fdopen(fd, "w+");
  if (f == nullptr) BM77SIM_REAL(close)(fd);
  return f;
}

int RefuseExec(const char* op, const char* path) {
  EnsureReady();
  ReportViolation("%s %s: programs under test start no other programs", op,
                  path == nullptr ? "(null)" : path);
  errno = EACCES;
  return -1;
}

}  // namespace bm77sim
