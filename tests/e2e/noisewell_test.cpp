// Noisewell end to end: the chip's 32 bytes as a dump and in /opt/random, the file written in
// place, and each failure's line, exit status and untouched file.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <functional>

#include "board_test.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using testbed::Chip;
using testbed::ChipRequest;
using testbed::ChipState;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::Ge;
using ::testing::IsEmpty;

constexpr uint32_t kSleep = 102;
constexpr uint32_t kSend = 104;
constexpr uint32_t kWake = 105;
constexpr uint32_t kReceive = 106;
using RequestList = std::vector<uint32_t>;
const RequestList kSuccessfulRun = {kWake, kReceive, kSend, kReceive, kSleep};

// Values with a newline byte, both ends of the range and every hex letter.
const Bytes kRandom = Hex(
    "00 0A FF 7F 80 AB CD EF 10 32 54 76 98 BA DC FE 01 23 45 67 89 AB CD EF 5A A5 3C C3 96 69 E1 1E");

// Pause after opening the device, Random's execution time, and the pause after a wrong wake
// response: lower bounds of a run's wall time.
constexpr double kOpenPause = 0.069;
constexpr double kRandomTime = 0.050;
constexpr double kWrongWakePause = 0.069;

Bytes Join(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Lines Dump(const Bytes& bytes) {
  Lines lines = {"", "Random:"};
  char value[8];
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i % 8 == 0) lines.emplace_back();
    std::snprintf(value, sizeof value, "0x%02x, ", bytes[i]);
    lines.back() += value;
  }
  return lines;
}

class Noisewell : public BoardTest {
 protected:
  void SetUp() override { chip().SetRandom(kRandom); }

  RequestList Requests() {
    RequestList numbers;
    for (const ChipRequest& r : chip().requests()) numbers.push_back(r.request);
    return numbers;
  }

  unsigned Mode(const std::string& fixed_path) {
    struct stat st {};
    if (stat(board_.SandboxPath(fixed_path).c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
  }
};

TEST_F(Noisewell, StoresAndPrintsTheChipsBytes) {
  const auto r = Run("Noisewell", {});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), Dump(kRandom));
  EXPECT_EQ(r.out.back(), '\n');
  EXPECT_EQ(board_.ReadFile("/opt/random"), kRandom);
  EXPECT_EQ(Mode("/opt/random"), 0600u);
  EXPECT_EQ(Requests(), kSuccessfulRun);
  EXPECT_EQ(chip().requests()[2].packet, Hex("07 1B 00 00 00 24 CD"));
  EXPECT_EQ(chip().state(), ChipState::kAsleep);
  EXPECT_THAT(r.wall_seconds, Ge(kOpenPause + kRandomTime));
}

TEST_F(Noisewell, ArgumentsChangeNothing) {
  const auto r = Run("Noisewell", {"--help", "/opt/other"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), Dump(kRandom));
  EXPECT_EQ(board_.ReadFile("/opt/random"), kRandom);
  EXPECT_FALSE(board_.ReadFile("/opt/other"));
}

// ---- The file, written in place -----------------------------------------------------------------

struct OldFileCase {
  const char* name;
  size_t size;
};

class OldFile : public Noisewell, public ::testing::WithParamInterface<OldFileCase> {};

TEST_P(OldFile, FirstBytesReplacedTailKept) {
  const Bytes old(GetParam().size, 0x77);
  board_.WriteFile("/opt/random", old, 0644);
  const auto r = Run("Noisewell", {});
  EXPECT_EQ(r.exit_status, 0);
  const Bytes tail = old.size() > 32 ? Bytes(old.begin() + 32, old.end()) : Bytes{};
  EXPECT_EQ(board_.ReadFile("/opt/random"), Join(kRandom, tail));
  EXPECT_EQ(Mode("/opt/random"), 0644u);  // an existing file keeps its mode
}

INSTANTIATE_TEST_SUITE_P(Sizes, OldFile,
                         ::testing::Values(OldFileCase{"Longer", 40}, OldFileCase{"Shorter", 6},
                                           OldFileCase{"Empty", 0}, OldFileCase{"Same", 32}),
                         [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Noisewell, UnwritableOptAfterTheDump) {
  fs::remove_all(board_.SandboxPath("/opt"));
  board_.WriteFile("/opt", Bytes{'x'});  // /opt is a file: nothing can be created in it
  const auto r = Run("Noisewell", {});
  EXPECT_EQ(r.exit_status, 255);
  Lines expected = Dump(kRandom);
  expected.push_back("Failed to create file for random number");
  EXPECT_EQ(r.OutLines(), expected);
  EXPECT_EQ(Requests(), kSuccessfulRun);
}

TEST_F(Noisewell, OnlyAPlainFileIsWritten) {
  // Links lead elsewhere, a FIFO would hold the open for ever, a folder is no file.
  const Bytes keep = {'k', 'e', 'e', 'p'};
  const std::string random = board_.SandboxPath("/opt/random");
  const std::string victim = board_.SandboxPath("/opt/victim");
  const std::vector<std::function<void()>> plants = {
      [&] { fs::create_symlink(victim, random); },
      [&] { fs::create_hard_link(victim, random); },
      [&] { ASSERT_EQ(mkfifo(random.c_str(), 0600), 0); },
      [&] { fs::create_directory(random); },
  };
  for (size_t i = 0; i < plants.size(); ++i) {
    board_.WriteFile("/opt/victim", keep);
    plants[i]();
    testbed::RunOptions o;
    o.time_limit = std::chrono::seconds(5);
    const auto r = Run("Noisewell", {}, o);
    EXPECT_EQ(r.exit_status, 255) << i;
    EXPECT_EQ(r.OutLines().back(), "Failed to create file for random number") << i;
    EXPECT_EQ(board_.ReadFile("/opt/victim"), keep) << i;
    fs::remove(random);
  }
}

TEST_F(Noisewell, WriteThatDoesNotTakeAll32BytesFails) {
  // A file size limit of 16 bytes cuts the write short (the signal it raises is ignored, and
  // both settings pass to the program).
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = old;
  small.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const auto r = Run("Noisewell", {});
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.OutLines().back(), "Failed to write random number");
}

