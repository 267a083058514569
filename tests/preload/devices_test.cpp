// What a program reaches through the board: the I/O control device's requests and their log,
// system() and the exec family, the port's injected faults and scripted reads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "board.h"
#include "probe_support.h"
#include "sim_protocol.h"

namespace {

using testbed::Board;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

// One request of the log as "request:value:result" ("-" for no value).
std::vector<std::string> RequestLog(Board& board) {
  std::vector<std::string> log;
  for (const testbed::IoRequest& r : board.io().requests()) {
    log.push_back(std::to_string(r.request) + ":" +
                  (r.value ? std::to_string(*r.value) : std::string("-")) + ":" +
                  std::to_string(r.result));
  }
  return log;
}

// ---- /dev/vrk_io --------------------------------------------------------------------------------

struct IoCase {
  const char* name;
  bool failing;
  Lines out;
  std::vector<std::string> log;
  bool power;
  int mode;
  std::optional<int> vcom;
};

// Each build of the probe: on a 32-bit device, 64-bit time makes ioctl another libc name.
class BoardIoRequests : public ::testing::TestWithParam<std::tuple<std::string, IoCase>> {};

TEST_P(BoardIoRequests, AreServedAndLogged) {
  const auto& [probe_name, c] = GetParam();
  Board board;
  board.io().SetFailing(c.failing);
  const testbed::RunResult r = board.Run(probe::ProbePath(probe_name), {});
  ASSERT_TRUE(r.started) << r.refusal;
  EXPECT_EQ(r.exit_status, 0) << r.err;  // a bad pointer is EFAULT, not a crash
  EXPECT_EQ(r.OutLines(), c.out);
  EXPECT_EQ(RequestLog(board), c.log);
  EXPECT_EQ(board.io().power(), c.power);
  EXPECT_EQ(board.module().powered(), c.power);
  EXPECT_EQ(board.io().mode(), c.mode);
  EXPECT_EQ(board.io().vcom(), c.vcom);
  const auto violations = board.violations();
  ASSERT_EQ(violations.size(), 2u) << ::testing::PrintToString(violations);
  EXPECT_THAT(violations[0], HasSubstr("999"));
  EXPECT_THAT(violations[1], HasSubstr("ioctl"));  // the one on /dev/null
}

INSTANTIATE_TEST_SUITE_P(
    Driver, BoardIoRequests,
    ::testing::Combine(::testing::ValuesIn(probe::Builds(IOCTL_PROBES)), ::testing::Values(
        IoCase{"Working",
               false,
               {"power-on 0 0", "mode 0 0", "vcom 0 0", "power-off 0 0", "unknown -1 EINVAL",
                "bad-pointer -1 EFAULT", "bad-mode -1 EINVAL", "null-device -1 EACCES"},
               {"217:-:0", "220:2:0", "221:1234:0", "216:-:0", "999:-:-1", "220:-:-1", "220:7:-1"},
               false,
               2,
               1234},
        IoCase{
            "Failing",
            true,
            {"power-on -1 EIO", "mode -1 EIO", "vcom -1 EIO", "power-off -1 EIO",
             "unknown -1 EINVAL", "bad-pointer -1 EFAULT", "bad-mode -1 EIO",
             "null-device -1 EACCES"},
            {"217:-:-1", "220:2:-1", "221:1234:-1", "216:-:-1", "999:-:-1", "220:-:-1", "220:7:-1"},
            true,
            0,
            std::nullopt})),
    [](const auto& tc) {
      return std::get<0>(tc.param) + "_" + std::get<1>(tc.param).name;
    });

TEST(BoardIoAbsent, OpenFailsWithoutViolation) {
  Board board;
  board.io().SetPresent(false);
  const testbed::RunResult r = board.Run(probe::ProbePath("ioctl_probe"), {});
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_THAT(r.OutLines(), ElementsAre("open -1 ENOENT"));
  EXPECT_THAT(board.io().requests(), IsEmpty());
  EXPECT_THAT(board.violations(), IsEmpty());
}

// ---- Other programs -----------------------------------------------------------------------------

struct SystemCase {
  const char* name;
  bool noisewell;  // BM77SIM_NOISEWELL names the stand-in
  Lines out;
  size_t violations;
};

class OtherPrograms : public ::testing::TestWithParam<SystemCase> {};

TEST_P(OtherPrograms, OnlyNoisewellRunsAndUnderTheSameBoard) {
  const SystemCase& c = GetParam();
  Board board;
  testbed::RunOptions options;
  options.env[simwire::kEnvNoisewell] = c.noisewell ? probe::ProbePath("sys_probe_plain") : "";
  const testbed::RunResult r = board.Run(probe::ProbePath("sys_probe_plain"), {"system"}, options);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.OutLines(), c.out);
  EXPECT_THAT(board.system_calls(), ElementsAre("/bin/Noisewell", "/bin/ls"));
  // The stand-in wrote /opt/random through its own preload library: into this sandbox.
  const auto random = board.ReadFile("/opt/random");
  EXPECT_EQ(random.has_value(), c.noisewell);
  if (random) {
    EXPECT_EQ(std::string(random->begin(), random->end()), "noise");
  }
  EXPECT_EQ(board.violations().size(), c.violations)
      << ::testing::PrintToString(board.violations());
}

