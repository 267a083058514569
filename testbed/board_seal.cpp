// The second seal (board_seal.h). The order matters: the namespace is private before anything
// is mounted, so no mount can reach the machine's namespace; every existing mount loses its
// device nodes before the new /dev gets its few; the program loses the capabilities that would
// let it undo the mounts or reach hardware another way before it is started.
#include "board_seal.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "sim_protocol.h"

namespace testbed {

namespace {

// The harmless nodes of the new /dev, bound from the machine's.
constexpr const char* kHarmlessNodes[] = {"null", "zero", "full", "random", "urandom", "tty"};
constexpr const char* kPortNode = simwire::FirstBoardPath(simwire::BoardPathKind::kPort);
constexpr const char* kStandardLinks[][2] = {
    {"pts/ptmx", "/dev/ptmx"},
    {"/proc/self/fd", "/dev/fd"},
    {"/proc/self/fd/0", "/dev/stdin"},
    {"/proc/self/fd/1", "/dev/stdout"},
    {"/proc/self/fd/2", "/dev/stderr"},
};

constexpr char kDev[] = "/dev";
constexpr char kDevPts[] = "/dev/pts";
constexpr char kDevShm[] = "/dev/shm";
constexpr char kDevOptions[] = "mode=0755,size=64k";
constexpr char kShmOptions[] = "mode=1777,size=16m";
constexpr mode_t kMountPointMode = 0600;
constexpr mode_t kFolderMode = 0755;

// What would let a root program leave the namespace or reach hardware past the new /dev:
// unmounting it or mounting another devtmpfs, making a node, reading another process's root
// through /proc, opening a file by handle on the machine's /dev, port I/O to the UART,
// loading a driver, restarting the machine.
constexpr int kDroppedCapabilities[] = {CAP_SYS_ADMIN,  CAP_MKNOD,         CAP_SYS_PTRACE,
                                        CAP_SYS_RAWIO,  CAP_DAC_READ_SEARCH, CAP_SYS_MODULE,
                                        CAP_SYS_BOOT};

bool Failed(StartStep step, StartFailure* failure) {
  failure->step = step;
  failure->err = errno;
  return false;
}

// One write, as /proc/self/uid_map wants it.
bool WriteWhole(const char* path, const std::string& text) {
  const int fd = open(path, O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  close(fd);
  return ok;
}

bool EnterNamespace(const SealPlan& plan, StartFailure* failure) {
  if (plan.mode == SealMode::kUserAndMount) {
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS) != 0) return Failed(StartStep::kUnshare, failure);
    if (!WriteWhole("/proc/self/setgroups", "deny") ||
        !WriteWhole("/proc/self/uid_map", plan.uid_map) ||
        !WriteWhole("/proc/self/gid_map", plan.gid_map)) {
      return Failed(StartStep::kUserMap, failure);
    }
  } else if (unshare(CLONE_NEWNS) != 0) {
    return Failed(StartStep::kUnshare, failure);
  }
  // Before any mount: nothing done below may travel back to the machine's namespace.
  if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
    return Failed(StartStep::kPrivate, failure);
  }
  return true;
}

bool SetNoDevices(const char* path, unsigned flags, bool on) {
  mount_attr attr{};
  (on ? attr.attr_set : attr.attr_clr) = MOUNT_ATTR_NODEV;
  return mount_setattr(AT_FDCWD, path, flags, &attr, sizeof attr) == 0;
}

// Every mount of the namespace stops opening device nodes: a node the machine keeps outside
// /dev (a container's /dev, a chroot) is then as dead as the ones in /dev.
bool NoDevicesAnywhere(StartFailure* failure) {
  if (SetNoDevices("/", AT_RECURSIVE, true)) return true;
  // Kernels before 5.12 lack the call: the new /dev still covers the machine's.
  if (errno == ENOSYS) return true;
  return Failed(StartStep::kNoDevices, failure);
}

bool MountDevFolder(StartFailure* failure) {
  if (mount("bm77sim-dev", kDev, "tmpfs", MS_NOSUID | MS_NOEXEC, kDevOptions) != 0) {
    return Failed(StartStep::kDevFolder, failure);
  }
  return true;
}

// A bound node opens again on this one mount.
bool AllowDevices(const char* path, unsigned flags) {
  return SetNoDevices(path, flags, false) || errno == ENOSYS;
}

