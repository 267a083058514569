// The frame the probes write to the port: an EEPROM read of kFrameCount bytes at an address,
// built here again (the probes share nothing with the link library).
#pragma once

#include <cstdint>
#include <vector>

#include "probe_paths.h"

namespace probe {

constexpr uint32_t kCrcPoly = 0x11021;  // x^16 + x^12 + x^5 + 1
constexpr uint32_t kCrcTop = 0x10000;
constexpr uint8_t kEscape = 0x3C;   // '<'
constexpr uint8_t kHeader = 0x66;   // 'f'
constexpr uint8_t kTrailer = 0x5A;  // 'Z'
constexpr unsigned kBitsPerByte = 8;

inline uint16_t Crc(const std::vector<uint8_t>& bytes) {
  uint32_t reg = 0;
  for (uint8_t b : bytes) {
    for (unsigned i = 1; i <= kBitsPerByte; ++i) {
      reg = reg << 1 | ((static_cast<uint32_t>(b) >> (kBitsPerByte - i)) & 1u);
      if ((reg & kCrcTop) != 0) reg ^= kCrcPoly;
    }
  }
  return static_cast<uint16_t>(reg);
}

inline std::vector<uint8_t> Frame(unsigned address) {
  const std::vector<uint8_t> covered = {kFrameCommand,
                                        static_cast<uint8_t>(address >> kBitsPerByte),
                                        static_cast<uint8_t>(address), kFrameCount};
  const uint16_t crc = Crc(covered);
  std::vector<uint8_t> frame = {kEscape, kHeader, covered[0]};
  auto put = [&frame](uint8_t b) {
    frame.push_back(b);
    if (b == kEscape) frame.push_back(b);
  };
  for (size_t i = 1; i < covered.size(); ++i) put(covered[i]);
  put(static_cast<uint8_t>(crc >> kBitsPerByte));
  put(static_cast<uint8_t>(crc));
  frame.push_back(kEscape);
  frame.push_back(kTrailer);
  return frame;
}

}  // namespace probe
