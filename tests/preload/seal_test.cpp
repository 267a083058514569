// Nothing leaves the sandbox by a link, and nothing reaches the machine's devices by a raw
// system call: links planted in the board folder or made by the program are refused when they
// lead out (with the second seal and without it), and under the second seal the port is the
// board's pseudo-terminal even for raw calls, the machine's other ports are not there, and the
// program cannot undo the seal. The seal leaves no mount behind in the machine's namespace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "board.h"
#include "board_seal.h"
#include "probe_paths.h"
#include "probe_support.h"

namespace {

namespace fs = std::filesystem;
using testbed::Board;
using testbed::Bytes;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using Lines = std::vector<std::string>;

constexpr unsigned kFrameAddress = 0x0040;
constexpr int kSysAdminBit = 21;  // CAP_SYS_ADMIN in /proc/self/status

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Whether this test process may make a mount namespace: root with CAP_SYS_ADMIN, as in CI.
bool MayMakeMountNamespace() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("CapEff:", 0) == 0) {
      const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
      return ((caps >> kSysAdminBit) & 1u) != 0;
    }
  }
  return false;
}

// A folder outside every sandbox, in the machine's /tmp (where a checkout, an image or a table
// may well be: only the board's own paths there are the board's), removed at the end.
class Outside {
 public:
  explicit Outside(const std::string& name)
      : dir_(fs::path("/tmp") / ("bm77sim-" + name + "-" + std::to_string(getpid()))) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    std::ofstream(dir_ / "secret") << "secret";
  }
  ~Outside() { fs::remove_all(dir_); }
  const fs::path& dir() const { return dir_; }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }

 private:
  fs::path dir_;
};

// ---- Links --------------------------------------------------------------------------------------

// At the board's paths, and below /opt/random (a folder here: what lies below a board path is
// the board's too).
void PlantLinks(Board& board, const fs::path& outside) {
  fs::create_directories(board.SandboxPath("/opt/random"));
  board.WriteFile("/opt/random/target", Bytes{'i', 'n', 's', 'i', 'd', 'e'});
  board.WriteFile("/tmp/keep", Bytes{});  // the board makes tmp/
  const auto plant = [&](const fs::path& text, const std::string& fixed) {
    fs::create_symlink(text, board.SandboxPath(fixed));
  };
  plant("/dev/ttyS0", "/opt/mac");
  plant("/dev", "/opt/random/dev-link");
  plant(outside, "/opt/random/out-link");
  plant(outside / "created", "/tmp/mac");
  plant("../..", "/opt/device_name");
  plant(board.SandboxPath("/opt/random/target"), "/opt/random/in-link");
  plant("target", "/opt/random/rel-link");
  fs::create_symlink("/opt/mac", outside / "to-board");  // the machine's own, not the board's
}

const Lines kLinkSteps = {
    "outside-read secret",
    "to-board-create EACCES",
    "to-board-unlink 0",
    "port-link EACCES",
    "dev-folder-link EACCES",
    "outside-file EACCES",
    "dangling-create EACCES",
    "up-folder EACCES",
    "stat-through EACCES",
    "hard-link EACCES",
    "hard-link-outside EACCES",
    "made-here 0",
    "made-here-open EACCES",
    "made-tmp 0",
    "made-tmp-open EACCES",
    "lstat-link 0",
    "readlink /dev/ttyS0",
    "nofollow ELOOP",
    "unlink-link 0",
    "in-link inside",
    "rel-link inside",
    "made-inside 0",
    "made-inside-read inside",
};
// One violation per refused step.
constexpr size_t kLinkViolations = 11;

class Links : public ::testing::TestWithParam<bool> {};

TEST_P(Links, LeadingOutOfTheSandboxAreRefused) {
  testbed::BoardOptions options;
  options.seal = GetParam();
  Board board(options);
  const Outside outside("links");
  PlantLinks(board, outside.dir());
  const bool machine_had_mac = fs::exists(fs::symlink_status("/opt/mac"));
  const testbed::RunResult r =
      board.Run(probe::ProbePath("link_probe"), {outside.dir().string()});
  ASSERT_TRUE(r.started) << r.refusal;
  EXPECT_TRUE(r.handshake);
  EXPECT_EQ(r.exit_status, 0) << r.err;
  EXPECT_THAT(r.OutLines(), ElementsAreArray(kLinkSteps));
  EXPECT_EQ(board.violations().size(), kLinkViolations)
      << ::testing::PrintToString(board.violations());
  EXPECT_THAT(outside.Names(), ElementsAre("secret")) << "a file was made outside the sandbox";
  EXPECT_EQ(ReadText(outside.dir() / "secret"), "secret");
  EXPECT_FALSE(fs::exists(fs::symlink_status(board.SandboxPath("/tmp/device_name"))));
  if (!machine_had_mac && fs::exists(fs::symlink_status("/opt/mac"))) {
    fs::remove("/opt/mac");  // a failing test must not leave it behind
    ADD_FAILURE() << "the run made the machine's own /opt/mac";
  }
}

