// bm77_provision end to end: the MAC and VCOM from the command line into the module, the files
// and the display power chip; the forms the arguments may take and the ones refused; the boot
// mode around the run; and a provisioned MAC as bm77_ident reads it afterwards.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "board_test.h"
#include "identity_support.h"

namespace e2e {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::Not;
using testbed::Fault;

const std::string kMacArgument = "00:1a:2b:3c:4d:5e";
const std::string kMacText = "00:1A:2B:3C:4D:5E";
const Bytes kMacRecord = Hex("5E4D3C2B1A00");  // last pair first, as every tool reads it
const std::string kName = "Tavrine-4D5E";
const Bytes kAfterName = Hex("A55A");
const Bytes kOldVcom = Hex("0118");  // 280

constexpr int kFirmwareUpdateMode = 2;
constexpr int kApplicationMode = 0;

class Provision : public BoardTest {
 protected:
  explicit Provision(testbed::BoardOptions options = {}) : BoardTest(options) {}

  // A module with an identity of its own, which provisioning overwrites.
  void SetUp() override {
    module().SetEeprom(kMacAddress, Hex("665544332211"));
    module().SetEeprom(kNameAddress, Ascii("Tavrine-5566"));
    module().SetEeprom(kAfterNameAddress, kAfterName);
    module().SetEeprom(kVcomAddress, kOldVcom);
  }

  testbed::RunResult Provide(const std::vector<std::string>& args) {
    return Run("bm77_provision", args);
  }

  std::string File(const std::string& path) { return Text(board_.ReadFile(path)); }

  void ExpectIdentityFiles(const std::string& mac_text, const std::string& name) {
    EXPECT_EQ(File("/opt/mac"), mac_text);
    EXPECT_EQ(File("/tmp/mac"), mac_text);
    EXPECT_EQ(File("/opt/device_name"), name);
    EXPECT_EQ(File("/tmp/device_name"), name);
  }

  // A run that wrote nothing: no frame on the line, no file, the module still in the firmware
  // update mode and switched on.
  void ExpectNothingWritten() {
    EXPECT_THAT(module().wire_log(), IsEmpty());
    for (const std::string& path : kIdentityFiles) {
      EXPECT_FALSE(board_.ReadFile(path).has_value()) << path;
    }
    EXPECT_THAT(Requests(io()), ElementsAre(Request{kBootMode, kFirmwareUpdateMode}));
    EXPECT_TRUE(io().power());
  }
};

// ---- A whole run ---------------------------------------------------------------------------------

TEST_F(Provision, MacAndVcomEverywhere) {
  const auto r = Provide({kMacArgument, "256"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, kPortSuccess, "mac = " + kMacArgument, "vcom = 256",
                                 "Device Name: " + kName, "Save Vcom=256 To /opt/vcomdata",
                                 "SaveVcomToBM77"}));
  // The name twice, the MAC last pair first, the VCOM; then the three records read back.
  using W = std::pair<uint16_t, Bytes>;
  EXPECT_THAT(module().eeprom_writes(),
              ElementsAre(W{kNameAddress, Ascii(kName)}, W{kNameAddress, Ascii(kName)},
                          W{kMacAddress, kMacRecord}, W{kVcomAddress, Hex("0100")}));
  std::vector<std::string> frames;
  for (const auto& f : module().host_frames()) frames.push_back(HexOf({f.command}) + HexOf(f.payload).substr(0, 4));
  EXPECT_THAT(frames, ElementsAre("74000B", "74000B", "740000", "740019", "730000", "73000B",
                                  "730019"));
  EXPECT_EQ(module().Eeprom(kAfterNameAddress, 2), kAfterName);
  ExpectIdentityFiles(kMacText, kName);
  EXPECT_EQ(File("/opt/vcomdata"), "256");
  // Firmware-update mode for the run, a second to settle, then application mode and off.
  EXPECT_THAT(Requests(io()),
              ElementsAre(Request{kBootMode, kFirmwareUpdateMode}, Request{kVcomToChip, 256},
                          Request{kBootMode, kApplicationMode}, Request{kPowerOff, {}}));
  EXPECT_GE(r.wall_seconds, 0.99);  // the second's pause (it cannot end early; 1% spare)
  EXPECT_EQ(io().vcom(), 256);
  EXPECT_EQ(io().mode(), kApplicationMode);
  EXPECT_FALSE(io().power());
}

// ---- The MAC argument ----------------------------------------------------------------------------

