// bm77_ident and bm77_tableupdate on the simulated board with the line paced at 115200 baud,
// 10 bits a byte, both ways, as on the device. Each tool runs kRuns times on a fresh board;
// the figures are the medians:
//   (a) the program's wall time divided by the line time, where the line time is every byte
//       on the line, both ways, at 10 bits a byte and 115200 baud. bm77_tableupdate sleeps
//       kTableSettleSeconds on purpose before it opens the port, so its figure is printed
//       with that pause and without it (wall time less the pause); bm77_ident has no pause
//       of its own (its module holds a usable MAC here, so it runs no Noisewell);
//   (b) the conversation, from the first byte onto the line to the last byte off it, divided
//       by the line time: how close the tool comes to keeping the line busy, start-up aside.
//       Every exchange waits for the module's answer before the next command goes out, so the
//       turn-arounds of both sides (the simulated module's thread included) lie in it; it
//       swings with the machine's load and is printed without a target;
//   (c) the program's processor time divided by its wall time.
// Then bm77_tableupdate once more with kLongTableLines lines on a line that hands every byte the
// module sends over on its own (a UART without a FIFO): its exchanges and (c), against the
// design's 2% for a tool that waits on the module.
// Exit status 0 when every run went through and (c) meets its targets.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "board.h"

