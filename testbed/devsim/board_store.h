// A board kept in a folder between runs, so that a sequence of devsim runs behaves like one
// device. The folder holds plain files a person can look at:
//   eeprom.bin        the module's EEPROM (8 KiB)
//   flash.bin         the module's flash, every bank (512 KiB)
//   board.txt         power, boot mode and VCOM of the board I/O device; the chip's state
//   chip-random.bin   the 32 bytes the chip's Random command answers with (drawn once per board)
//   faults.txt        faults set by hand, one name a line (see kFaults)
//   opt/, tmp/        the programs' /opt and /tmp
//   dev/fb0           the framebuffer memory
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "board.h"

namespace devsim {

// One fault a person can set on a board, by name.
struct FaultEntry {
  const char* name;
  const char* what;  // one line for the usage text
};
extern const std::vector<FaultEntry> kFaults;
// The misbehaving module with a seed, as the chaos property prints it: "chaos:SEED".
constexpr char kChaosPrefix[] = "chaos:";
// The seed of a "chaos:SEED" fault name, or nullopt for any other name.
std::optional<uint64_t> ChaosSeed(const std::string& name);
// Whether `name` is one of kFaults or a chaos seed.
bool KnownFault(const std::string& name);

// The faults set on the board in `dir` (faults.txt), in the order they were set.
std::vector<std::string> LoadFaults(const std::string& dir);
// "" when done; else what went wrong (an unknown name is named, nothing is written then).
std::string AddFaults(const std::string& dir, const std::vector<std::string>& names);
std::string ClearFaults(const std::string& dir);

// What the board needs before it is made (the serial port's presence).
testbed::BoardOptions OptionsFor(const std::string& dir, const std::vector<std::string>& faults);
// Loads the kept state into a board made for `dir` (a new board: the module as it comes, a
// fresh random pattern for the chip) and puts the faults in force.
void LoadBoard(testbed::Board& board, const std::string& dir,
               const std::vector<std::string>& faults);
// "" when the state is kept; else what could not be written.
std::string SaveBoard(testbed::Board& board, const std::string& dir);

// The kept files, for `show` and the tests.
constexpr char kEepromFile[] = "eeprom.bin";
constexpr char kFlashFile[] = "flash.bin";
constexpr char kStateFile[] = "board.txt";
constexpr char kRandomFile[] = "chip-random.bin";
constexpr char kFaultsFile[] = "faults.txt";

}  // namespace devsim
