// Board::Run: starts one real program against the board and collects what it did. This is the
// one way every program starts, for the tests and for devsim. A program that would ignore the
// preload library (static, setuid or setgid, file capabilities) is refused before it runs: it
// would reach the machine's real port and files. Where the runner may, the program runs under
// the second seal as well (board_seal.h). Programs built for the device's processor run under
// the emulator (EmulatorWords), which reads the very file that was examined.
#include <elf.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>

#include "board_impl.h"
#include "board_seal.h"

extern char** environ;

namespace testbed {

namespace {

using SteadyClock = std::chrono::steady_clock;

// Without a pidfd the runner looks for the program's end this often.
constexpr std::chrono::milliseconds kExitPoll{5};
// After the program ended, output still held by a leftover of its process group is collected
// for this long at most.
constexpr std::chrono::milliseconds kDrainLimit{200};
constexpr int kExecFailedStatus = 127;
constexpr size_t kReadChunk = 4096;
constexpr char kBoardEnvPrefix[] = "BM77SIM_";
constexpr char kFixedSearchPath[] = "/usr/local/bin:/usr/bin:/bin";
constexpr const char* kSanitizerSettings[] = {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS"};
constexpr char kNoHandshake[] =
    "the program did not greet the board (it ran without the preload library): ";

struct Fd {
  int fd = -1;
  Fd() = default;
  explicit Fd(int f) : fd(f) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { Reset(); }
  void Reset() {
    if (fd >= 0) close(fd);
    fd = -1;
  }
};

// ---- Is it safe to run? -----------------------------------------------------------------------

// The name of the extended attribute that carries file capabilities.
constexpr char kCapabilityAttribute[] = "security.capability";

bool ReadAt(int fd, void* into, size_t size, uint64_t offset) {
  return pread(fd, into, size, static_cast<off_t>(offset)) == static_cast<ssize_t>(size);
}

template <typename Ehdr, typename Phdr>
bool HasInterpreter(int fd) {
  Ehdr header;
  if (!ReadAt(fd, &header, sizeof header, 0) || header.e_phentsize != sizeof(Phdr)) return false;
  for (unsigned i = 0; i < header.e_phnum; ++i) {
    Phdr ph;
    if (!ReadAt(fd, &ph, sizeof ph, header.e_phoff + i * sizeof(Phdr))) return false;
    if (ph.p_type == PT_INTERP) return true;
  }
  return false;
}

// 32 or 64 for an ELF file of that class; 0 when it is neither.
unsigned ElfWordBits(int fd) {
  unsigned char ident[EI_NIDENT] = {};
  if (!ReadAt(fd, ident, sizeof ident, 0) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) return 0;
  return ident[EI_CLASS] == ELFCLASS32 ? 32 : ident[EI_CLASS] == ELFCLASS64 ? 64 : 0;
}

// ELF class, byte order and machine of a file ("" when it is no ELF file).
std::string ElfKind(int fd) {
  unsigned char header[EI_NIDENT + 4] = {};  // ident, e_type, e_machine
  if (!ReadAt(fd, header, sizeof header, 0) || std::memcmp(header, ELFMAG, SELFMAG) != 0) {
    return "";
  }
  return std::to_string(header[EI_CLASS]) + "/" + std::to_string(header[EI_DATA]) + "/" +
         std::to_string(header[EI_NIDENT + 2] | header[EI_NIDENT + 3] << 8);
}

// The dynamic loader only warns about a preload library it cannot load, and runs the program
// without it: so the library must be there, and of the program's own kind.
std::string WhyPreloadWouldFail(int program, const std::string& path) {
  const std::string library = PreloadLibrary();
  const Fd lib(open(library.c_str(), O_RDONLY | O_CLOEXEC));
  const std::string kind = lib.fd < 0 ? "" : ElfKind(lib.fd);
  if (kind.empty()) return "the preload library is missing: " + library;
  if (kind != ElfKind(program)) {
    return "the preload library does not fit the program's machine: " + path;
  }
  return "";
}

// Why the program open on `fd` must not run, or "" when it may. Everything that makes the
// dynamic loader ignore LD_PRELOAD is refused: no loader at all, or a secure-mode start.
std::string WhyNotRunnable(int fd, const std::string& path) {
  struct stat st;
  if (fstat(fd, &st) != 0) return "cannot examine the program: " + path;
  if (!S_ISREG(st.st_mode) || (st.st_mode & (S_IXUSR | S_IXGRP | S_IXOTH)) == 0) {
    return "not an executable file: " + path;
  }
  if ((st.st_mode & (S_ISUID | S_ISGID)) != 0) {
    return "setuid or setgid program (the preload library would be ignored): " + path;
  }
  if (fgetxattr(fd, kCapabilityAttribute, nullptr, 0) >= 0 || errno == ERANGE) {
    return "program with file capabilities (the preload library would be ignored): " + path;
  }
  unsigned char ident[EI_NIDENT] = {};
  if (!ReadAt(fd, ident, sizeof ident, 0) || std::memcmp(ident, ELFMAG, SELFMAG) != 0) {
    return "not an ELF program: " + path;
  }
  const bool dynamic = ident[EI_CLASS] == ELFCLASS64   ? HasInterpreter<Elf64_Ehdr, Elf64_Phdr>(fd)
                       : ident[EI_CLASS] == ELFCLASS32 ? HasInterpreter<Elf32_Ehdr, Elf32_Phdr>(fd)
                                                       : false;
  if (!dynamic) {
    return "statically linked program (the preload library would be ignored): " + path;
  }
  return WhyPreloadWouldFail(fd, path);
}

// A bare name is a program of build/bin; any other relative name is taken from the caller's
// folder, once, here: the program runs in the board folder, where it would name another file.
std::string ProgramPath(const std::string& program) {
  if (program.find('/') == std::string::npos) return BinDir() + "/" + program;
  if (program[0] == '/') return program;
  char cwd[PATH_MAX];
  if (getcwd(cwd, sizeof cwd) == nullptr) return program;
  size_t skip = 0;
  while (program.compare(skip, 2, "./") == 0) skip += 2;  // "./prog" reads better as prog
  return std::string(cwd) + "/" + program.substr(skip);
}

// Opens the program once: the file examined is the file executed, whatever happens to its
// name in between.
std::string OpenProgram(const std::string& path, Fd* program) {
  program->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (program->fd < 0) return "no such program: " + path;
  return WhyNotRunnable(program->fd, path);
}

// ---- Starting it --------------------------------------------------------------------------------

struct Child {
  pid_t pid = -1;
  Fd in;  // our end of its standard input (a socket, so a closed reader cannot SIGPIPE us)
  Fd out;
  Fd err;
  Fd exited;  // pidfd: readable once it has ended
};

// What the child needs after fork, all prepared before it.
struct Start {
  int program = -1;  // the open program file
  const char* emulator = nullptr;  // runs the program from /proc/self/fd/<program>; null: none
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  const char* cwd = nullptr;
  const SealPlan* seal = nullptr;  // null: no second seal
  int in = -1;  // < 0: the program starts with its standard input closed
  int out = -1;
  int err = -1;
  int report = -1;  // where a failed step is told; closes at exec
  // A process group of its own, which the runner stops whole; not on the caller's streams,
  // where it stays in the caller's group, so a terminal's Ctrl-C and job control reach it.
  bool own_group = true;
};

// What a run takes from the caller's environment when it may not have all of it: the
// sanitizers' settings belong to the build, not to the caller.
bool KeptFromCaller(const std::string& name) {
  for (const char* kept : kSanitizerSettings) {
    if (name == kept) return true;
  }
  return false;
}

std::map<std::string, std::string> EnvironmentFor(
    const std::map<std::string, std::string>& board_env,
    const std::map<std::string, std::string>& extra, bool caller_environment) {
  std::map<std::string, std::string> env;
  if (!caller_environment) env["PATH"] = kFixedSearchPath;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const size_t eq = entry.find('=');
    if (eq == std::string::npos) continue;
    const std::string name = entry.substr(0, eq);
    if (!caller_environment && !KeptFromCaller(name)) continue;
    // Settings of an outer board or an outer preload list must not leak into this run.
    if (name.rfind(kBoardEnvPrefix, 0) == 0 || name == simwire::kPreloadVariable) continue;
    env[name] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : board_env) env[name] = value;
  for (const auto& [name, value] : extra) env[name] = value;
  return env;
}

// What is executed: the program itself, or the emulator with the program's descriptor.
struct Command {
  std::vector<std::string> argv;
  std::vector<std::string> env;
};

Command CommandFor(int program, const std::string& path, const std::vector<std::string>& args,
                   std::map<std::string, std::string> env) {
  Command c;
  if (Emulator().empty()) {
    c.argv = {path};
  } else {
    std::optional<std::string> preload;
    const auto given = env.find(simwire::kPreloadVariable);
    if (given != env.end()) {
      preload = given->second;
      env.erase(given);
    }
    // The loader opens the program through the descriptor that was examined; the program
    // sees its own path as its name, as it would natively.
    c.argv = EmulatorWords(preload, path);
    c.argv.push_back("/proc/self/fd/" + std::to_string(program));
    env[simwire::kEnvEmulator] = Emulator();
    env[simwire::kEnvEmulatorLoader] = EmulatorLoader();
    env[simwire::kEnvEmulatorLibraries] = EmulatorLibraries();
  }
  c.argv.insert(c.argv.end(), args.begin(), args.end());
  for (const auto& [name, value] : env) c.env.push_back(name + "=" + value);
  return c;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> p;
  for (std::string& s : strings) p.push_back(s.data());
  p.push_back(nullptr);
  return p;
}

void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK); }

