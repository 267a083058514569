// The simulated module's flash: its memory, the bank the host selected, the burst in progress
// and what tests set or read. The module (module_flash.cpp) drives it from its command table
// and from the parser's burst events; the helpers here are pure.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "board.h"

namespace testbed {
namespace flash {

constexpr uint8_t kInit = 0x50;         // 'P': answers the flash ID
constexpr uint8_t kErase = 0x51;        // 'Q': erases all banks, then answers
constexpr uint8_t kSwitchBank = 0x63;   // 'c': one byte, the bank the next burst programs
constexpr uint8_t kWrite = 0x45;        // 'E': accepted; the module does nothing with it
constexpr int kFirmwareUpdateMode = 2;  // the only boot mode that answers these
// Body of the flash ID response: a lead byte, then the ID's two bytes.
constexpr uint8_t kIdHigh = 0xBF;
constexpr uint8_t kIdLow = 0x41;
constexpr uint8_t kErased = 0xFF;
// Burst replies: 3C 88 after every full block, 3C 33 when the bank end checks out, 3C 55 when
// it does not (wrong CRC, wrong trailer, or fewer bytes than the count).
constexpr uint8_t kResume = 0x88;
constexpr uint8_t kBankRefused = 0x55;

using Clock = std::chrono::steady_clock;

// The bank being programmed.
struct Burst {
  int bank = 0;
  size_t received = 0;
  uint16_t crc = 0;  // of the bytes received, as the module computes it
  int full_blocks = 0;
  bool silent = false;  // a kSilence fault struck: nothing more is said in this bank
};

struct State {
  Bytes memory;
  int bank = -1;  // selected by kSwitchBank; -1 until then
  std::optional<Burst> burst;
  std::chrono::milliseconds erase_time{0};
  std::chrono::milliseconds resume_hold{0};
  std::deque<Clock::time_point> resumes_due;  // resume replies of this bank not yet out
  size_t max_unconfirmed = 0;
  std::vector<BurstFault> faults;
};

// What a fresh module holds: an old firmware without a single 0xFF byte.
Bytes OldFirmware(size_t size);
// Programs `data` at `address` the way flash does: bits can only be cleared.
void Program(Bytes& memory, size_t address, const Bytes& data);
// The bank CRC the module checks the bank end against: CRC-16-CCITT of the data bytes from 0.
uint16_t BankCrc(uint16_t crc, const Bytes& data);
// The first fault of `kind` for this bank (and full block, for block faults), or null.
const BurstFault* MatchBurstFault(const std::vector<BurstFault>& faults, BurstFault::Kind kind,
                                  int bank, int block);

}  // namespace flash
}  // namespace testbed
