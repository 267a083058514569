// Reaches the board's files in every way a program can, under the preload library, and checks
// in the sandbox that each way landed there; the test then checks what the run left. Built four
// ways (plain, _FORTIFY_SOURCE, _FILE_OFFSET_BITS=64, both), because each way makes the
// compiler call other libc names.
//
//   path_probe TAG ADDRESS    prints one line per step ("ok ..." or "FAIL ..."), exit 0 when
//                             every step went as it should under the board
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <termios.h>
#include <utime.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "probe_frame.h"
#include "probe_paths.h"

namespace {

// Exit status when the preload library is not there: nothing was touched.
constexpr int kNotUnderBoard = 2;
constexpr mode_t kFileMode = 0644;
constexpr mode_t kDirMode = 0755;

int g_failures = 0;
std::string g_tag;

void Step(bool ok, const std::string& what) {
  const int saved = errno;
  if (ok) {
    std::printf("ok %s\n", what.c_str());
  } else {
    std::printf("FAIL %s (errno %d: %s)\n", what.c_str(), saved, std::strerror(saved));
    ++g_failures;
  }
}

void StepRefused(int result, const std::string& what) {
  Step(result == -1 && errno == EACCES, what + " refused");
}

// Flags the compiler cannot see: fortified builds then call __open_2 and __openat_2.
int Hidden(int flags) {
  volatile int v = flags;
  return v;
}

bool WriteAndClose(int fd, const std::string& text) {
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return close(fd) == 0 && ok;
}

bool PutsAndClose(FILE* f, const std::string& text) {
  return f != nullptr && std::fputs(text.c_str(), f) >= 0 && std::fclose(f) == 0;
}

std::string Text(const char* way) { return probe::Written(g_tag, way); }

// Where the board keeps `board_path`: a path in the sandbox, which the preload library leaves
// as it is.
std::string InSandbox(const char* board_path) {
  const char* sandbox = std::getenv("BM77SIM_SANDBOX");
  return std::string(sandbox == nullptr ? "/nonexistent" : sandbox) + board_path;
}

// The sandbox's copy of `board_path` holds what the way wrote: the way went to the board.
bool Landed(const char* board_path, const char* way) {
  std::ifstream in(InSandbox(board_path));
  std::string text;
  return static_cast<bool>(std::getline(in, text)) && text == Text(way);
}

constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC;

// readdir64 in every build: a 32-bit program's readdir fails with EOVERFLOW under the emulator
// on a 64-bit machine, whose folder offsets do not fit 32 bits. What is probed is opendir.
bool Lists(const char* dir, const std::string& name) {
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  bool found = false;
  while (dirent64* e = readdir64(d)) found = found || name == e->d_name;
  closedir(d);
  return found;
}

void Created(bool ok, const char* board_path, const char* way) {
  Step(ok && Landed(board_path, way), std::string(way) + " " + board_path);
}

void CreateEveryWay(int root) {
  Created(WriteAndClose(open("/tmp/mac", kCreate, kFileMode), Text("open")), "/tmp/mac", "open");
  Created(WriteAndClose(open("/opt/mac", kCreate, kFileMode), Text("open")), "/opt/mac", "open");
  Created(WriteAndClose(openat(AT_FDCWD, "/tmp/device_name", kCreate, kFileMode),
                        Text("openat-cwd")),
          "/tmp/device_name", "openat-cwd");
  Created(WriteAndClose(openat(root, "opt/device_name", kCreate, kFileMode), Text("openat-root")),
          "/opt/device_name", "openat-root");
  Created(WriteAndClose(creat("/opt/vcomdata", kFileMode), Text("creat")), "/opt/vcomdata",
          "creat");
  Created(PutsAndClose(std::fopen("/tmp/mac", "w"), Text("fopen")), "/tmp/mac", "fopen");
  Step(mkdir("/opt/random", kDirMode) == 0 && access(InSandbox("/opt/random").c_str(), F_OK) == 0,
       "mkdir /opt/random");
  const std::string listed = InSandbox("/opt/random/listed");
  std::ofstream(listed) << "listed";
  Step(Lists("/opt/random", "listed"), "opendir /opt/random");
  Step(unlink(listed.c_str()) == 0 && rmdir("/opt/random") == 0 &&
           access(InSandbox("/opt/random").c_str(), F_OK) != 0,
       "rmdir /opt/random");
  FILE* scratch = std::fopen("/dev/null", "w");
  Created(PutsAndClose(std::freopen("/opt/random", "w", scratch), Text("freopen")), "/opt/random",
          "freopen");
  {
    std::ofstream out("/tmp/device_name");
    out << Text("ofstream");
    out.close();
    Created(static_cast<bool>(out), "/tmp/device_name", "ofstream");
  }
  Created(WriteAndClose(open("//tmp/./mac", kCreate, kFileMode), Text("noncanonical")),
          "/tmp/mac", "noncanonical");
  Created(WriteAndClose(open("/opt/no-such-folder/../mac", kCreate, kFileMode), Text("dotdot")),
          "/opt/mac", "dotdot");
  Step(rename("/tmp/device_name", "/opt/device_name") == 0 &&
           Landed("/opt/device_name", "ofstream"),
       "rename /tmp/device_name /opt/device_name");
}

bool ReadsPreset(int fd) {
  char buffer[64] = {};
  const ssize_t n = fd < 0 ? -1 : read(fd, buffer, sizeof buffer - 1);
  if (fd >= 0) close(fd);
  return n >= 0 && std::strcmp(buffer, probe::kPresetText) == 0;
}

// The preset file exists only in the sandbox: each way that finds it went there.
void ReadEveryWay(int root) {
  const char* p = probe::kPresetPath;
  const auto size = static_cast<off_t>(std::strlen(probe::kPresetText));
  struct stat st {};
  Step(stat(p, &st) == 0 && st.st_size == size, "stat");
  Step(lstat(p, &st) == 0 && st.st_size == size, "lstat");
  Step(fstatat(AT_FDCWD, p, &st, 0) == 0 && st.st_size == size, "fstatat");
  Step(fstatat(root, p + 1, &st, 0) == 0 && st.st_size == size, "fstatat dirfd /");
  struct statx sx {};
  Step(statx(AT_FDCWD, p, 0, STATX_SIZE, &sx) == 0 && static_cast<off_t>(sx.stx_size) == size,
       "statx");
  Step(access(p, R_OK) == 0, "access");
  Step(faccessat(AT_FDCWD, p, R_OK, 0) == 0, "faccessat");
  Step(utime(p, nullptr) == 0, "utime");
  Step(utimes(p, nullptr) == 0, "utimes");
  Step(utimensat(AT_FDCWD, p, nullptr, 0) == 0, "utimensat");
  Step(ReadsPreset(open(p, Hidden(O_RDONLY))), "open for reading");
  Step(ReadsPreset(openat(AT_FDCWD, p, Hidden(O_RDONLY))), "openat for reading");
  FILE* f = std::fopen(p, "r");
  char line[64] = {};
  Step(f != nullptr && std::fgets(line, sizeof line, f) != nullptr &&
           std::strcmp(line, probe::kPresetText) == 0,
       "fopen for reading");
  if (f != nullptr) std::fclose(f);
  std::ifstream in(p);
  std::string word;
  Step(static_cast<bool>(in >> word) && word == probe::kPresetText, "ifstream");
}

void RemoveEveryWay() {
  const auto& files = probe::RemovedFiles();
  Step(remove(files[0]) == 0, std::string("remove ") + files[0]);
  Step(unlink(files[1]) == 0, std::string("unlink ") + files[1]);
  Step(unlinkat(AT_FDCWD, files[2], 0) == 0, std::string("unlinkat ") + files[2]);
}

void UsePort(unsigned address) {
  const int fd = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
  Step(fd >= 0, "open /dev/ttyS0");
  if (fd < 0) return;
  termios t{};
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  Step(tcsetattr(fd, TCSANOW, &t) == 0, "tcsetattr /dev/ttyS0");
  const std::vector<uint8_t> frame = probe::Frame(address);
  Step(write(fd, frame.data(), frame.size()) == static_cast<ssize_t>(frame.size()),
       "write frame to /dev/ttyS0");
  close(fd);
}

void RefuseDevices() {
  StepRefused(open("/dev/ttyS1", O_RDWR | O_NOCTTY | O_NONBLOCK), "open /dev/ttyS1");
  struct stat st {};
  StepRefused(stat("/dev/ttyS1", &st), "stat /dev/ttyS1");
  const int dev = open("/dev", O_RDONLY | O_DIRECTORY);
  Step(dev >= 0, "open /dev as a folder");
  StepRefused(openat(dev, "ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK), "openat /dev + ttyS0");
  if (dev >= 0) close(dev);
  const int null = open("/dev/null", O_WRONLY);
  Step(null >= 0, "open /dev/null");
  if (null >= 0) close(null);
}

}  // namespace

int main(int argc, char** argv) {
  auto active = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "bm77sim_active"));
  if (active == nullptr || active() != 1) {
    std::fprintf(stderr, "path_probe: not running under the simulated board\n");
    return kNotUnderBoard;
  }
  if (argc != 3) {
    std::fprintf(stderr, "usage: path_probe TAG ADDRESS\n");
    return EXIT_FAILURE;
  }
  g_tag = argv[1];
  const int root = open("/", O_RDONLY | O_DIRECTORY);
  Step(root >= 0, "open / as a folder");
  ReadEveryWay(root);
  RemoveEveryWay();
  CreateEveryWay(root);
  UsePort(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0)));
  RefuseDevices();
  return g_failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