[[noreturn]] void StartFailed(int report, StartStep step, int err) {
  const StartFailure failure{step, err};
  (void)!write(report, &failure, sizeof failure);
  _exit(kExecFailedStatus);
}

// Between fork and exec only system calls: everything was prepared before.
[[noreturn]] void BecomeProgram(const Start& s) {
  if (s.own_group) setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  StartFailure failure{};
  if (s.seal != nullptr && !ApplySeal(*s.seal, &failure)) {
    StartFailed(s.report, failure.step, failure.err);
  }
  // A stream already in its place (the caller's own) stays as it is, open or closed.
  auto put = [](int from, int to) { return from == to || dup2(from, to) >= 0; };
  const bool in_ok = s.in < 0 ? close(STDIN_FILENO) == 0 || errno == EBADF
                              : put(s.in, STDIN_FILENO);
  if (!in_ok || !put(s.out, STDOUT_FILENO) || !put(s.err, STDERR_FILENO)) {
    StartFailed(s.report, StartStep::kStandardStreams, errno);
  }
  if (chdir(s.cwd) != 0) StartFailed(s.report, StartStep::kFolder, errno);
  // Every other descriptor closes at exec; the program file and the report stay until then.
  close_range(STDERR_FILENO + 1, UINT_MAX, CLOSE_RANGE_CLOEXEC);
  if (s.emulator != nullptr) {
    // The emulator reads the program through this descriptor, so it stays open across exec.
    if (fcntl(s.program, F_SETFD, 0) != 0) StartFailed(s.report, StartStep::kExec, errno);
    execve(s.emulator, s.argv, s.envp);
  } else {
    execveat(s.program, "", s.argv, s.envp, AT_EMPTY_PATH);
  }
  StartFailed(s.report, StartStep::kExec, errno);
}

