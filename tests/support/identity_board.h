// A board whose module holds a known identity (MAC 11:22:33:44:55:66, "Tavrine-2211", VCOM
// 256), with helpers to write table files into the sandbox, plant faults and check what is
// left of the identity. Shared by the table tool's tests and the identity guard's.
#pragma once

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "board_test.h"

namespace e2e {

constexpr uint8_t kRead = 0x73;
constexpr uint8_t kWrite = 0x74;

const Bytes kMacRecord = Hex("665544332211");               // MAC 11:22:33:44:55:66, reversed
const Bytes kNameRecord = Hex("54617672696E652D32323131");  // "Tavrine-2211"
const Bytes kAfterName = Hex("A5 5A");                      // bytes the name read also returns
const Bytes kVcomRecord = Hex("0100");                      // 256

using Write = std::pair<uint16_t, Bytes>;

class IdentityBoard : public BoardTest {
 protected:
  explicit IdentityBoard(testbed::BoardOptions options = {}) : BoardTest(options) {}

  void SetUp() override {
    module().SetEeprom(0x0000, kMacRecord);
    module().SetEeprom(0x000B, kNameRecord);
    module().SetEeprom(0x0017, kAfterName);
    module().SetEeprom(0x0019, kVcomRecord);
  }

  // Writes `lines` as a table file (each ended by CR LF) in the sandbox; returns its path.
  std::string Table(const Lines& lines, const std::string& name = "table.txt") {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return TableText(text, name);
  }
  std::string TableText(const std::string& text, const std::string& name = "table.txt") {
    const std::string path = board_.sandbox() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  }

  testbed::RunResult Update(const std::string& table, const testbed::RunOptions& options = {}) {
    return Run("bm77_tableupdate", {table}, options);
  }

  void ExpectIdentityKept() {
    EXPECT_EQ(module().Eeprom(0x0000, 6), kMacRecord);
    EXPECT_EQ(module().Eeprom(0x000B, 12), kNameRecord);
    EXPECT_EQ(module().Eeprom(0x0017, 2), kAfterName);
    EXPECT_EQ(module().Eeprom(0x0019, 2), kVcomRecord);
  }

  // Whether any accepted write touched a byte in [from, from + count).
  bool WrittenAt(uint16_t from, size_t count) {
    for (const auto& [address, bytes] : module().eeprom_writes()) {
      if (address < from + count && from < address + bytes.size()) return true;
    }
    return false;
  }

  void AddFault(testbed::Fault::Kind kind, int command, int occurrence, uint8_t status = 0x33) {
    testbed::Fault f;
    f.kind = kind;
    f.command = command;
    f.occurrence = occurrence;
    f.status = status;
    module().AddFault(f);
  }
};

}  // namespace e2e
