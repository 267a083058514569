// Exported wrappers that open, read, write, control or close a descriptor, and the calls that
// would start another program. This file includes no libc header that declares these names, so
// it can define them without fighting the headers' declarations; FILE* and the like travel as
// void*, which is the same at the symbol level.
#include <errno.h>
#include <stdarg.h>
#include <string.h>

#include "preload.h"

using bm77sim::kAtFdcwd;
using bm77sim::Mapped;

namespace {

// creat() follows a link in the last part, like open without O_NOFOLLOW or O_EXCL.
constexpr int kCreatFlags = 0;

// Remembers the simulated device or port behind a descriptor that an open produced; a device
// that the path, judged a moment before, did not lead to is closed again.
template <typename Call>
int OpenVia(const char* op, int dirfd, const char* path, int flags, Call call) {
  return bm77sim::OnPath(op, dirfd, path, bm77sim::LeafOfOpen(flags), -1, [&](const Mapped& m) {
    const int fd = call(m);
    if (fd < 0) return fd;
    if (m.device == simwire::kDevNone && !m.port && bm77sim::ForeignDevice(fd)) {
      return bm77sim::DropForeign(op, path, fd);
    }
    bm77sim::RememberFd(fd, m);
    return fd;
  });
}

template <typename Call>
void* FopenVia(const char* op, const char* path, Call call) {
  return bm77sim::OnPath(op, kAtFdcwd, path, static_cast<void*>(nullptr), [&](const Mapped& m) {
    void* stream = call(m);
    if (stream == nullptr) return stream;
    const int fd = bm77sim::FileNumber(stream);
    if (m.device == simwire::kDevNone && !m.port && bm77sim::ForeignDevice(fd)) {
      return bm77sim::DropForeignStream(op, path, stream);
    }
    bm77sim::RememberFd(fd, m);
    return stream;
  });
}

mode_t ModeArgument(int flags, va_list ap) {
  return bm77sim::OpenTakesMode(flags) ? va_arg(ap, mode_t) : 0;
}

// mkstemp() and friends fill in the template's trailing "XXXXXX"; when the template was mapped
// into the sandbox, the chosen letters go back into the caller's template.
constexpr size_t kTemplateSuffix = 6;

template <typename R, typename Call>
R WithTemplate(const char* op, char* name, R failed, Call call) {
  return bm77sim::OnPath(op, kAtFdcwd, name, bm77sim::Leaf::kKeep, failed, [&](Mapped& m) {
    if (m.use == name) return call(name);
    R result = call(m.buffer);
    const size_t mine = strlen(name);
    const size_t theirs = strlen(m.buffer);
    if (mine >= kTemplateSuffix && theirs >= kTemplateSuffix) {
      memcpy(name + mine - kTemplateSuffix, m.buffer + theirs - kTemplateSuffix, kTemplateSuffix);
    }
    return result;
  });
}

}  // namespace

BM77SIM_SLOT(open);
BM77SIM_SLOT(open64);
BM77SIM_SLOT(__open_2);
BM77SIM_SLOT(__open64_2);
BM77SIM_SLOT(openat);
BM77SIM_SLOT(openat64);
BM77SIM_SLOT(__openat_2);
BM77SIM_SLOT(__openat64_2);
BM77SIM_SLOT(creat);
BM77SIM_SLOT(creat64);
BM77SIM_SLOT(fopen);
BM77SIM_SLOT(fopen64);
BM77SIM_SLOT(freopen);
BM77SIM_SLOT(freopen64);
BM77SIM_SLOT(fclose);
BM77SIM_SLOT(close);
BM77SIM_SLOT(read);
BM77SIM_SLOT(__read_chk);
BM77SIM_SLOT(write);
BM77SIM_SLOT(mkstemp);
BM77SIM_SLOT(mkstemp64);
BM77SIM_SLOT(mkostemp);
BM77SIM_SLOT(mkostemp64);
BM77SIM_SLOT(mkdtemp);

// ---- open ---------------------------------------------------------------------------------------

BM77SIM_EXPORT int open(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenVia(__func__, kAtFdcwd, path, flags,
                 [&](const Mapped& m) { return BM77SIM_REAL(open)(m.use, flags, mode); });
}

BM77SIM_EXPORT int open64(const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenVia(__func__, kAtFdcwd, path, flags,
                 [&](const Mapped& m) { return BM77SIM_REAL(open64)(m.use, flags, mode); });
}