// A pseudo-terminal for the program's standard error: our end in `ours`, its end in `theirs`.
// Raw, so that what the program writes arrives unchanged.
bool OpenTerminal(Fd* ours, Fd* theirs) {
  ours->fd = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  char name[128];
  if (ours->fd < 0 || grantpt(ours->fd) != 0 || unlockpt(ours->fd) != 0 ||
      ptsname_r(ours->fd, name, sizeof name) != 0) {
    return false;
  }
  theirs->fd = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios raw{};
  if (theirs->fd < 0 || tcgetattr(theirs->fd, &raw) != 0) return false;
  cfmakeraw(&raw);
  return tcsetattr(theirs->fd, TCSANOW, &raw) == 0;
}

// Waits for the child to exec (the report closes with nothing in it) or to tell which step
// failed. Returns "" when it runs.
std::string AwaitStart(int report) {
  StartFailure failure{};
  ssize_t n;
  do {
    n = read(report, &failure, sizeof failure);
  } while (n < 0 && errno == EINTR);
  if (n == 0) return "";
  if (n != static_cast<ssize_t>(sizeof failure)) return "cannot start: no word from the child";
  return std::string("cannot start: ") + StartStepName(failure.step) + ": " +
         std::strerror(failure.err);
}

// The program's ends of its standard streams: pipes (and a terminal for standard error) whose
// other ends the runner watches. False with errno set when one cannot be made.
struct Streams {
  Fd in;
  Fd out;
  Fd err;
};
bool OpenStreams(const RunOptions& options, Child* child, Streams* theirs) {
  int in[2], out[2], err[2];
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) return false;
  theirs->in.fd = in[1];
  child->in.fd = in[0];
  if (pipe2(out, O_CLOEXEC) != 0) return false;
  theirs->out.fd = out[1];
  child->out.fd = out[0];
  if (options.stderr_terminal) return OpenTerminal(&child->err, &theirs->err);
  if (pipe2(err, O_CLOEXEC) != 0) return false;
  theirs->err.fd = err[1];
  child->err.fd = err[0];
  return true;
}

