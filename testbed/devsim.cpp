// devsim: one of the tools against a simulated board kept in a folder, for trying things by
// hand. The module's EEPROM is kept in DIR/eeprom.bin between runs; the files the program
// writes to /opt and /tmp stay in DIR/opt and DIR/tmp.
//
//   devsim [--board DIR] [--seconds N] [--chatter N] -- PROGRAM ARGS...
#include <chrono>
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

constexpr int kUsageStatus = 2;
constexpr int kNotStartedStatus = 125;
constexpr int kSignalBase = 128;  // a shell's status for a program ended by a signal
constexpr unsigned kDefaultSeconds = 20;
// Chatter starts once the program has had time to open the port (the board resets the line
// when the program starts), and goes out in pieces like a real module's output.
constexpr std::chrono::milliseconds kChatterDelay{300};
constexpr size_t kChatterPiece = 16;
constexpr std::chrono::milliseconds kChatterGap{2};

struct Options {
  std::string board = "demo-board";
  unsigned seconds = kDefaultSeconds;
  size_t chatter = 0;
  std::string program;
  std::vector<std::string> args;
};

bool ParseArgs(int argc, char** argv, Options* o) {
  int i = 1;
  for (; i < argc && std::string(argv[i]) != "--"; ++i) {
    const std::string flag = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (flag == "--board") {
      o->board = value;
    } else if (flag == "--seconds") {
      o->seconds = static_cast<unsigned>(std::strtoul(value, nullptr, 10));
    } else if (flag == "--chatter") {
      o->chatter = std::strtoul(value, nullptr, 10);
    } else {
      return false;
    }
  }
  if (i + 1 >= argc) return false;
  o->program = argv[i + 1];
  o->args.assign(argv + i + 2, argv + argc);
  return true;
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

int ExitStatus(const testbed::RunResult& r) {
  if (!r.started) return kNotStartedStatus;
  if (r.timed_out) return EXIT_SUCCESS;  // stopping a program that runs until killed is normal
  if (r.signal != 0) return kSignalBase + r.signal;
  return r.exit_status;
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!ParseArgs(argc, argv, &o)) {
    std::cerr << "usage: devsim [--board DIR] [--seconds N] [--chatter N] -- PROGRAM ARGS...\n";
    return kUsageStatus;
  }
  const fs::path dir = fs::absolute(o.board);
  testbed::Board board(testbed::BoardOptions{true, dir.string()});
  LoadEeprom(board, dir / "eeprom.bin");
  testbed::RunOptions run;
  run.time_limit = std::chrono::seconds(o.seconds);
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
  if (!r.started) std::cerr << "--- not started: " << r.refusal << "\n";
  SaveEeprom(board, dir / "eeprom.bin");
  PrintSummary(board);
  return ExitStatus(r);
}
