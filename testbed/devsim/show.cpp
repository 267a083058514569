// `devsim show`: the board's state, one line per thing a person checks after a run.
#include "show.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <optional>

#include "module_flash.h"
#include "sim_protocol.h"

namespace devsim {

using testbed::Board;
using testbed::Bytes;

namespace {

constexpr size_t kMacAt = 0x0000;
constexpr size_t kMacSize = 6;
constexpr size_t kNameAt = 0x000B;
constexpr size_t kNameSize = 12;
constexpr size_t kVcomAt = 0x0019;
constexpr uint8_t kErased = 0xFF;
constexpr size_t kShownBinaryBytes = 8;  // of a file that is not text
constexpr int kLabelWidth = 18;

constexpr std::array<std::array<uint8_t, kMacSize>, 3> kUnusableMacs = {{
    {0x00, 0x11, 0x67, 0x50, 0x00, 0x00},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
}};

constexpr const char* kModeNames[] = {"application", "configuration", "firmware update"};
constexpr char kRandomFile[] = "/opt/random";  // bytes, shown in hex

std::string Hex(const Bytes& bytes, const char* separator) {
  std::string text;
  char pair[4];
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::snprintf(pair, sizeof pair, "%02X", bytes[i]);
    if (i > 0) text += separator;
    text += pair;
  }
  return text;
}

// Printable ASCII as it is, anything else as \xNN.
std::string Visible(const Bytes& bytes) {
  std::string text;
  for (uint8_t b : bytes) {
    if (b >= 0x20 && b < 0x7F) {
      text += static_cast<char>(b);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", b);
      text += escaped;
    }
  }
  return text;
}

void Line(std::ostream& out, const std::string& label, const std::string& text) {
  out << label << std::string(label.size() < kLabelWidth ? kLabelWidth - label.size() : 1, ' ')
      << text << "\n";
}

void ShowIdentity(Board& board, std::ostream& out) {
  const Bytes stored = board.module().Eeprom(kMacAt, kMacSize);
  const Bytes mac(stored.rbegin(), stored.rend());  // the record holds the MAC reversed
  const bool unusable = std::any_of(kUnusableMacs.begin(), kUnusableMacs.end(), [&](auto& u) {
    return std::equal(u.begin(), u.end(), mac.begin());
  });
  Line(out, "MAC", Hex(mac, ":") + (unusable ? " (unusable)" : "") + " (EEPROM 0x0000: " +
                       Hex(stored, " ") + ")");
  Line(out, "device name", Visible(board.module().Eeprom(kNameAt, kNameSize)));
  const Bytes vcom = board.module().Eeprom(kVcomAt, 2);
  const auto chip_vcom = board.io().vcom();
  Line(out, "VCOM", "module " + std::to_string(vcom[0] << 8 | vcom[1]) +
                        ", display power chip " +
                        (chip_vcom ? std::to_string(*chip_vcom) : std::string("not set")));
}

void ShowBoardIo(Board& board, std::ostream& out) {
  const int mode = board.io().mode();
  const std::string mode_name = mode >= 0 && mode <= 2 ? kModeNames[mode] : "unknown";
  Line(out, "module", std::string("power ") + (board.io().power() ? "on" : "off") +
                          ", boot mode " + std::to_string(mode) + " (" + mode_name + ")");
  const testbed::ChipState state = board.chip().state();
  Line(out, "crypto chip", state == testbed::ChipState::kAwake  ? "awake"
                           : state == testbed::ChipState::kIdle ? "idle"
                                                                : "asleep");
}

// A bank's programmed size: up to its last byte that is not erased.
void ShowFlash(Board& board, std::ostream& out) {
  for (size_t bank = 0; bank < testbed::Module::kFlashBanks; ++bank) {
    Bytes data = board.module().Flash(bank * testbed::Module::kFlashBankSize,
                                      testbed::Module::kFlashBankSize);
    const auto last = std::find_if(data.rbegin(), data.rend(), [](uint8_t b) {
      return b != kErased;
    });
    data.resize(static_cast<size_t>(data.rend() - last));
    char crc[8];
    std::snprintf(crc, sizeof crc, "%04X", testbed::flash::BankCrc(0, data));
    Line(out, "flash bank " + std::to_string(bank),
         data.empty() ? std::string("erased")
                      : std::to_string(data.size()) + " bytes, CRC " + crc);
  }
}

void ShowFiles(Board& board, std::ostream& out) {
  for (const simwire::BoardPath& b : simwire::kBoardPaths) {
    if (b.kind != simwire::BoardPathKind::kFile) continue;
    const char* path = b.path;
    const std::optional<Bytes> bytes = board.ReadFile(path);
    if (!bytes) {
      Line(out, path, "missing");
    } else if (std::string(path) == kRandomFile) {
      Bytes head(bytes->begin(), bytes->begin() + static_cast<std::ptrdiff_t>(std::min(
                                                     bytes->size(), kShownBinaryBytes)));
      Line(out, path, std::to_string(bytes->size()) + " bytes: " + Hex(head, " ") + " ...");
    } else {
      Line(out, path, Visible(*bytes));
    }
  }
}

}  // namespace

void ShowBoard(Board& board, const std::vector<std::string>& faults, std::ostream& out) {
  ShowIdentity(board, out);
  ShowBoardIo(board, out);
  ShowFlash(board, out);
  ShowFiles(board, out);
  std::string set;
  for (const std::string& f : faults) set += (set.empty() ? "" : ", ") + f;
  Line(out, "faults", set.empty() ? "none" : set);
}

}  // namespace devsim
