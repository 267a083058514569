// bm77_ident end to end: which side wins for MAC, name and VCOM; a new MAC when the module's is
// unusable; the exact bytes of the identity files; and a module whose MAC cannot be read.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "board_test.h"
#include "identity_support.h"
#include "sim_protocol.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using testbed::Fault;

// The module as most tests find it: MAC 11:22:33:44:55:66 (stored reversed), its name, two
// bytes after the name that no identity write may touch, and VCOM 280.
const Bytes kMacRecord = Hex("665544332211");
const std::string kMacLine = "MAc:11:22:33:44:55:66";
const std::string kMacText = "11:22:33:44:55:66";
const std::string kName = "Tavrine-5566";
const Bytes kAfterName = Hex("A55A");
const Bytes kVcom280 = Hex("0118");

const std::string kCheckMac = "**************Check MAC!**************";
const std::string kCreateNewMac = "**************Create new MAC!**************";
const std::string kMacNotRead = "MAC not read from BM77, nothing written";
const Lines kVcomFromModule = {"Read Vcom From BM77: 1-24-280", "Save Vcom=280 To /opt/vcomdata"};

// What /bin/Noisewell prints in one run, and the 32 bytes it leaves at the start of
// /opt/random (none when it fails).
struct NoisewellRun {
  Lines printed;
  Bytes random;
};

// Noisewell's dump of its random bytes: an empty line, "Random:", four lines of eight values.
Lines DumpLines(const Bytes& random) {
  Lines lines = {"", "Random:"};
  for (size_t i = 0; i < random.size(); ++i) {
    if (i % 8 == 0) lines.emplace_back();
    char value[8];
    std::snprintf(value, sizeof value, "0x%02x, ", random[i]);
    lines.back() += value;
  }
  return lines;
}

class Ident : public BoardTest {
 protected:
  explicit Ident(testbed::BoardOptions options = {}) : BoardTest(options) {}

  void SetUp() override {
    module().SetEeprom(kMacAddress, kMacRecord);
    module().SetEeprom(kNameAddress, Ascii(kName));
    module().SetEeprom(kAfterNameAddress, kAfterName);
    module().SetEeprom(kVcomAddress, kVcom280);
  }

  testbed::RunResult RunIdent(const testbed::RunOptions& options = {},
                              const std::vector<std::string>& args = {}) {
    return Run("bm77_ident", args, options);
  }

  // The one place that says what /bin/Noisewell does here: the real Noisewell from build/bin
  // runs against this board's crypto chip. Succeeding, the chip hands out these random bytes;
  // failing, the chip wakes with a wrong status byte (0xF0), so Noisewell leaves /opt/random
  // alone and ends with 240.
  NoisewellRun PlayNoisewell(bool succeeds, testbed::RunOptions* /*options*/) {
    const Bytes random = Hex(
        "02 1F 3E 5D 7C 9B BA D9 F8 17 36 55 74 93 B2 D1 F0 0F 2E 4D 6C 8B AA C9 E8 07 26 45 64 "
        "83 A2 C1");
    if (!succeeds) {
      board_.chip().SetWakeResponse(Hex("04 00 33 43"));
      return {{"SHA204A Wake Up Failure! ret_code=0xf0"}, {}};
    }
    board_.chip().SetRandom(random);
    return {DumpLines(random), random};
  }

  std::string File(const std::string& path) { return Text(board_.ReadFile(path)); }

  void ExpectIdentityFiles(const std::string& mac_text, const std::string& name) {
    EXPECT_EQ(File("/opt/mac"), mac_text);
    EXPECT_EQ(File("/tmp/mac"), mac_text);
    EXPECT_EQ(File("/opt/device_name"), name);
    EXPECT_EQ(File("/tmp/device_name"), name);
  }

  // A symbolic link at `path` to `target` (both inside the sandbox).
  void Link(const std::string& path, const std::string& target) {
    fs::create_directories(fs::path(board_.SandboxPath(path)).parent_path());
    fs::create_symlink(board_.SandboxPath(target), board_.SandboxPath(path));
  }
};

// ---- Who wins ------------------------------------------------------------------------------------

