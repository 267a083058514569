// The board: its sandbox folder, its socket and the one event-loop thread that serves the
// module's pseudo-terminal and the programs' preload libraries.
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>

#include "board_folder.h"
#include "board_impl.h"

namespace testbed {

namespace fs = std::filesystem;

namespace {

// The loop wakes at least this often, so the module samples the port's settings while a
// program changes them.
constexpr std::chrono::milliseconds kLoopTick{5};
// A program's bytes cross the pseudo-terminal in the background: the line counts as settled
// once it has stayed quiet this long after the program ended.
constexpr int kSettleQuietMs = 10;
constexpr std::chrono::seconds kSettleLimit{5};
constexpr int kListenBacklog = 16;
constexpr size_t kWakeDrain = 64;  // wake-up bytes taken per read
constexpr char kKeepEnv[] = "BM77SIM_KEEP";

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

std::string MakeSandbox(const BoardOptions& options, bool* given) {
  *given = !options.sandbox.empty();
  if (*given) {
    const std::string clash = BoardFolderClash(options.sandbox);
    if (!clash.empty()) throw std::invalid_argument(clash);
    fs::create_directories(options.sandbox);
    return fs::canonical(options.sandbox).string();
  }
  fs::create_directories(BM77_TESTRUN_DIR);
  std::string pattern = std::string(BM77_TESTRUN_DIR) + "/board-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) ThrowErrno("mkdtemp");
  return fs::canonical(pattern).string();
}

std::string UniqueSocketName() {
  static std::atomic<unsigned> counter{0};
  const auto now = std::chrono::steady_clock::now().time_since_epoch().count();
  return "@bm77sim-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
         std::to_string(now);
}

int Listen(const std::string& name) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (name.size() >= sizeof addr.sun_path) throw std::length_error("socket name too long");
  std::memcpy(addr.sun_path, name.data(), name.size());
  addr.sun_path[0] = '\0';  // abstract: the name is not a file
  const auto len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
  const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) ThrowErrno("socket");
  if (bind(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0 ||
      listen(fd, kListenBacklog) != 0) {
    const int saved = errno;
    close(fd);
    errno = saved;
    ThrowErrno("bind board socket");
  }
  return fd;
}

bool Readable(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, timeout_ms) == 1 && (p.revents & POLLIN) != 0;
}

int LoopTimeoutMs(std::optional<Clock::time_point> deadline) {
  auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(kLoopTick);
  if (deadline) {
    const auto until = std::chrono::ceil<std::chrono::milliseconds>(*deadline - Clock::now());
    wait = std::clamp(until, std::chrono::milliseconds{0}, wait);
  }
  return static_cast<int>(wait.count());
}

}  // namespace

// ---- Board::Impl --------------------------------------------------------------------------------