BM77SIM_EXPORT int __open_2(const char* path, int flags) {
  return OpenVia(__func__, kAtFdcwd, path, flags,
                 [&](const Mapped& m) { return BM77SIM_REAL(__open_2)(m.use, flags); });
}

BM77SIM_EXPORT int __open64_2(const char* path, int flags) {
  return OpenVia(__func__, kAtFdcwd, path, flags,
                 [&](const Mapped& m) { return BM77SIM_REAL(__open64_2)(m.use, flags); });
}

BM77SIM_EXPORT int openat(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenVia(__func__, dirfd, path, flags, [&](const Mapped& m) {
    return BM77SIM_REAL(openat)(m.dirfd, m.use, flags, mode);
  });
}

BM77SIM_EXPORT int openat64(int dirfd, const char* path, int flags, ...) {
  va_list ap;
  va_start(ap, flags);
  const mode_t mode = ModeArgument(flags, ap);
  va_end(ap);
  return OpenVia(__func__, dirfd, path, flags, [&](const Mapped& m) {
    return BM77SIM_REAL(openat64)(m.dirfd, m.use, flags, mode);
  });
}

BM77SIM_EXPORT int __openat_2(int dirfd, const char* path, int flags) {
  return OpenVia(__func__, dirfd, path, flags,
                 [&](const Mapped& m) { return BM77SIM_REAL(__openat_2)(m.dirfd, m.use, flags); });
}

BM77SIM_EXPORT int __openat64_2(int dirfd, const char* path, int flags) {
  return OpenVia(__func__, dirfd, path, flags, [&](const Mapped& m) {
    return BM77SIM_REAL(__openat64_2)(m.dirfd, m.use, flags);
  });
}

BM77SIM_EXPORT int creat(const char* path, mode_t mode) {
  return OpenVia(__func__, kAtFdcwd, path, kCreatFlags,
                 [&](const Mapped& m) { return BM77SIM_REAL(creat)(m.use, mode); });
}

BM77SIM_EXPORT int creat64(const char* path, mode_t mode) {
  return OpenVia(__func__, kAtFdcwd, path, kCreatFlags,
                 [&](const Mapped& m) { return BM77SIM_REAL(creat64)(m.use, mode); });
}

// ---- stdio --------------------------------------------------------------------------------------

BM77SIM_EXPORT void* fopen(const char* path, const char* mode) {
  return FopenVia(__func__, path,
                  [&](const Mapped& m) { return BM77SIM_REAL(fopen)(m.use, mode); });
}

BM77SIM_EXPORT void* fopen64(const char* path, const char* mode) {
  return FopenVia(__func__, path,
                  [&](const Mapped& m) { return BM77SIM_REAL(fopen64)(m.use, mode); });
}

// A null path only changes the mode of the stream's own file.
BM77SIM_EXPORT void* freopen(const char* path, const char* mode, void* stream) {
  if (path == nullptr) return BM77SIM_REAL(freopen)(path, mode, stream);
  bm77sim::ForgetFd(bm77sim::FileNumber(stream));
  return FopenVia(__func__, path,
                  [&](const Mapped& m) { return BM77SIM_REAL(freopen)(m.use, mode, stream); });
}

BM77SIM_EXPORT void* freopen64(const char* path, const char* mode, void* stream) {
  if (path == nullptr) return BM77SIM_REAL(freopen64)(path, mode, stream);
  bm77sim::ForgetFd(bm77sim::FileNumber(stream));
  return FopenVia(__func__, path,
                  [&](const Mapped& m) { return BM77SIM_REAL(freopen64)(m.use, mode, stream); });
}

BM77SIM_EXPORT void* tmpfile() { return bm77sim::TmpFile(); }
BM77SIM_EXPORT void* tmpfile64() { return bm77sim::TmpFile(); }

BM77SIM_EXPORT int mkstemp(char* name) {
  return WithTemplate(__func__, name, -1, [](char* t) { return BM77SIM_REAL(mkstemp)(t); });
}

BM77SIM_EXPORT int mkstemp64(char* name) {
  return WithTemplate(__func__, name, -1, [](char* t) { return BM77SIM_REAL(mkstemp64)(t); });
}

BM77SIM_EXPORT int mkostemp(char* name, int flags) {
  return WithTemplate(__func__, name, -1,
                      [&](char* t) { return BM77SIM_REAL(mkostemp)(t, flags); });
}

BM77SIM_EXPORT int mkostemp64(char* name, int flags) {
  return WithTemplate(__func__, name, -1,
                      [&](char* t) { return BM77SIM_REAL(mkostemp64)(t, flags); });
}

