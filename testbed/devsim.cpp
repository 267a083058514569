// devsim: the simulated board as a program, kept in a folder between runs so that a sequence
// of runs behaves like one device (what the folder holds: devsim/board_store.h). A program
// starts exactly as in the tests (Board::Run), with the same checks. Besides running programs,
// devsim shows the board's state, writes its screen as a PNG picture, sets faults on it for
// trying failure paths by hand, and writes a test picture to show.
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
#include "board_folder.h"
#include "board_seal.h"
#include "devsim/board_store.h"
#include "devsim/picture.h"
#include "devsim/show.h"

namespace {

namespace fs = std::filesystem;

// Statuses as timeout(1) gives them: 124 stopped at the limit, 125 not run (here: also a run
// that did not greet the board), 128+N ended by signal N.
constexpr int kUsageStatus = 2;
constexpr int kTimedOutStatus = 124;
constexpr int kNotStartedStatus = 125;
constexpr int kSignalBase = 128;
constexpr double kLongestSeconds = 1e7;  // longer limits are this one (no clock overflow)
// No limit of devsim's own unless asked: every tool bounds each of its waits on the board, but
// its worst case grows with its input (on a silent module a table costs 3 s a line), so any
// fixed limit would stop some run before the tool's own bounded failure. rx_probe, which runs
// until stopped, is stopped with Ctrl-C or --seconds.
constexpr double kDefaultSeconds = kLongestSeconds;
// Chatter starts once the program has had time to open the port (the board resets the line
// when the program starts), and goes out in pieces like a real module's output.
constexpr std::chrono::milliseconds kChatterDelay{300};
constexpr size_t kChatterPiece = 16;
constexpr std::chrono::milliseconds kChatterGap{2};

constexpr int kFailedStatus = 1;  // a command of devsim's own failed
constexpr uint32_t kPanelWidth = 800;
constexpr uint32_t kPanelHeight = 480;

constexpr char kUsage[] =
    "usage: devsim [--board DIR] [--seconds N] [--chatter N] [--no-seal] -- PROGRAM ARGS...\n"
    "       devsim [--board DIR] show\n"
    "       devsim [--board DIR] picture FILE.png\n"
    "       devsim [--board DIR] fault NAME... | fault clear\n"
    "       devsim test-picture FILE.bmp\n"
    "The simulated board, kept in the folder DIR between runs (default demo-board): the\n"
    "module's EEPROM (eeprom.bin) and flash (flash.bin), power, boot mode and VCOM of the board\n"
    "I/O device and the chip's state (board.txt), the chip's random bytes (chip-random.bin),\n"
    "the board's files of /opt and /tmp (opt/, tmp/) and the framebuffer memory (dev/fb0).\n"
    "  -- PROGRAM ARGS  runs PROGRAM (a program of build/bin, or a path; a relative one from\n"
    "                   this folder) against the board; ends with its exit status, 124 when\n"
    "                   stopped at the time limit, 125 when not run, 128+N on signal N\n"
    "  show             prints the board's state: identity records, VCOM, power and boot mode,\n"
    "                   each flash bank's size and CRC, the identity files, the faults set\n"
    "  picture FILE.png writes the screen (the framebuffer) as a PNG picture\n"
    "  fault NAME...    sets faults for every later run of the board, until 'fault clear':\n"
    "%s"
    "  test-picture FILE.bmp  writes an 800 x 480 16-bit BMP test picture for bmpview\n"
    "  --board DIR      the board folder (default demo-board)\n"
    "  --seconds N      time limit of the program in seconds (default none: every tool bounds\n"
    "                   its own waits); then it is stopped and devsim ends with 124\n"
    "  --chatter N      the module sends N bytes unprompted once the program runs\n"
    "  --no-seal        no private mount namespace: the preload library guards alone\n"
    "  --help, -h       this text\n"
    "Statuses of devsim's own commands: 0 done, 1 failed, 2 wrong command line.\n";

void PrintUsage(std::ostream& out) {
  std::string faults;
  auto list = [&](const std::string& name, const char* what) {
    std::string line = "                     " + name;
    line.resize(std::max<size_t>(line.size() + 1, 37), ' ');
    faults += line + what + "\n";
  };
  for (const devsim::FaultEntry& f : devsim::kFaults) list(f.name, f.what);
  list(std::string(devsim::kChaosPrefix) + "SEED",
       "a module that misbehaves at random, as the seed says");
  char text[sizeof kUsage + 2048];
  std::snprintf(text, sizeof text, kUsage, faults.c_str());
  out << text;
}

struct Options {
  bool help = false;
  std::string board = "demo-board";
  double seconds = kDefaultSeconds;
  size_t chatter = 0;
  bool seal = true;
  std::string command;  // "run", "show", "picture", "fault", "test-picture"
  bool show_usage = true;  // with a wrong command line; not when one line says it all
  std::string program;
  std::vector<std::string> args;
};

// The words each of devsim's own commands takes: at least, at most (-1: any number).
struct CommandShape {
  const char* name;
  int least;
  int most;
};
constexpr CommandShape kCommands[] = {
    {"show", 0, 0}, {"picture", 1, 1}, {"fault", 1, -1}, {"test-picture", 1, 1}};

constexpr char kClearFaults[] = "clear";
constexpr char kPictureSuffix[] = ".png";

// "" when every word names a fault (or the one word is "clear"); else one line of what is
// accepted.
std::string CheckFaultNames(const std::vector<std::string>& names) {
  if (names.size() == 1 && names[0] == kClearFaults) return "";
  std::string known;
  for (const devsim::FaultEntry& f : devsim::kFaults) known += std::string(" ") + f.name;
  for (const std::string& name : names) {
    if (!devsim::KnownFault(name)) {
      return "unknown fault " + name + "; the faults are" + known + ", " +
             devsim::kChaosPrefix + "SEED, or " + kClearFaults;
    }
  }
  return "";
}

// The screen is written as PNG data, so the name must say so.
std::string CheckPictureName(const std::string& name) {
  const std::string suffix = kPictureSuffix;
  const bool png = name.size() > suffix.size() &&
                   name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
  return png ? "" : "picture wants a file name ending in " + suffix + ", not '" + name + "'";
}

std::string CheckCommand(Options* o, int argc, char** argv, int at) {
  o->command = argv[at];
  o->args.assign(argv + at + 1, argv + argc);
  for (const CommandShape& c : kCommands) {
    if (o->command != c.name) continue;
    const int n = static_cast<int>(o->args.size());
    if (n < c.least || (c.most >= 0 && n > c.most)) {
      return o->command + (c.most == 0   ? " takes no arguments"
                           : c.most == 1 ? " wants one argument"
                                         : " wants at least one argument");
    }
    o->show_usage = false;  // the line below says what is accepted
    if (o->command == "fault") return CheckFaultNames(o->args);
    if (o->command == "picture") return CheckPictureName(o->args[0]);
    return "";
  }
  return "unknown command " + o->command;
}

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
    if (flag.empty() || flag[0] != '-') return CheckCommand(o, argc, argv, i);
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
  if (i >= argc) return "no command given (see --help)";
  if (i + 1 >= argc) return "no program given after --";
  o->command = "run";
  o->program = argv[i + 1];
  o->args.assign(argv + i + 2, argv + argc);
  return "";
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
void PrintOutcome(const testbed::RunResult& r, double seconds, bool seal_asked) {
  if (!r.refusal.empty()) {
    std::cerr << "--- refused: " << r.refusal << "\n";
    return;
  }
  if (!r.sealed && seal_asked && !testbed::SealUnavailable().empty()) {
    std::cerr << "--- the second seal cannot be built here: " << testbed::SealUnavailable()
              << "\n";
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

int Failed(const std::string& why) {
  std::cerr << "devsim: " << why << "\n";
  return kFailedStatus;
}

int RunProgram(const Options& o, const std::string& dir) {
  const std::vector<std::string> faults = devsim::LoadFaults(dir);
  testbed::BoardOptions board_options = devsim::OptionsFor(dir, faults);
  board_options.seal = o.seal;
  testbed::Board board(board_options);
  devsim::LoadBoard(board, dir, faults);
  testbed::RunOptions run;
  // As in a shell: the caller's environment (BM77_TRACE and the like), folder and streams, so
  // relative paths mean what they say and output arrives as it is written, on a terminal
  // when the caller has one.
  run.caller_environment = true;
  run.callers_streams = true;
  run.folder = fs::current_path().string();
  run.time_limit =
      std::chrono::ceil<std::chrono::milliseconds>(std::chrono::duration<double>(o.seconds));
  std::thread chatter;
  if (o.chatter > 0) {
    chatter = std::thread([&] {
      std::this_thread::sleep_for(kChatterDelay);
      board.module().Chatter(o.chatter, kChatterPiece, kChatterGap);
    });
  }
  std::cout << std::flush;
  const testbed::RunResult r = board.Run(o.program, o.args, run);
  if (chatter.joinable()) chatter.join();
  PrintOutcome(r, o.seconds, o.seal);
  const std::string unsaved = devsim::SaveBoard(board, dir);
  if (!unsaved.empty()) std::cerr << "--- the board was not kept: " << unsaved << "\n";
  PrintSummary(board);
  return ExitStatus(r);
}

// show and picture look at a board that exists; they never make one.
int LookAtBoard(const Options& o, const std::string& dir) {
  if (!fs::is_directory(dir)) return Failed("no board in " + dir);
  const std::vector<std::string> faults = devsim::LoadFaults(dir);
  testbed::Board board(devsim::OptionsFor(dir, {}));
  devsim::LoadBoard(board, dir, {});
  if (o.command == "show") {
    std::cout << "board " << dir << "\n";
    devsim::ShowBoard(board, faults, std::cout);
    return EXIT_SUCCESS;
  }
  const testbed::Framebuffer& fb = board.framebuffer();
  testbed::Bytes rgb;
  std::string wrong = devsim::ScreenRgb(fb.Memory(), fb.var_info(), fb.fix_info(), &rgb);
  if (wrong.empty()) {
    wrong = devsim::WritePng(o.args[0], fb.var_info().xres, fb.var_info().yres, rgb);
  }
  if (!wrong.empty()) return Failed(wrong);
  std::cout << "picture of the screen (" << fb.var_info().xres << " x " << fb.var_info().yres
            << ") written to " << o.args[0] << "\n";
  return EXIT_SUCCESS;
}

int SetFaults(const Options& o, const std::string& dir) {
  const bool clear = o.args.size() == 1 && o.args[0] == "clear";
  const std::string wrong = clear ? devsim::ClearFaults(dir) : devsim::AddFaults(dir, o.args);
  if (!wrong.empty()) return Failed(wrong);
  std::string now;
  for (const std::string& f : devsim::LoadFaults(dir)) now += " " + f;
  std::cout << "faults of " << dir << ":" << (now.empty() ? " none" : now) << "\n";
  return EXIT_SUCCESS;
}

int WriteTestPicture(const Options& o) {
  const testbed::Bytes bmp = devsim::TestPictureBmp(kPanelWidth, kPanelHeight);
  std::ofstream out(o.args[0], std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bmp.data()), static_cast<std::streamsize>(bmp.size()));
  if (!out) return Failed("cannot write " + o.args[0]);
  std::cout << "test picture written to " << o.args[0] << "\n";
  return EXIT_SUCCESS;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  const std::string wrong = ParseArgs(argc, argv, &o);
  if (o.help) {
    PrintUsage(std::cout);
    return EXIT_SUCCESS;
  }
  if (!wrong.empty()) {
    std::cerr << "devsim: " << wrong << "\n";
    if (o.show_usage) PrintUsage(std::cerr);
    return kUsageStatus;
  }
  const std::string dir = fs::absolute(o.board).lexically_normal().string();
  // Before the board's folder is made or looked at: see board_folder.h.
  const std::string clash = o.command == "test-picture" ? "" : testbed::BoardFolderClash(dir);
  if (!clash.empty()) {
    std::cerr << "devsim: " << clash << "\n";
    return kUsageStatus;
  }
  if (o.command == "run") return RunProgram(o, dir);
  if (o.command == "fault") return SetFaults(o, dir);
  if (o.command == "test-picture") return WriteTestPicture(o);
  return LookAtBoard(o, dir);
}

