// Exported wrappers of the calls that take a path but open nothing: status, access, removal,
// renaming, folders, modes, links, nodes and pipes. Like wrap_open.cpp, this file includes no libc
// header that declares these names; struct pointers travel as void*.
#include <errno.h>

#include "preload.h"

using bm77sim::kAtFdcwd;
using bm77sim::Mapped;
using bm77sim::OnPath;
using bm77sim::OnPaths;

BM77SIM_SLOT(stat);
BM77SIM_SLOT(stat64);
BM77SIM_SLOT(lstat);
BM77SIM_SLOT(lstat64);
BM77SIM_SLOT(fstatat);
BM77SIM_SLOT(fstatat64);
BM77SIM_SLOT(statx);
BM77SIM_SLOT(__xstat);
BM77SIM_SLOT(__xstat64);
BM77SIM_SLOT(__lxstat);
BM77SIM_SLOT(__lxstat64);
BM77SIM_SLOT(__fxstatat);
BM77SIM_SLOT(__fxstatat64);
BM77SIM_SLOT(statfs);
BM77SIM_SLOT(statfs64);
BM77SIM_SLOT(statvfs);
BM77SIM_SLOT(statvfs64);
BM77SIM_SLOT(access);
BM77SIM_SLOT(faccessat);
BM77SIM_SLOT(euidaccess);
BM77SIM_SLOT(eaccess);
BM77SIM_SLOT(remove);
BM77SIM_SLOT(unlink);
BM77SIM_SLOT(unlinkat);
BM77SIM_SLOT(rename);
BM77SIM_SLOT(renameat);
BM77SIM_SLOT(renameat2);
BM77SIM_SLOT(mkdir);
BM77SIM_SLOT(mkdirat);
BM77SIM_SLOT(rmdir);
BM77SIM_SLOT(opendir);
BM77SIM_SLOT(chdir);
BM77SIM_SLOT(chmod);
BM77SIM_SLOT(fchmodat);
BM77SIM_SLOT(chown);
BM77SIM_SLOT(lchown);
BM77SIM_SLOT(fchownat);
BM77SIM_SLOT(truncate);
BM77SIM_SLOT(truncate64);
BM77SIM_SLOT(link);
BM77SIM_SLOT(linkat);
BM77SIM_SLOT(symlink);
BM77SIM_SLOT(symlinkat);
BM77SIM_SLOT(readlink);
BM77SIM_SLOT(readlinkat);
BM77SIM_SLOT(__readlink_chk);
BM77SIM_SLOT(__readlinkat_chk);
BM77SIM_SLOT(realpath);
BM77SIM_SLOT(__realpath_chk);
BM77SIM_SLOT(canonicalize_file_name);
BM77SIM_SLOT(mknod);
BM77SIM_SLOT(mknodat);
BM77SIM_SLOT(__xmknod);
BM77SIM_SLOT(__xmknodat);
BM77SIM_SLOT(mkfifo);
BM77SIM_SLOT(mkfifoat);
BM77SIM_SLOT(utime);
BM77SIM_SLOT(utimes);
BM77SIM_SLOT(lutimes);
BM77SIM_SLOT(utimensat);

// ---- status -------------------------------------------------------------------------------------

BM77SIM_EXPORT int stat(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(stat)(m.use, buf); });
}

BM77SIM_EXPORT int stat64(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(stat64)(m.use, buf); });
}

BM77SIM_EXPORT int lstat(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(lstat)(m.use, buf); });
}

BM77SIM_EXPORT int lstat64(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(lstat64)(m.use, buf); });
}

BM77SIM_EXPORT int fstatat(int dirfd, const char* path, void* buf, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1,
                [&](const Mapped& m) { return BM77SIM_REAL(fstatat)(m.dirfd, m.use, buf, flags); });
}

BM77SIM_EXPORT int fstatat64(int dirfd, const char* path, void* buf, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(fstatat64)(m.dirfd, m.use, buf, flags);
  });
}

BM77SIM_EXPORT int statx(int dirfd, const char* path, int flags, unsigned mask, void* buf) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(statx)(m.dirfd, m.use, flags, mask, buf);
  });
}

// The names that programs built against glibc before 2.33 import for stat().
BM77SIM_EXPORT int __xstat(int ver, const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__xstat)(ver, m.use, buf); });
}

