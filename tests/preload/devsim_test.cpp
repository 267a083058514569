// devsim as a person uses it: it starts programs exactly as the tests do, reports a program it
// had to stop as timeout(1) does, refuses limits that are no positive number, takes a relative
// program name from the caller's folder, and says when only the preload library guards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "board.h"
#include "board_seal.h"
#include "devsim_support.h"
#include "probe_support.h"

namespace {

namespace fs = std::filesystem;
using devsim_test::Devsim;
using devsim_test::DevsimRun;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;

constexpr int kUsageStatus = 2;
constexpr int kTimedOutStatus = 124;
constexpr int kNotStartedStatus = 125;
constexpr char kNoSealLine[] =
    "--- no private mount namespace here: only the preload library guards the machine's "
    "devices\n";

size_t Count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

TEST_F(Devsim, RunsAProgramAndKeepsTheBoard) {
  const DevsimRun r = Run("--board board --seconds 5 -- '" + probe::ProbePath("ioctl_probe") + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("power-off 0 0\n"));
  EXPECT_THAT(r.err, HasSubstr("power off"));
  EXPECT_THAT(r.err, HasSubstr("mode 2"));
  EXPECT_THAT(r.err, HasSubstr("VCOM 1234"));
  EXPECT_EQ(fs::file_size(dir_ / "board" / "eeprom.bin"), testbed::Module::kEepromSize);
}

TEST_F(Devsim, StopsAProgramAtTheTimeLimitWithTimeoutsStatus) {
  const DevsimRun r = Run("--board board --seconds 1.5 -- rx_probe");
  EXPECT_EQ(r.status, kTimedOutStatus) << r.err;
  EXPECT_THAT(r.err, HasSubstr("--- stopped at the time limit of 1.5 s\n"));
}

TEST_F(Devsim, HelpPrintsTheUsage) {
  for (const char* flag : {"--help", "-h"}) {
    const DevsimRun r = Run(flag);
    EXPECT_EQ(r.status, 0) << flag;
    EXPECT_THAT(r.out, StartsWith("usage: devsim [--board DIR]")) << flag;
    EXPECT_EQ(r.err, "") << flag;
  }
}

struct BadArgs {
  const char* name;
  const char* args;
  const char* line;  // the first line on standard error
};

class DevsimArgs : public Devsim, public ::testing::WithParamInterface<BadArgs> {};

TEST_P(DevsimArgs, AreRefusedBeforeAnythingRuns) {
  const BadArgs& c = GetParam();
  const DevsimRun r = Run(std::string("--board board ") + c.args);
  EXPECT_EQ(r.status, kUsageStatus) << r.err;
  EXPECT_THAT(r.err, StartsWith(std::string(c.line) + "\nusage: devsim"));
  EXPECT_FALSE(fs::exists(dir_ / "board")) << "a board was made";
}

INSTANTIATE_TEST_SUITE_P(
    Devsim, DevsimArgs,
    ::testing::Values(
        BadArgs{"Word", "--seconds abc -- rf_gate 1",
                "devsim: --seconds wants a positive number of seconds, not 'abc'"},
        BadArgs{"Zero", "--seconds 0 -- rf_gate 1",
                "devsim: --seconds wants a positive number of seconds, not '0'"},
        BadArgs{"Negative", "--seconds -2 -- rf_gate 1",
                "devsim: --seconds wants a positive number of seconds, not '-2'"},
        BadArgs{"Trailing", "--seconds 3x -- rf_gate 1",
                "devsim: --seconds wants a positive number of seconds, not '3x'"},
        BadArgs{"Empty", "--seconds '' -- rf_gate 1",
                "devsim: --seconds wants a positive number of seconds, not ''"},
        BadArgs{"Infinite", "--seconds inf -- rf_gate 1",
                "devsim: --seconds wants a positive number of seconds, not 'inf'"},
        BadArgs{"Chatter", "--chatter many -- rx_probe",
                "devsim: --chatter wants a number of bytes, not 'many'"},
        BadArgs{"Unknown", "--speed 9 -- rf_gate 1", "devsim: unknown option --speed"},
        BadArgs{"NoValue", "--seconds", "devsim: --seconds wants a value"},
        BadArgs{"NoProgram", "--", "devsim: no program given after --"},
        BadArgs{"NoCommand", "", "devsim: no command given (see --help)"},
        BadArgs{"UnknownCommand", "draw x.png", "devsim: unknown command draw"},
        BadArgs{"ShowWithWords", "show all", "devsim: show takes no arguments"},
        BadArgs{"PictureWithoutFile", "picture", "devsim: picture wants one argument"},
        BadArgs{"FaultWithoutName", "fault", "devsim: fault wants at least one argument"}),
    [](const auto& tc) { return std::string(tc.param.name); });

// `./prog` is the caller's file: the board folder's own `prog` (static, which would write the
// marker) never runs, and the caller's is the one checked.
TEST_F(Devsim, RelativeProgramIsTheCallersFile) {
  fs::create_directories(dir_ / "board");
  fs::copy_file(probe::ProbePath("static_probe"), dir_ / "board" / "prog");
  fs::copy_file(probe::ProbePath("ioctl_probe"), dir_ / "prog");
  const fs::path marker = dir_ / "marker";
  const DevsimRun r = Run("--board board -- ./prog '" + marker.string() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("power-on 0 0\n"));
  EXPECT_FALSE(fs::exists(marker)) << "the board folder's program ran";
}

// As from a shell: the program starts in the caller's folder, so relative paths mean what they
// mean there, and writes to the caller's own streams, a terminal when the caller has one.
TEST_F(Devsim, ProgramStartsInTheCallersFolderOnTheCallersStreams) {
  const std::string probe = "'" + probe::ProbePath("sys_probe_plain") + "' where";
  const DevsimRun piped = Run("--board board -- " + probe);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_THAT(piped.out, StartsWith("cwd=" + dir_.string() + "\nstdout-terminal=0\n"));
  const DevsimRun on_terminal =
      devsim_test::Shell("cd '" + dir_.string() + "' && script -qec \"'" + DEVSIM_PATH +
                             "' --board board -- " + probe + "\" /dev/null",
                         dir_ / "stderr.txt");
  EXPECT_EQ(on_terminal.status, 0) << on_terminal.err;
  EXPECT_THAT(on_terminal.out, HasSubstr("stdout-terminal=1"));
}

TEST_F(Devsim, RefusedProgramSaysWhyAndDoesNotRun) {
  fs::copy_file(probe::ProbePath("static_probe"), dir_ / "prog");
  const fs::path marker = dir_ / "marker";
  const DevsimRun r = Run("--board board -- ./prog '" + marker.string() + "'");
  EXPECT_EQ(r.status, kNotStartedStatus);
  EXPECT_THAT(r.err, HasSubstr("--- refused: statically linked program (the preload library "
                               "would be ignored): " +
                               (dir_ / "prog").string() + "\n"));
  EXPECT_FALSE(fs::exists(marker)) << "the program ran";
}

TEST_F(Devsim, RunWithoutTheHandshakeIsRefused) {
  const std::string program = probe::ProbePath("silent_probe");
  const DevsimRun r = Run("--board board -- '" + program + "'");
  EXPECT_EQ(r.status, kNotStartedStatus) << r.err;
  EXPECT_THAT(r.err, HasSubstr("--- refused: the program did not greet the board (it ran without "
                               "the preload library): " +
                               program + "\n"));
}

TEST_F(Devsim, SaysOnceWhenThePreloadLibraryGuardsAlone) {
  const std::string program = "'" + probe::ProbePath("ioctl_probe") + "'";
  const DevsimRun alone = Run("--board board --no-seal -- " + program);
  EXPECT_EQ(alone.status, 0) << alone.err;
  EXPECT_EQ(Count(alone.err, kNoSealLine), 1u) << alone.err;
  const DevsimRun sealed = Run("--board board -- " + program);
  EXPECT_EQ(sealed.status, 0) << sealed.err;
  const bool can_seal = testbed::AvailableSeal() != testbed::SealMode::kNone;
  EXPECT_EQ(Count(sealed.err, kNoSealLine), can_seal ? 0u : 1u) << sealed.err;
}

}  // namespace
