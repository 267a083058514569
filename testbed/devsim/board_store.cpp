// Saving and loading a board folder, and the faults a person can set on it.
#include "board_store.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <random>
#include <sstream>

namespace devsim {

namespace fs = std::filesystem;
using testbed::Board;
using testbed::Bytes;

namespace {

constexpr uint8_t kEepromWrite = 0x74;
constexpr uint8_t kRefusedStatus = 0x55;  // "<U": the module did not take the command
constexpr uint8_t kBankRefused = 0x55;
// Past the tools' 3 s limit for a reply, so the reply meets the host's next command.
constexpr std::chrono::milliseconds kLateReply{4000};

testbed::Fault ModuleFault(testbed::Fault::Kind kind, int command = -1) {
  testbed::Fault f;
  f.kind = kind;
  f.command = command;
  f.status = kRefusedStatus;
  return f;
}

testbed::BurstFault BankFault(testbed::BurstFault::Kind kind, Bytes bytes = {}) {
  testbed::BurstFault f;
  f.kind = kind;
  f.bank = 0;
  f.block = 1;
  f.bytes = std::move(bytes);
  return f;
}

// What each fault does to the board; "port-missing" acts through OptionsFor instead.
const std::vector<std::pair<std::string, std::function<void(Board&)>>>& FaultActions() {
  using K = testbed::Fault::Kind;
  using B = testbed::BurstFault::Kind;
  static const std::vector<std::pair<std::string, std::function<void(Board&)>>> actions = {
      {"port-missing", [](Board&) {}},
      {"module-silent", [](Board& b) { b.module().AddFault(ModuleFault(K::kSilence)); }},
      {"module-late",
       [](Board& b) {
         testbed::Fault f = ModuleFault(K::kLate);
         f.occurrence = 1;
         f.delay = kLateReply;
         b.module().AddFault(f);
       }},
      {"module-refuses", [](Board& b) { b.module().AddFault(ModuleFault(K::kAckStatus)); }},
      {"writes-lost",
       [](Board& b) { b.module().AddFault(ModuleFault(K::kNotStored, kEepromWrite)); }},
      {"flash-silent", [](Board& b) { b.module().AddBurstFault(BankFault(B::kSilence)); }},
      {"flash-refused",
       [](Board& b) {
         b.module().AddBurstFault(BankFault(B::kFinishReply, {0x3C, kBankRefused}));
       }},
      {"io-missing", [](Board& b) { b.io().SetPresent(false); }},
      {"io-failing", [](Board& b) { b.io().SetFailing(true); }},
      {"chip-missing", [](Board& b) { b.chip().SetPresent(false); }},
      {"chip-bad-crc", [](Board& b) { b.chip().SetBadCrc(true); }},
      {"fb-missing", [](Board& b) { b.framebuffer().SetPresent(false); }},
  };
  return actions;
}

std::optional<Bytes> ReadBytes(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return std::nullopt;
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

bool WriteBytes(const fs::path& file, const uint8_t* data, size_t size) {
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(out);
}

bool WriteLines(const fs::path& file, const std::vector<std::string>& lines) {
  std::ofstream out(file, std::ios::trunc);
  for (const std::string& line : lines) out << line << "\n";
  return static_cast<bool>(out);
}

const char* ChipStateWord(testbed::ChipState state) {
  switch (state) {
    case testbed::ChipState::kAwake: return "awake";
    case testbed::ChipState::kIdle: return "idle";
    default: return "asleep";
  }
}

std::optional<int> ParseVcom(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < 0 || value > 0xFFFF) return std::nullopt;
  return static_cast<int>(value);
}

// board.txt: "power on", "mode 2", "vcom 256" (or "vcom none"), "chip asleep". A line that
// cannot be read leaves that value as a new board has it.
void LoadState(Board& board, const fs::path& file) {
  std::ifstream in(file);
  bool power = board.io().power();
  int mode = board.io().mode();
  std::optional<int> vcom = board.io().vcom();
  std::string key, value;
  while (in >> key >> value) {
    if (key == "power") power = value == "on";
    if (key == "mode" && value.size() == 1 && value[0] >= '0' && value[0] <= '2') {
      mode = value[0] - '0';
    }
    if (key == "vcom") vcom = ParseVcom(value);
    if (key == "chip") {
      for (auto s : {testbed::ChipState::kAsleep, testbed::ChipState::kAwake,
                     testbed::ChipState::kIdle}) {
        if (value == ChipStateWord(s)) board.chip().SetState(s);
      }
    }
  }
  board.io().Restore(power, mode, vcom);
}

Bytes FreshRandom() {
  std::random_device source;
  Bytes bytes(testbed::Chip::kRandomSize);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(source());
  return bytes;
}

}  // namespace

const std::vector<FaultEntry> kFaults = {
    {"port-missing", "the serial port /dev/ttyS0 does not exist"},
    {"module-silent", "the module answers no command"},
    {"module-late", "the module answers the run's first command 4 s late, after the tools gave up"},
    {"module-refuses", "the module refuses every command (acknowledges with 3C 55)"},
    {"writes-lost", "the module confirms every EEPROM write and then loses it"},
    {"flash-silent", "the module falls silent in the first block of flash bank 0"},
    {"flash-refused", "the module refuses the end of flash bank 0 (3C 55)"},
    {"io-missing", "the board I/O device /dev/vrk_io does not exist"},
    {"io-failing", "every board I/O request fails"},
    {"chip-missing", "the crypto chip's device /dev/ZR6083_S does not exist"},
    {"chip-bad-crc", "the crypto chip spoils the CRC of every response"},
    {"fb-missing", "the framebuffer /dev/fb0 does not exist"},
};

std::optional<uint64_t> ChaosSeed(const std::string& name) {
  const std::string prefix = kChaosPrefix;
  if (name.compare(0, prefix.size(), prefix) != 0 || name.size() == prefix.size()) return std::nullopt;
  const std::string digits = name.substr(prefix.size());
  if (digits.find_first_not_of("0123456789") != std::string::npos || digits.size() > 19) {
    return std::nullopt;
  }
  return std::stoull(digits);
}

bool KnownFault(const std::string& name) {
  return ChaosSeed(name).has_value() ||
         std::any_of(kFaults.begin(), kFaults.end(),
                     [&](const FaultEntry& f) { return name == f.name; });
}

std::vector<std::string> LoadFaults(const std::string& dir) {
  std::ifstream in(fs::path(dir) / kFaultsFile);
  std::vector<std::string> faults;
  std::string name;
  while (in >> name) faults.push_back(name);
  return faults;
}

std::string AddFaults(const std::string& dir, const std::vector<std::string>& names) {
  std::vector<std::string> faults = LoadFaults(dir);
  for (const std::string& name : names) {
    if (!KnownFault(name)) return "unknown fault " + name;
    if (std::find(faults.begin(), faults.end(), name) == faults.end()) faults.push_back(name);
  }
  std::error_code ignored;
  fs::create_directories(dir, ignored);
  if (!WriteLines(fs::path(dir) / kFaultsFile, faults)) return "cannot write the faults file";
  return "";
}

std::string ClearFaults(const std::string& dir) {
  std::error_code error;
  fs::remove(fs::path(dir) / kFaultsFile, error);
  return error ? "cannot remove the faults file: " + error.message() : "";
}

testbed::BoardOptions OptionsFor(const std::string& dir, const std::vector<std::string>& faults) {
  testbed::BoardOptions options;
  options.sandbox = dir;
  options.port_present =
      std::find(faults.begin(), faults.end(), "port-missing") == faults.end();
  return options;
}

void LoadBoard(Board& board, const std::string& dir, const std::vector<std::string>& faults) {
  const fs::path d(dir);
  if (auto eeprom = ReadBytes(d / kEepromFile)) {
    eeprom->resize(std::min(eeprom->size(), testbed::Module::kEepromSize));
    board.module().SetEeprom(0, *eeprom);
  }
  if (auto flash = ReadBytes(d / kFlashFile)) {
    flash->resize(std::min(flash->size(), testbed::Module::kFlashSize));
    board.module().SetFlash(0, *flash);
  }
  LoadState(board, d / kStateFile);
  std::optional<Bytes> random = ReadBytes(d / kRandomFile);
  if (!random || random->size() != testbed::Chip::kRandomSize) {
    random = FreshRandom();
    WriteBytes(d / kRandomFile, random->data(), random->size());
  }
  board.chip().SetRandom(*random);
  for (const std::string& name : faults) {
    for (const auto& [known, act] : FaultActions()) {
      if (name == known) act(board);
    }
    // The same draw as the chaos property's for this seed.
    if (const auto seed = ChaosSeed(name)) board.module().SetChaos(testbed::ChaosForSeed(*seed));
  }
}

std::string SaveBoard(Board& board, const std::string& dir) {
  const fs::path d(dir);
  const auto eeprom = board.module().eeprom();
  const Bytes flash = board.module().Flash(0, testbed::Module::kFlashSize);
  const testbed::BoardIo& io = board.io();
  const std::vector<std::string> state = {
      std::string("power ") + (io.power() ? "on" : "off"),
      "mode " + std::to_string(io.mode()),
      "vcom " + (io.vcom() ? std::to_string(*io.vcom()) : std::string("none")),
      std::string("chip ") + ChipStateWord(board.chip().state())};
  if (!WriteBytes(d / kEepromFile, eeprom.data(), eeprom.size())) return "cannot write eeprom.bin";
  if (!WriteBytes(d / kFlashFile, flash.data(), flash.size())) return "cannot write flash.bin";
  if (!WriteLines(d / kStateFile, state)) return "cannot write board.txt";
  return "";
}

}  // namespace devsim
