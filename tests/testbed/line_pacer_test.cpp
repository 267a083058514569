// Pacing one direction of the simulated line: pure arithmetic over time points.
#include <gtest/gtest.h>

#include "line_pacer.h"

namespace testbed {
namespace {

using namespace std::chrono_literals;
using Time = LinePacer::Clock::time_point;

const Time kStart = Time{} + 1h;

LinePacer At115200() { return LinePacer{LinePacer::ByteTime(115200, 10), {}}; }

TEST(LinePacer, ByteTimeAt115200) {
  // 10 bits at 115200 baud: 86.8 microseconds (86805.6 ns, rounded up: never faster than the
  // real line), just under 11520 bytes a second.
  EXPECT_EQ(LinePacer::ByteTime(115200, 10), 86806ns);
  EXPECT_EQ(LinePacer::ByteTime(0, 10), 0ns);
}

TEST(LinePacer, NothingCrossesBeforeOneByteTime) {
  const LinePacer pacer = At115200();
  EXPECT_EQ(pacer.Allowed(kStart, kStart), 0u);
  EXPECT_EQ(pacer.Allowed(kStart + 86us, kStart), 0u);
  EXPECT_EQ(pacer.Allowed(kStart + 87us, kStart), 1u);
  EXPECT_EQ(pacer.Allowed(kStart + 1s, kStart), 11519u);
  EXPECT_EQ(pacer.NextAt(kStart), kStart + 86806ns);
}

TEST(LinePacer, ABusyLineCarriesOnFromWhereItWas) {
  LinePacer pacer = At115200();
  pacer.Sent(kStart, 100);
  // Bytes that were ready long before still wait for the line.
  EXPECT_EQ(pacer.Allowed(kStart + 100 * 86806ns, kStart - 1s), 0u);
  EXPECT_EQ(pacer.Allowed(kStart + 101 * 86806ns, kStart - 1s), 1u);
  pacer.Sent(kStart - 1s, 1);
  EXPECT_EQ(pacer.free_at, kStart + 101 * 86806ns);
}

TEST(LinePacer, AnIdleLineEarnsNoCredit) {
  LinePacer pacer = At115200();
  pacer.Sent(kStart, 1);
  // Bytes that come after a quiet spell start from their own time, not the line's.
  const Time later = kStart + 1s;
  EXPECT_EQ(pacer.Allowed(later, later), 0u);
  EXPECT_EQ(pacer.NextAt(later), later + 86806ns);
}

TEST(LinePacer, UnpacedLetsEverythingThrough) {
  LinePacer pacer;
  EXPECT_FALSE(pacer.paced());
  EXPECT_GT(pacer.Allowed(kStart, kStart), 1000000u);
  pacer.Sent(kStart, 5);
  EXPECT_EQ(pacer.free_at, Time{});
}

}  // namespace
}  // namespace testbed
