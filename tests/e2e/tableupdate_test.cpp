// bm77_tableupdate end to end: argument and file checks, the output of a run, the EEPROM it
// leaves, the identity it keeps, and what the module's refusals and odd replies do to it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>

#include "board_test.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;
using testbed::Fault;

constexpr uint8_t kRead = 0x73;
constexpr uint8_t kWrite = 0x74;

const Bytes kMacRecord = Hex("665544332211");               // MAC 11:22:33:44:55:66, reversed
const Bytes kNameRecord = Hex("54617672696E652D32323131");  // "Tavrine-2211"
const Bytes kAfterName = Hex("A5 5A");                      // bytes the name read also returns
const Bytes kVcomRecord = Hex("0100");                      // 256

const std::string kBanner = "BM77 Configuration Update";
// The output of a run that went through, with `table_lines` printed while the table was written.
Lines SuccessWith(const Lines& table_lines) {
  Lines out = {kBanner, "BT Com Port Init Success.", "Read Vcom From BM77: 1-0-256",
               "Parse Table File"};
  out.insert(out.end(), table_lines.begin(), table_lines.end());
  out.insert(out.end(), {"OK", "SaveVcomToBM77"});
  return out;
}
const Lines kSuccess = SuccessWith({});

class TableUpdate : public BoardTest {
 protected:
  explicit TableUpdate(testbed::BoardOptions options = {}) : BoardTest(options) {}

  void SetUp() override {
    module().SetEeprom(0x0000, kMacRecord);
    module().SetEeprom(0x000B, kNameRecord);
    module().SetEeprom(0x0017, kAfterName);
    module().SetEeprom(0x0019, kVcomRecord);
  }

  // Writes `lines` as a table file (each ended by CR LF) in the sandbox; returns its path.
  std::string Table(const Lines& lines, const std::string& name = "table.txt") {
    std::string text;
    for (const std::string& l : lines) text += l + "\r\n";
    return TableText(text, name);
  }
  std::string TableText(const std::string& text, const std::string& name = "table.txt") {
    const std::string path = board_.sandbox() + "/" + name;
    FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    return path;
  }

  testbed::RunResult Update(const std::string& table) { return Run("bm77_tableupdate", {table}); }

  void ExpectIdentityKept() {
    EXPECT_EQ(module().Eeprom(0x0000, 6), kMacRecord);
    EXPECT_EQ(module().Eeprom(0x000B, 12), kNameRecord);
    EXPECT_EQ(module().Eeprom(0x0017, 2), kAfterName);
    EXPECT_EQ(module().Eeprom(0x0019, 2), kVcomRecord);
  }

  // The EEPROM writes that the table caused (the identity restore excluded).
  std::vector<std::pair<uint16_t, Bytes>> TableWrites() {
    auto writes = module().eeprom_writes();
    const size_t identity_writes = 3;
    if (writes.size() < identity_writes) return writes;
    writes.resize(writes.size() - identity_writes);
    return writes;
  }

  void AddFault(Fault::Kind kind, int command, int occurrence, uint8_t status = 0x33) {
    Fault f;
    f.kind = kind;
    f.command = command;
    f.occurrence = occurrence;
    f.status = status;
    module().AddFault(f);
  }
};

using Write = std::pair<uint16_t, Bytes>;

// ---- Arguments and files ----

TEST_F(TableUpdate, WrongArgumentCountPrintsOnlyTheBanner) {
  for (const auto& args : std::vector<std::vector<std::string>>{{}, {"a.txt", "b.txt"}}) {
    const auto r = Run("bm77_tableupdate", args);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_THAT(r.OutLines(), ElementsAre(kBanner));
  }
  EXPECT_THAT(module().wire_log(), IsEmpty());
}

TEST_F(TableUpdate, NameMustEndInTxt) {
  const std::string path = Table({"0040: 01 ;"}, "table.dat");
  const auto r = Update(path);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_THAT(r.OutLines(), ElementsAre(kBanner, "Invalid Table File."));
  EXPECT_THAT(module().wire_log(), IsEmpty());
}

TEST_F(TableUpdate, MissingFile) {
  const std::string path = board_.sandbox() + "/no-such-table.txt";
  const auto r = Update(path);
  EXPECT_EQ(r.exit_status, 1);
  EXPECT_THAT(r.OutLines(), ElementsAre(kBanner, "Failed to open file: " + path));
  EXPECT_THAT(module().wire_log(), IsEmpty());
}

class TableUpdateWithoutPort : public TableUpdate {
 protected:
  TableUpdateWithoutPort() : TableUpdate(testbed::BoardOptions{false, {}}) {}
};

TEST_F(TableUpdateWithoutPort, PortFailure) {
  const auto r = Update(Table({"0040: 01 ;"}));
  EXPECT_EQ(r.exit_status, 255);
  EXPECT_THAT(r.OutLines(), ElementsAre(kBanner, "BT Com Port Init Fail."));
}