// "/proc/self/fd/<dirfd>/<name>" without the allocating formatters: the child has just forked.
bool ThroughDescriptor(int dirfd, const char* name, char* out, size_t size) {
  constexpr char kPrefix[] = "/proc/self/fd/";
  char digits[16];
  size_t n = 0;
  for (unsigned v = static_cast<unsigned>(dirfd); n == 0 || v != 0; v /= 10) {
    digits[n++] = static_cast<char>('0' + v % 10);
  }
  if (sizeof kPrefix + n + 1 + strlen(name) > size) {
    errno = ENAMETOOLONG;
    return false;
  }
  char* p = stpcpy(out, kPrefix);
  while (n > 0) *p++ = digits[--n];
  *p++ = '/';
  stpcpy(p, name);
  return true;
}

bool BindNode(const char* source, const char* node, StartFailure* failure) {
  const int fd = open(node, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, kMountPointMode);
  if (fd < 0) return Failed(StartStep::kDevNode, failure);
  close(fd);
  if (mount(source, node, nullptr, MS_BIND, nullptr) != 0 || !AllowDevices(node, 0)) {
    return Failed(StartStep::kDevNode, failure);
  }
  return true;
}

// `machine_dev`: the machine's /dev, opened inside the namespace (a descriptor from before
// it names mounts of the machine's namespace, which cannot be bound here).
bool FillDev(const SealPlan& plan, int machine_dev, StartFailure* failure) {
  char source[PATH_MAX];
  if (!ThroughDescriptor(machine_dev, "pts", source, sizeof source) ||
      mkdir(kDevPts, kFolderMode) != 0 ||
      mount(source, kDevPts, nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
      !AllowDevices(kDevPts, AT_RECURSIVE)) {
    return Failed(StartStep::kDevPts, failure);
  }
  for (const auto& [name, node] : plan.harmless) {
    if (!ThroughDescriptor(machine_dev, name.c_str(), source, sizeof source)) {
      return Failed(StartStep::kDevNode, failure);
    }
    if (!BindNode(source, node.c_str(), failure)) return false;
  }
  if (!plan.port.empty() && !BindNode(plan.port.c_str(), kPortNode, failure)) return false;
  for (const auto& [text, link] : plan.links) {
    if (symlink(text.c_str(), link.c_str()) != 0) return Failed(StartStep::kDevLink, failure);
  }
  if (mkdir(kDevShm, kFolderMode) != 0 ||
      mount("bm77sim-shm", kDevShm, "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, kShmOptions) != 0) {
    return Failed(StartStep::kDevShm, failure);
  }
  // Nothing new appears in /dev while the program runs.
  if (mount(nullptr, kDev, nullptr, MS_REMOUNT | MS_RDONLY | MS_NOSUID | MS_NOEXEC, nullptr) !=
      0) {
    return Failed(StartStep::kDevReadOnly, failure);
  }
  return true;
}

// Covers the machine's /dev with the new one, opening the machine's first to take the
// harmless nodes from it.
bool BuildDev(const SealPlan& plan, StartFailure* failure) {
  const int machine_dev = open(kDev, O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (machine_dev < 0) return Failed(StartStep::kDevFolder, failure);
  const bool ok = MountDevFolder(failure) && FillDev(plan, machine_dev, failure);
  close(machine_dev);
  return ok;
}

bool DropCapabilities(StartFailure* failure) {
  (void)prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
  for (int cap : kDroppedCapabilities) {
    // EINVAL: a capability this kernel does not know, so nobody has it.
    if (prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0 && errno != EINVAL) {
      return Failed(StartStep::kCapabilities, failure);
    }
  }
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  if (syscall(SYS_capget, &header, data) != 0) return Failed(StartStep::kCapabilities, failure);
  for (int cap : kDroppedCapabilities) {
    const auto bit = static_cast<uint32_t>(CAP_TO_MASK(cap));
    __user_cap_data_struct& d = data[CAP_TO_INDEX(cap)];
    d.effective &= ~bit;
    d.permitted &= ~bit;
    d.inheritable &= ~bit;
  }
  if (syscall(SYS_capset, &header, data) != 0) return Failed(StartStep::kCapabilities, failure);
  // Nor can a program it starts get them back through a setuid bit or a file capability.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return Failed(StartStep::kNoNewPrivileges, failure);
  }
  return true;
}

// The probe: the steps that need the privilege, in a child that ends at once. Whatever fails
// later in a real start is a fault to report, not a reason to run without the seal. A chroot
// whose root is no mount point of its own lets the namespace be made, but not its mounts be
// made private: the probe then fails at that step, and says so through `failure`.
bool TrySeal(SealMode mode, StartFailure* failure) {
  *failure = StartFailure{StartStep::kUnshare, 0};
  const SealPlan plan = PrepareSeal(mode, "", "");
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return false;
  const pid_t pid = fork();
  if (pid < 0) {
    close(report[0]);
    close(report[1]);
    return false;
  }
  if (pid == 0) {
    close(report[0]);
    StartFailure failed{StartStep::kUnshare, 0};
    const bool ok = EnterNamespace(plan, &failed) && NoDevicesAnywhere(&failed) &&
                    MountDevFolder(&failed);
    if (!ok) (void)!write(report[1], &failed, sizeof failed);
    _exit(ok ? 0 : 1);
  }
  close(report[1]);
  StartFailure told{};
  if (read(report[0], &told, sizeof told) == static_cast<ssize_t>(sizeof told)) *failure = told;
  close(report[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

struct SealTrial {
  SealMode mode = SealMode::kNone;
  std::string unavailable;  // why there is no seal: the furthest step a trial took, and its error
};

const SealTrial& Trial() {
  static const SealTrial trial = [] {
    SealTrial t;
    StartFailure as_root;
    StartFailure as_user;
    if (TrySeal(SealMode::kMount, &as_root)) {
      t.mode = SealMode::kMount;
    } else if (TrySeal(SealMode::kUserAndMount, &as_user)) {
      t.mode = SealMode::kUserAndMount;
    } else {
      const StartFailure& furthest = as_user.step > as_root.step ? as_user : as_root;
      t.unavailable = std::string(StartStepName(furthest.step)) + ": " + strerror(furthest.err);
    }
    return t;
  }();
  return trial;
}

}  // namespace

SealMode AvailableSeal() { return Trial().mode; }

const std::string& SealUnavailable() { return Trial().unavailable; }

bool NamespaceWithoutSeal() {
  return AvailableSeal() == SealMode::kNone && !SealUnavailable().empty() &&
         SealUnavailable().rfind(StartStepName(StartStep::kUnshare), 0) != 0;
}

SealPlan PrepareSeal(SealMode mode, const std::string& port, const std::string& sandbox) {
  SealPlan plan;
  plan.mode = mode;
  plan.uid_map = "0 " + std::to_string(getuid()) + " 1";
  plan.gid_map = "0 " + std::to_string(getgid()) + " 1";
  for (const char* name : kHarmlessNodes) {
    struct stat st;
    const std::string machine = std::string(kDev) + "/" + name;
    if (stat(machine.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
      plan.harmless.emplace_back(name, machine);
    }
  }
  plan.port = port;
  for (const auto& link : kStandardLinks) plan.links.emplace_back(link[0], link[1]);
  // The board's devices, each a link to its file in the sandbox.
  for (const simwire::BoardPath& b : simwire::kBoardPaths) {
    if (b.kind == simwire::BoardPathKind::kDevice) {
      plan.links.emplace_back(sandbox + b.path, b.path);
    }
  }
  return plan;
}

bool ApplySeal(const SealPlan& plan, StartFailure* failure) {
  return EnterNamespace(plan, failure) && NoDevicesAnywhere(failure) &&
         BuildDev(plan, failure) && DropCapabilities(failure);
}

const char* StartStepName(StartStep step) {
  switch (step) {
    case StartStep::kUnshare:
      return "making the private mount namespace";
    case StartStep::kUserMap:
      return "mapping the user into the namespace";
    case StartStep::kPrivate:
      return "making the namespace's mounts private";
    case StartStep::kNoDevices:
      return "turning off the machine's device nodes";
    case StartStep::kDevFolder:
      return "mounting the new /dev";
    case StartStep::kDevNode:
      return "binding a node into the new /dev";
    case StartStep::kDevPts:
      return "binding /dev/pts";
    case StartStep::kDevLink:
      return "making a link in the new /dev";
    case StartStep::kDevShm:
      return "mounting /dev/shm";
    case StartStep::kDevReadOnly:
      return "making the new /dev read-only";
    case StartStep::kCapabilities:
      return "dropping capabilities";
    case StartStep::kNoNewPrivileges:
      return "forbidding new privileges";
    case StartStep::kStandardStreams:
      return "setting up standard input and output";
    case StartStep::kFolder:
      return "entering the board folder";
    case StartStep::kExec:
      return "executing the program";
  }
  return "starting";
}

}  // namespace testbed