struct MacCase {
  const char* name;
  std::string argument;
  Bytes record;  // the module's MAC record, last pair first
  std::string text;
  std::string device_name;
};

class ProvisionMacForms : public Provision, public ::testing::WithParamInterface<MacCase> {};

TEST_P(ProvisionMacForms, PairsAtFixedPlaces) {
  const MacCase& c = GetParam();
  const auto r = Provide({c.argument});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, kPortSuccess, "mac = " + c.argument, "vcom = ",
                                 "Device Name: " + c.device_name}));
  EXPECT_EQ(module().Eeprom(kMacAddress, 6), c.record);
  EXPECT_EQ(module().Eeprom(kNameAddress, 12), Ascii(c.device_name));
  ExpectIdentityFiles(c.text, c.device_name);
}

INSTANTIATE_TEST_SUITE_P(
    Provision, ProvisionMacForms,
    ::testing::Values(
        MacCase{"OtherSeparators", "00-1A-2B-3C-4D-5E", kMacRecord, kMacText, kName},
        MacCase{"NoSeparatorsLooked", "ab.cd+ef 01z23!45", Hex("452301EFCDAB"), "AB:CD:EF:01:23:45",
                "Tavrine-2345"},
        MacCase{"TextAfterThe17CharactersIgnored", "00:1A:2B:3C:4D:5E:77", kMacRecord,
                kMacText, kName}),
    [](const auto& tc) { return std::string(tc.param.name); });

// ---- The VCOM argument ---------------------------------------------------------------------------

struct VcomCase {
  const char* name;
  std::string argument;
  int vcom;
  std::string file;
};

class ProvisionVcomForms : public Provision, public ::testing::WithParamInterface<VcomCase> {};

TEST_P(ProvisionVcomForms, FirstThreeCharactersMakeTheValue) {
  const VcomCase& c = GetParam();
  const auto r = Provide({kMacArgument, c.argument});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(r.OutLines(), Contains("Save Vcom=" + std::to_string(c.vcom) + " To /opt/vcomdata"));
  EXPECT_EQ(File("/opt/vcomdata"), c.file);
  EXPECT_EQ(module().Eeprom(kVcomAddress, 2),
            (Bytes{static_cast<uint8_t>(c.vcom >> 8), static_cast<uint8_t>(c.vcom & 0xFF)}));
  EXPECT_EQ(io().vcom(), c.vcom);
}

INSTANTIATE_TEST_SUITE_P(
    Provision, ProvisionVcomForms,
    ::testing::Values(VcomCase{"LeadingZeros", "007", 7, "007"},
                      VcomCase{"Largest", "999", 999, "999"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Provision, VcomOnlyWhenItIsTheOneArgumentAfterTheMac) {
  board_.WriteFile("/opt/vcomdata", Ascii("300"));
  const std::vector<std::vector<std::string>> calls = {
      {kMacArgument}, {kMacArgument, "256", "extra"}, {kMacArgument, "2", "extra"}};
  for (const auto& args : calls) {
    const auto r = Provide(args);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_THAT(r.OutLines(), Contains("vcom = " + (args.size() > 1 ? args[1] : "")));
    EXPECT_THAT(r.OutLines(), Not(Contains("SaveVcomToBM77")));
    ExpectIdentityFiles(kMacText, kName);
    Run("rf_gate", {"1"});
  }
  EXPECT_EQ(File("/opt/vcomdata"), "300");
  EXPECT_EQ(module().Eeprom(kVcomAddress, 2), kOldVcom);
  EXPECT_THAT(WritesAt(module(), kVcomAddress), IsEmpty());
  EXPECT_FALSE(io().vcom().has_value());
}

// ---- Runs that write nothing ---------------------------------------------------------------------

TEST_F(Provision, NoArgumentWritesNothing) {
  const auto r = Provide({});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, kPortSuccess}));
  ExpectNothingWritten();
  EXPECT_EQ(io().mode(), kFirmwareUpdateMode);
}

struct RefusedCase {
  const char* name;
  std::vector<std::string> args;
  std::string line;
};

class ProvisionRefused : public Provision, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(ProvisionRefused, BadArgumentTouchesNothing) {
  const RefusedCase& c = GetParam();
  const auto r = Provide(c.args);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, c.line}));
  // Checked before anything: no boot mode, no port, so the module still runs as it did.
  EXPECT_THAT(io().requests(), IsEmpty());
  EXPECT_FALSE(module().last_settings().Proper115200());  // never set up by com_init
  EXPECT_THAT(module().wire_log(), IsEmpty());
  for (const std::string& path : kIdentityFiles) EXPECT_FALSE(board_.ReadFile(path)) << path;
}

