// Reaches for devices with raw system calls, which pass by every wrapper of the preload
// library: only the second seal stands between these and the machine.
//
//   raw_probe ADDRESS   prints one line per step; exit 0. A node "null-copy" in its folder, if
//                       the test could make one, is a copy of /dev/null.
//
// Nothing here may touch real hardware even when the seal is missing or broken: devices are
// opened with O_PATH (which never runs a driver's open) and looked at with fstat; only a node
// proven to be the board's own pseudo-terminal is opened for real, and /dev is written only
// when it is the seal's own.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sched.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "probe_frame.h"

namespace {

constexpr int kNotUnderBoard = 2;
constexpr char kPort[] = "/dev/ttyS0";
constexpr const char* kOtherPorts[] = {"ttyS1", "ttyUSB0", "ttyACM0"};
constexpr char kSealSource[] = "bm77sim-dev";  // what the seal mounts on /dev
constexpr int kOpenPort = O_RDWR | O_NOCTTY | O_NONBLOCK;

const char* Outcome(long result) { return result < 0 ? strerrorname_np(errno) : "0"; }

int RawOpenat(const char* path, int flags) {
  return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, 0));
}

int RawOpenat2(const char* path, int flags) {
  open_how how{};
  how.flags = static_cast<__u64>(static_cast<unsigned>(flags));
  return static_cast<int>(syscall(SYS_openat2, AT_FDCWD, path, &how, sizeof how));
}

// The device number of the board's pseudo-terminal.
bool BoardPort(dev_t* rdev) {
  const char* tty = std::getenv("BM77SIM_TTY");
  if (tty == nullptr) return false;
  const int fd = RawOpenat(tty, O_PATH);
  struct stat st {};
  const bool ok = fd >= 0 && fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
  if (fd >= 0) close(fd);
  *rdev = st.st_rdev;
  return ok;
}

// What `path` names, by O_PATH: "ENOENT", "board-port", or "device M:N".
std::string Look(int (*open_with)(const char*, int), const char* path, dev_t port) {
  const int fd = open_with(path, O_PATH);
  if (fd < 0) return strerrorname_np(errno);
  struct stat st {};
  const bool ok = fstat(fd, &st) == 0;
  close(fd);
  if (!ok) return "unknown";
  if (S_ISCHR(st.st_mode) && st.st_rdev == port) return "board-port";
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
    return "device " + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
  }
  return "file";
}

// Opens the port for real only when it is the board's, and writes a frame through it.
void UsePort(const char* how, int (*open_with)(const char*, int), dev_t port, unsigned address) {
  const std::string seen = Look(open_with, kPort, port);
  if (seen == "board-port") {
    const int fd = open_with(kPort, kOpenPort);
    const std::vector<uint8_t> frame = probe::Frame(address);
    const long n = fd < 0 ? -1 : syscall(SYS_write, fd, frame.data(), frame.size());
    if (fd >= 0) close(fd);
    std::printf("%s ttyS0 board-port write %s\n", how, Outcome(n));
  } else {
    std::printf("%s ttyS0 %s\n", how, seen.c_str());
  }
}

bool DevIsTheSeals() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string line;
  while (std::getline(mounts, line)) {
    // "... / /dev rw,... - tmpfs bm77sim-dev rw,..."
    if (line.find(" /dev ") != std::string::npos &&
        line.find(std::string(" tmpfs ") + kSealSource + " ") != std::string::npos) {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (dlsym(RTLD_DEFAULT, "bm77sim_active") == nullptr) return kNotUnderBoard;
  if (argc != 2) return EXIT_FAILURE;
  const unsigned address = static_cast<unsigned>(std::strtoul(argv[1], nullptr, 0));
  dev_t port = 0;
  if (!BoardPort(&port)) {
    std::printf("no board port\n");
    return EXIT_FAILURE;
  }
  UsePort("openat", RawOpenat, port, address);
  UsePort("openat2", RawOpenat2, port, address + 1);
  for (const char* name : kOtherPorts) {
    const std::string path = std::string("/dev/") + name;
    std::printf("openat %s %s\n", name, Look(RawOpenat, path.c_str(), port).c_str());
  }
  // The runner's own view of the machine, through /proc.
  const std::string parent = "/proc/" + std::to_string(getppid()) + "/root/dev/ttyS0";
  std::printf("parent-root %s\n", Look(RawOpenat, parent.c_str(), port).c_str());
  // A node the test made in the board folder, outside /dev: no mount opens devices any more.
  const int copy = RawOpenat("null-copy", O_WRONLY);
  std::printf("node-outside-dev %s\n", Outcome(copy));
  if (copy >= 0) close(copy);
  std::printf("unshare %s\n", Outcome(syscall(SYS_unshare, CLONE_NEWNS)));
  std::printf("mknod %s\n", Outcome(syscall(SYS_mknodat, AT_FDCWD, "null-node",
                                            S_IFCHR | 0600, makedev(1, 3))));
  const bool sealed = DevIsTheSeals();
  std::printf("dev %s\n", sealed ? "sealed" : "machine");
  if (sealed) {
    std::printf("dev-write %s\n",
                Outcome(syscall(SYS_symlinkat, "/proc/self/fd/0", AT_FDCWD, "/dev/ttyS1")));
  }
  const int null = RawOpenat("/dev/null", O_WRONLY);
  std::printf("null %s\n", Outcome(null < 0 ? -1 : syscall(SYS_write, null, "x", 1)));
  return EXIT_SUCCESS;
}