// "" when the program runs; else why not (the child is then reaped).
std::string Spawn(int program, const std::string& path, const std::vector<std::string>& args,
                  const std::map<std::string, std::string>& env, const std::string& cwd,
                  const SealPlan* seal, const RunOptions& options, Child* child) {
  Command command = CommandFor(program, path, args, env);
  std::vector<char*> argv = Pointers(command.argv);
  std::vector<char*> envp = Pointers(command.env);
  const std::string emulator = Emulator();
  auto failed = [] { return std::string("cannot start: ") + std::strerror(errno); };
  Streams theirs;
  if (!options.callers_streams && !OpenStreams(options, child, &theirs)) return failed();
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) return failed();
  Fd report_read(report[0]);
  Fd report_child(report[1]);
  const bool callers = options.callers_streams;
  const Start start{program,
                    emulator.empty() ? nullptr : emulator.c_str(),
                    argv.data(),
                    envp.data(),
                    cwd.c_str(),
                    seal,
                    callers ? STDIN_FILENO : options.stdin_closed ? -1 : theirs.in.fd,
                    callers ? STDOUT_FILENO : theirs.out.fd,
                    callers ? STDERR_FILENO : theirs.err.fd,
                    report_child.fd,
                    !callers};
  child->pid = fork();
  if (child->pid < 0) return failed();
  if (child->pid == 0) BecomeProgram(start);
  // Also here: the kill below may come before the child's own.
  if (start.own_group) setpgid(child->pid, child->pid);
  report_child.Reset();
  const std::string stopped = AwaitStart(report_read.fd);
  if (!stopped.empty()) {
    waitpid(child->pid, nullptr, 0);
    return stopped;
  }
  child->exited.fd = static_cast<int>(syscall(SYS_pidfd_open, child->pid, 0));
  for (int fd : {child->in.fd, child->out.fd, child->err.fd}) SetNonBlocking(fd);
  return "";
}

// ---- Watching it --------------------------------------------------------------------------------

// Reads what is there; closes the pipe at its end.
void Collect(Fd& pipe, std::string* into) {
  char buffer[kReadChunk];
  while (pipe.fd >= 0) {
    const ssize_t n = read(pipe.fd, buffer, sizeof buffer);
    if (n > 0) {
      into->append(buffer, static_cast<size_t>(n));
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
      pipe.Reset();
    } else if (errno == EAGAIN) {
      return;
    }
  }
}

void Feed(Fd& in, const std::string& text, size_t* fed) {
  while (in.fd >= 0 && *fed < text.size()) {
    const ssize_t n = send(in.fd, text.data() + *fed, text.size() - *fed, MSG_NOSIGNAL);
    if (n > 0) {
      *fed += static_cast<size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      return;
    } else if (n < 0 && errno != EINTR) {
      in.Reset();  // it closed its standard input: what is left is not wanted
    }
  }
  in.Reset();  // all given: the program sees the end of its input
}

int PollTimeoutMs(SteadyClock::time_point deadline, bool have_pidfd) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now());
  left = std::max(left, std::chrono::milliseconds{0});
  if (!have_pidfd) left = std::min(left, kExitPoll);
  return static_cast<int>(std::min<long long>(left.count(), INT_MAX));
}