INSTANTIATE_TEST_SUITE_P(Seal, Links, ::testing::Values(true, false),
                         [](const auto& tc) { return tc.param ? "Sealed" : "PreloadAlone"; });

// ---- Raw system calls under the second seal ----------------------------------------------------

bool SentFrameFor(Board& board, unsigned address) {
  const Bytes payload = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                         probe::kFrameCount};
  for (const testbed::WireEvent& e : board.module().host_frames()) {
    if (e.command == probe::kFrameCommand && e.payload == payload && e.crc_ok) return true;
  }
  return false;
}

// Whether this process's root is a mount point of its own (not so in a plain chroot).
bool RootIsAMountPoint() {
  std::ifstream mounts("/proc/self/mountinfo");
  std::string id, parent, numbers, root, point;
  std::string rest;
  while (mounts >> id >> parent >> numbers >> root >> point && std::getline(mounts, rest)) {
    if (point == "/") return true;
  }
  return false;
}

// Where a mount namespace can be made, the seal is built in it, unless the root is no mount
// point of its own (a chroot): its mounts cannot be made private there, and the board says
// that, and runs with the preload library alone.
TEST(SecondSeal, IsUsedWhereAllowed) {
  if (!MayMakeMountNamespace()) GTEST_SKIP() << "no mount namespace for this user here";
  Board board;
  const testbed::RunResult r = board.Run(probe::ProbePath("ioctl_probe"), {});
  if (RootIsAMountPoint()) {
    EXPECT_NE(testbed::AvailableSeal(), testbed::SealMode::kNone) << testbed::SealUnavailable();
    EXPECT_EQ(testbed::SealUnavailable(), "");
    EXPECT_FALSE(testbed::NamespaceWithoutSeal());
    EXPECT_TRUE(r.sealed);
  } else {
    EXPECT_TRUE(testbed::NamespaceWithoutSeal());
    EXPECT_EQ(testbed::SealUnavailable().rfind("making the namespace's mounts private: ", 0), 0u)
        << testbed::SealUnavailable();
    EXPECT_FALSE(r.sealed);
  }
  EXPECT_EQ(r.exit_status, 0) << r.err;
}

TEST(SecondSeal, RawSystemCallsReachOnlyTheBoard) {
  Board board;
  // A harmless device node outside /dev, as a container's or a chroot's would be.
  const std::string copy = board.sandbox() + "/null-copy";
  const bool planted = mknod(copy.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
  const testbed::RunResult r = board.Run(probe::ProbePath("raw_probe"), {"0x40"});
  ASSERT_TRUE(r.started) << r.refusal;
  if (!r.sealed) GTEST_SKIP() << "no mount namespace here: the preload library guards alone";
  EXPECT_EQ(r.exit_status, 0) << r.err;
  // qemu-user 7.2 knows no openat2: it answers ENOSYS without reaching the kernel.
  const bool emulated = !testbed::Emulator().empty();
  EXPECT_THAT(r.OutLines(), ElementsAre("openat ttyS0 board-port write 0",
                                        emulated ? "openat2 ttyS0 ENOSYS"
                                                 : "openat2 ttyS0 board-port write 0",
                                        "openat ttyS1 ENOENT", "openat ttyUSB0 ENOENT",
                                        "openat ttyACM0 ENOENT",
                                        // the runner's root, seen through /proc
                                        "parent-root EACCES",
                                        planted ? "node-outside-dev EACCES"
                                                : "node-outside-dev ENOENT",
                                        // no new namespace, no node: the capabilities are gone
                                        "unshare EPERM", "mknod EPERM",
                                        "dev sealed", "dev-write EROFS", "null 0"));
  EXPECT_TRUE(SentFrameFor(board, kFrameAddress)) << "raw openat reached the board's port";
  EXPECT_EQ(SentFrameFor(board, kFrameAddress + 1), !emulated)
      << "raw openat2 reached the board's port";
  EXPECT_THAT(board.violations(), IsEmpty());
}

TEST(SecondSeal, LeavesNoMountBehind) {
  const std::string before = ReadText("/proc/self/mountinfo");
  {
    Board board;
    const testbed::RunResult r = board.Run(probe::ProbePath("raw_probe"), {"0x40"});
    ASSERT_TRUE(r.started) << r.refusal;
    EXPECT_EQ(ReadText("/proc/self/mountinfo"), before) << "while the board is up";
  }
  EXPECT_EQ(ReadText("/proc/self/mountinfo"), before);
}

}  // namespace
