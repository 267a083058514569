// devsim: one of the tools against a simulated board kept in a folder, for trying things by
// hand. The module's EEPROM is kept in DIR/eeprom.bin between runs; the files the program
// writes to /opt and /tmp stay in DIR/opt and DIR/tmp. The program starts exactly as in the
// tests (Board::Run), with the same checks.
//
//   devsim [--board DIR] [--seconds N] [--chatter N] [--no-seal] -- PROGRAM ARGS...
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "board.h"

namespace {

namespace fs = std::filesystem;

// Statuses as timeout(1) gives them: 124 stopped at the limit, 125 not run (here: also a run
// that did not greet the board), 128+N ended by signal N.
constexpr int kUsageStatus = 2;
constexpr int kTimedOutStatus = 124;
constexpr int kNotStartedStatus = 125;
constexpr int kSignalBase = 128;
constexpr double kDefaultSeconds = 20;
constexpr double kLongestSeconds = 1e7;  // longer limits are this one (no clock overflow)
// Chatter starts once the program has had time to open the port (the board resets the line
// when the program starts), and goes out in pieces like a real module's output.
constexpr std::chrono::milliseconds kChatterDelay{300};
constexpr size_t kChatterPiece = 16;
constexpr std::chrono::milliseconds kChatterGap{2};

constexpr char kUsage[] =
    "usage: devsim [--board DIR] [--seconds N] [--chatter N] [--no-seal] -- PROGRAM ARGS...\n"
    "  --board DIR   the board folder, kept between runs (default demo-board)\n"
    "  --seconds N   time limit of the program in seconds (default 20); then it is stopped\n"
    "                and devsim ends with 124\n"
    "  --chatter N   the module sends N bytes unprompted once the program runs\n"
    "  --no-seal     no private mount namespace: the preload library guards alone\n"
    "PROGRAM is a program of build/bin, or a path (a relative one from this folder).\n";

struct Options {
  bool help = false;
  std::string board = "demo-board";
  double seconds = kDefaultSeconds;
  size_t chatter = 0;
  bool seal = true;
  std::string program;
  std::vector<std::string> args;
};

// A time limit: a positive, finite number of seconds, nothing else in the word.
bool ParseSeconds(const char* text, double* seconds) {
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(text, &end);
  if (end == text || *end != '\0' || errno != 0 || !std::isfinite(value) || value <= 0) {
    return false;
  }
  *seconds = std::min(value, kLongestSeconds);
  return true;
}

bool ParseCount(const char* text, size_t* count) {
  char* end = nullptr;
  errno = 0;
  const unsigned long long value = std::strtoull(text, &end, 10);
  if (end == text || *end != '\0' || errno != 0 || text[0] == '-') return false;
  *count = static_cast<size_t>(value);
  return true;
}

// "" when the arguments are good; else what is wrong with them.
std::string ParseArgs(int argc, char** argv, Options* o) {
  int i = 1;
  for (; i < argc && std::string(argv[i]) != "--"; ++i) {
    const std::string flag = argv[i];
    if (flag == "--help" || flag == "-h") {
      o->help = true;
      return "";
    }
    if (flag == "--no-seal") {
      o->seal = false;
      continue;
    }
    if (flag != "--board" && flag != "--seconds" && flag != "--chatter") {
      return "unknown option " + flag;
    }
    if (i + 1 >= argc) return flag + " wants a value";
    const char* value = argv[++i];
    if (flag == "--board") {
      o->board = value;
    } else if (flag == "--seconds" && !ParseSeconds(value, &o->seconds)) {
      return std::string("--seconds wants a positive number of seconds, not '") + value + "'";
    } else if (flag == "--chatter" && !ParseCount(value, &o->chatter)) {
      return std::string("--chatter wants a number of bytes, not '") + value + "'";
    }
  }
  if (i + 1 >= argc) return "no program given after --";
  o->program = argv[i + 1];
  o->args.assign(argv + i + 2, argv + argc);
  return "";
}

void LoadEeprom(testbed::Board& board, const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return;  // a new board: the module's EEPROM stays erased
  testbed::Bytes bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  bytes.resize(std::min(bytes.size(), testbed::Module::kEepromSize));
  board.module().SetEeprom(0, bytes);
}

void SaveEeprom(testbed::Board& board, const fs::path& file) {
  const auto image = board.module().eeprom();
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(image.data()),
            static_cast<std::streamsize>(image.size()));
}

const char* ChipStateName(testbed::ChipState state) {
  switch (state) {
    case testbed::ChipState::kAwake: return "awake";
    case testbed::ChipState::kIdle: return "idle";
    default: return "asleep";
  }
}

void PrintSummary(testbed::Board& board) {
  testbed::BoardIo& io = board.io();
  std::cerr << "--- board: power " << (io.power() ? "on" : "off") << ", mode " << io.mode()
            << ", VCOM " << (io.vcom() ? std::to_string(*io.vcom()) : "none") << ", "
            << board.module().host_frames().size() << " frames from the program, chip "
            << ChipStateName(board.chip().state()) << " after " << board.chip().requests().size()
            << " requests, " << board.violations().size() << " violations\n";
  for (const std::string& v : board.violations()) std::cerr << "--- violation: " << v << "\n";
}

// One line for what the run was, when it was not a plain run under both seals.
void PrintOutcome(const testbed::RunResult& r, double seconds) {
  if (!r.refusal.empty()) {
    std::cerr << "--- refused: " << r.refusal << "\n";
    return;
  }
  if (!r.sealed) {
    std::cerr << "--- no private mount namespace here: only the preload library guards the "
                 "machine's devices\n";
  }
  if (r.timed_out) std::cerr << "--- stopped at the time limit of " << seconds << " s\n";
}

int ExitStatus(const testbed::RunResult& r) {
  if (!r.started || !r.handshake) return kNotStartedStatus;
  if (r.timed_out) return kTimedOutStatus;
  if (r.signal != 0) return kSignalBase + r.signal;
  return r.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::string wrong = ParseArgs(argc, argv, &o);
  if (o.help) {
    std::cout << kUsage;
    return EXIT_SUCCESS;
  }
  if (!wrong.empty()) {
    std::cerr << "devsim: " << wrong << "\n" << kUsage;
    return kUsageStatus;
  }
  const fs::path dir = fs::absolute(o.board);
  testbed::BoardOptions board_options;
  board_options.sandbox = dir.string();
  board_options.seal = o.seal;
  testbed::Board board(board_options);
  LoadEeprom(board, dir / "eeprom.bin");
  testbed::RunOptions run;
  run.time_limit =
      std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(o.seconds));
  std::thread chatter;
  if (o.chatter > 0) {
    chatter = std::thread([&] {
      std::this_thread::sleep_for(kChatterDelay);
      board.module().Chatter(o.chatter, kChatterPiece, kChatterGap);
    });
  }
  const testbed::RunResult r = board.Run(o.program, o.args, run);
  if (chatter.joinable()) chatter.join();
  std::cout << r.out << std::flush;
  std::cerr << r.err;
  PrintOutcome(r, o.seconds);
  SaveEeprom(board, dir / "eeprom.bin");
  PrintSummary(board);
  return ExitStatus(r);
}