TEST_F(Ident, ModuleMacAndNameOverwriteTheFiles) {
  for (const char* path : {"/opt/mac", "/tmp/mac"}) board_.WriteFile(path, Ascii("AA:BB:CC:DD:EE:FF"));
  for (const char* path : {"/opt/device_name", "/tmp/device_name"}) {
    board_.WriteFile(path, Ascii("Tavrine-EEFF"));
  }
  const auto r = RunIdent({}, {"ignored", "arguments"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), Cat({{kBanner, kPortSuccess, kMacLine, kCheckMac}, kVcomFromModule}));
  ExpectIdentityFiles(kMacText, kName);
  // A matching name is still written to the module, once; nothing else is written.
  EXPECT_THAT(module().eeprom_writes(),
              ElementsAre(std::pair<uint16_t, Bytes>{kNameAddress, Ascii(kName)}));
  EXPECT_THAT(board_.system_calls(), IsEmpty());
  // No boot mode and no power-on: the VCOM to the chip, then the module off.
  EXPECT_THAT(Requests(io()), ElementsAre(Request{kVcomToChip, 280}, Request{kPowerOff, {}}));
  EXPECT_FALSE(io().power());
}

// A write the module answers as taken and then loses (or whose answer was another's, come in
// late) does not pass: what the run settled is read back, and a difference ends it with 3.
TEST_F(Ident, WriteTheModuleLostIsFoundByTheReadBack) {
  module().SetEeprom(kNameAddress, Ascii("Tavrine-55aa"));
  board_.WriteFile("/opt/vcomdata", Ascii("300"));
  for (int write : {1, 2, 3}) AddFault(module(), Fault::Kind::kNotStored, kWrite, write);  // name twice, VCOM
  const auto r = RunIdent();
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_THAT(r.OutLines(), Contains("Identity Check Failed: Device Name VCOM"));
}

TEST_F(Ident, ConversationWithTheModule) {
  module().SetEeprom(kNameAddress, Ascii("Tavrine-55aa"));
  board_.WriteFile("/opt/vcomdata", Ascii("300"));
  RunIdent();
  std::vector<std::pair<uint8_t, std::string>> frames;
  for (const auto& e : module().host_frames()) {
    frames.emplace_back(e.command, HexOf(e.payload));
    EXPECT_TRUE(e.crc_ok);
    EXPECT_TRUE(e.settings.Proper115200());
  }
  using F = std::pair<uint8_t, std::string>;
  const std::string name_write = "000B" + HexOf(Ascii(kName));
  // The MAC is read twice (a confirmed read), the rest once.
  EXPECT_THAT(frames, ElementsAre(F{kRead, "000006"}, F{kRead, "000006"}, F{kRead, "000B0E"},
                                  F{kWrite, name_write},
                                  F{kWrite, name_write}, F{kRead, "001902"},
                                  F{kWrite, "0019012C"},
                                  // what the run settled, read back
                                  F{kRead, "000006"}, F{kRead, "000B0E"}, F{kRead, "001902"}));
  EXPECT_EQ(module().Eeprom(kAfterNameAddress, 2), kAfterName);
}

// ---- The VCOM ------------------------------------------------------------------------------------

struct VcomCase {
  const char* name;
  enum class Before { kNone, kFile, kFolder, kFifo, kLink, kHardLink } before;
  std::string file;     // kFile: the bytes of /opt/vcomdata; links: those of the link's target
  int read_ack;         // acknowledgement of the module's VCOM read (0x33: it answers)
  Lines lines;          // printed after the MAC check
  std::string after;    // /opt/vcomdata (or the link's target) after the run
  std::optional<Bytes> written;  // the VCOM record written to the module, if any
  int chip;
  int status;
  Bytes module_record = kVcom280;
};

class IdentVcom : public Ident, public ::testing::WithParamInterface<VcomCase> {};

TEST_P(IdentVcom, FileWinsElseModuleElseDefault) {
  const VcomCase& c = GetParam();
  using B = VcomCase::Before;
  const bool linked = c.before == B::kLink || c.before == B::kHardLink;
  const std::string kept = linked ? "/opt/elsewhere" : "/opt/vcomdata";
  module().SetEeprom(kVcomAddress, c.module_record);
  if (c.before == B::kFile) board_.WriteFile("/opt/vcomdata", Ascii(c.file));
  if (c.before == B::kFolder) fs::create_directories(board_.SandboxPath("/opt/vcomdata"));
  if (c.before == B::kFifo) {
    fs::create_directories(board_.SandboxPath("/opt"));
    ASSERT_EQ(mkfifo(board_.SandboxPath("/opt/vcomdata").c_str(), 0644), 0);
  }
  if (linked) board_.WriteFile(kept, Ascii(c.file));
  if (c.before == B::kLink) Link("/opt/vcomdata", kept);
  if (c.before == B::kHardLink) {
    fs::create_hard_link(board_.SandboxPath(kept), board_.SandboxPath("/opt/vcomdata"));
  }
  if (c.read_ack != 0x33) {
    // The VCOM's read, after the MAC's two and the name's.
    AddFault(module(), Fault::Kind::kAckStatus, kRead, 4, static_cast<uint8_t>(c.read_ack));
  }
  const auto r = RunIdent();
  EXPECT_EQ(r.exit_status, c.status);
  EXPECT_EQ(r.OutLines(), Cat({{kBanner, kPortSuccess, kMacLine, kCheckMac}, c.lines}));
  if (c.before != B::kFolder && c.before != B::kFifo) {
    EXPECT_EQ(File(kept), c.after);
  }
  const auto writes = WritesAt(module(), kVcomAddress);
  if (c.written) {
    EXPECT_THAT(writes, ElementsAre(*c.written));
  } else {
    EXPECT_THAT(writes, IsEmpty());
  }
  EXPECT_EQ(io().vcom(), c.chip);
  EXPECT_FALSE(io().power());
}

