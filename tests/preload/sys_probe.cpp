// Other programs and the port's injected faults, under the preload library.
//
//   sys_probe          stands in for /bin/Noisewell: writes /opt/random, exits kNoiseStatus
//   sys_probe system   system("/bin/Noisewell"), system("/bin/ls"), execv and popen
//   sys_probe port     four writes of 10 bytes and four reads of up to 32 bytes on /dev/ttyS0
//   sys_probe env NAME...  "NAME=value" or "NAME unset" for each name, from its environment
//   sys_probe where    the folder it started in, and whether its standard output is a terminal
// Every step prints one line; the port lines are left in stdio's buffer on purpose (standard
// output is a pipe), so an exit that forgets to flush it loses them.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kNotUnderBoard = 2;
constexpr int kNoiseStatus = 7;
constexpr mode_t kRandomMode = 0600;
constexpr char kNoise[] = "noise";
constexpr int kPortCalls = 4;
constexpr size_t kWriteSize = 10;
constexpr size_t kReadSize = 32;

const char* ErrName(int result) { return result < 0 ? strerrorname_np(errno) : "0"; }

int StandInForNoisewell() {
  const int fd = open("/opt/random", O_WRONLY | O_CREAT | O_TRUNC, kRandomMode);
  if (fd < 0) return EXIT_FAILURE;
  const bool ok =
      write(fd, kNoise, std::strlen(kNoise)) == static_cast<ssize_t>(std::strlen(kNoise));
  return close(fd) == 0 && ok ? kNoiseStatus : EXIT_FAILURE;
}

void ReportSystem(const char* what, int status) {
  if (status == -1) {
    std::printf("%s -1 %s\n", what, strerrorname_np(errno));
  } else if (WIFEXITED(status)) {
    std::printf("%s exit %d\n", what, WEXITSTATUS(status));
  } else {
    std::printf("%s status %d\n", what, status);
  }
}

int OtherPrograms() {
  ReportSystem("noisewell", std::system("/bin/Noisewell"));
  ReportSystem("ls", std::system("/bin/ls"));
  char* const argv[] = {const_cast<char*>("true"), nullptr};
  const int r = execv("/bin/true", argv);
  std::printf("execv %d %s\n", r, ErrName(r));
  FILE* pipe = popen("/bin/true", "r");
  std::printf("popen %s %s\n", pipe == nullptr ? "null" : "stream",
              pipe == nullptr ? strerrorname_np(errno) : "0");
  return 0;
}

// The count is hidden from the compiler, so fortified builds read through __read_chk.
size_t Hidden(size_t n) {
  volatile size_t v = n;
  return v;
}

int Port() {
  const int fd = open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) {
    std::printf("open %s\n", strerrorname_np(errno));
    return EXIT_FAILURE;
  }
  const char zeros[kWriteSize] = {};
  for (int i = 1; i <= kPortCalls; ++i) {
    const ssize_t n = write(fd, zeros, sizeof zeros);
    std::printf("w%d %zd %s\n", i, n, ErrName(static_cast<int>(n)));
  }
  char buffer[kReadSize];
  for (int i = 1; i <= kPortCalls; ++i) {
    const ssize_t n = read(fd, buffer, Hidden(sizeof buffer));
    std::printf("r%d %zd %s\n", i, n, ErrName(static_cast<int>(n)));
  }
  close(fd);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (dlsym(RTLD_DEFAULT, "bm77sim_active") == nullptr) return kNotUnderBoard;
  if (argc == 1) return StandInForNoisewell();
  const std::string mode = argv[1];
  if (mode == "system") return OtherPrograms();
  if (mode == "port") return Port();
  if (mode == "where") {
    char folder[4096];
    std::printf("cwd=%s\nstdout-terminal=%d\n", getcwd(folder, sizeof folder) ? folder : "?",
                isatty(STDOUT_FILENO));
    return EXIT_SUCCESS;
  }
  if (mode == "env") {
    for (int i = 2; i < argc; ++i) {
      const char* value = getenv(argv[i]);
      std::printf(value == nullptr ? "%s unset\n" : "%s=%s\n", argv[i], value);
    }
    return EXIT_SUCCESS;
  }
  return EXIT_FAILURE;
}
