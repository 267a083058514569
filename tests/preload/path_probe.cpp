// Reaches every fixed path in every way a program can, under the preload library: the test
// then checks that everything landed in the sandbox. Built four ways (plain, _FORTIFY_SOURCE,
// _FILE_OFFSET_BITS=64, both), because each way makes the compiler call other libc names.
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

std::string Path(const char* dir, const char* way) { return probe::FixedPath(dir, g_tag, way); }

bool WriteAndClose(int fd, const char* text) {
  if (fd < 0) return false;
  const bool ok = write(fd, text, std::strlen(text)) == static_cast<ssize_t>(std::strlen(text));
  return close(fd) == 0 && ok;
}

bool PutsAndClose(FILE* f, const char* text) {
  return f != nullptr && std::fputs(text, f) >= 0 && std::fclose(f) == 0;
}

constexpr int kCreate = O_WRONLY | O_CREAT | O_TRUNC;

void CreateEveryWay(int root) {
  for (const char* dir : {"/tmp", "/opt"}) {
    Step(WriteAndClose(open(Path(dir, "open").c_str(), kCreate, kFileMode), "open"),
         std::string("open ") + dir);
  }
  Step(WriteAndClose(openat(AT_FDCWD, Path("/tmp", "openat-cwd").c_str(), kCreate, kFileMode),
                     "openat"),
       "openat AT_FDCWD");
  const std::string relative = "tmp/" + g_tag + "-openat-root";
  Step(WriteAndClose(openat(root, relative.c_str(), kCreate, kFileMode), "openat"),
       "openat dirfd /");
  Step(WriteAndClose(creat(Path("/opt", "creat").c_str(), kFileMode), "creat"), "creat");
  Step(PutsAndClose(std::fopen(Path("/tmp", "fopen").c_str(), "w"), "fopen"), "fopen");
  FILE* scratch = std::fopen("/dev/null", "w");
  Step(PutsAndClose(std::freopen(Path("/opt", "freopen").c_str(), "w", scratch), "freopen"),
       "freopen");
  {
    std::ofstream out(Path("/tmp", "ofstream"));
    out << "ofstream";
    out.close();
    Step(static_cast<bool>(out), "ofstream");
  }
  const std::string odd = "//tmp/./" + g_tag + "-noncanonical";
  Step(WriteAndClose(open(odd.c_str(), kCreate, kFileMode), "odd"), "open " + odd);
  const std::string dotdot = "/opt/no-such-folder/../" + g_tag + "-dotdot";
  Step(WriteAndClose(open(dotdot.c_str(), kCreate, kFileMode), "dotdot"), "open " + dotdot);
  Step(mkdir(Path("/tmp", "mkdir").c_str(), kDirMode) == 0, "mkdir");
  for (const char* dir : {"/tmp", "/opt"}) {
    const std::string from = Path(dir, probe::kRenameFromWay);
    Step(WriteAndClose(open(from.c_str(), kCreate, kFileMode), "rename"),
         std::string("open rename source in ") + dir);
    Step(rename(from.c_str(), Path(dir, "renamed").c_str()) == 0, std::string("rename in ") + dir);
  }
}

bool ReadsPreset(int fd) {
  char buffer[64] = {};
  const ssize_t n = fd < 0 ? -1 : read(fd, buffer, sizeof buffer - 1);
  if (fd >= 0) close(fd);
  return n >= 0 && std::strcmp(buffer, probe::kPresetText) == 0;
}

// readdir64 in every build: a 32-bit program's readdir fails with EOVERFLOW under the emulator
// on a 64-bit machine, whose folder offsets do not fit 32 bits. What is probed is opendir.
bool ListsPreset(const char* dir) {
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  const std::string name = g_tag + "-" + probe::kPresetWay;
  bool found = false;
  while (dirent64* e = readdir64(d)) found = found || name == e->d_name;
  closedir(d);
  return found;
}

// The preset file exists only in the sandbox: each way that finds it went there.
void ReadEveryWay(int root) {
  const std::string path = Path(probe::kPresetDir, probe::kPresetWay);
  const char* p = path.c_str();
  const auto size = static_cast<off_t>(std::strlen(probe::kPresetText));
  struct stat st {};
  Step(stat(p, &st) == 0 && st.st_size == size, "stat");
  Step(lstat(p, &st) == 0 && st.st_size == size, "lstat");
  Step(fstatat(AT_FDCWD, p, &st, 0) == 0 && st.st_size == size, "fstatat");
  const std::string relative =
      std::string(probe::kPresetDir + 1) + "/" + g_tag + "-" + probe::kPresetWay;
  Step(fstatat(root, relative.c_str(), &st, 0) == 0 && st.st_size == size, "fstatat dirfd /");
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
  std::ifstream in(path);
  std::string word;
  Step(static_cast<bool>(in >> word) && word == probe::kPresetText, "ifstream");
  Step(ListsPreset(probe::kPresetDir), "opendir");
}

void RemoveEveryWay() {
  Step(remove(Path("/tmp", "remove").c_str()) == 0, "remove");
  Step(unlink(Path("/opt", "unlink").c_str()) == 0, "unlink");
  Step(unlinkat(AT_FDCWD, Path("/tmp", "unlinkat").c_str(), 0) == 0, "unlinkat");
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
  CreateEveryWay(root);
  ReadEveryWay(root);
  RemoveEveryWay();
  UsePort(static_cast<unsigned>(std::strtoul(argv[2], nullptr, 0)));
  RefuseDevices();
  return g_failures == 0 ? EXIT_SUCCESS : EXIT_FAILURE;
}