const std::string kInvalidMac = "Invalid MAC Address.";
const std::string kInvalidVcom = "Invalid VCOM Value.";

INSTANTIATE_TEST_SUITE_P(
    Provision, ProvisionRefused,
    ::testing::Values(RefusedCase{"MacOf16", {"00:1A:2B:3C:4D:5"}, kInvalidMac},
                      RefusedCase{"EmptyMac", {""}, kInvalidMac},
                      RefusedCase{"ShortMacWithVcom", {"00:1A", "256"}, kInvalidMac},
                      RefusedCase{"NonHexPairs", {"GG:HH:II:JJ:KK:LL"}, kInvalidMac},
                      RefusedCase{"OneNonHexDigit", {"00:1A:2B:3C:4D:5z"}, kInvalidMac},
                      RefusedCase{"UnusableMac", {"FF:FF:FF:FF:FF:FF"}, kInvalidMac},
                      RefusedCase{"FactoryDefaultMac", {"00:11:67:50:00:00", "256"}, kInvalidMac},
                      RefusedCase{"VcomOf1", {"00:1A:2B:3C:4D:5E", "2"}, kInvalidVcom},
                      RefusedCase{"VcomOf2", {"00:1A:2B:3C:4D:5E", "25"}, kInvalidVcom},
                      RefusedCase{"VcomOf4", {"00:1A:2B:3C:4D:5E", "0256"}, kInvalidVcom},
                      RefusedCase{"NegativeVcom", {"00:1A:2B:3C:4D:5E", "-5"}, kInvalidVcom},
                      RefusedCase{"VcomNotDigits", {"00:1A:2B:3C:4D:5E", "abc"}, kInvalidVcom},
                      RefusedCase{"VcomWithColon", {"00:1A:2B:3C:4D:5E", ":00"}, kInvalidVcom},
                      RefusedCase{"EmptyVcom", {"00:1A:2B:3C:4D:5E", ""}, kInvalidVcom}),
    [](const auto& tc) { return std::string(tc.param.name); });

class ProvisionWithoutPort : public Provision {
 protected:
  ProvisionWithoutPort() : Provision(testbed::BoardOptions{false, {}}) {}
};

TEST_F(ProvisionWithoutPort, ModeStaysAndNothingIsWritten) {
  const auto r = Provide({kMacArgument, "256"});
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, kPortFail}));
  ExpectNothingWritten();
}

// ---- The module's answers ------------------------------------------------------------------------

struct FailedWriteCase {
  const char* name;
  Fault::Kind kind;
  int occurrence;  // 1, 2: the name; 3: the MAC; 4: the VCOM
  Lines lines;     // what the failure prints
};

class ProvisionFailedWrite : public Provision,
                             public ::testing::WithParamInterface<FailedWriteCase> {};

TEST_P(ProvisionFailedWrite, RunGoesToItsEndAndFails) {
  const FailedWriteCase& c = GetParam();
  AddFault(module(), c.kind, kWrite, c.occurrence, 0x55);
  const auto r = Provide({kMacArgument, "256"});
  EXPECT_EQ(r.exit_status, 3);
  for (const std::string& line : c.lines) EXPECT_THAT(r.OutLines(), Contains(line));
  EXPECT_EQ(module().eeprom_writes().size(), 4u - (c.kind == Fault::Kind::kAckStatus ? 1 : 0));
  ExpectIdentityFiles(kMacText, kName);
  EXPECT_EQ(io().mode(), kApplicationMode);
  EXPECT_FALSE(io().power());
}

