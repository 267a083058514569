// rx_probe: module switched on before the port is looked at, port with two stop bits, and the
// running total printed after more than 50000 empty reads (counted in reads, not in time).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "board_test.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

const Lines kStart = {"RF_Gate --- 1, ret = 0", "BT Com Port Init Success."};

class RxProbe : public BoardTest {
 protected:
  // Runs rx_probe for exactly `reads` reads of the port; `script` says which reads bring data.
  testbed::RunResult RunReads(long reads, const std::string& script = "") {
    testbed::RunOptions o;
    o.env["BM77SIM_PORT_READ_LIMIT"] = std::to_string(reads);
    if (!script.empty()) o.env["BM77SIM_PORT_READ_SCRIPT"] = script;
    return Run("rx_probe", {}, o);
  }

  static Lines StartThen(const Lines& totals) {
    Lines all = kStart;
    all.insert(all.end(), totals.begin(), totals.end());
    return all;
  }
};

struct CountCase {
  const char* name;
  long reads;
  const char* script;
  Lines totals;
};

class RxProbeCounting : public RxProbe, public ::testing::WithParamInterface<CountCase> {};

TEST_P(RxProbeCounting, TotalsAfterQuietReads) {
  const CountCase& c = GetParam();
  const auto r = RunReads(c.reads, c.script);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), StartThen(c.totals));
}

INSTANTIATE_TEST_SUITE_P(
    Reads, RxProbeCounting,
    ::testing::Values(
        CountCase{"QuietUpToTheLimit", 50001, "", {}},
        CountCase{"FirstTotalOnRead50002", 50002, "", {"R:0"}},
        CountCase{"NextAfter50001More", 50002 + 50000, "", {"R:0"}},
        CountCase{"SecondTotal", 50002 + 50001, "", {"R:0", "R:0"}},
        // 100 bytes in four reads (each read asks for 32), then quiet from read 41 on.
        CountCase{"BurstThenQuiet", 40 + 50002, "10:30,20:30,30:32,40:8", {"R:100"}},
        CountCase{"BurstThenQuietTwice", 40 + 50002 + 50001, "10:30,20:30,30:32,40:8",
                  {"R:100", "R:100"}},
        // Data at least every 50000th read keeps the tool silent.
        CountCase{"SteadyDataKeepsSilent", 200000, "50000:1,100000:1,150000:1", {}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(RxProbe, PortWithTwoStopBits) {
  RunReads(1000);
  bool seen = false;
  for (const testbed::PortSettings& s : module().settings_seen()) {
    if (s.two_stop_bits && s.Proper115200()) seen = true;
  }
  EXPECT_TRUE(seen);
  EXPECT_THAT(module().host_frames(), IsEmpty());  // it sends nothing
}

TEST_F(RxProbe, CountsWhatTheModuleSends) {
  // The probe flushes the line while it sets the port up, and switches the module on right
  // after: the module starts talking once it has been switched on.
  std::thread talk([this] {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (io().requests().empty() && std::chrono::steady_clock::now() < give_up) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    module().Chatter(100, 10, std::chrono::milliseconds(5));
  });
  testbed::RunOptions o;
  o.time_limit = std::chrono::milliseconds(3000);  // it never ends by itself
  const auto r = Run("rx_probe", {}, o);
  talk.join();
  EXPECT_TRUE(r.timed_out);
  const Lines lines = r.OutLines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(Lines(lines.begin(), lines.begin() + 2), kStart);
  EXPECT_EQ(lines.back(), "R:100");
}

TEST_F(RxProbe, SwitchesTheModuleOnEvenWhenTheDriverFails) {
  io().SetFailing(true);
  const auto r = RunReads(10);
  EXPECT_THAT(r.OutLines(), ElementsAre("RF_Gate --- 1, ret = -1", "BT Com Port Init Success."));
}

class RxProbeWithoutPort : public BoardTest {
 protected:
  RxProbeWithoutPort() : BoardTest(testbed::BoardOptions{false, {}}) {}
};

TEST_F(RxProbeWithoutPort, ModuleOnThenPortFailure) {
  const auto r = Run("rx_probe", {});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_THAT(r.OutLines(), ElementsAre("RF_Gate --- 1, ret = 0", "BT Com Port Init Fail."));
  ASSERT_EQ(io().requests().size(), 1u);
  EXPECT_EQ(io().requests()[0].request, 217u);
  EXPECT_TRUE(io().power());  // and it stays on
}

TEST_F(RxProbeWithoutPort, MissingDriverToo) {
  io().SetPresent(false);
  const auto r = Run("rx_probe", {});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_THAT(r.OutLines(), ElementsAre("RF_Gate Control Fail.", "BT Com Port Init Fail."));
}

}  // namespace
}  // namespace e2e