INSTANTIATE_TEST_SUITE_P(Noisewell, OtherPrograms,
                         ::testing::Values(SystemCase{"Available",
                                                      true,
                                                      {"noisewell exit 7", "ls -1 EACCES",
                                                       "execv -1 EACCES", "popen null EACCES"},
                                                      3},
                                           SystemCase{"NotAvailable",
                                                      false,
                                                      {"noisewell -1 EACCES", "ls -1 EACCES",
                                                       "execv -1 EACCES", "popen null EACCES"},
                                                      4}),
                         [](const auto& tc) { return std::string(tc.param.name); });

// What bm77_ident does for a new address: system("/bin/Noisewell") runs the built Noisewell
// against the same board, and its bytes land in this board's /opt/random.
TEST(OtherPrograms, SystemRunsTheBuiltNoisewellOnTheSameChip) {
  Board board;
  testbed::Bytes random(testbed::Chip::kRandomSize);
  for (size_t i = 0; i < random.size(); ++i) random[i] = static_cast<uint8_t>(0xC0 + i);
  board.chip().SetRandom(random);
  const testbed::RunResult r = board.Run(probe::ProbePath("sys_probe_plain"), {"system"});
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // Nothing to say on the way (under the emulator: the emulator never got the preload list).
  EXPECT_EQ(r.err, "");
  const Lines out = r.OutLines();
  ASSERT_EQ(out.size(), 6u + 4u) << r.out;  // the dump (Noisewell prints as it goes), then ours
  EXPECT_EQ(out[1], "Random:");
  EXPECT_EQ(out[2], "0xc0, 0xc1, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, ");
  EXPECT_THAT(Lines(out.begin() + 6, out.end()),
              ElementsAre("noisewell exit 0", "ls -1 EACCES", "execv -1 EACCES",
                          "popen null EACCES"));
  EXPECT_EQ(board.ReadFile("/opt/random"), random);
  EXPECT_EQ(board.chip().requests().size(), 5u);
  EXPECT_EQ(board.chip().state(), testbed::ChipState::kAsleep);
  EXPECT_EQ(board.violations().size(), 3u) << ::testing::PrintToString(board.violations());
}

// ---- Port faults and scripted reads ------------------------------------------------------------

struct PortCase {
  const char* name;
  std::map<std::string, std::string> env;
  Lines out;
};

const Lines kPlainWrites = {"w1 10 0", "w2 10 0", "w3 10 0", "w4 10 0"};
const Lines kQuietReads = {"r1 -1 EAGAIN", "r2 -1 EAGAIN", "r3 -1 EAGAIN", "r4 -1 EAGAIN"};

Lines Join(const Lines& a, const Lines& b) {
  Lines all = a;
  all.insert(all.end(), b.begin(), b.end());
  return all;
}

class PortFaults : public ::testing::TestWithParam<std::tuple<const char*, PortCase>> {};