INSTANTIATE_TEST_SUITE_P(
    Provision, ProvisionFailedWrite,
    ::testing::Values(
        FailedWriteCase{"FirstName", Fault::Kind::kAckStatus, 1, {"Write EEPROM Failed"}},
        FailedWriteCase{"SecondName", Fault::Kind::kAckStatus, 2, {"Write EEPROM Failed"}},
        FailedWriteCase{"Mac", Fault::Kind::kAckStatus, 3, {"Write EEPROM Failed"}},
        FailedWriteCase{"Vcom", Fault::Kind::kAckStatus, 4, {"Write EEPROM Failed"}},
        FailedWriteCase{"MacResponseWithoutHeader", Fault::Kind::kNoHeader, 3,
                        {"Error Response Packet Header", "Response Error!"}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Provision, OddAcknowledgementIsTakenAsDoneButNotAsStored) {
  AddFault(module(), Fault::Kind::kAckStatus, kWrite, 3, 0x00);  // the MAC write
  const auto r = Provide({kMacArgument, "256"});
  EXPECT_THAT(r.OutLines(), Not(Contains("Write EEPROM Failed")));
  // Nothing says the module stored the MAC: the run may not end as a success.
  EXPECT_EQ(r.exit_status, 3);
  // No response was waited for and no acknowledgement sent: the VCOM write followed at once.
  const auto log = module().wire_log();
  std::vector<std::string> host;
  for (const auto& e : log) {
    if (e.dir == testbed::WireEvent::Dir::kHostToModule) {
      host.push_back(e.kind == testbed::WireEvent::Kind::kFrame ? HexOf(e.payload).substr(0, 4)
                                                                : "ack");
    }
  }
  EXPECT_THAT(host, ElementsAre("000B", "ack", "000B", "ack", "0000", "0019", "ack",  // writes
                                "0000", "ack", "000B", "ack", "0019", "ack"));      // read back
}

// ---- Provisioned, then checked -------------------------------------------------------------------

TEST_F(Provision, IdentKeepsTheProvisionedMacAndName) {
  Provide({kMacArgument, "256"});
  Run("rf_gate", {"1"});  // provisioning left the module off
  const size_t writes_before = module().eeprom_writes().size();
  const auto r = Run("bm77_ident", {});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(),
            (Lines{kBanner, kPortSuccess, "MAc:0:1a:2b:3c:4d:5e",
                   "**************Check MAC!**************", "Read Vcom From OPT: 2-5-6=256",
                   "Read Vcom From BM77: 1-0-256"}));
  // Module, files and chip agree with what the operator typed; the name stands.
  ExpectIdentityFiles(kMacText, kName);
  EXPECT_EQ(module().Eeprom(kMacAddress, 6), kMacRecord);
  EXPECT_EQ(module().Eeprom(kNameAddress, 12), Ascii(kName));
  EXPECT_EQ(module().Eeprom(kVcomAddress, 2), Hex("0100"));
  EXPECT_EQ(File("/opt/vcomdata"), "256");
  EXPECT_EQ(io().vcom(), 256);
  EXPECT_FALSE(io().power());
  const auto writes = module().eeprom_writes();
  EXPECT_EQ(writes.size() - writes_before, 1u);  // only the name, as on every run
}

// ---- The board I/O device ------------------------------------------------------------------------

struct BoardIoCase {
  const char* name;
  const char* program;
  std::vector<std::string> args;
  bool missing;  // the device is missing; else every request fails
  Lines lines;   // the request lines, in order
};

class BoardIoFailure : public Provision, public ::testing::WithParamInterface<BoardIoCase> {};

TEST_P(BoardIoFailure, RunGoesToItsEndAndEndsWith4) {
  const BoardIoCase& c = GetParam();
  if (c.missing) io().SetPresent(false);
  io().SetFailing(!c.missing);
  const auto r = Run(c.program, c.args);
  EXPECT_EQ(r.exit_status, 4);  // the module's part went through; the board's did not
  Lines requests;
  for (const std::string& line : r.OutLines()) {
    if (line.rfind("Board I/O request", 0) == 0) requests.push_back(line);
  }
  EXPECT_EQ(requests, c.lines);
  EXPECT_FALSE(module().eeprom_writes().empty());
}

const std::string kRequest = "Board I/O request ";

INSTANTIATE_TEST_SUITE_P(
    Tools, BoardIoFailure,
    ::testing::Values(
        BoardIoCase{"ProvisionFailing", "bm77_provision", {kMacArgument, "256"}, false,
                    {kRequest + "220 failed: boot mode 2",
                     kRequest + "221 failed: VCOM to the display power chip 256",
                     kRequest + "220 failed: boot mode 0", kRequest + "216 failed: module power off"}},
        BoardIoCase{"ProvisionMissing", "bm77_provision", {kMacArgument}, true,
                    {kRequest + "220 failed: boot mode 2", kRequest + "220 failed: boot mode 0",
                     kRequest + "216 failed: module power off"}},
        BoardIoCase{"IdentFailing", "bm77_ident", {}, false,
                    {kRequest + "221 failed: VCOM to the display power chip 280",
                     kRequest + "216 failed: module power off"}},
        BoardIoCase{"IdentMissing", "bm77_ident", {}, true,
                    {kRequest + "221 failed: VCOM to the display power chip 280",
                     kRequest + "216 failed: module power off"}}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace e2e