using B = VcomCase::Before;
const std::string kReadFromFileFailed = "Read Vcom From File /opt/vcomdata Failed";
const std::string kCannotOpenVcom = "Failed to open/create file: /opt/vcomdata";

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentVcom,
    ::testing::Values(
        VcomCase{"NoFileTakesTheModules280", B::kNone, "", 0x33, kVcomFromModule, "280",
                 std::nullopt, 280, 0},
        VcomCase{"File300CorrectsTheModule", B::kFile, "300", 0x33,
                 {"Read Vcom From OPT: 3-0-0=300", "Read Vcom From BM77: 1-24-280",
                  "SaveVcomToBM77"},
                 "300", Hex("012C"), 300, 0},
        VcomCase{"EqualValuesWriteNothing", B::kFile, "280", 0x33,
                 {"Read Vcom From OPT: 2-8-0=280", "Read Vcom From BM77: 1-24-280"}, "280",
                 std::nullopt, 280, 0},
        VcomCase{"NoFileAndARefusedReadGiveTheDefault", B::kNone, "", 0x55,
                 {"Read EEPROM Failed", "Save Vcom=256 To /opt/vcomdata", "SaveVcomToBM77"},
                 "256", Hex("0100"), 256, 3},
        VcomCase{"NoFileAndAReadWithoutDataGiveTheDefault", B::kNone, "", 0x00,
                 {"Save Vcom=256 To /opt/vcomdata", "SaveVcomToBM77"}, "256", Hex("0100"), 256,
                 3},
        VcomCase{"FileWinsOverAFailedRead", B::kFile, "300", 0x55,
                 {"Read Vcom From OPT: 3-0-0=300", "Read EEPROM Failed", "SaveVcomToBM77"}, "300",
                 Hex("012C"), 300, 3},
        // Three bytes that are not all digits are no VCOM: "25\n" would be 212, ":00" 1000.
        VcomCase{"LineEndIsNoDigit", B::kFile, "25\n", 0x33,
                 Cat({{kReadFromFileFailed}, kVcomFromModule}), "280", std::nullopt, 280, 0},
        VcomCase{"ColonIsNoDigit", B::kFile, ":00", 0x33,
                 Cat({{kReadFromFileFailed}, kVcomFromModule}), "280", std::nullopt, 280, 0},
        VcomCase{"LettersAreNoDigits", B::kFile, "abc", 0x33,
                 Cat({{kReadFromFileFailed}, kVcomFromModule}), "280", std::nullopt, 280, 0},
        VcomCase{"DigitsAroundAColonAreNoVcom", B::kFile, "9:9", 0x55,
                 {kReadFromFileFailed, "Read EEPROM Failed", "Save Vcom=256 To /opt/vcomdata",
                  "SaveVcomToBM77"},
                 "256", Hex("0100"), 256, 3},
        VcomCase{"ShortFileCountsAsNone", B::kFile, "25", 0x33,
                 Cat({{kReadFromFileFailed}, kVcomFromModule}), "280", std::nullopt, 280, 0},
        VcomCase{"EmptyFileCountsAsNone", B::kFile, "", 0x33,
                 Cat({{kReadFromFileFailed}, kVcomFromModule}), "280", std::nullopt, 280, 0},
        VcomCase{"ShortFileAndNoModuleValueGiveTheDefault", B::kFile, "2", 0x55,
                 {kReadFromFileFailed, "Read EEPROM Failed", "Save Vcom=256 To /opt/vcomdata",
                  "SaveVcomToBM77"},
                 "256", Hex("0100"), 256, 3},
        VcomCase{"SlashIsNoDigit", B::kFile, "00/ old", 0x33,
                 Cat({{kReadFromFileFailed}, kVcomFromModule}), "280 old",
                 std::nullopt, 280, 0},
        VcomCase{"FolderIsNeitherReadNorWritten", B::kFolder, "", 0x33,
                 {kCannotOpenVcom, "Read Vcom From BM77: 1-24-280", kCannotOpenVcom}, "",
                 std::nullopt, 280, 0},
        // A FIFO would hold the open for ever, with the module switched on.
        VcomCase{"FifoIsNeitherReadNorWritten", B::kFifo, "", 0x33,
                 {kCannotOpenVcom, "Read Vcom From BM77: 1-24-280", kCannotOpenVcom}, "",
                 std::nullopt, 280, 0},
        VcomCase{"LinkIsNeitherReadNorWrittenThrough", B::kLink, "300", 0x33,
                 {kCannotOpenVcom, "Read Vcom From BM77: 1-24-280", kCannotOpenVcom}, "300",
                 std::nullopt, 280, 0},
        VcomCase{"HardLinkIsNeitherReadNorWrittenThrough", B::kHardLink, "300", 0x33,
                 {kCannotOpenVcom, "Read Vcom From BM77: 1-24-280", kCannotOpenVcom}, "300",
                 std::nullopt, 280, 0},
        // Three digits hold 999 at most: an erased record (65535) counts as none read.
        VcomCase{"ModuleValue1000GivesTheDefault", B::kNone, "", 0x33,
                 {"Read Vcom From BM77: 3-232-1000", "Save Vcom=256 To /opt/vcomdata",
                  "SaveVcomToBM77"},
                 "256", Hex("0100"), 256, 0, Hex("03E8")},
        VcomCase{"ErasedModuleValueGivesTheDefault", B::kNone, "", 0x33,
                 {"Read Vcom From BM77: 255-255-65535", "Save Vcom=256 To /opt/vcomdata",
                  "SaveVcomToBM77"},
                 "256", Hex("0100"), 256, 0, Hex("FFFF")}),
    [](const auto& tc) { return std::string(tc.param.name); });

