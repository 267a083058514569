// Faults on the port descriptor and scripted reads, set by the test through the environment
// (see sim_protocol.h). Parsed once at start, into fixed arrays: no heap in this library.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "preload.h"

namespace bm77sim {

namespace {

constexpr int kScriptMax = 256;

struct ScriptedRead {
  unsigned long number;  // 1-based read of the port
  size_t bytes;
};

struct PortSettings {
  size_t write_max;  // 0: no limit
  bool write_eagain;
  unsigned long write_fail_from;  // 0: never
  size_t write_stall;             // 0: never; else the port takes no byte past this many
  size_t written;
  unsigned long read_limit;       // 0: no limit
  ScriptedRead script[kScriptMax];
  int script_len;
  unsigned long writes;
  unsigned long reads;
};
PortSettings g_port;

BM77SIM_SLOT(read);
BM77SIM_SLOT(write);

unsigned long NumberSetting(const char* name) {
  const char* value = getenv(name);
  return value == nullptr ? 0 : strtoul(value, nullptr, 10);
}

// "i:n,i:n,...": pairs that do not parse are skipped.
void ParseScript(const char* text) {
  while (text != nullptr && *text != '\0' && g_port.script_len < kScriptMax) {
    char* end = nullptr;
    const unsigned long number = strtoul(text, &end, 10);
    if (end != text && *end == ':') {
      const char* count = end + 1;
      const unsigned long bytes = strtoul(count, &end, 10);
      if (end != count && number > 0) g_port.script[g_port.script_len++] = {number, bytes};
    }
    text = strchr(text, ',');
    if (text != nullptr) ++text;
  }
}

const ScriptedRead* Scripted(unsigned long number) {
  for (int i = 0; i < g_port.script_len; ++i) {
    if (g_port.script[i].number == number) return &g_port.script[i];
  }
  return nullptr;
}

}  // namespace

void ParsePortSettings() {
  g_port.write_max = NumberSetting(simwire::kEnvPortWriteMax);
  g_port.write_eagain = NumberSetting(simwire::kEnvPortWriteEagain) != 0;
  g_port.write_fail_from = NumberSetting(simwire::kEnvPortWriteFail);
  g_port.write_stall = NumberSetting(simwire::kEnvPortWriteStall);
  g_port.read_limit = NumberSetting(simwire::kEnvPortReadLimit);
  ParseScript(getenv(simwire::kEnvPortReadScript));
}

ssize_t PortRead(int fd, void* buf, size_t count) {
  const unsigned long number = ++g_port.reads;
  // The program has made use of all K reads it was allowed; it ends on asking for one more.
  if (g_port.read_limit != 0 && number > g_port.read_limit) {
    fflush(stdout);
    _exit(0);
  }
  if (const ScriptedRead* s = Scripted(number)) {
    const size_t n = s->bytes < count ? s->bytes : count;
    memset(buf, 0, n);
    return static_cast<ssize_t>(n);
  }
  return BM77SIM_REAL(read)(fd, buf, count);
}

ssize_t PortWrite(int fd, const void* buf, size_t count) {
  const unsigned long number = ++g_port.writes;
  if (g_port.write_fail_from != 0 && number >= g_port.write_fail_from) {
    errno = EIO;
    return -1;
  }
  if (g_port.write_eagain && number % 2 == 1) {
    errno = EAGAIN;
    return -1;
  }
  if (g_port.write_max != 0 && count > g_port.write_max) count = g_port.write_max;
  if (g_port.write_stall != 0) {
    if (g_port.written >= g_port.write_stall) {
      errno = EAGAIN;
      return -1;
    }
    if (count > g_port.write_stall - g_port.written) count = g_port.write_stall - g_port.written;
  }
  const ssize_t n = BM77SIM_REAL(write)(fd, buf, count);
  if (n > 0) g_port.written += static_cast<size_t>(n);
  return n;
}

}  // namespace bm77sim
