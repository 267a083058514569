// What the tests of bm77_ident and bm77_provision share: the module's identity records, the
// identity files, the board I/O requests and the faults, seen from outside the tools.
#pragma once

#include <initializer_list>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "board_test.h"

namespace e2e {

constexpr uint8_t kRead = 0x73;
constexpr uint8_t kWrite = 0x74;
constexpr uint16_t kMacAddress = 0x0000;
constexpr uint16_t kNameAddress = 0x000B;
constexpr uint16_t kAfterNameAddress = 0x0017;  // two bytes the name read returns, never written
constexpr uint16_t kVcomAddress = 0x0019;

constexpr uint32_t kPowerOff = 216;
constexpr uint32_t kBootMode = 220;
constexpr uint32_t kVcomToChip = 221;

inline const std::string kBanner = "BM77 Configuration Update";
inline const std::string kPortSuccess = "BT Com Port Init Success.";
inline const std::string kPortFail = "BT Com Port Init Fail.";
inline const std::vector<std::string> kIdentityFiles = {"/opt/mac", "/tmp/mac", "/opt/device_name",
                                                        "/tmp/device_name", "/opt/vcomdata"};

inline Bytes Ascii(const std::string& text) { return Bytes(text.begin(), text.end()); }

// A file's bytes as text; "<missing>" when there is no such file.
inline std::string Text(const std::optional<Bytes>& bytes) {
  return bytes ? std::string(bytes->begin(), bytes->end()) : "<missing>";
}

inline Lines Cat(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

// The data of every EEPROM write the module took at `address`, in order.
inline std::vector<Bytes> WritesAt(testbed::Module& module, uint16_t address) {
  std::vector<Bytes> found;
  for (const auto& [at, data] : module.eeprom_writes()) {
    if (at == address) found.push_back(data);
  }
  return found;
}

// The board I/O requests as (request, value) pairs, in order.
using Request = std::pair<uint32_t, std::optional<int32_t>>;
inline std::vector<Request> Requests(testbed::BoardIo& io) {
  std::vector<Request> found;
  for (const testbed::IoRequest& r : io.requests()) found.emplace_back(r.request, r.value);
  return found;
}

// The module answers the `occurrence`-th `command` frame with the acknowledgement `status`
// (kAckStatus), or with another kind of misbehaviour.
inline void AddFault(testbed::Module& module, testbed::Fault::Kind kind, int command,
                     int occurrence, uint8_t status = 0x33) {
  testbed::Fault f;
  f.kind = kind;
  f.command = command;
  f.occurrence = occurrence;
  f.status = status;
  module.AddFault(f);
}

}  // namespace e2e