BM77SIM_EXPORT int __xstat64(int ver, const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__xstat64)(ver, m.use, buf); });
}

BM77SIM_EXPORT int __lxstat(int ver, const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__lxstat)(ver, m.use, buf); });
}

BM77SIM_EXPORT int __lxstat64(int ver, const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__lxstat64)(ver, m.use, buf); });
}

BM77SIM_EXPORT int __fxstatat(int ver, int dirfd, const char* path, void* buf, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(__fxstatat)(ver, m.dirfd, m.use, buf, flags);
  });
}

BM77SIM_EXPORT int __fxstatat64(int ver, int dirfd, const char* path, void* buf, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(__fxstatat64)(ver, m.dirfd, m.use, buf, flags);
  });
}

BM77SIM_EXPORT int statfs(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(statfs)(m.use, buf); });
}

BM77SIM_EXPORT int statfs64(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(statfs64)(m.use, buf); });
}

BM77SIM_EXPORT int statvfs(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(statvfs)(m.use, buf); });
}

BM77SIM_EXPORT int statvfs64(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(statvfs64)(m.use, buf); });
}

#ifdef __arm__
// With 64-bit time on armhf, the stat calls reach these names instead.
BM77SIM_SLOT(__stat64_time64);
BM77SIM_SLOT(__lstat64_time64);
BM77SIM_SLOT(__fstatat64_time64);

BM77SIM_EXPORT int __stat64_time64(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__stat64_time64)(m.use, buf); });
}

BM77SIM_EXPORT int __lstat64_time64(const char* path, void* buf) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__lstat64_time64)(m.use, buf); });
}

BM77SIM_EXPORT int __fstatat64_time64(int dirfd, const char* path, void* buf, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(__fstatat64_time64)(m.dirfd, m.use, buf, flags);
  });
}
#endif

// ---- access -------------------------------------------------------------------------------------

BM77SIM_EXPORT int access(const char* path, int how) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(access)(m.use, how); });
}

BM77SIM_EXPORT int faccessat(int dirfd, const char* path, int how, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(faccessat)(m.dirfd, m.use, how, flags);
  });
}

BM77SIM_EXPORT int euidaccess(const char* path, int how) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(euidaccess)(m.use, how); });
}

BM77SIM_EXPORT int eaccess(const char* path, int how) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(eaccess)(m.use, how); });
}

// ---- removal and renaming -----------------------------------------------------------------------

BM77SIM_EXPORT int remove(const char* path) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(remove)(m.use); });
}

BM77SIM_EXPORT int unlink(const char* path) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(unlink)(m.use); });
}

BM77SIM_EXPORT int unlinkat(int dirfd, const char* path, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(unlinkat)(m.dirfd, m.use, flags); });
}

BM77SIM_EXPORT int rename(const char* from, const char* to) {
  return OnPaths(__func__, kAtFdcwd, from, kAtFdcwd, to, -1, [&](const Mapped& a, const Mapped& b) {
    return BM77SIM_REAL(rename)(a.use, b.use);
  });
}

BM77SIM_EXPORT int renameat(int fromfd, const char* from, int tofd, const char* to) {
  return OnPaths(__func__, fromfd, from, tofd, to, -1, [&](const Mapped& a, const Mapped& b) {
    return BM77SIM_REAL(renameat)(a.dirfd, a.use, b.dirfd, b.use);
  });
}

BM77SIM_EXPORT int renameat2(int fromfd, const char* from, int tofd, const char* to,
                             unsigned flags) {
  return OnPaths(__func__, fromfd, from, tofd, to, -1, [&](const Mapped& a, const Mapped& b) {
    return BM77SIM_REAL(renameat2)(a.dirfd, a.use, b.dirfd, b.use, flags);
  });
}

// ---- folders ------------------------------------------------------------------------------------

BM77SIM_EXPORT int mkdir(const char* path, mode_t mode) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(mkdir)(m.use, mode); });
}

BM77SIM_EXPORT int mkdirat(int dirfd, const char* path, mode_t mode) {
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(mkdirat)(m.dirfd, m.use, mode); });
}

BM77SIM_EXPORT int rmdir(const char* path) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(rmdir)(m.use); });
}

BM77SIM_EXPORT void* opendir(const char* path) {
  return OnPath(__func__, kAtFdcwd, path, static_cast<void*>(nullptr),
                [&](const Mapped& m) { return BM77SIM_REAL(opendir)(m.use); });
}