TEST_P(PortFaults, ApplyToThePortOnly) {
  const auto& [build, c] = GetParam();
  Board board;
  testbed::RunOptions options;
  options.env = c.env;
  const testbed::RunResult r =
      board.Run(probe::ProbePath(std::string("sys_probe_") + build), {"port"}, options);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_EQ(r.OutLines(), c.out);
  EXPECT_THAT(board.violations(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Env, PortFaults,
    ::testing::Combine(
        ::testing::Values("plain", "fortify"),
        ::testing::Values(
            PortCase{"None", {}, Join(kPlainWrites, kQuietReads)},
            PortCase{"WriteMax",
                     {{"BM77SIM_PORT_WRITE_MAX", "3"}},
                     Join({"w1 3 0", "w2 3 0", "w3 3 0", "w4 3 0"}, kQuietReads)},
            PortCase{"WriteEagain",
                     {{"BM77SIM_PORT_WRITE_EAGAIN", "1"}},
                     Join({"w1 -1 EAGAIN", "w2 10 0", "w3 -1 EAGAIN", "w4 10 0"}, kQuietReads)},
            PortCase{"WriteFail",
                     {{"BM77SIM_PORT_WRITE_FAIL", "2"}},
                     Join({"w1 10 0", "w2 -1 EIO", "w3 -1 EIO", "w4 -1 EIO"}, kQuietReads)},
            PortCase{"ReadScript",
                     {{"BM77SIM_PORT_READ_SCRIPT", "2:5,3:40"}},
                     Join(kPlainWrites, {"r1 -1 EAGAIN", "r2 5 0", "r3 32 0", "r4 -1 EAGAIN"})},
            // three reads complete, the fourth ends the process; what stdio held is flushed
            PortCase{"ReadLimit",
                     {{"BM77SIM_PORT_READ_LIMIT", "3"}},
                     Join(kPlainWrites, {"r1 -1 EAGAIN", "r2 -1 EAGAIN", "r3 -1 EAGAIN"})})),
    [](const auto& tc) {
      return std::string(std::get<0>(tc.param)) + "_" + std::get<1>(tc.param).name;
    });

// ---- Deliberate pauses ---------------------------------------------------------------------------

// The milliseconds each pause of pause_probe took, and the result it gave, in order.
std::vector<std::pair<long, long>> PauseTimes(const testbed::RunResult& r) {
  std::vector<std::pair<long, long>> times;
  for (const std::string& line : r.OutLines()) {
    long ms = -1;
    long result = -1;
    if (std::sscanf(line.c_str(), "%*s %*s %ld ms, result %ld", &ms, &result) == 2) {
      times.emplace_back(ms, result);
    }
  }
  return times;
}

TEST(Pauses, LongOnesAreSkippedOnRequestShortOnesTakeTheirTime) {
  Board board;
  testbed::RunOptions options;
  options.env[simwire::kEnvSkipPausesMs] = "100";
  const testbed::RunResult r = board.Run(probe::ProbePath("pause_probe"),
      {"sleep:30", "usleep:30000000", "nanosleep:30000", "usleep:40000", "nanosleep:40"}, options);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  const auto times = PauseTimes(r);
  ASSERT_EQ(times.size(), 5u) << r.out;
  for (size_t i = 0; i < 3; ++i) {
    // Skipped, the pause takes nothing; 5 s of a 30 s one leave a loaded machine room.
    EXPECT_LT(times[i].first, 5000) << "pause " << i << " was not skipped";
    EXPECT_EQ(times[i].second, 0) << "a skipped pause reports its whole time as passed";
  }
  // A real pause never ends early; 1 ms spare for the probe's whole-millisecond reading.
  EXPECT_GE(times[3].first, 39) << "a pause under the limit is real";
  EXPECT_GE(times[4].first, 39) << "a pause under the limit is real";
  EXPECT_THAT(board.violations(), IsEmpty());
}

TEST(Pauses, AreRealUnlessAsked) {
  Board board;
  const testbed::RunResult r = board.Run(probe::ProbePath("pause_probe"), {"sleep:1", "usleep:200000"});
  const auto times = PauseTimes(r);
  ASSERT_EQ(times.size(), 2u) << r.out;
  // A real pause never ends early; 1 ms spare for the probe's whole-millisecond reading.
  EXPECT_GE(times[0].first, 999);
  EXPECT_GE(times[1].first, 199);
}

// A test's run sees the environment the test gives it and not its caller's (a service
// engineer's BM77_TRACE); devsim passes the caller's on.
TEST(Environment, IsTheTestsUnlessTheCallersIsAskedFor) {
  Board board;
  ASSERT_EQ(setenv("BM77_TRACE", "1", 1), 0);
  ASSERT_EQ(setenv("UBSAN_OPTIONS", "print_stacktrace=1", 1), 0);
  testbed::RunOptions options;
  options.env["GIVEN"] = "yes";
  const std::vector<std::string> names = {"BM77_TRACE", "GIVEN", "UBSAN_OPTIONS", "PATH"};
  std::vector<std::string> args = {"env"};
  args.insert(args.end(), names.begin(), names.end());
  const testbed::RunResult own = board.Run(probe::ProbePath("sys_probe_plain"), args, options);
  options.caller_environment = true;
  const testbed::RunResult caller = board.Run(probe::ProbePath("sys_probe_plain"), args, options);
  const std::string path = getenv("PATH");
  unsetenv("BM77_TRACE");
  unsetenv("UBSAN_OPTIONS");
  EXPECT_THAT(own.OutLines(), ElementsAre("BM77_TRACE unset", "GIVEN=yes",
                                          "UBSAN_OPTIONS=print_stacktrace=1",
                                          "PATH=/usr/local/bin:/usr/bin:/bin"));
  EXPECT_THAT(caller.OutLines(), ElementsAre("BM77_TRACE=1", "GIVEN=yes",
                                             "UBSAN_OPTIONS=print_stacktrace=1", "PATH=" + path));
  EXPECT_THAT(board.violations(), IsEmpty());
}

TEST(PortMissing, OpenFailsWithoutViolation) {
  Board board(testbed::BoardOptions{false, {}});
  const testbed::RunResult r = board.Run(probe::ProbePath("sys_probe_plain"), {"port"});
  EXPECT_THAT(r.OutLines(), ElementsAre("open ENOENT"));
  EXPECT_THAT(board.violations(), IsEmpty());
}

}  // namespace
