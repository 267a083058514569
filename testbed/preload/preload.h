// Inside the preload library. Plain C headers only: the library must not pull in libstdc++,
// because it is loaded into every program under test, including ones that never link it.
#pragma once

#include <limits.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "sim_protocol.h"

#define BM77SIM_EXPORT extern "C" __attribute__((visibility("default")))

namespace bm77sim {

// ---- Lexical path handling (path_norm.cpp, pure) ------------------------------------------------

// Collapses "//", "." and ".." of an absolute path into `out`. ".." above "/" stays at "/".
// Returns false when `in` is not absolute or the result does not fit.
bool NormalisePath(const char* in, char* out, size_t out_size);
// True when `path` is `dir` itself or lies below it ("/opt" and "/opt/x", not "/optx").
bool PathUnder(const char* path, const char* dir);
// Joins `base` and a relative `rel` with one '/'; false when it does not fit.
bool JoinPath(const char* base, const char* rel, char* out, size_t out_size);

// ---- Process-wide state (state.cpp) -------------------------------------------------------------

// Reads the sandbox settings and greets the board; ends the process with
// simwire::kRefusedExitStatus when either fails. Runs once, from the library's constructor or
// from the first wrapper called before it.
void EnsureReady();
const char* Sandbox();
const char* TtyPath();  // "" when the port is missing
// Whether `rdev` names a character device that a program may use freely (null, zero, ...,
// and the pseudo-terminal that stands for the port).
bool HarmlessCharDevice(dev_t rdev);
// Whether `rdev` is the pseudo-terminal that stands for the port.
bool IsPortDevice(dev_t rdev);

// Real libc function behind a wrapped name (dlsym RTLD_NEXT), cached in `*slot`.
void* RealSymbol(const char* name, void** slot);

// ---- Board socket (client.cpp) ------------------------------------------------------------------

// Tells the board what was refused (best effort: the refusal stands either way).
void ReportViolation(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// Forwards one ioctl on a simulated device; returns its result with errno set when negative.
int ForwardIoctl(uint32_t device, unsigned request, void* arg);
// Asks the board about system(command): the wait status to return, -1 to refuse, or
// simwire::kSystemRun. Returns -1 when the board cannot be reached.
int32_t AskSystem(const char* command);
// The greeting of the library's constructor; false when the board did not answer.
bool Hello(const char* exe);

// ---- Path mapping (mapping.cpp) -----------------------------------------------------------------

// Whether a call follows a symbolic link in the last part of its path (open, stat) or works
// on the link itself (lstat, unlink, rename, open with O_NOFOLLOW).
enum class Leaf { kFollow, kKeep };

struct Mapped {
  int dirfd;        // the dirfd to hand to the real call (AT_FDCWD once mapped)
  const char* use;  // the path to hand to the real call (the caller's, or `buffer`)
  uint32_t device;  // simwire::Device reached through a fixed device path
  bool port;        // /dev/ttyS0, the pseudo-terminal
  bool in_sandbox;  // where it leads, links followed, lies in the sandbox folder
  char buffer[PATH_MAX];
};

// Decides where a program's path leads. Returns 0 with `m` filled, or -1 with errno set when
// the access is refused (then a violation was reported, except for a missing port). `op` names
// the call in violation texts. A path that goes into the sandbox must stay there through every
// symbolic link on its way (the last part's only when `leaf` follows it).
int MapPath(const char* op, int dirfd, const char* path, Mapped* m, Leaf leaf = Leaf::kFollow);
// For the target text of a symbolic link: absolute fixed paths are stored mapped.
int MapLinkTarget(const char* target, Mapped* m);
// A hard link made in the sandbox to a file outside it would let the program change that file
// through a sandbox name: refused (-1, errno set, violation reported). 0 when allowed.
int RefuseLinkInto(const char* op, const Mapped& from, const Mapped& to, const char* to_path);

// ---- Descriptors of the simulated devices and the port (fds.cpp) --------------------------------

void RememberFd(int fd, const Mapped& m);
void ForgetFd(int fd);
bool IsPortFd(int fd);
// Whether an open reached a device that is not allowed (a link swapped after the path was
// judged): a block device, or a character device that is not harmless.
bool ForeignDevice(int fd);
// Close what such an open produced, report it, and fail with EACCES (-1, or null).
int DropForeign(const char* op, const char* path, int fd);
void* DropForeignStream(const char* op, const char* path, void* stream);
// The simulated device still open on `fd` (kDevNone when none).
uint32_t DeviceOfFd(int fd);
int FileNumber(void* stream);  // fileno() of a FILE*

// ---- Wrapped behaviour that needs the full libc headers (calls.cpp) -----------------------------

// Mode argument of open/openat is present with O_CREAT or O_TMPFILE.
bool OpenTakesMode(int flags);
// Whether the open flags follow a link in the last part (not with O_NOFOLLOW, nor with
// O_CREAT | O_EXCL, which fails on any existing name).
Leaf LeafOfOpen(int flags);
// The same for the *at calls' AT_SYMLINK_NOFOLLOW, and for linkat's AT_SYMLINK_FOLLOW.
Leaf LeafOfAt(int flags);
Leaf LeafOfLinkAt(int flags);
bool MknodMakesDevice(mode_t mode);
// The ioctl rules: simulated devices go to the board, the port and ordinary files to the real
// call, other character devices are refused.
int Ioctl(int fd, unsigned request, void* arg);
int System(const char* command);
int RefuseExec(const char* op, const char* path);
// tmpfile(): an unnamed file in the sandbox's /tmp (glibc's own would go to the real /tmp).
void* TmpFile();

// ---- Port faults and scripted reads (port.cpp) --------------------------------------------------

void ParsePortSettings();
ssize_t PortRead(int fd, void* buf, size_t count);
ssize_t PortWrite(int fd, const void* buf, size_t count);

// ---- Deliberate pauses (pauses.cpp) -------------------------------------------------------------

void ParsePauseSettings();

// ---- Helpers for the wrapper files --------------------------------------------------------------

// AT_FDCWD, for the wrapper files that cannot include <fcntl.h> (it declares what they define).
constexpr int kAtFdcwd = -100;

// Maps one path and hands it to `call`, or returns `failed` when it was refused.
template <typename R, typename Call>
R OnPath(const char* op, int dirfd, const char* path, Leaf leaf, R failed, Call call) {
  Mapped m;
  if (MapPath(op, dirfd, path, &m, leaf) != 0) return failed;
  return call(m);
}

// Most calls follow a link in the last part.
template <typename R, typename Call>
R OnPath(const char* op, int dirfd, const char* path, R failed, Call call) {
  return OnPath(op, dirfd, path, Leaf::kFollow, failed, call);
}

// The same for calls that take two paths (rename, link), neither of which follows a link in
// its last part.
template <typename R, typename Call>
R OnPaths(const char* op, int dirfd1, const char* path1, int dirfd2, const char* path2, R failed,
          Call call) {
  Mapped a;
  Mapped b;
  if (MapPath(op, dirfd1, path1, &a, Leaf::kKeep) != 0 ||
      MapPath(op, dirfd2, path2, &b, Leaf::kKeep) != 0) {
    return failed;
  }
  return call(a, b);
}

}  // namespace bm77sim

// Typed access to the real function behind the wrapper `name`, defined in the same file.
#define BM77SIM_REAL(name) \
  (reinterpret_cast<decltype(&name)>(bm77sim::RealSymbol(#name, &real_slot_##name)))
#define BM77SIM_SLOT(name) static void* real_slot_##name