bool Reap(pid_t pid, int options, RunResult* result) {
  int status = 0;
  rusage usage{};
  pid_t r;
  do {
    r = wait4(pid, &status, options, &usage);
  } while (r < 0 && errno == EINTR);
  if (r != pid) return false;
  if (WIFEXITED(status)) result->exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result->signal = WTERMSIG(status);
  auto seconds = [](const timeval& t) {
    return std::chrono::duration<double>(std::chrono::seconds(t.tv_sec) +
                                         std::chrono::microseconds(t.tv_usec))
        .count();
  };
  result->cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
  return true;
}

void Watch(Child& child, const RunOptions& options, RunResult* result) {
  const auto deadline = SteadyClock::now() + options.time_limit;
  size_t fed = 0;
  for (;;) {
    Feed(child.in, options.stdin_text, &fed);
    pollfd fds[] = {{child.out.fd, POLLIN, 0},
                    {child.err.fd, POLLIN, 0},
                    {child.in.fd, POLLOUT, 0},
                    {child.exited.fd, POLLIN, 0}};
    poll(fds, 4, PollTimeoutMs(deadline, child.exited.fd >= 0));
    Collect(child.out, &result->out);
    Collect(child.err, &result->err);
    if (Reap(child.pid, WNOHANG, result)) break;
    if (SteadyClock::now() >= deadline) {
      kill(-child.pid, SIGKILL);
      kill(child.pid, SIGKILL);  // not in a group of its own on the caller's streams
      Reap(child.pid, 0, result);
      result->timed_out = true;
      break;
    }
  }
  // Whatever is left of its process group (a program it started) ends with it.
  kill(-child.pid, SIGKILL);
  const auto drain_until = SteadyClock::now() + kDrainLimit;
  while ((child.out.fd >= 0 || child.err.fd >= 0) && SteadyClock::now() < drain_until) {
    pollfd fds[] = {{child.out.fd, POLLIN, 0}, {child.err.fd, POLLIN, 0}};
    poll(fds, 2, static_cast<int>(kDrainLimit.count()));
    Collect(child.out, &result->out);
    Collect(child.err, &result->err);
  }
}

}  // namespace

RunResult Board::Run(const std::string& program, const std::vector<std::string>& args,
                     const RunOptions& options) {
  RunResult result;
  const std::string path = ProgramPath(program);
  Fd file;
  result.refusal = OpenProgram(path, &file);
  if (!result.refusal.empty()) return result;

  std::map<std::string, std::string> extra;
  const std::string noisewell = BinDir() + "/Noisewell";
  if (access(noisewell.c_str(), X_OK) == 0) extra[simwire::kEnvNoisewell] = noisewell;
  for (const auto& [name, value] : options.env) extra[name] = value;
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    const auto given = extra.find(simwire::kEnvNoisewell);
    impl_->noisewell = given == extra.end() ? "" : given->second;
    impl_->greeted.clear();
  }
  impl_->module_impl->ResetPort();

  {
    // The screen information a program reads is laid out for its word size.
    std::lock_guard<std::mutex> lock(impl_->fb_impl.mu);
    impl_->fb_impl.program_word_bits = ElfWordBits(file.fd);
  }

  const SealMode mode = impl_->options.seal ? AvailableSeal() : SealMode::kNone;
  const SealPlan seal = PrepareSeal(
      mode, impl_->options.port_present ? impl_->module_impl->slave_path() : "", impl_->sandbox);
  const auto start = SteadyClock::now();
  Child child;
  result.refusal =
      Spawn(file.fd, path, args,
            EnvironmentFor(ProgramEnvironment(), extra, options.caller_environment),
            options.folder.empty() ? impl_->sandbox : options.folder,
            mode == SealMode::kNone ? nullptr : &seal, options, &child);
  if (!result.refusal.empty()) return result;
  result.started = true;
  result.sealed = mode != SealMode::kNone;
  if (options.started) options.started(child.pid);
  Watch(child, options, &result);
  result.wall_seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    result.handshake = impl_->greeted.count(child.pid) != 0;
  }
  // The handshake decides: output of a program that ran without the preload library is not
  // a run on the board.
  if (!result.handshake) result.refusal = kNoHandshake + path;
  impl_->Settle();
  return result;
}

}  // namespace testbed