// ---- A new MAC -----------------------------------------------------------------------------------

struct UnusableCase {
  const char* name;
  Bytes record;  // the module's MAC record (reversed)
  std::string line;
};

class IdentUnusableMac : public Ident, public ::testing::WithParamInterface<UnusableCase> {};

TEST_P(IdentUnusableMac, ChipBytesBecomeTheMacEverywhere) {
  const UnusableCase& c = GetParam();
  module().SetEeprom(kMacAddress, c.record);
  testbed::RunOptions options;
  const NoisewellRun noisewell = PlayNoisewell(true, &options);
  const auto r = RunIdent(options);
  EXPECT_EQ(r.exit_status, 0);
  // The module's MAC from the chip's first six bytes, the name from the MAC.
  const Bytes mac(noisewell.random.begin(), noisewell.random.begin() + 6);
  const std::string text = "02:1F:3E:5D:7C:9B";
  const std::string name = "Tavrine-7C9B";
  ASSERT_EQ(HexOf(mac), "021F3E5D7C9B");
  EXPECT_EQ(r.OutLines(), Cat({{kBanner, kPortSuccess, c.line, kCheckMac, kCreateNewMac},
                               noisewell.printed,
                               {"Device Name: " + name},
                               kVcomFromModule}));
  EXPECT_EQ(board_.system_calls(), Lines{"/bin/Noisewell"});
  EXPECT_EQ(module().Eeprom(kMacAddress, 6), Bytes(mac.rbegin(), mac.rend()));
  EXPECT_EQ(module().Eeprom(kNameAddress, 12), Ascii(name));
  ExpectIdentityFiles(text, name);
  EXPECT_FALSE(board_.ReadFile("/opt/random").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentUnusableMac,
    ::testing::Values(UnusableCase{"FactoryDefault", Hex("000050671100"), "MAc:0:11:67:50:0:0"},
                      UnusableCase{"AllOnes", Hex("FFFFFFFFFFFF"), "MAc:ff:ff:ff:ff:ff:ff"},
                      UnusableCase{"AllZeros", Hex("000000000000"), "MAc:0:0:0:0:0:0"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Ident, NeighbourOfTheFactoryDefaultStands) {
  module().SetEeprom(kMacAddress, Hex("010050671100"));  // 00:11:67:50:00:01
  testbed::RunOptions options;
  PlayNoisewell(true, &options);
  const auto r = RunIdent(options);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(r.OutLines(), Contains("MAc:0:11:67:50:0:1"));
  EXPECT_THAT(r.OutLines(), Not(Contains(kCreateNewMac)));
  EXPECT_THAT(board_.system_calls(), IsEmpty());
  EXPECT_THAT(WritesAt(module(), kMacAddress), IsEmpty());
  ExpectIdentityFiles("00:11:67:50:00:01", "Tavrine-0001");
}

struct NoNewRandomCase {
  const char* name;
  std::optional<Bytes> old_random;  // /opt/random left by an earlier run
  Lines lines;                      // printed after Noisewell's own lines
  std::string mac_text;             // the MAC that ends up in the files
  std::optional<Bytes> mac_record;  // written to the module, if any
  int status = 0;
};

const std::string kNoUsableMac = "no usable MAC: the unit needs provisioning";

class IdentNoisewellFails : public Ident, public ::testing::WithParamInterface<NoNewRandomCase> {};

TEST_P(IdentNoisewellFails, OnlyARandomFileMakesANewMac) {
  const NoNewRandomCase& c = GetParam();
  module().SetEeprom(kMacAddress, Hex("000050671100"));
  if (c.old_random) board_.WriteFile("/opt/random", *c.old_random, 0600);
  testbed::RunOptions options;
  const NoisewellRun noisewell = PlayNoisewell(false, &options);
  const auto r = RunIdent(options);
  EXPECT_EQ(r.exit_status, c.status);
  const std::string name = "Tavrine-" + c.mac_text.substr(12, 2) + c.mac_text.substr(15, 2);
  EXPECT_EQ(r.OutLines(),
            Cat({{kBanner, kPortSuccess, "MAc:0:11:67:50:0:0", kCheckMac, kCreateNewMac},
                 noisewell.printed,
                 {"ERROR!ERROR!ERROR!"},
                 c.lines,
                 {"Device Name: " + name},
                 kVcomFromModule,
                 c.status == 5 ? Lines{kNoUsableMac} : Lines{}}));
  if (c.mac_record) {
    EXPECT_THAT(WritesAt(module(), kMacAddress), ElementsAre(*c.mac_record));
  } else {
    EXPECT_THAT(WritesAt(module(), kMacAddress), IsEmpty());
  }
  ExpectIdentityFiles(c.mac_text, name);
  EXPECT_FALSE(board_.ReadFile("/opt/random").has_value());
}

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentNoisewellFails,
    ::testing::Values(
        NoNewRandomCase{"OldRandomFileServesAndIsRemoved",
                        Hex("A0B1C2D3E4F5 000102030405060708090A0B0C0D0E0F10111213141516171819"),
                        {}, "A0:B1:C2:D3:E4:F5", Hex("F5E4D3C2B1A0")},
        // Without six random bytes the unit keeps no MAC of its own: never one made of
        // the unusable MAC and a few random bytes, the same on every such unit.
        NoNewRandomCase{"NoRandomFileLeavesTheUnusableMac", std::nullopt,
                        {"no /opt/random exited"}, "00:11:67:50:00:00", std::nullopt, 5},
        NoNewRandomCase{"ShortRandomFileLeavesTheUnusableMac", Hex("A1B2C3"),
                        {"Read Mac From File /opt/random Failed"}, "00:11:67:50:00:00",
                        std::nullopt, 5},
        NoNewRandomCase{"FiveRandomBytesAreNoMac", Hex("A1B2C3D4E5"),
                        {"Read Mac From File /opt/random Failed"}, "00:11:67:50:00:00",
                        std::nullopt, 5}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Ident, RandomFileBehindALinkIsNotRead) {
  module().SetEeprom(kMacAddress, Hex("000050671100"));
  board_.WriteFile("/opt/planted", Hex("A0B1C2D3E4F5"));
  Link("/opt/random", "/opt/planted");
  testbed::RunOptions options;
  PlayNoisewell(false, &options);
  const auto r = RunIdent(options);
  EXPECT_THAT(r.OutLines(), Contains("Failed to open file: /opt/random"));
  ExpectIdentityFiles("00:11:67:50:00:00", "Tavrine-0000");
  EXPECT_EQ(module().Eeprom(kMacAddress, 6), Hex("000050671100"));
  EXPECT_FALSE(fs::is_symlink(board_.SandboxPath("/opt/random")));  // the link is gone...
  EXPECT_EQ(board_.ReadFile("/opt/planted"), Hex("A0B1C2D3E4F5"));  // ...its target is not
}

// ---- File bytes ----------------------------------------------------------------------------------

TEST_F(Ident, FilesHoldTheUpperCaseTextWithoutLineEnd) {
  module().SetEeprom(kMacAddress, Hex("5E4D3C2B1A00"));  // 00:1A:2B:3C:4D:5E
  module().SetEeprom(kNameAddress, Ascii("Tavrine-4D5E"));
  const auto r = RunIdent();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(r.OutLines(), Contains("MAc:0:1a:2b:3c:4d:5e"));
  ExpectIdentityFiles("00:1A:2B:3C:4D:5E", "Tavrine-4D5E");
  for (const std::string& path : kIdentityFiles) {
    struct stat st {};
    ASSERT_EQ(stat(board_.SandboxPath(path).c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_mode & 07777, 0644u) << path;
  }
}

TEST_F(Ident, OldFilesAreOverwrittenInPlace) {
  board_.WriteFile("/opt/mac", Ascii("FF:FF:FF:FF:FF:FF\n"), 0600);
  board_.WriteFile("/tmp/device_name", Ascii("Tavrine-0000 (old)"));
  board_.WriteFile("/opt/vcomdata", Ascii("25"));
  RunIdent();
  EXPECT_EQ(File("/opt/mac"), kMacText + "\n");  // 18 bytes: the old line end stays
  EXPECT_EQ(File("/tmp/device_name"), kName + " (old)");
  EXPECT_EQ(File("/opt/vcomdata"), "280");
  struct stat st {};
  ASSERT_EQ(stat(board_.SandboxPath("/opt/mac").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);  // an existing file keeps its mode
}

struct VcomBytesCase {
  int vcom;
  std::string file;
};

class IdentVcomBytes : public Ident, public ::testing::WithParamInterface<VcomBytesCase> {};

TEST_P(IdentVcomBytes, StoredAsThreeCharactersAndReadBack) {
  const VcomBytesCase& c = GetParam();
  const Bytes record = {static_cast<uint8_t>(c.vcom >> 8), static_cast<uint8_t>(c.vcom & 0xFF)};
  module().SetEeprom(kVcomAddress, record);
  RunIdent();
  EXPECT_EQ(File("/opt/vcomdata"), c.file);

  // The module loses its value; the file puts it back.
  module().SetEeprom(kVcomAddress, Hex("0009"));
  Run("rf_gate", {"1"});  // the first run switched the module off
  const auto r = RunIdent();
  const std::string digits = {c.file[0], '-', c.file[1], '-', c.file[2]};
  EXPECT_THAT(r.OutLines(),
              Contains("Read Vcom From OPT: " + digits + "=" + std::to_string(c.vcom)));
  EXPECT_EQ(module().Eeprom(kVcomAddress, 2), record);
  EXPECT_EQ(io().vcom(), c.vcom);
}

INSTANTIATE_TEST_SUITE_P(Ident, IdentVcomBytes,
                         ::testing::Values(VcomBytesCase{0, "000"}, VcomBytesCase{7, "007"},
                                           VcomBytesCase{256, "256"}, VcomBytesCase{999, "999"}),
                         [](const auto& tc) { return "Vcom" + std::to_string(tc.param.vcom); });

struct BlockedFileCase {
  const char* name;
  const char* path;
  enum class Kind { kLink, kHardLink, kFolder, kFifo } kind;  // what stands at the path
};

class IdentBlockedFile : public Ident, public ::testing::WithParamInterface<BlockedFileCase> {};

TEST_P(IdentBlockedFile, CostsOneLineAndTheOtherFilesAreWritten) {
  const BlockedFileCase& c = GetParam();
  using K = BlockedFileCase::Kind;
  const std::string target = "/opt/precious";
  const bool linked = c.kind == K::kLink || c.kind == K::kHardLink;
  if (linked) board_.WriteFile(target, Ascii("keep me"));
  fs::create_directories(fs::path(board_.SandboxPath(c.path)).parent_path());
  if (c.kind == K::kLink) Link(c.path, target);
  if (c.kind == K::kHardLink) {
    fs::create_hard_link(board_.SandboxPath(target), board_.SandboxPath(c.path));
  }
  if (c.kind == K::kFolder) fs::create_directories(board_.SandboxPath(c.path));
  if (c.kind == K::kFifo) {
    ASSERT_EQ(mkfifo(board_.SandboxPath(c.path).c_str(), 0644), 0);
  }
  const auto r = RunIdent();
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), Cat({{kBanner, kPortSuccess, kMacLine, kCheckMac},
                               {std::string("Failed to open/create file: ") + c.path},
                               kVcomFromModule}));
  if (linked) {
    EXPECT_EQ(File(target), "keep me");
  }
  for (const std::string& path : kIdentityFiles) {
    if (path == c.path || path == "/opt/vcomdata") continue;
    EXPECT_EQ(File(path), path.find("mac") != std::string::npos ? kMacText : kName) << path;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentBlockedFile,
    ::testing::Values(BlockedFileCase{"LinkAtTmpMac", "/tmp/mac", BlockedFileCase::Kind::kLink},
                      BlockedFileCase{"LinkAtTmpName", "/tmp/device_name",
                                      BlockedFileCase::Kind::kLink},
                      BlockedFileCase{"HardLinkAtTmpMac", "/tmp/mac",
                                      BlockedFileCase::Kind::kHardLink},
                      BlockedFileCase{"FolderAtOptName", "/opt/device_name",
                                      BlockedFileCase::Kind::kFolder},
                      BlockedFileCase{"FifoAtOptMac", "/opt/mac", BlockedFileCase::Kind::kFifo}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Ident, DanglingLinkCreatesNothing) {
  Link("/tmp/mac", "/opt/planted");
  RunIdent();
  EXPECT_FALSE(fs::exists(board_.SandboxPath("/opt/planted")));
  EXPECT_EQ(File("/opt/mac"), kMacText);
}

// ---- Names ---------------------------------------------------------------------------------------

struct NameCase {
  const char* name;
  Bytes module_name;
  int read_ack;     // acknowledgement of the name read (0x33: it answers)
  Lines lines;      // printed between the MAC check and the VCOM
  size_t writes;    // name writes to the module
  int status;
};

class IdentNames : public Ident, public ::testing::WithParamInterface<NameCase> {};

TEST_P(IdentNames, NameFollowsTheMac) {
  const NameCase& c = GetParam();
  module().SetEeprom(kMacAddress, Hex("5E4D3C2B1A00"));  // 00:1A:2B:3C:4D:5E
  module().SetEeprom(kNameAddress, c.module_name);
  if (c.read_ack != 0x33) {
    // The name's read, after the MAC's two.
    AddFault(module(), Fault::Kind::kAckStatus, kRead, 3, static_cast<uint8_t>(c.read_ack));
  }
  const auto r = RunIdent();
  EXPECT_EQ(r.exit_status, c.status);
  EXPECT_EQ(r.OutLines(),
            Cat({{kBanner, kPortSuccess, "MAc:0:1a:2b:3c:4d:5e", kCheckMac}, c.lines,
                 kVcomFromModule}));
  EXPECT_EQ(WritesAt(module(), kNameAddress),
            std::vector<Bytes>(c.writes, Ascii("Tavrine-4D5E")));
  EXPECT_EQ(module().Eeprom(kAfterNameAddress, 2), kAfterName);
  ExpectIdentityFiles("00:1A:2B:3C:4D:5E", "Tavrine-4D5E");
}

const Lines kRecomposed = {"Device Name: Tavrine-4D5E"};

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentNames,
    ::testing::Values(
        NameCase{"MatchingNameWrittenOnce", Ascii("Tavrine-4D5E"), 0x33, {}, 1, 0},
        NameCase{"LowerCaseDigitsRecomposed", Ascii("Tavrine-4d5e"), 0x33, kRecomposed, 2, 0},
        NameCase{"OtherPrefixRecomposed", Ascii("tavrine-4D5E"), 0x33, kRecomposed, 2, 0},
        NameCase{"ErasedNameRecomposed", Bytes(12, 0xFF), 0x33, kRecomposed, 2, 0},
        NameCase{"RefusedReadRecomposed", Ascii("Tavrine-4D5E"), 0x55,
                 Cat({{"Read EEPROM Failed"}, kRecomposed}), 2, 3},
        NameCase{"ReadWithoutDataRecomposed", Ascii("Tavrine-4D5E"), 0x00, kRecomposed, 2, 3}),
    [](const auto& tc) { return std::string(tc.param.name); });

// ---- A module that fails -------------------------------------------------------------------------

struct MacReadCase {
  const char* name;
  Fault::Kind kind;
  uint8_t status;
  Lines lines;  // printed between the port line and the tool's last line
};

class IdentMacNotRead : public Ident, public ::testing::WithParamInterface<MacReadCase> {};

TEST_P(IdentMacNotRead, NothingIsWritten) {
  const MacReadCase& c = GetParam();
  module().SetEeprom(kMacAddress, Hex("000050671100"));  // would make a new MAC if taken as read
  AddFault(module(), c.kind, kRead, 1, c.status);
  testbed::RunOptions options;
  PlayNoisewell(true, &options);
  const auto r = RunIdent(options);
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.OutLines(), Cat({{kBanner, kPortSuccess}, c.lines, {kMacNotRead}}));
  EXPECT_EQ(module().host_frames().size(), 1u);
  EXPECT_THAT(module().eeprom_writes(), IsEmpty());
  for (const std::string& path : kIdentityFiles) {
    EXPECT_FALSE(board_.ReadFile(path).has_value()) << path;
  }
  EXPECT_THAT(board_.system_calls(), IsEmpty());
  EXPECT_THAT(io().requests(), IsEmpty());
  EXPECT_LT(r.wall_seconds, 30.0);  // every tool ends within 30 s; at most one 3 s wait here
}

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentMacNotRead,
    ::testing::Values(
        MacReadCase{"Refused", Fault::Kind::kAckStatus, 0x55, {"Read EEPROM Failed"}},
        MacReadCase{"Refused88", Fault::Kind::kAckStatus, 0x88, {"Read EEPROM Failed"}},
        MacReadCase{"LenientSuccessWithoutData", Fault::Kind::kAckStatus, 0x00, {}},
        MacReadCase{"ResponseWithoutHeader", Fault::Kind::kNoHeader, 0x33,
                    {"Error Response Packet Header", "Response Error!"}},
        MacReadCase{"ShortResponse", Fault::Kind::kShortFrame, 0x33, {"Response Error!"}},
        MacReadCase{"Silence", Fault::Kind::kSilence, 0x33,
                    {"BM77 Reply Timeout", "Read EEPROM Failed"}}),
    [](const auto& tc) { return std::string(tc.param.name); });

// One read of the MAC answered with an unusable MAC that the module does not hold (a reply that
// was not this read's, a line that garbled it): the two reads disagree, the MAC counts as not
// read, and nothing is replaced, whichever of the two lied.
TEST_F(Ident, MacWhoseTwoReadsDisagreeIsNotJudgedAndNothingIsWritten) {
  // "<3", then a read's response carrying FF FF FF FF FF FF (the CRC is not judged).
  const Bytes lie = Hex("3C 33 3C 66 73 00 06 FF FF FF FF FF FF 00 00 3C 5A");
  for (const int lying_read : {1, 2}) {
    SCOPED_TRACE(lying_read);
    module().ClearFaults();
    Fault f;
    f.kind = Fault::Kind::kRawReply;
    f.command = kRead;
    f.occurrence = lying_read;
    f.bytes = lie;
    module().AddFault(f);
    testbed::RunOptions options;
    PlayNoisewell(true, &options);
    const auto r = RunIdent(options);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.OutLines().back(), kMacNotRead);
    EXPECT_THAT(module().eeprom_writes(), IsEmpty());
    EXPECT_THAT(board_.system_calls(), IsEmpty());  // no random MAC was asked for
  }
}

struct FailedWriteCase {
  const char* name;
  bool unusable_mac;  // the run makes a new MAC (its write is the first)
  bool wrong_name;    // the module's name is recomposed (written twice)
  bool vcom_file;     // /opt/vcomdata corrects the module (its write is the last)
  int occurrence;     // which write is refused
};

class IdentFailedWrite : public Ident, public ::testing::WithParamInterface<FailedWriteCase> {};

TEST_P(IdentFailedWrite, RunGoesToItsEndAndFails) {
  const FailedWriteCase& c = GetParam();
  testbed::RunOptions options;
  if (c.unusable_mac) {
    module().SetEeprom(kMacAddress, Hex("FFFFFFFFFFFF"));
    PlayNoisewell(true, &options);
  }
  if (c.wrong_name) module().SetEeprom(kNameAddress, Ascii("Tavrine-0000"));
  if (c.vcom_file) board_.WriteFile("/opt/vcomdata", Ascii("300"));
  AddFault(module(), Fault::Kind::kAckStatus, kWrite, c.occurrence, 0x55);
  const auto r = RunIdent(options);
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_THAT(r.OutLines(), Contains("Write EEPROM Failed"));
  EXPECT_TRUE(board_.ReadFile("/tmp/mac").has_value());
  EXPECT_EQ(io().vcom(), c.vcom_file ? 300 : 280);
  EXPECT_FALSE(io().power());
}

INSTANTIATE_TEST_SUITE_P(
    Ident, IdentFailedWrite,
    ::testing::Values(FailedWriteCase{"NameWrite", false, false, false, 1},
                      FailedWriteCase{"RecomposedNameWrite", false, true, false, 1},
                      FailedWriteCase{"NewMacWrite", true, false, false, 1},
                      FailedWriteCase{"VcomWrite", false, false, true, 2}),
    [](const auto& tc) { return std::string(tc.param.name); });

class IdentWithoutPort : public Ident {
 protected:
  IdentWithoutPort() : Ident(testbed::BoardOptions{false, {}}) {}
};

TEST_F(IdentWithoutPort, NothingIsTouched) {
  const auto r = RunIdent();
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, kPortFail}));
  for (const std::string& path : kIdentityFiles) EXPECT_FALSE(board_.ReadFile(path).has_value());
  EXPECT_THAT(io().requests(), IsEmpty());
}

}  // namespace
}  // namespace e2e