TEST_F(Noisewell, MissingDevice) {
  chip().SetPresent(false);
  const auto r = Run("Noisewell", {});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_THAT(r.OutLines(), ElementsAre("Fail to open file /dev/ZR6083_S"));
  EXPECT_THAT(chip().requests(), IsEmpty());
  EXPECT_FALSE(board_.ReadFile("/opt/random"));
}

// ---- Failures of the chip -----------------------------------------------------------------------

struct FailureCase {
  const char* name;
  std::function<void(Chip&)> setup;
  std::string line;
  int exit_status;
  RequestList requests;  // never a sleep: the chip is put to sleep only after a good run
  double min_seconds;
};

const std::string kWakeFailure = "SHA204A Wake Up Failure! ret_code=0x";
const std::string kRandomFailure = "SHA204A Update Challenge Failure! ret_code=0x";
const RequestList kWakeOnly = {kWake};
const RequestList kWakeExchange = {kWake, kReceive};
const RequestList kSendFailed = {kWake, kReceive, kSend};
const RequestList kWholeExchange = {kWake, kReceive, kSend, kReceive};

class ChipFailure : public Noisewell, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(ChipFailure, LineStatusAndFileLeftAlone) {
  const FailureCase& c = GetParam();
  const Bytes old(40, 0x55);
  board_.WriteFile("/opt/random", old);
  c.setup(chip());
  const auto r = Run("Noisewell", {});
  EXPECT_EQ(r.exit_status, c.exit_status);
  EXPECT_THAT(r.OutLines(), ElementsAre(c.line));
  EXPECT_EQ(Requests(), c.requests);
  EXPECT_EQ(board_.ReadFile("/opt/random"), old);
  EXPECT_THAT(r.wall_seconds, Ge(c.min_seconds));
}

void WakeAnswers(Chip& c, const std::string& hex) { c.SetWakeResponse(Hex(hex)); }

INSTANTIATE_TEST_SUITE_P(
    Chip, ChipFailure,
    ::testing::Values(
        FailureCase{"WakeStatus", [](Chip& c) { WakeAnswers(c, "04 00 33 43"); },
                    kWakeFailure + "f0", 240, kWakeExchange, kOpenPause + kWrongWakePause},
        FailureCase{"WakeCount", [](Chip& c) { WakeAnswers(c, "07 11 33 43"); },
                    kWakeFailure + "e4", 228, kWakeExchange, kOpenPause + kWrongWakePause},
        FailureCase{"WakeCrc", [](Chip& c) { WakeAnswers(c, "04 11 33 44"); },
                    kWakeFailure + "e5", 229, kWakeExchange, kOpenPause + kWrongWakePause},
        FailureCase{"WakeRequest", [](Chip& c) { c.FailRequest(kWake); }, kWakeFailure + "d3",
                    211, kWakeOnly, kOpenPause},
        FailureCase{"WakeReceive", [](Chip& c) { c.FailRequest(kReceive, -1, 1); },
                    kWakeFailure + "ff", 255, kWakeExchange, kOpenPause},
        FailureCase{"ParseError", [](Chip& c) { c.SetStatusByte(0x03); }, kRandomFailure + "d2",
                    210, kWholeExchange, kOpenPause + kRandomTime},
        FailureCase{"ExecutionError", [](Chip& c) { c.SetStatusByte(0x0F); },
                    kRandomFailure + "d3", 211, kWholeExchange, kOpenPause + kRandomTime},
        FailureCase{"CommunicationError", [](Chip& c) { c.SetStatusByte(0xFF); },
                    kRandomFailure + "d4", 212, kWholeExchange, kOpenPause + kRandomTime},
        FailureCase{"BadCrc", [](Chip& c) { c.SetBadCrc(true); }, kRandomFailure + "e5", 229,
                    kWholeExchange, kOpenPause + kRandomTime},
        // a count byte beyond the 35 bytes read
        FailureCase{"CountAboveSize",
                    [](Chip& c) { c.SetResponse(Join(Hex("25"), Bytes(36, 0))); },
                    kRandomFailure + "e5", 229, kWholeExchange, kOpenPause + kRandomTime},
        // A good CRC and status 0x00, but no random bytes: taken as such, every device with
        // this fault would get the same MAC.
        FailureCase{"StatusOnlyResponse", [](Chip& c) { c.SetResponse(Hex("04 00 03 40")); },
                    kRandomFailure + "e5", 229, kWholeExchange, kOpenPause + kRandomTime},
        FailureCase{"FourDataBytesOnly",
                    [](Chip& c) { c.SetResponse(Hex("07 00 01 02 03 86 A5")); },
                    kRandomFailure + "e5", 229, kWholeExchange, kOpenPause + kRandomTime},
        FailureCase{"SendRequest", [](Chip& c) { c.FailRequest(kSend); }, kRandomFailure + "ff",
                    255, kSendFailed, kOpenPause},
        FailureCase{"SendRequestCode", [](Chip& c) { c.FailRequest(kSend, 0x1F7); },
                    kRandomFailure + "f7", 247, kSendFailed, kOpenPause},
        FailureCase{"ReceiveRequest", [](Chip& c) { c.FailRequest(kReceive, -1, 2); },
                    kRandomFailure + "ff", 255, kWholeExchange, kOpenPause + kRandomTime}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace e2e