BM77SIM_EXPORT int chdir(const char* path) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(chdir)(m.use); });
}

// ---- modes, owners, sizes, times ----------------------------------------------------------------

BM77SIM_EXPORT int chmod(const char* path, mode_t mode) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(chmod)(m.use, mode); });
}

BM77SIM_EXPORT int fchmodat(int dirfd, const char* path, mode_t mode, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(fchmodat)(m.dirfd, m.use, mode, flags);
  });
}

BM77SIM_EXPORT int chown(const char* path, uid_t owner, gid_t group) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(chown)(m.use, owner, group); });
}

BM77SIM_EXPORT int lchown(const char* path, uid_t owner, gid_t group) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(lchown)(m.use, owner, group); });
}

BM77SIM_EXPORT int fchownat(int dirfd, const char* path, uid_t owner, gid_t group, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(fchownat)(m.dirfd, m.use, owner, group, flags);
  });
}

BM77SIM_EXPORT int truncate(const char* path, off_t length) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(truncate)(m.use, length); });
}

BM77SIM_EXPORT int truncate64(const char* path, off64_t length) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(truncate64)(m.use, length); });
}

BM77SIM_EXPORT int utime(const char* path, const void* times) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(utime)(m.use, times); });
}

BM77SIM_EXPORT int utimes(const char* path, const void* times) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(utimes)(m.use, times); });
}

BM77SIM_EXPORT int lutimes(const char* path, const void* times) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(lutimes)(m.use, times); });
}

BM77SIM_EXPORT int utimensat(int dirfd, const char* path, const void* times, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(utimensat)(m.dirfd, m.use, times, flags);
  });
}

#ifdef __arm__
// With 64-bit time on armhf, the time-setting calls reach these names instead.
BM77SIM_SLOT(__utime64);
BM77SIM_SLOT(__utimes64);
BM77SIM_SLOT(__lutimes64);
BM77SIM_SLOT(__utimensat64);

BM77SIM_EXPORT int __utime64(const char* path, const void* times) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__utime64)(m.use, times); });
}

BM77SIM_EXPORT int __utimes64(const char* path, const void* times) {
  return OnPath(__func__, kAtFdcwd, path, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__utimes64)(m.use, times); });
}

BM77SIM_EXPORT int __lutimes64(const char* path, const void* times) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__lutimes64)(m.use, times); });
}

BM77SIM_EXPORT int __utimensat64(int dirfd, const char* path, const void* times, int flags) {
  return OnPath(__func__, dirfd, path, bm77sim::LeafOfAt(flags), -1, [&](const Mapped& m) {
    return BM77SIM_REAL(__utimensat64)(m.dirfd, m.use, times, flags);
  });
}
#endif

// ---- links --------------------------------------------------------------------------------------

BM77SIM_EXPORT int link(const char* from, const char* to) {
  return OnPaths(__func__, kAtFdcwd, from, kAtFdcwd, to, -1, [&](const Mapped& a, const Mapped& b) {
    if (bm77sim::RefuseLinkInto(__func__, a, b, to) != 0) return -1;
    return BM77SIM_REAL(link)(a.use, b.use);
  });
}

// With AT_SYMLINK_FOLLOW the new name is for the file a link leads to: judged as followed.
BM77SIM_EXPORT int linkat(int fromfd, const char* from, int tofd, const char* to, int flags) {
  Mapped a;
  if (bm77sim::MapPath(__func__, fromfd, from, &a, bm77sim::LeafOfLinkAt(flags)) != 0) return -1;
  return OnPath(__func__, tofd, to, bm77sim::Leaf::kKeep, -1, [&](const Mapped& b) {
    if (bm77sim::RefuseLinkInto(__func__, a, b, to) != 0) return -1;
    return BM77SIM_REAL(linkat)(a.dirfd, a.use, b.dirfd, b.use, flags);
  });
}

// The kernel follows a link's text later, outside this library: a fixed path in it is stored
// already mapped, and a refused one is not stored at all.
BM77SIM_EXPORT int symlink(const char* target, const char* path) {
  Mapped t;
  if (bm77sim::MapLinkTarget(target, &t) != 0) return -1;
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(symlink)(t.use, m.use); });
}

