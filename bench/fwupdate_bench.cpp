// A firmware update of a 512 KiB image on the simulated board with the line paced at 115200
// baud, 10 bits a byte, both ways, as on the device. Prints two figures and holds them to
// their targets:
//   (a) the time from the first flash command to the last finish reply, divided by the time
//       the line needs for the bytes the host sent in that span (target 1.03 at most: the
//       host keeps the line busy);
//   (b) the tool's processor time divided by its wall time (target 0.02 at most: its waits
//       sleep in poll).
// The update runs twice: with the module's replies as a UART with a FIFO hands them over, and
// with every reply byte handed over on its own. Exit status 0 when both went through and met
// both targets.
#include <cstdio>
#include <fstream>
#include <string>

#include "board.h"
#include "wire_timing.h"

namespace {

constexpr unsigned kBaud = 115200;
constexpr size_t kImageSize = 512 * 1024;
constexpr double kWireTarget = 1.03;
constexpr double kCpuTarget = 0.02;
constexpr std::chrono::seconds kTimeLimit{240};

testbed::Bytes Image() {
  testbed::Bytes bytes(kImageSize);
  uint32_t state = 0x2545F491u;
  for (uint8_t& b : bytes) {
    state = state * 1664525u + 1013904223u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

// One update; `trickle`: the module hands every byte of its replies to the line on its own.
bool RunUpdate(bool trickle) {
  testbed::Board board;
  testbed::Module& module = board.module();
  module.PaceLine(kBaud);
  module.TrickleReplies(trickle);
  const testbed::Bytes identity{0x66, 0x55, 0x44, 0x33, 0x22, 0x11};
  module.SetEeprom(0x0000, identity);
  const auto eeprom_before = module.eeprom();

  const testbed::Bytes image = Image();
  const std::string path = board.sandbox() + "/fw.bin";
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(image.data()),
             static_cast<std::streamsize>(image.size()));

  testbed::RunOptions options;
  options.time_limit = kTimeLimit;
  const testbed::RunResult r = board.Run("bm77_fwupdate", {path}, options);
  const bool flashed = module.Flash(0, image.size()) == image;
  const bool kept = module.eeprom() == eeprom_before;
  std::printf("bm77_fwupdate, %zu KiB image, line paced at %u baud, 10 bits a byte%s\n",
              kImageSize / 1024, kBaud, trickle ? ", every reply byte on its own" : "");
  std::printf("run: exit status %d, %s, flash %s, identity %s, %zu sandbox violations\n",
              r.exit_status, r.timed_out ? "timed out" : "ended",
              flashed ? "reads back" : "DIFFERS", kept ? "unchanged" : "CHANGED",
              board.violations().size());

  const testbed::FlashSpan span = testbed::MeasureFlashSpan(module.wire_log(), kBaud);
  const double cpu_share = r.wall_seconds > 0 ? r.cpu_seconds / r.wall_seconds : 1;
  std::printf(
      "(a) %.3f s from the first flash command to the last finish reply, %.3f s of line "
      "time for the %zu bytes the host sent: %.4f (target %.2f at most)\n",
      span.seconds, span.line_seconds, span.host_bytes, span.ratio, kWireTarget);
  std::printf("(b) %.3f s processor time in %.3f s: %.4f (target %.2f at most)\n", r.cpu_seconds,
              r.wall_seconds, cpu_share, kCpuTarget);

  if (!r.started) std::printf("not started: %s\n", r.refusal.c_str());
  return r.started && r.exit_status == 0 && flashed && kept && span.found &&
         board.violations().empty() && span.ratio <= kWireTarget && cpu_share <= kCpuTarget;
}

}  // namespace

int main() {
  const bool whole = RunUpdate(/*trickle=*/false);
  const bool trickled = RunUpdate(/*trickle=*/true);
  return whole && trickled ? 0 : 1;
}