// ---- A good run ----

TEST_F(TableUpdate, WritesExactlyTheTableAndKeepsTheIdentity) {
  const auto before = module().eeprom();
  const std::string path = Table({"// module settings", "0040: 01 02 ** 04 ;",
                                  "0100  AA BB CC DD EE FF 00 11 22 33 44 55 66 77 88 99 ;",
                                  "1040: 77 ;", "0050: ab cd ;"});
  const auto r = Update(path);
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), kSuccess);
  EXPECT_THAT(TableWrites(),
              ElementsAre(Write{0x40, Hex("0102")}, Write{0x43, Hex("04")},
                          Write{0x100, Hex("AABBCCDDEEFF00112233445566778899")},
                          Write{0x50, Hex("ABCD")}));

  auto expected = before;
  const std::vector<Write> table = {{0x40, Hex("0102")}, {0x43, Hex("04")},
                                    {0x100, Hex("AABBCCDDEEFF00112233445566778899")},
                                    {0x50, Hex("ABCD")}};
  for (const auto& [address, bytes] : table) {
    for (size_t i = 0; i < bytes.size(); ++i) expected[address + i] = bytes[i];
  }
  EXPECT_EQ(module().eeprom(), expected);  // nothing else changed, 0x42 left alone
  ExpectIdentityKept();
}

TEST_F(TableUpdate, ConversationOrder) {
  Update(Table({"0040: 01 ;"}));
  std::vector<std::pair<uint8_t, std::string>> frames;
  for (const auto& e : module().host_frames()) frames.push_back({e.command, HexOf(e.payload)});
  using F = std::pair<uint8_t, std::string>;
  EXPECT_THAT(frames, ElementsAre(F{kRead, "000006"}, F{kRead, "000B0E"}, F{kRead, "001902"},
                                  F{kWrite, "004001"},
                                  F{kWrite, "0000" + HexOf(kMacRecord)},
                                  F{kWrite, "000B" + HexOf(kNameRecord)},
                                  F{kWrite, "0019" + HexOf(kVcomRecord)},
                                  // read back to make sure the identity survived
                                  F{kRead, "000006"}, F{kRead, "000B0E"}, F{kRead, "001902"}));
  for (const auto& e : module().host_frames()) {
    EXPECT_TRUE(e.crc_ok);
    EXPECT_TRUE(e.settings.Proper115200());
    EXPECT_FALSE(e.settings.two_stop_bits);
  }
}

TEST_F(TableUpdate, TableOverwritingTheMacRecordLosesNothing) {
  const auto r = Update(Table({"0000: 01 02 03 04 05 06 ;", "0019: 03 E8 ;"}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), kSuccess);
  const auto writes = module().eeprom_writes();
  ASSERT_GE(writes.size(), 2u);
  EXPECT_EQ(writes[0], (Write{0x0000, Hex("010203040506")}));  // the table's bytes went in...
  ExpectIdentityKept();                                         // ...and the identity over them
}

TEST_F(TableUpdate, EmptyTable) {
  const auto r = Update(Table({}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), kSuccess);
  EXPECT_THAT(TableWrites(), IsEmpty());
  ExpectIdentityKept();
}

// ---- Malformed tables ----

struct MalformedCase {
  const char* name;
  std::string text;
  std::vector<Write> writes;
  Lines extra;  // lines printed between "Parse Table File" and "OK"
};

class MalformedTables : public TableUpdate, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTables, WriteWhatCanBeReadAndKeepTheIdentity) {
  const MalformedCase& c = GetParam();
  const auto r = Update(TableText(c.text));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), SuccessWith(c.extra));
  EXPECT_EQ(TableWrites(), c.writes);
  ExpectIdentityKept();
}

