// Pauses a program takes on purpose (sleep, usleep, nanosleep), fast-forwarded when the test
// asks for it (see sim_protocol.h): a fault matrix runs the tools hundreds of times, and their
// deliberate pauses of a second or more are not what it tests. Shorter pauses still take
// their time, because the simulated chip checks that a program waits out its execution times.
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include "preload.h"

namespace bm77sim {
namespace {

constexpr unsigned long kMsPerSecond = 1000;
constexpr unsigned long kUsPerMs = 1000;
constexpr long kNsPerMs = 1000000;

// Pauses of at least this many milliseconds return at once; 0: none does.
unsigned long g_skip_from_ms;

bool Skipped(unsigned long long ms) { return g_skip_from_ms != 0 && ms >= g_skip_from_ms; }

}  // namespace

void ParsePauseSettings() {
  const char* value = getenv(simwire::kEnvSkipPausesMs);
  g_skip_from_ms = value == nullptr ? 0 : strtoul(value, nullptr, 10);
}

}  // namespace bm77sim

namespace {
BM77SIM_SLOT(sleep);
BM77SIM_SLOT(usleep);
BM77SIM_SLOT(nanosleep);
}  // namespace

BM77SIM_EXPORT unsigned int sleep(unsigned int seconds) {
  bm77sim::EnsureReady();
  if (bm77sim::Skipped(static_cast<unsigned long long>(seconds) * bm77sim::kMsPerSecond)) return 0;
  return BM77SIM_REAL(sleep)(seconds);
}

BM77SIM_EXPORT int usleep(useconds_t us) {
  bm77sim::EnsureReady();
  if (bm77sim::Skipped(us / bm77sim::kUsPerMs)) return 0;
  return BM77SIM_REAL(usleep)(us);
}

BM77SIM_EXPORT int nanosleep(const struct timespec* request, struct timespec* remaining) {
  bm77sim::EnsureReady();
  if (request != nullptr && request->tv_sec >= 0 && request->tv_nsec >= 0 &&
      bm77sim::Skipped(static_cast<unsigned long long>(request->tv_sec) * bm77sim::kMsPerSecond +
                       static_cast<unsigned long long>(request->tv_nsec / bm77sim::kNsPerMs))) {
    return 0;
  }
  return BM77SIM_REAL(nanosleep)(request, remaining);
}
