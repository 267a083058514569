// How well a program kept the line busy while it programmed the flash, read from the module's
// wire log: the time from the first flash command to the last finish reply, against the time
// the line needs for the bytes the host sent in that span.
#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

#include "board.h"

namespace testbed {

struct FlashSpan {
  bool found = false;       // a flash command and a finish reply were on the line
  double seconds = 0;       // first flash command onto the line .. last finish reply off it
  size_t host_bytes = 0;    // bytes the host sent in that span
  double line_seconds = 0;  // what the line needs for them
  double ratio = 0;         // seconds / line_seconds
};

inline FlashSpan MeasureFlashSpan(const std::vector<WireEvent>& log, unsigned baud) {
  constexpr unsigned kBitsPerByte = 10;
  constexpr uint8_t kFlashCommands[] = {0x50, 0x51, 0x63, 0x45};
  constexpr uint8_t kFinish = 0x33;
  const double byte_seconds = static_cast<double>(kBitsPerByte) / baud;
  using Seconds = std::chrono::duration<double>;
  const auto host = [](const WireEvent& e) { return e.dir == WireEvent::Dir::kHostToModule; };

  FlashSpan span;
  const WireEvent* first = nullptr;
  const WireEvent* last_finish = nullptr;
  bool after_bank_end = false;
  for (const WireEvent& e : log) {
    if (host(e) && e.kind == WireEvent::Kind::kFrame && first == nullptr) {
      for (uint8_t command : kFlashCommands) {
        if (e.command == command) first = &e;
      }
    }
    if (host(e)) after_bank_end = e.kind == WireEvent::Kind::kBankEnd;
    if (!host(e) && after_bank_end && e.kind == WireEvent::Kind::kAck && e.status == kFinish) {
      last_finish = &e;
      after_bank_end = false;
    }
  }
  if (first == nullptr || last_finish == nullptr) return span;
  // `at` is when the first command's last byte came off the line, and when the finish reply
  // went onto it.
  const auto start =
      first->at - std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      Seconds(byte_seconds * static_cast<double>(first->raw.size())));
  const auto end =
      last_finish->at + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            Seconds(byte_seconds * static_cast<double>(last_finish->raw.size())));
  for (const WireEvent& e : log) {
    if (host(e) && e.at > start && e.at <= end) span.host_bytes += e.raw.size();
  }
  span.found = true;
  span.seconds = Seconds(end - start).count();
  span.line_seconds = byte_seconds * static_cast<double>(span.host_bytes);
  span.ratio = span.line_seconds > 0 ? span.seconds / span.line_seconds : 0;
  return span;
}

}  // namespace testbed
