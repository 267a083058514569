// The sandbox holds: every board file a probe reaches lands in the board's folder and never in
// the machine's own copy; devices other than the simulated ones are refused; programs that
// would ignore the preload library are not started; runs on two boards do not mix.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <elf.h>
#include <linux/capability.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "board.h"
#include "probe_paths.h"
#include "probe_support.h"
#include "sim_protocol.h"
#include "symbol_rules.h"

namespace {

namespace fs = std::filesystem;
using testbed::Board;
using testbed::Bytes;
using ::testing::Contains;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr unsigned kFrameAddress = 0x0123;

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string Tag(const std::string& what) {
  return "bm77sim-probe-" + std::to_string(getpid()) + "-" + what;
}

// The machine's own copies of the board's files (most machines have none), taken before a run.
using MachineFiles = std::map<std::string, std::optional<std::string>>;
MachineFiles MachineBoardFiles() {
  MachineFiles files;
  for (const simwire::BoardPath& b : simwire::kBoardPaths) {
    if (b.kind != simwire::BoardPathKind::kFile) continue;
    std::error_code ec;
    std::optional<std::string> text;
    if (fs::exists(fs::symlink_status(b.path, ec))) {
      std::ifstream in(b.path, std::ios::binary);
      text = std::string(std::istreambuf_iterator<char>(in), {});
    }
    files[b.path] = text;
  }
  return files;
}

// The machine's copies that a run made or changed. One it made is removed at once: a failing
// test must not leave it behind.
std::vector<std::string> TakeLeaks(const MachineFiles& before) {
  std::vector<std::string> leaks;
  for (const auto& [path, text] : MachineBoardFiles()) {
    if (text == before.at(path)) continue;
    leaks.push_back(path);
    std::error_code ec;
    if (!before.at(path).has_value()) fs::remove_all(path, ec);
  }
  return leaks;
}

void PresetFiles(Board& board) {
  board.WriteFile(probe::kPresetPath, Text(probe::kPresetText));
  for (const char* path : probe::RemovedFiles()) board.WriteFile(path, Text("remove me"));
}

// What the run left in the board's files: each holds what its last way wrote, tagged.
void ExpectLeftFiles(const Board& board, const std::string& tag) {
  for (const probe::Left& f : probe::LeftFiles()) {
    const std::optional<Bytes> left = board.ReadFile(f.path);
    if (f.way == nullptr) {
      EXPECT_FALSE(left.has_value()) << f.path;
    } else {
      EXPECT_EQ(left, Text(probe::Written(tag, f.way))) << f.path;
    }
  }
}

bool SentFrameFor(Board& board, unsigned address) {
  const Bytes payload = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address),
                         probe::kFrameCount};
  for (const testbed::WireEvent& e : board.module().host_frames()) {
    if (e.command == probe::kFrameCommand && e.payload == payload && e.crc_ok) return true;
  }
  return false;
}

size_t CountContaining(const std::vector<std::string>& texts, const std::string& part) {
  return static_cast<size_t>(std::count_if(texts.begin(), texts.end(), [&](const std::string& t) {
    return t.find(part) != std::string::npos;
  }));
}

// ---- Every way to every fixed path, four builds of the probe ------------------------------------

class PathProbe : public ::testing::TestWithParam<std::string> {};

