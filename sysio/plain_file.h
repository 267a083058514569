// Opening a file a tool reads or writes (a table, an image, a picture, an identity or random
// file) where anyone may have planted something else at its name. A FIFO would hold the open
// or the read for ever, a folder or a device would be taken for a file, and opening a device
// can by itself act on hardware: so anything but a regular file is refused before it is
// opened, and once more on the descriptor in case it was swapped in between. Header-only, so
// the tools that link nothing of the library can use it too.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace bm77 {

enum class FileOwner {
  kOperator,  // named on the command line: a symbolic link to it is the operator's own choice
  // One the tools keep under /opt and /tmp, and the run record. They run as root, and /tmp is
  // open to everyone: a symbolic or a second hard link planted there would lead a write to a
  // file of someone else's choosing, so neither is followed.
  kTool,
};

inline bool IsPlainFile(const struct stat& st, FileOwner owner) {
  return S_ISREG(st.st_mode) && (owner == FileOwner::kOperator || st.st_nlink == 1);
}

// open(path, flags, mode) for a regular file only. The open itself never waits. Returns the
// descriptor, or -1 (errno EINVAL for what is no plain file).
inline int OpenPlainFile(const char* path, int flags, mode_t mode, FileOwner owner) {
  const bool own = owner == FileOwner::kTool;
  struct stat st;
  if ((own ? lstat(path, &st) : stat(path, &st)) == 0 && !IsPlainFile(st, owner)) {
    errno = EINVAL;
    return -1;
  }
  const int no_links = own ? O_NOFOLLOW : 0;
  const int fd = open(path, flags | no_links | O_NONBLOCK | O_NOCTTY | O_CLOEXEC, mode);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !IsPlainFile(st, owner)) {
    close(fd);
    errno = EINVAL;
    return -1;
  }
  // Non-blocking served the open only; a regular file never blocks on reads or writes.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

}  // namespace bm77
