// Host-side helpers for the simulated module's tests: what a program would put on the line.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "board.h"
#include "module_framing.h"

namespace testbed {

inline void Append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// Appends `byte`, doubled if it is the sync byte, as the host does for payload and CRC bytes.
inline void AppendEscaped(Bytes& to, uint8_t byte) {
  to.push_back(byte);
  if (byte == framing::kSync) to.push_back(byte);
}

// Names table-driven cases after their `name` field.
template <typename Case>
std::string CaseName(const ::testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

// A command frame as a program sends it.
inline Bytes HostFrame(uint8_t command, const Bytes& payload) {
  const uint16_t crc = framing::CommandCrc(command, payload);
  Bytes frame{framing::kSync, framing::kFrameStart, command};
  for (uint8_t byte : payload) AppendEscaped(frame, byte);
  AppendEscaped(frame, static_cast<uint8_t>(crc >> 8));
  AppendEscaped(frame, static_cast<uint8_t>(crc & 0xFF));
  Append(frame, {framing::kSync, framing::kFrameEnd});
  return frame;
}

}  // namespace testbed