TEST_P(PathProbe, EverythingLandsInTheSandbox) {
  Board board;
  const std::string tag = Tag(GetParam());
  const MachineFiles before = MachineBoardFiles();
  PresetFiles(board);
  const testbed::RunResult r =
      board.Run(probe::ProbePath(GetParam()), {tag, std::to_string(kFrameAddress)});
  EXPECT_THAT(TakeLeaks(before), IsEmpty()) << "the run reached the machine's own board files";
  ASSERT_TRUE(r.started) << r.refusal;
  EXPECT_TRUE(r.handshake);
  EXPECT_EQ(r.exit_status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("FAIL")));

  ExpectLeftFiles(board, tag);

  EXPECT_TRUE(SentFrameFor(board, kFrameAddress)) << "the frame written to /dev/ttyS0";
  // Exactly the three refusals the probe provokes: open and stat of /dev/ttyS1, and ttyS0
  // reached relative to an open /dev.
  const auto violations = board.violations();
  EXPECT_EQ(violations.size(), 3u) << ::testing::PrintToString(violations);
  EXPECT_EQ(CountContaining(violations, "/dev/ttyS1"), 2u);
  EXPECT_EQ(CountContaining(violations, "/dev/ttyS0"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Builds, PathProbe, ::testing::ValuesIn(probe::Builds(PATH_PROBES)),
                         [](const auto& tc) { return tc.param; });

// ---- Programs that must not start --------------------------------------------------------------

struct RefusalCase {
  const char* name;
  const char* reason;  // part of the refusal text
  // Puts the program in place; returns its path ("" when this machine cannot make it).
  std::string (*prepare)(Board&);
};

std::string StaticProbe(Board&) { return probe::ProbePath("static_probe"); }

// A copy of the dynamic marker program, which would leave the marker if it ran.
fs::path MarkerCopy(Board& board, const char* name) {
  const fs::path copy = fs::path(board.sandbox()) / name;
  fs::copy_file(probe::ProbePath("marker_probe"), copy);
  return copy;
}

std::string SetuidCopy(Board& board) {
  const fs::path copy = MarkerCopy(board, "setuid_probe");
  chmod(copy.c_str(), S_ISUID | 0755);
  return copy.string();
}

std::string SetgidCopy(Board& board) {
  const fs::path copy = MarkerCopy(board, "setgid_probe");
  chmod(copy.c_str(), S_ISGID | 0755);
  return copy.string();
}

// As `setcap cap_dac_override=ep` leaves it: the dynamic loader then starts the program in
// secure mode and ignores LD_PRELOAD, like for a setuid one.
std::string CapabilityCopy(Board& board) {
  const fs::path copy = MarkerCopy(board, "capability_probe");
  vfs_cap_data caps{};
  caps.magic_etc = VFS_CAP_REVISION_2 | VFS_CAP_FLAGS_EFFECTIVE;
  caps.data[0].permitted = 1u << CAP_DAC_OVERRIDE;
  if (setxattr(copy.c_str(), "security.capability", &caps, XATTR_CAPS_SZ_2, 0) != 0) return "";
  return copy.string();
}

// The marker program marked as one for another processor: the preload library (built for the
// programs' own) would not load into it.
std::string OtherMachineCopy(Board& board) {
  const fs::path copy = MarkerCopy(board, "riscv_probe");
  constexpr std::streamoff kMachineOffset = 18;  // e_machine, little-endian
  const char riscv[2] = {static_cast<char>(EM_RISCV), 0};
  std::fstream(copy, std::ios::in | std::ios::out | std::ios::binary)
      .seekp(kMachineOffset)
      .write(riscv, sizeof riscv);
  return copy.string();
}

std::string ShellScript(Board& board) {
  const fs::path script = fs::path(board.sandbox()) / "script";
  std::ofstream(script) << "#!/bin/sh\necho ran > \"$1\"\n";
  fs::permissions(script, fs::perms::owner_all);
  return script.string();
}

std::string Missing(Board&) { return "no_such_program_in_bin"; }

class Refused : public ::testing::TestWithParam<RefusalCase> {};

TEST_P(Refused, NeverStarts) {
  Board board;
  const std::string marker = board.sandbox() + "/marker";
  const std::string program = GetParam().prepare(board);
  if (program.empty()) GTEST_SKIP() << "this user cannot give a file capabilities";
  const testbed::RunResult r = board.Run(program, {marker});
  EXPECT_FALSE(r.started);
  EXPECT_THAT(r.refusal, HasSubstr(GetParam().reason));
  EXPECT_FALSE(fs::exists(marker)) << "the program ran";
}

INSTANTIATE_TEST_SUITE_P(Programs, Refused,
                         ::testing::Values(RefusalCase{"Static", "statically linked", StaticProbe},
                                           RefusalCase{"Setuid", "setuid", SetuidCopy},
                                           RefusalCase{"Setgid", "setgid", SetgidCopy},
                                           RefusalCase{"FileCapability", "file capabilities",
                                                       CapabilityCopy},
                                           RefusalCase{"OtherMachine",
                                                       "does not fit the program's machine",
                                                       OtherMachineCopy},
                                           RefusalCase{"NotElf", "not an ELF", ShellScript},
                                           RefusalCase{"Missing", "no such program", Missing}),
                         [](const auto& tc) { return std::string(tc.param.name); });

// ---- The handshake decides --------------------------------------------------------------------

// A program that ended before its preload library greeted the board, or ran without one (here:
// the list emptied for this run), is not a run on the board, whatever its exit status.
TEST(Handshake, RunWithoutItDoesNotCount) {
  Board board;
  const testbed::RunResult silent = board.Run(probe::ProbePath("silent_probe"), {});
  EXPECT_TRUE(silent.started);
  EXPECT_EQ(silent.exit_status, 0);
  EXPECT_FALSE(silent.handshake);
  EXPECT_THAT(silent.refusal, HasSubstr("did not greet the board"));

  const std::string marker = board.sandbox() + "/marker";
  testbed::RunOptions options;
  options.env["LD_PRELOAD"] = "";
  const testbed::RunResult bare = board.Run(probe::ProbePath("marker_probe"), {marker}, options);
  EXPECT_FALSE(bare.handshake);
  EXPECT_THAT(bare.refusal, HasSubstr("did not greet the board"));
}

TEST(Handshake, RunWithItCounts) {
  Board board;
  const std::string marker = board.sandbox() + "/marker";
  const testbed::RunResult r = board.Run(probe::ProbePath("marker_probe"), {marker});
  EXPECT_TRUE(r.handshake);
  EXPECT_EQ(r.refusal, "");
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_TRUE(fs::exists(marker));
  // Nothing said on the way: under the emulator, only the emulated program got the preload
  // list (the emulator's own loader would warn that it cannot load it).
  EXPECT_EQ(r.err, "");
}

// ---- The preload library without a board ends the program at once -------------------------------

struct HandByCase {
  const char* name;
  bool preload;
  bool sandbox_settings;
  int status;
};

class WithoutBoard : public ::testing::TestWithParam<HandByCase> {};

TEST_P(WithoutBoard, ProgramEndsBeforeMain) {
  const HandByCase& c = GetParam();
  Board board;  // only for its preload list (with the sanitizer runtime under asan)
  std::map<std::string, std::string> env;
  if (c.preload) env["LD_PRELOAD"] = board.ProgramEnvironment().at("LD_PRELOAD");
  if (c.sandbox_settings) {
    env[simwire::kEnvSandbox] = board.sandbox();
    env[simwire::kEnvSocket] = "@bm77sim-nobody-listens-here";
  }
  const std::string tag = Tag(std::string("alone-") + c.name);
  const MachineFiles before = MachineBoardFiles();
  EXPECT_EQ(probe::RunByHand(probe::ProbePath("path_probe_plain"), {tag, "0"}, env), c.status);
  EXPECT_THAT(TakeLeaks(before), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Settings, WithoutBoard,
    ::testing::Values(HandByCase{"NoSandboxSettings", true, false, simwire::kRefusedExitStatus},
                      HandByCase{"NoBoardListening", true, true, simwire::kRefusedExitStatus},
                      // without the library the probe's own check stops it
                      HandByCase{"NoPreload", false, false, 2}),
    [](const auto& tc) { return std::string(tc.param.name); });

// ---- Imported names ----------------------------------------------------------------------------

std::vector<std::string> Nm(const std::string& options, const std::string& file) {
  std::vector<std::string> names;
  // The nm of the programs' own toolchain: a cross-built program is not this machine's kind.
  const std::string command =
      std::string("'") + DEVICE_NM + "' -D " + options + " '" + file + "' 2>/dev/null";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return names;
  char line[512];
  while (std::fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::string s = line;
    s.erase(s.find_last_not_of(" \n") + 1);
    const size_t space = s.find_last_of(' ');
    std::string name = space == std::string::npos ? s : s.substr(space + 1);
    name = name.substr(0, name.find('@'));
    if (!name.empty()) names.push_back(name);
  }
  return names;
}

bool IsElfExecutable(const fs::path& p) {
  if (!fs::is_regular_file(p) || access(p.c_str(), X_OK) != 0) return false;
  std::ifstream in(p, std::ios::binary);
  char magic[4] = {};
  in.read(magic, sizeof magic);
  return std::string(magic, sizeof magic) ==
         "\x7f"
         "ELF";
}

// The programs of build/bin (not devsim, which hosts the board, nor bm77_station, the station
// computer's ledger, and not test programs: none of them runs under the preload library), and
// the probes of these tests.
std::vector<fs::path> ProgramsToCheck() {
  std::vector<fs::path> programs;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(testbed::BinDir(), ec)) {
    const std::string name = e.path().filename().string();
    const bool test_program = name.size() > 6 && name.compare(name.size() - 6, 6, "_tests") == 0;
    if (name != "devsim" && name != "bm77_station" && !test_program && IsElfExecutable(e.path()))
      programs.push_back(e.path());
  }
  std::vector<std::string> probes = probe::Builds(PATH_PROBES);
  const std::vector<std::string> ioctl_probes = probe::Builds(IOCTL_PROBES);
  probes.insert(probes.end(), ioctl_probes.begin(), ioctl_probes.end());
  probes.insert(probes.end(),
                {"sys_probe_plain", "sys_probe_fortify", "link_probe", "marker_probe"});
  for (const std::string& name : probes) programs.push_back(probe::ProbePath(name));
  return programs;
}

TEST(ImportedSymbols, EveryPathTakingNameIsWrapped) {
  const std::vector<std::string> defined_list = Nm("--defined-only", testbed::PreloadLibrary());
  const std::set<std::string> defined(defined_list.begin(), defined_list.end());
  ASSERT_THAT(defined, Contains("bm77sim_active"));
  for (const fs::path& program : ProgramsToCheck()) {
    const std::vector<std::string> imported = Nm("--undefined-only", program.string());
    EXPECT_THAT(imported, Not(IsEmpty())) << program;
    std::vector<std::string> unwrapped;
    for (const std::string& name : imported) {
      if (symbols::NeedsWrapper(name) && defined.count(name) == 0) unwrapped.push_back(name);
    }
    EXPECT_THAT(unwrapped, IsEmpty()) << program;
  }
}

// ---- Two boards at once ------------------------------------------------------------------------

struct ParallelRun {
  std::string tag;
  unsigned address;
  testbed::RunResult result;
};

TEST(ParallelBoards, EachSeesOnlyItsOwnRun) {
  Board a;
  Board b;
  ParallelRun runs[2] = {{Tag("parallel-a"), 0x0100, {}}, {Tag("parallel-b"), 0x0200, {}}};
  Board* boards[2] = {&a, &b};
  const MachineFiles before = MachineBoardFiles();
  for (Board* board : boards) PresetFiles(*board);
  std::thread threads[2];
  for (int i = 0; i < 2; ++i) {
    threads[i] = std::thread([&, i] {
      runs[i].result = boards[i]->Run(probe::ProbePath("path_probe_plain"),
                                      {runs[i].tag, std::to_string(runs[i].address)});
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_THAT(TakeLeaks(before), IsEmpty());
  for (int i = 0; i < 2; ++i) {
    const ParallelRun& mine = runs[i];
    EXPECT_EQ(mine.result.exit_status, 0) << mine.result.out;
    ExpectLeftFiles(*boards[i], mine.tag);  // its own tag, not the other run's
    const auto frames = boards[i]->module().host_frames();
    EXPECT_EQ(frames.size(), 1u);
    EXPECT_TRUE(SentFrameFor(*boards[i], mine.address));
  }
}

}  // namespace