Board::Impl::Impl(BoardOptions board_options)
    : options(std::move(board_options)),
      module_impl(std::make_unique<Module::Impl>()),
      module(module_impl.get()),
      io(&io_impl),
      fb(&fb_impl),
      chip(&chip_impl) {
  bool given = false;
  sandbox = MakeSandbox(options, &given);
  keep_sandbox = given || getenv(kKeepEnv) != nullptr;
  for (const char* dir : {"opt", "tmp", "dev"}) fs::create_directories(fs::path(sandbox) / dir);
  io_impl.node = sandbox + "/dev/vrk_io";
  io_impl.module = module_impl.get();
  io_impl.CreateNode();
  fb_impl.node = sandbox + "/dev/fb0";
  fb_impl.CreateNode();
  chip_impl.node = sandbox + "/dev/ZR6083_S";
  chip_impl.CreateNode();
  socket_name = UniqueSocketName();
  listen_fd = Listen(socket_name);
  int pipe_fds[2];
  if (pipe2(pipe_fds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno("pipe2");
  wake_read = pipe_fds[0];
  wake_write = pipe_fds[1];
  loop = std::thread([this] { Loop(); });
}

Board::Impl::~Impl() {
  stop = true;
  Wake();
  if (loop.joinable()) loop.join();
  for (int fd : {listen_fd, wake_read, wake_write}) {
    if (fd >= 0) close(fd);
  }
  if (!keep_sandbox) {
    std::error_code ignored;
    fs::remove_all(sandbox, ignored);
  }
}

void Board::Impl::Wake() {
  const char byte = 1;
  (void)!write(wake_write, &byte, 1);
}

void Board::Impl::Loop() {
  while (!stop) {
    uint64_t wanted;
    {
      std::lock_guard<std::mutex> lock(mu);
      wanted = settle_wanted;
    }
    const int master = module_impl->master_fd();
    // On a paced line, bytes known to wait are taken by OnTick at their time.
    const short line_events = module_impl->ListensToLine() ? POLLIN : 0;
    pollfd fds[] = {{master, line_events, 0}, {listen_fd, POLLIN, 0}, {wake_read, POLLIN, 0}};
    const int timeout = wanted > settle_done ? 0 : LoopTimeoutMs(module_impl->NextDeadline());
    if (poll(fds, 3, timeout) < 0 && errno != EINTR) ThrowErrno("board loop poll");
    if ((fds[0].revents & POLLIN) != 0) module_impl->OnReadable();
    if ((fds[1].revents & POLLIN) != 0) AcceptAll();
    if ((fds[2].revents & POLLIN) != 0) {
      char drain[kWakeDrain];
      while (read(wake_read, drain, sizeof drain) > 0) {
      }
    }
    module_impl->OnTick(Clock::now());
    if (wanted > settle_done) module_impl->Drain();  // the program has ended: no more pacing
    if (wanted > settle_done && !Readable(master, kSettleQuietMs)) {
      std::lock_guard<std::mutex> lock(mu);
      settle_done = wanted;
      settled.notify_all();
    }
  }
}

void Board::Impl::AcceptAll() {
  for (;;) {
    const int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    Serve(fd);
    close(fd);
  }
}

void Board::Impl::Settle() {
  std::unique_lock<std::mutex> lock(mu);
  const uint64_t ticket = ++settle_wanted;
  lock.unlock();
  Wake();
  lock.lock();
  settled.wait_for(lock, kSettleLimit, [&] { return settle_done >= ticket; });
}

void Board::Impl::AddViolation(std::string text) {
  std::lock_guard<std::mutex> lock(mu);
  violations.push_back(std::move(text));
}

// ---- Board --------------------------------------------------------------------------------------

Board::Board(BoardOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {}
Board::~Board() = default;

Module& Board::module() { return impl_->module; }
BoardIo& Board::io() { return impl_->io; }
Framebuffer& Board::framebuffer() { return impl_->fb; }
Chip& Board::chip() { return impl_->chip; }
const std::string& Board::sandbox() const { return impl_->sandbox; }

std::string Board::SandboxPath(const std::string& fixed_path) const {
  // Spelled from the root, so that ".." can never climb out of the sandbox.
  const fs::path rooted = fs::path("/") / fs::path(fixed_path).relative_path();
  return impl_->sandbox + rooted.lexically_normal().string();
}

void Board::WriteFile(const std::string& fixed_path, const Bytes& bytes, unsigned mode) {
  const fs::path path = SandboxPath(fixed_path);
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) throw std::runtime_error("cannot write " + path.string());
  fs::permissions(path, static_cast<fs::perms>(mode), fs::perm_options::replace);
}

std::optional<Bytes> Board::ReadFile(const std::string& fixed_path) const {
  std::ifstream in(SandboxPath(fixed_path), std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> Board::violations() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->violations;
}

std::vector<std::string> Board::system_calls() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->system_calls;
}

std::map<std::string, std::string> Board::ProgramEnvironment() const {
  const std::string asan = BM77_ASAN_RUNTIME;
  return {
      {simwire::kPreloadVariable, asan.empty() ? PreloadLibrary() : asan + ":" + PreloadLibrary()},
      {simwire::kEnvSandbox, impl_->sandbox},
      {simwire::kEnvSocket, impl_->socket_name},
      {simwire::kEnvTty, impl_->options.port_present ? impl_->module_impl->slave_path() : ""},
  };
}

std::vector<std::string> RunResult::OutLines() const {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < out.size()) {
    const size_t end = out.find('\n', start);
    if (end == std::string::npos) {
      lines.push_back(out.substr(start));
      break;
    }
    lines.push_back(out.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::string BinDir() { return BM77_BIN_DIR; }
std::string PreloadLibrary() { return BM77_PRELOAD_PATH; }
std::string Emulator() { return BM77_EMULATOR; }
std::string EmulatorLoader() { return BM77_EMULATOR_LOADER; }
std::string EmulatorLibraries() { return BM77_EMULATOR_LIBRARIES; }

double StartCostScale() {
  // Measured: a link driver's start takes 0.002 s of processor time natively, 0.04 s under
  // qemu-arm on the same machine; the margin is for slower machines.
  constexpr double kEmulatedStartCost = 5;
  return Emulator().empty() ? 1 : kEmulatedStartCost;
}

// The loader is named, not found through the emulator's own library folder (qemu-user's -L):
// that would make every absolute path that exists below the folder lead there, "/" included,
// and a program's paths taken relative to "/" would then land in the device's library folder
// instead of going through the preload library's rules.
std::vector<std::string> EmulatorWords(const std::optional<std::string>& preload,
                                       const std::string& name) {
  if (Emulator().empty()) return {};
  std::vector<std::string> words{Emulator()};
  if (preload) {
    words.insert(words.end(), {simwire::kEmulatorEnvOption,
                               std::string(simwire::kPreloadVariable) + "=" + *preload});
  }
  words.insert(words.end(),
               {EmulatorLoader(), simwire::kLoaderLibrariesOption, EmulatorLibraries()});
  if (!name.empty()) words.insert(words.end(), {simwire::kLoaderNameOption, name});
  return words;
}

}  // namespace testbed