std::string Values(int count, const char* value) {
  std::string s;
  for (int i = 0; i < count; ++i) s += std::string(value) + " ";
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Table, MalformedTables,
    ::testing::Values(
        MalformedCase{"OverlongLineSkipped",
                      "0040: " + Values(126, "11") + ";\r\n0050: 22 ;\r\n",
                      {{0x50, Hex("22")}},
                      {"Table line too long, skipped"}},
        MalformedCase{"RunOf200ValuesIsTooLongALine", "0040: " + Values(200, "11") + ";\r\n",
                      {}, {"Table line too long, skipped"}},
        MalformedCase{"LongestRunSplitIntoTwoWrites", "0040: " + Values(125, "3C") + ";\r\n",
                      {{0x40, Bytes(121, 0x3C)}, {0x40 + 121, Bytes(4, 0x3C)}}, {}},
        MalformedCase{"LineFeedsOnly", "0040: 01 ;\n0050: 02 ;\n", {}, {}},
        MalformedCase{"LastLineWithoutCarriageReturn", "0040: 01 ;\r\n0050: 02 ;", {{0x40, Hex("01")}}, {}},
        MalformedCase{"NoEndMark", "0040: 01 02\r\n", {{0x40, Hex("0102")}}, {}},
        MalformedCase{"NonHexDigits", "0040: zz 1g ;\r\n", {{0x40, Hex("FFFF")}}, {}},
        MalformedCase{"ShortLine", "004\r\n", {}, {}},
        MalformedCase{"MarkBytes", "0060: 3C 00 3C ;\r\n", {{0x60, Hex("3C003C")}}, {}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(TableUpdate, MarkBytesGoOutDoubled) {
  Update(Table({"0060: 3C 00 3C ;"}));
  const auto frames = module().host_frames();
  ASSERT_GE(frames.size(), 4u);
  EXPECT_EQ(frames[3].payload, Hex("0060 3C 00 3C"));
  EXPECT_TRUE(frames[3].crc_ok);
  EXPECT_EQ(HexOf(frames[3].raw).substr(0, 20), "3C667400603C3C003C3C");
}

// ---- The module's acknowledgements ----

struct AckCase {
  const char* name;
  Fault::Kind kind;
  uint8_t status;
  Lines lines;  // printed for the refused table write
};

class TableWriteReplies : public TableUpdate, public ::testing::WithParamInterface<AckCase> {};

TEST_P(TableWriteReplies, TableGoesOnAndStatusStaysZero) {
  const AckCase& c = GetParam();
  AddFault(c.kind, kWrite, 1, c.status);  // the first table write
  const auto r = Update(Table({"0040: 01 ;", "0050: 02 ;"}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), SuccessWith(c.lines));
  EXPECT_EQ(module().Eeprom(0x50, 1), Hex("02"));  // the next run was still written
  ExpectIdentityKept();
}

INSTANTIATE_TEST_SUITE_P(
    Module, TableWriteReplies,
    ::testing::Values(AckCase{"LenientTakesStatusZero", Fault::Kind::kAckStatus, 0x00, {}},
                      AckCase{"RefusedU", Fault::Kind::kAckStatus, 0x55, {"Write EEPROM Failed"}},
                      AckCase{"Refused88", Fault::Kind::kAckStatus, 0x88, {"Write EEPROM Failed"}},
                      AckCase{"NoHeader", Fault::Kind::kNoHeader, 0x33,
                              {"Error Response Packet Header", "Response Error!"}}),
    [](const auto& tc) { return std::string(tc.param.name); });

// ---- The identity when the module misbehaves ----

TEST_F(TableUpdate, UnreadMacIsNeverWrittenBack) {
  AddFault(Fault::Kind::kAckStatus, kRead, 1, 0x55);  // the MAC read is refused
  const auto r = Update(Table({"0000: 01 02 03 04 05 06 ;"}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, "BT Com Port Init Success.", "Read EEPROM Failed",
                                 "Read Vcom From BM77: 1-0-256", "Parse Table File", "OK",
                                 "MAC not read from BM77, left unchanged", "SaveVcomToBM77"}));
  for (const auto& [address, bytes] : module().eeprom_writes()) {
    if (address == 0x0000) {
      EXPECT_EQ(bytes, Hex("010203040506")) << "only the table wrote it";
    }
  }
}

TEST_F(TableUpdate, LenientSuccessWithoutDataIsNotAnIdentity) {
  AddFault(Fault::Kind::kAckStatus, kRead, 3, 0x00);  // VCOM read "succeeds" without data
  const auto r = Update(Table({"0019: 00 07 ;"}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), (Lines{kBanner, "BT Com Port Init Success.", "Parse Table File", "OK",
                                 "VCOM not read from BM77, left unchanged"}));
  EXPECT_EQ(module().Eeprom(0x0019, 2), Hex("0007"));  // the table's value, not a made-up one
}

TEST_F(TableUpdate, IdentityThatDidNotSurviveFailsTheRun) {
  AddFault(Fault::Kind::kAckStatus, kWrite, 2, 0x55);  // the MAC restore is refused
  const auto r = Update(Table({"0000: 01 02 03 04 05 06 ;"}));
  EXPECT_EQ(r.exit_status, 2);
  const Lines lines = r.OutLines();
  EXPECT_THAT(lines, ::testing::Contains("Write EEPROM Failed"));
  EXPECT_EQ(lines.back(), "Identity Check Failed: MAC");
}

TEST_F(TableUpdate, SilentModuleEndsInTime) {
  Fault f;
  f.kind = Fault::Kind::kSilence;
  module().AddFault(f);
  const auto r = Update(Table({"0040: 01 ;"}));
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(r.wall_seconds, 30.0);
  EXPECT_EQ(r.exit_status, 0);  // nothing was read, so nothing was restored or compared
  EXPECT_THAT(r.OutLines(), ::testing::Contains("MAC not read from BM77, left unchanged"));
  EXPECT_LT(r.cpu_seconds, 0.5);
}

}  // namespace
}  // namespace e2e
