// Where a program's path leads. The board's files and device nodes (simwire::kBoardPaths) go
// into the sandbox; every other path is the machine's, and every other device is refused
// unless it is harmless. Fail closed: when a path cannot be judged, it is refused.
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "preload.h"

namespace bm77sim {

static_assert(kAtFdcwd == AT_FDCWD, "the wrapper files pass AT_FDCWD by value");

namespace {

BM77SIM_SLOT(fstatat);
BM77SIM_SLOT(readlink);
BM77SIM_SLOT(realpath);

// As many links as the kernel follows in one path before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

constexpr const char kDevTree[] = "/dev";

// Below /dev these name descriptors or shared memory, never hardware.
constexpr const char* kDevPlainTrees[] = {"/dev/fd", "/dev/stdin", "/dev/stdout", "/dev/stderr",
                                          "/dev/shm"};

int Refused(int err, const char* op, const char* path, const char* why) {
  ReportViolation("%s %s: %s", op, path, why);
  errno = err;
  return -1;
}

bool DirectoryOf(int dirfd, char* out, size_t size) {
  if (dirfd == AT_FDCWD) return getcwd(out, size) != nullptr;
  char link[64];
  snprintf(link, sizeof link, "/proc/self/fd/%d", dirfd);
  const ssize_t n = BM77SIM_REAL(readlink)(link, out, size - 1);
  if (n <= 0 || out[0] != '/') return false;
  out[n] = '\0';
  return true;
}

bool Absolute(int dirfd, const char* path, char* out, size_t size) {
  if (path[0] == '/') return snprintf(out, size, "%s", path) < static_cast<int>(size);
  char dir[PATH_MAX];
  return DirectoryOf(dirfd, dir, sizeof dir) && JoinPath(dir, path, out, size);
}

int UseAsIs(int dirfd, const char* path, Mapped* m) {
  m->dirfd = dirfd;
  m->use = path;
  return 0;
}

int UseSandboxed(const char* op, const char* normal, Mapped* m) {
  if (snprintf(m->buffer, sizeof m->buffer, "%s%s", Sandbox(), normal) >=
      static_cast<int>(sizeof m->buffer)) {
    return Refused(ENAMETOOLONG, op, normal, "too long for the sandbox");
  }
  m->dirfd = AT_FDCWD;
  m->use = m->buffer;
  return 0;
}

int UsePort(const char* op, const char* normal, bool relative, Mapped* m) {
  if (relative) return Refused(EACCES, op, normal, "the port is reached by its full name only");
  const char* tty = TtyPath();
  if (tty[0] == '\0') {  // the board has no port: like a device without the node
    errno = ENOENT;
    return -1;
  }
  snprintf(m->buffer, sizeof m->buffer, "%s", tty);
  m->dirfd = AT_FDCWD;
  m->use = m->buffer;
  m->port = true;
  return 0;
}

bool Refusable(const struct stat& st) {
  return S_ISBLK(st.st_mode) || (S_ISCHR(st.st_mode) && !HarmlessCharDevice(st.st_rdev));
}

bool InPlainDevTree(const char* normal) {
  for (const char* tree : kDevPlainTrees) {
    if (PathUnder(normal, tree)) return true;
  }
  return false;
}

// Below /dev only what is known to be harmless passes; a missing node is refused as well,
// so that a typo in a fixed path shows up as a violation.
int CheckDevTree(const char* op, const char* normal, int dirfd, const char* path, Mapped* m) {
  struct stat st;
  if (BM77SIM_REAL(fstatat)(AT_FDCWD, normal, &st, 0) != 0) {
    return Refused(EACCES, op, normal, "no simulated device of that name");
  }
  const bool harmless = S_ISCHR(st.st_mode)   ? HarmlessCharDevice(st.st_rdev)
                        : S_ISDIR(st.st_mode) ? true
                                              : !S_ISBLK(st.st_mode) && InPlainDevTree(normal);
  if (!harmless) return Refused(EACCES, op, normal, "not a simulated device");
  return UseAsIs(dirfd, path, m);
}

// Any other path: a device reached under another name (a link, a copy of a node) is refused.
int CheckElsewhere(const char* op, const char* normal, int dirfd, const char* path, Mapped* m) {
  struct stat st;
  if (BM77SIM_REAL(fstatat)(dirfd, path, &st, 0) == 0 && Refusable(st)) {
    return Refused(EACCES, op, normal, "device outside the simulated board");
  }
  return UseAsIs(dirfd, path, m);
}

bool CopyPath(const char* from, char* to, size_t size) {
  return snprintf(to, size, "%s", from) < static_cast<int>(size);
}

bool IsDotName(const char* name) {
  return name[0] == '\0' || strcmp(name, ".") == 0 || strcmp(name, "..") == 0;
}

// Where `absolute` leads: every folder on the way resolved through its links, and the last part
// as well when `leaf` follows it, even through a link whose target does not exist yet (an open
// with O_CREAT would make it there). A folder that does not exist ends the walk: the call fails
// there, and the words are judged as they stand. False when it cannot be told (a loop of links,
// a name too long).
bool Resolve(const char* absolute, Leaf leaf, char* out, size_t size) {
  char current[PATH_MAX];
  if (!CopyPath(absolute, current, sizeof current)) return false;
  for (int links = 0; links <= kMaxLinks; ++links) {
    char parent[PATH_MAX];
    if (!CopyPath(current, parent, sizeof parent)) return false;
    char* slash = strrchr(parent, '/');
    if (slash == nullptr) return false;
    const char* name = current + (slash - parent) + 1;
    slash[slash == parent ? 1 : 0] = '\0';
    if (IsDotName(name)) {
      return BM77SIM_REAL(realpath)(current, out) != nullptr || NormalisePath(current, out, size);
    }
    char folder[PATH_MAX];
    if (BM77SIM_REAL(realpath)(parent, folder) == nullptr) return NormalisePath(current, out, size);
    char candidate[PATH_MAX];
    if (!JoinPath(folder, name, candidate, sizeof candidate)) return false;
    struct stat st;
    const bool link =
        BM77SIM_REAL(fstatat)(AT_FDCWD, candidate, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(st.st_mode);
    if (leaf == Leaf::kKeep || !link) {
      return NormalisePath(candidate, out, size);
    }
    char target[PATH_MAX];
    const ssize_t n = BM77SIM_REAL(readlink)(candidate, target, sizeof target - 1);
    if (n <= 0) return false;
    target[n] = '\0';
    const bool fits = target[0] == '/' ? CopyPath(target, current, sizeof current)
                                       : JoinPath(folder, target, current, sizeof current);
    if (!fits) return false;
  }
  return false;
}

// The board's path that `normal` is or lies below, if any. A file's "below" is the board's too:
// a link planted at a board path is then judged wherever a path through it goes.
const simwire::BoardPath* BoardPathOf(const char* normal) {
  for (const simwire::BoardPath& b : simwire::kBoardPaths) {
    if (b.kind == simwire::BoardPathKind::kProgram) continue;  // system() starts it
    if (PathUnder(normal, b.path)) return &b;
  }
  return nullptr;
}

// Where a path that is not the sandbox's may not lead through a link: to the machine's own
// copy of a board path, which the program must only ever see in the sandbox.
bool LeadsIntoMachineBoardPaths(const char* resolved) {
  return !PathUnder(resolved, Sandbox()) && BoardPathOf(resolved) != nullptr;
}

int UseBoardPath(const char* op, const simwire::BoardPath& b, const char* path,
                 const char* normal, Mapped* m) {
  const bool relative = path[0] != '/';
  switch (b.kind) {
    case simwire::BoardPathKind::kPort:
      if (strcmp(normal, b.path) != 0) break;
      return UsePort(op, normal, relative, m);
    case simwire::BoardPathKind::kDevice:
      if (strcmp(normal, b.path) != 0) break;
      if (relative) return Refused(EACCES, op, normal, "devices are reached by their full names");
      m->device = b.device;
      return UseSandboxed(op, normal, m);
    default:
      return UseSandboxed(op, normal, m);
  }
  return Refused(EACCES, op, normal, "nothing lies below a device");
}

int Decide(const char* op, int dirfd, const char* path, const char* normal, Mapped* m) {
  if (PathUnder(normal, Sandbox())) return UseAsIs(dirfd, path, m);
  if (const simwire::BoardPath* b = BoardPathOf(normal)) {
    return UseBoardPath(op, *b, path, normal, m);
  }
  if (PathUnder(normal, kDevTree)) return CheckDevTree(op, normal, dirfd, path, m);
  return CheckElsewhere(op, normal, dirfd, path, m);
}

}  // namespace

int MapPath(const char* op, int dirfd, const char* path, Mapped* m, Leaf leaf) {
  m->device = simwire::kDevNone;
  m->port = false;
  m->in_sandbox = false;
  if (path == nullptr || path[0] == '\0') return UseAsIs(dirfd, path, m);  // fd-only forms
  EnsureReady();
  char absolute[PATH_MAX];
  char normal[PATH_MAX];
  if (!Absolute(dirfd, path, absolute, sizeof absolute) ||
      !NormalisePath(absolute, normal, sizeof normal)) {
    return Refused(EACCES, op, path, "cannot tell where the path leads");
  }
  if (Decide(op, dirfd, path, normal, m) != 0) return -1;
  if (m->port) return 0;
  // The kernel follows links where the words do not show them: judge where it really leads.
  const bool mapped = m->use == m->buffer;
  char resolved[PATH_MAX];
  if (!Resolve(mapped ? m->use : absolute, leaf, resolved, sizeof resolved)) {
    return Refused(EACCES, op, normal, "cannot tell where the links on the path lead");
  }
  m->in_sandbox = PathUnder(resolved, Sandbox());
  const bool for_sandbox = mapped || PathUnder(normal, Sandbox());
  if (for_sandbox ? !m->in_sandbox : LeadsIntoMachineBoardPaths(resolved)) {
    return Refused(EACCES, op, normal, "a symbolic link leads out of the sandbox");
  }
  return 0;
}

int RefuseLinkInto(const char* op, const Mapped& from, const Mapped& to, const char* to_path) {
  if (from.in_sandbox || !to.in_sandbox) return 0;
  return Refused(EACCES, op, to_path, "a link in the sandbox to a file outside it");
}

int MapLinkTarget(const char* target, Mapped* m) {
  m->device = simwire::kDevNone;
  m->port = false;
  m->in_sandbox = false;
  if (target == nullptr || target[0] != '/') return UseAsIs(AT_FDCWD, target, m);
  return MapPath("symlink target", AT_FDCWD, target, m);
}

}  // namespace bm77sim
