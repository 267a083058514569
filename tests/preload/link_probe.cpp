// Follows symbolic links that lead out of the sandbox, through the preload library: links the
// test planted in the board folder, and links the probe makes itself. Every one that leads out
// must be refused; links that stay inside work as usual, and a link itself (lstat, readlink,
// unlink) may always be handled.
//
//   link_probe OUTSIDE   prints "<step> <outcome>" per step; exit 0. OUTSIDE is a folder
//                        outside the sandbox that holds a file "secret".
//
// Devices are only ever opened with O_PATH or O_NOFOLLOW, so even a broken sandbox runs no
// driver's open.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kNotUnderBoard = 2;
constexpr mode_t kFileMode = 0644;
// Climbs out of any sandbox folder, however deep.
constexpr char kUpToPort[] = "../../../../../../../../../../../../../../../../dev/ttyS0";

const char* Outcome(long result) { return result < 0 ? strerrorname_np(errno) : "0"; }

void Report(const char* step, long result) { std::printf("%s %s\n", step, Outcome(result)); }

// Opens, and closes what opened: only the outcome matters.
void Open(const char* step, const char* path, int flags) {
  const int fd = open(path, flags, kFileMode);
  Report(step, fd);
  if (fd >= 0) close(fd);
}

// What a file reached through a link holds ("-" and the error when it cannot be read).
void Read(const char* step, const char* path) {
  const int fd = open(path, O_RDONLY);
  char text[32] = {};
  const ssize_t n = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
  if (fd >= 0) close(fd);
  if (n < 0) {
    std::printf("%s - %s\n", step, strerrorname_np(errno));
  } else {
    std::printf("%s %s\n", step, text);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (dlsym(RTLD_DEFAULT, "bm77sim_active") == nullptr) return kNotUnderBoard;
  if (argc != 2) return 1;
  const std::string secret = std::string(argv[1]) + "/secret";
  // Every path but the board's is the machine's: the folder outside is read as it is, but a
  // link the test planted there may not lead to the machine's own copy of a board file.
  Read("outside-read", secret.c_str());
  const std::string to_board = std::string(argv[1]) + "/to-board";
  Open("to-board-create", to_board.c_str(), O_WRONLY | O_CREAT);
  Report("to-board-unlink", unlink(to_board.c_str()));
  // Planted by the test at the board's paths, and below one of them (/opt/random, a folder
  // here): links out of the sandbox.
  Open("port-link", "/opt/mac", O_PATH);
  Open("dev-folder-link", "/opt/random/dev-link/ttyS0", O_PATH);
  Open("outside-file", "/opt/random/out-link/secret", O_RDONLY);
  Open("dangling-create", "/tmp/mac", O_WRONLY | O_CREAT);
  Open("up-folder", "/opt/device_name", O_RDONLY | O_DIRECTORY);
  struct stat st {};
  Report("stat-through", stat("/opt/mac", &st));
  Report("hard-link", link("/opt/random/out-link/secret", "/tmp/device_name"));
  // A hard link is a link too: a board name for a file outside.
  Report("hard-link-outside", link(secret.c_str(), "/tmp/device_name"));
  // Made by the program: relative texts that climb out.
  Report("made-here", symlink(kUpToPort, "up"));
  Open("made-here-open", "up", O_PATH);
  Report("made-tmp", symlink(kUpToPort, "/opt/vcomdata"));
  Open("made-tmp-open", "/opt/vcomdata", O_PATH);
  // The link itself is fine to look at and to remove.
  Report("lstat-link", lstat("/opt/mac", &st));
  char text[64];
  const ssize_t n = readlink("/opt/mac", text, sizeof text);
  const std::string target =
      n < 0 ? strerrorname_np(errno) : std::string(text, static_cast<size_t>(n));
  std::printf("readlink %s\n", target.c_str());
  Open("nofollow", "/opt/mac", O_RDONLY | O_NOFOLLOW | O_NONBLOCK);
  Report("unlink-link", unlink("/opt/mac"));
  // Links that stay inside.
  Read("in-link", "/opt/random/in-link");
  Read("rel-link", "/opt/random/rel-link");
  Report("made-inside", symlink("target", "/opt/random/made-inside"));
  Read("made-inside-read", "/opt/random/made-inside");
  return 0;
}