namespace {

using Seconds = std::chrono::duration<double>;

constexpr unsigned kBaud = 115200;
constexpr unsigned kBitsPerByte = 10;
constexpr int kRuns = 5;
constexpr double kTableSettleSeconds = 1.0;  // bm77_tableupdate's sleep before the port
// Target of (c): the tools sleep in poll while the module answers; loading the program and
// the sandbox's start-up are most of the rest, and weigh most in a run this short.
constexpr double kCpuTarget = 0.20;
// The table: kTableLines lines of kTableLineBytes bytes, away from the identity records.
constexpr unsigned kTableLines = 32;
constexpr unsigned kTableLineBytes = 16;
constexpr unsigned kTableFirstAddress = 0x0100;
constexpr unsigned kLongTableLines = 200;
constexpr double kWaitingCpuTarget = 0.02;

struct Figures {
  bool ok = false;
  size_t host_bytes = 0;
  size_t module_bytes = 0;
  double line = 0;          // s
  double wall = 0;          // s
  double conversation = 0;  // s
  double cpu = 0;           // s
};

void Identity(testbed::Module& module) {
  module.SetEeprom(0x0000, {0x66, 0x55, 0x44, 0x33, 0x22, 0x11});
  const std::string name = "Tavrine-2211";
  module.SetEeprom(0x000B, testbed::Bytes(name.begin(), name.end()));
  module.SetEeprom(0x0019, {0x01, 0x00});
}

std::string TableFile(testbed::Board& board, unsigned lines = kTableLines) {
  std::string text;
  char line[16];
  for (unsigned l = 0; l < lines; ++l) {
    std::snprintf(line, sizeof line, "%04X:", kTableFirstAddress + l * kTableLineBytes);
    text += line;
    for (unsigned b = 0; b < kTableLineBytes; ++b) {
      std::snprintf(line, sizeof line, " %02X", (l * kTableLineBytes + b) & 0xFF);
      text += line;
    }
    text += " ;\r\n";
  }
  const std::string path = board.sandbox() + "/table.txt";
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

Figures RunOnce(const std::string& program,
                const std::function<std::vector<std::string>(testbed::Board&)>& prepare,
                bool trickle = false, size_t* exchanges = nullptr) {
  testbed::Board board;
  board.module().PaceLine(kBaud);
  board.module().TrickleReplies(trickle);
  Identity(board.module());
  const std::vector<std::string> args = prepare(board);
  const testbed::RunResult r = board.Run(program, args);
  Figures f;
  f.ok = r.started && r.handshake && !r.timed_out && r.exit_status == 0 &&
         board.violations().empty();
  if (!r.started) std::printf("  not started: %s\n", r.refusal.c_str());
  f.wall = r.wall_seconds;
  f.cpu = r.cpu_seconds;
  if (exchanges != nullptr) *exchanges = board.module().host_frames().size();

  const double byte_seconds = static_cast<double>(kBitsPerByte) / kBaud;
  const std::vector<testbed::WireEvent> log = board.module().wire_log();
  if (log.empty()) return Figures{};
  for (const testbed::WireEvent& e : log) {
    (e.dir == testbed::WireEvent::Dir::kHostToModule ? f.host_bytes : f.module_bytes) +=
        e.raw.size();
  }
  f.line = byte_seconds * static_cast<double>(f.host_bytes + f.module_bytes);
  // A host event is stamped when its last byte came off the line, a module event when it
  // went onto it: the first byte went on one event's length before its stamp.
  const testbed::WireEvent& first = log.front();
  const testbed::WireEvent& last = log.back();
  const double first_on = byte_seconds * static_cast<double>(first.raw.size());
  const double last_off = last.dir == testbed::WireEvent::Dir::kHostToModule
                              ? 0
                              : byte_seconds * static_cast<double>(last.raw.size());
  f.conversation = Seconds(last.at - first.at).count() + first_on + last_off;

  return f;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

// Runs `program` kRuns times; prints its figures; returns whether the runs went through and
// met the targets.
bool Measure(const std::string& program, double fixed_pause,
             const std::function<std::vector<std::string>(testbed::Board&)>& prepare) {
  std::vector<double> wall, conversation, cpu;
  Figures f;
  bool ok = true;
  for (int i = 0; i < kRuns; ++i) {
    f = RunOnce(program, prepare);
    ok = ok && f.ok;
    wall.push_back(f.wall);
    conversation.push_back(f.conversation);
    cpu.push_back(f.cpu / f.wall);
  }
  const double w = Median(wall);
  const double c = Median(conversation);
  const double share = Median(cpu);
  std::printf("%s, line paced at %u baud, 10 bits a byte; medians of %d runs%s\n",
              program.c_str(), kBaud, kRuns, ok ? "" : " (A RUN FAILED)");
  std::printf("  line time: %zu bytes host to module + %zu module to host = %.4f s\n",
              f.host_bytes, f.module_bytes, f.line);
  if (fixed_pause > 0) {
    std::printf("  (a) wall %.3f s / line %.4f s = %.2f with the tool's fixed %.0f s pause; "
                "without it: %.3f s / %.4f s = %.2f\n",
                w, f.line, w / f.line, fixed_pause, w - fixed_pause, f.line,
                (w - fixed_pause) / f.line);
  } else {
    std::printf("  (a) wall %.3f s / line %.4f s = %.2f (the tool has no fixed pause)\n", w,
                f.line, w / f.line);
  }
  std::printf("  (b) conversation %.4f s / line %.4f s = %.2f\n", c, f.line, c / f.line);
  std::printf("  (c) processor time / wall time = %.4f (target %.2f at most)\n", share,
              kCpuTarget);
  return ok && share <= kCpuTarget;
}

// The long table on a trickling line: medians of kRuns runs.
bool MeasureTrickled() {
  std::vector<double> wall, cpu;
  size_t exchanges = 0;
  bool ok = true;
  for (int i = 0; i < kRuns; ++i) {
    const Figures f = RunOnce(
        "bm77_tableupdate",
        [](testbed::Board& b) { return std::vector<std::string>{TableFile(b, kLongTableLines)}; },
        /*trickle=*/true, &exchanges);
    ok = ok && f.ok;
    wall.push_back(f.wall);
    cpu.push_back(f.cpu);
  }
  const double w = Median(wall), c = Median(cpu);
  std::printf("bm77_tableupdate, %u lines each read back, every reply byte handed over on its own; "
              "medians of %d runs%s\n",
              kLongTableLines, kRuns, ok ? "" : " (A RUN FAILED)");
  std::printf("  %zu exchanges; (c) processor %.1f ms / wall %.3f s = %.4f (target %.2f at most)\n",
              exchanges, c * 1000, w, c / w, kWaitingCpuTarget);
  return ok && c / w <= kWaitingCpuTarget;
}

}  // namespace

int main() {
  const bool ident = Measure("bm77_ident", 0, [](testbed::Board&) {
    return std::vector<std::string>{};
  });
  const bool table = Measure("bm77_tableupdate", kTableSettleSeconds, [](testbed::Board& b) {
    return std::vector<std::string>{TableFile(b)};
  });
  const bool trickled = MeasureTrickled();
  return ident && table && trickled ? 0 : 1;
}