BM77SIM_EXPORT int symlinkat(const char* target, int dirfd, const char* path) {
  Mapped t;
  if (bm77sim::MapLinkTarget(target, &t) != 0) return -1;
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(symlinkat)(t.use, m.dirfd, m.use); });
}

BM77SIM_EXPORT ssize_t readlink(const char* path, char* buf, size_t size) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, ssize_t{-1},
                [&](const Mapped& m) { return BM77SIM_REAL(readlink)(m.use, buf, size); });
}

BM77SIM_EXPORT ssize_t readlinkat(int dirfd, const char* path, char* buf, size_t size) {
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, ssize_t{-1}, [&](const Mapped& m) {
    return BM77SIM_REAL(readlinkat)(m.dirfd, m.use, buf, size);
  });
}

BM77SIM_EXPORT ssize_t __readlink_chk(const char* path, char* buf, size_t size, size_t buf_size) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, ssize_t{-1}, [&](const Mapped& m) {
    return BM77SIM_REAL(__readlink_chk)(m.use, buf, size, buf_size);
  });
}

BM77SIM_EXPORT ssize_t __readlinkat_chk(int dirfd, const char* path, char* buf, size_t size,
                                        size_t buf_size) {
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, ssize_t{-1}, [&](const Mapped& m) {
    return BM77SIM_REAL(__readlinkat_chk)(m.dirfd, m.use, buf, size, buf_size);
  });
}

BM77SIM_EXPORT char* realpath(const char* path, char* resolved) {
  char* failed = nullptr;
  return OnPath(__func__, kAtFdcwd, path, failed,
                [&](const Mapped& m) { return BM77SIM_REAL(realpath)(m.use, resolved); });
}

BM77SIM_EXPORT char* __realpath_chk(const char* path, char* resolved, size_t resolved_size) {
  char* failed = nullptr;
  return OnPath(__func__, kAtFdcwd, path, failed, [&](const Mapped& m) {
    return BM77SIM_REAL(__realpath_chk)(m.use, resolved, resolved_size);
  });
}

BM77SIM_EXPORT char* canonicalize_file_name(const char* path) {
  char* failed = nullptr;
  return OnPath(__func__, kAtFdcwd, path, failed,
                [&](const Mapped& m) { return BM77SIM_REAL(canonicalize_file_name)(m.use); });
}

// ---- nodes: device nodes are never made, pipes are made where the path leads
// ---------------------

namespace {

int RefuseDeviceNode(const char* op, const char* path) {
  bm77sim::ReportViolation("%s %s: programs under test make no device nodes", op,
                           path == nullptr ? "(null)" : path);
  errno = EACCES;
  return -1;
}

}  // namespace

BM77SIM_EXPORT int mknod(const char* path, mode_t mode, dev_t dev) {
  if (bm77sim::MknodMakesDevice(mode)) return RefuseDeviceNode(__func__, path);
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(mknod)(m.use, mode, dev); });
}

BM77SIM_EXPORT int mknodat(int dirfd, const char* path, mode_t mode, dev_t dev) {
  if (bm77sim::MknodMakesDevice(mode)) return RefuseDeviceNode(__func__, path);
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(mknodat)(m.dirfd, m.use, mode, dev); });
}

BM77SIM_EXPORT int __xmknod(int ver, const char* path, mode_t mode, dev_t* dev) {
  if (bm77sim::MknodMakesDevice(mode)) return RefuseDeviceNode(__func__, path);
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(__xmknod)(ver, m.use, mode, dev); });
}

BM77SIM_EXPORT int __xmknodat(int ver, int dirfd, const char* path, mode_t mode, dev_t* dev) {
  if (bm77sim::MknodMakesDevice(mode)) return RefuseDeviceNode(__func__, path);
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, -1, [&](const Mapped& m) {
    return BM77SIM_REAL(__xmknodat)(ver, m.dirfd, m.use, mode, dev);
  });
}

BM77SIM_EXPORT int mkfifo(const char* path, mode_t mode) {
  return OnPath(__func__, kAtFdcwd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(mkfifo)(m.use, mode); });
}

BM77SIM_EXPORT int mkfifoat(int dirfd, const char* path, mode_t mode) {
  return OnPath(__func__, dirfd, path, bm77sim::Leaf::kKeep, -1,
                [&](const Mapped& m) { return BM77SIM_REAL(mkfifoat)(m.dirfd, m.use, mode); });
}
