// Takes the pauses named on its command line and prints how long each one took:
//
//   pause_probe sleep:S usleep:US nanosleep:MS ...   one line "KIND VALUE: T ms" per pause
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr long kNsPerMs = 1000000;
constexpr long kMsPerSecond = 1000;

long NowMs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return t.tv_sec * kMsPerSecond + t.tv_nsec / kNsPerMs;
}

// Returns the pause's own result (0 when it reports the whole time as passed).
long Pause(const char* kind, unsigned long value) {
  if (std::strcmp(kind, "sleep") == 0) return static_cast<long>(sleep(static_cast<unsigned>(value)));
  if (std::strcmp(kind, "usleep") == 0) return usleep(static_cast<useconds_t>(value));
  const timespec request{static_cast<time_t>(value / kMsPerSecond),
                         static_cast<long>(value % kMsPerSecond) * kNsPerMs};
  return nanosleep(&request, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    char kind[16] = {};
    unsigned long value = 0;
    if (std::sscanf(argv[i], "%15[a-z]:%lu", kind, &value) != 2) return EXIT_FAILURE;
    const long start = NowMs();
    const long result = Pause(kind, value);
    std::printf("%s %lu: %ld ms, result %ld\n", kind, value, NowMs() - start, result);
  }
  return EXIT_SUCCESS;
}