BM77SIM_EXPORT char* mkdtemp(char* name) {
  char* failed = nullptr;
  return WithTemplate(__func__, name, failed, [&](char* t) -> char* {
    return BM77SIM_REAL(mkdtemp)(t) == nullptr ? nullptr : name;
  });
}

// ---- descriptors --------------------------------------------------------------------------------

BM77SIM_EXPORT int fclose(void* stream) {
  bm77sim::ForgetFd(bm77sim::FileNumber(stream));
  return BM77SIM_REAL(fclose)(stream);
}

BM77SIM_EXPORT int close(int fd) {
  bm77sim::ForgetFd(fd);
  return BM77SIM_REAL(close)(fd);
}

BM77SIM_EXPORT ssize_t read(int fd, void* buf, size_t count) {
  if (bm77sim::IsPortFd(fd)) return bm77sim::PortRead(fd, buf, count);
  return BM77SIM_REAL(read)(fd, buf, count);
}

// _FORTIFY_SOURCE turns read() into this when the buffer's size is known.
BM77SIM_EXPORT ssize_t __read_chk(int fd, void* buf, size_t count, size_t buf_size) {
  if (bm77sim::IsPortFd(fd) && count <= buf_size) return bm77sim::PortRead(fd, buf, count);
  return BM77SIM_REAL(__read_chk)(fd, buf, count, buf_size);
}

BM77SIM_EXPORT ssize_t write(int fd, const void* buf, size_t count) {
  if (bm77sim::IsPortFd(fd)) return bm77sim::PortWrite(fd, buf, count);
  return BM77SIM_REAL(write)(fd, buf, count);
}

// The request is compared as 32 bits and the third argument read as a pointer: callers pass
// either an int or a pointer there, and only the low half of an int is defined.
BM77SIM_EXPORT int ioctl(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return bm77sim::Ioctl(fd, static_cast<unsigned>(request), arg);
}

#ifdef __arm__
// With 64-bit time on armhf, ioctl() calls reach this name instead.
BM77SIM_EXPORT int __ioctl_time64(int fd, unsigned long request, ...) {
  va_list ap;
  va_start(ap, request);
  void* arg = va_arg(ap, void*);
  va_end(ap);
  return bm77sim::Ioctl(fd, static_cast<unsigned>(request), arg);
}
#endif

// ---- other programs -----------------------------------------------------------------------------

BM77SIM_EXPORT int system(const char* command) { return bm77sim::System(command); }

BM77SIM_EXPORT int execve(const char* path, char* const*, char* const*) {
  return bm77sim::RefuseExec(__func__, path);
}

BM77SIM_EXPORT int execv(const char* path, char* const*) {
  return bm77sim::RefuseExec(__func__, path);
}

BM77SIM_EXPORT int execvp(const char* file, char* const*) {
  return bm77sim::RefuseExec(__func__, file);
}

BM77SIM_EXPORT int execvpe(const char* file, char* const*, char* const*) {
  return bm77sim::RefuseExec(__func__, file);
}

BM77SIM_EXPORT int execl(const char* path, const char*, ...) {
  return bm77sim::RefuseExec(__func__, path);
}

BM77SIM_EXPORT int execlp(const char* file, const char*, ...) {
  return bm77sim::RefuseExec(__func__, file);
}

BM77SIM_EXPORT int execle(const char* path, const char*, ...) {
  return bm77sim::RefuseExec(__func__, path);
}

BM77SIM_EXPORT int fexecve(int, char* const*, char* const*) {
  return bm77sim::RefuseExec(__func__, "(descriptor)");
}

BM77SIM_EXPORT int execveat(int, const char* path, char* const*, char* const*, int) {
  return bm77sim::RefuseExec(__func__, path);
}

// posix_spawn reports its failure as the return value, not through errno.
BM77SIM_EXPORT int posix_spawn(pid_t*, const char* path, const void*, const void*, char* const*,
                               char* const*) {
  bm77sim::RefuseExec(__func__, path);
  return EACCES;
}

BM77SIM_EXPORT int posix_spawnp(pid_t*, const char* file, const void*, const void*, char* const*,
                                char* const*) {
  bm77sim::RefuseExec(__func__, file);
  return EACCES;
}

BM77SIM_EXPORT void* popen(const char* command, const char*) {
  bm77sim::RefuseExec(__func__, command);
  return nullptr;
}
