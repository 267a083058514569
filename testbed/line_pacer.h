// One direction of the simulated serial line, paced like a real UART: a byte has crossed the
// line one byte time after the line was free and the byte was there, and no sooner. Pure
// arithmetic over time points, so it is tested without a clock.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>

namespace testbed {

struct LinePacer {
  using Clock = std::chrono::steady_clock;

  std::chrono::nanoseconds byte_time{0};  // 0: unpaced, every byte crosses at once
  Clock::time_point free_at{};            // when the line has carried every byte sent so far

  // Byte time at `baud` with `bits` a byte (start, data and stop bits), rounded up to the
  // nanosecond: the simulated line is never faster than the real one.
  static std::chrono::nanoseconds ByteTime(unsigned baud, unsigned bits) {
    if (baud == 0) return std::chrono::nanoseconds{0};
    const std::chrono::nanoseconds bit_times = std::chrono::seconds(1) * bits;
    return (bit_times + std::chrono::nanoseconds(baud - 1)) / baud;
  }

  bool paced() const { return byte_time.count() > 0; }

  // How many bytes, waiting since `ready`, have crossed the line by `now`.
  size_t Allowed(Clock::time_point now, Clock::time_point ready) const {
    if (!paced()) return std::numeric_limits<size_t>::max();
    const Clock::time_point start = std::max(free_at, ready);
    if (now <= start) return 0;
    return static_cast<size_t>((now - start) / byte_time);
  }

  // `count` bytes waiting since `ready` went over the line.
  void Sent(Clock::time_point ready, size_t count) {
    if (!paced()) return;
    free_at = std::max(free_at, ready) + byte_time * static_cast<long long>(count);
  }

  // When the next byte waiting since `ready` will have crossed.
  Clock::time_point NextAt(Clock::time_point ready) const {
    return std::max(free_at, ready) + byte_time;
  }
};

}  // namespace testbed
