// The library's process-wide settings, read once. A program that is started without the board's
// settings, or whose board does not answer, ends at once: on this machine the real port and
// files exist, and a program that ran on without the sandbox would reach them.
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include "preload.h"

namespace bm77sim {

namespace {

struct Settings {
  bool ready;
  char sandbox[PATH_MAX];
  char tty[PATH_MAX];
  bool tty_known;  // the pseudo-terminal was found, tty_rdev is valid
  dev_t tty_rdev;
};
Settings g_settings;

// Character devices every program may use: memory devices and the controlling terminal.
struct DeviceNumber {
  unsigned major;
  unsigned minor;
};
constexpr DeviceNumber kHarmlessDevices[] = {
    {1, 3},  // /dev/null
    {1, 5},  // /dev/zero
    {1, 7},  // /dev/full
    {1, 8},  // /dev/random
    {1, 9},  // /dev/urandom
    {5, 0},  // /dev/tty
};

BM77SIM_SLOT(readlink);
BM77SIM_SLOT(realpath);
BM77SIM_SLOT(stat);

// dprintf writes through libc's inner write, never through the wrappers of this library.
[[noreturn]] void Refuse(const char* why) {
  dprintf(STDERR_FILENO, "bm77sim: %s; refusing to run outside the simulated board\n", why);
  _exit(simwire::kRefusedExitStatus);
}

bool CopySetting(const char* value, char* out, size_t size) {
  if (value == nullptr) return false;
  const size_t n = strlen(value);
  if (n >= size) return false;
  memcpy(out, value, n + 1);
  return true;
}

void ReadSettings() {
  const char* sandbox = getenv(simwire::kEnvSandbox);
  const char* socket = getenv(simwire::kEnvSocket);
  if (sandbox == nullptr || socket == nullptr || sandbox[0] == '\0' || socket[0] == '\0') {
    Refuse("BM77SIM_SANDBOX or BM77SIM_SOCKET is not set");
  }
  // Spelled as the kernel resolves it: where a path really leads is compared with it.
  char resolved[PATH_MAX];
  if (sandbox[0] != '/' || BM77SIM_REAL(realpath)(sandbox, resolved) == nullptr ||
      strcmp(resolved, "/") == 0 ||
      !CopySetting(resolved, g_settings.sandbox, sizeof g_settings.sandbox)) {
    Refuse("BM77SIM_SANDBOX is not a usable absolute folder");
  }
  if (!CopySetting(getenv(simwire::kEnvTty), g_settings.tty, sizeof g_settings.tty)) {
    g_settings.tty[0] = '\0';
  }
  struct stat st;
  if (g_settings.tty[0] != '\0' && BM77SIM_REAL(stat)(g_settings.tty, &st) == 0 &&
      S_ISCHR(st.st_mode)) {
    g_settings.tty_known = true;
    g_settings.tty_rdev = st.st_rdev;
  }
}

void Greet() {
  char exe[PATH_MAX];
  const ssize_t n = BM77SIM_REAL(readlink)("/proc/self/exe", exe, sizeof exe - 1);
  exe[n > 0 ? n : 0] = '\0';
  if (!Hello(exe)) Refuse("the simulated board did not answer");
}

__attribute__((constructor)) void OnLoad() { EnsureReady(); }

}  // namespace

void* RealSymbol(const char* name, void** slot) {
  void* fn = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
  if (fn != nullptr) return fn;
  fn = dlsym(RTLD_NEXT, name);
  if (fn == nullptr) {
    // Without the real function nothing safe can be done; say so rather than crash later.
    dprintf(STDERR_FILENO, "bm77sim: libc has no %s\n", name);
    _exit(simwire::kRefusedExitStatus);
  }
  __atomic_store_n(slot, fn, __ATOMIC_RELEASE);
  return fn;
}

void EnsureReady() {
  if (g_settings.ready) return;
  g_settings.ready = true;  // before the greeting: its socket calls must not come back here
  ReadSettings();
  ParsePortSettings();
  ParsePauseSettings();
  Greet();
}

const char* Sandbox() {
  EnsureReady();
  return g_settings.sandbox;
}

const char* TtyPath() {
  EnsureReady();
  return g_settings.tty;
}

bool IsPortDevice(dev_t rdev) { return g_settings.tty_known && rdev == g_settings.tty_rdev; }

bool HarmlessCharDevice(dev_t rdev) {
  if (IsPortDevice(rdev)) return true;
  for (const DeviceNumber& d : kHarmlessDevices) {
    if (major(rdev) == d.major && minor(rdev) == d.minor) return true;
  }
  return false;
}

}  // namespace bm77sim

// Probe programs look this up with dlsym before they touch anything that could be real.
BM77SIM_EXPORT int bm77sim_active() { return 1; }
