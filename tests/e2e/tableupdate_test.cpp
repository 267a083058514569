// bm77_tableupdate end to end: argument and file checks, the output of a run, the EEPROM it
// leaves, the identity it keeps, and what the module's refusals and odd replies do to it.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include "identity_board.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testbed::Fault;

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

class TableUpdate : public IdentityBoard {
 protected:
  explicit TableUpdate(testbed::BoardOptions options = {}) : IdentityBoard(options) {}

  // The EEPROM writes that the table caused (the identity restore excluded).
  // The writes before the restore, which puts back (at the end) only the records the table
  // wrote over.
  std::vector<Write> TableWrites() {
    auto writes = module().eeprom_writes();
    const std::vector<uint16_t> records = {0x0000, 0x000B, 0x0019};
    for (int restored = 0; restored < 3 && !writes.empty(); ++restored) {
      const uint16_t last = writes.back().first;
      if (std::find(records.begin(), records.end(), last) == records.end()) break;
      writes.pop_back();
    }
    return writes;
  }
};

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

TEST_F(TableUpdate, OnlyARegularFileIsATable) {
  // A FIFO would hold a plain open for ever; a folder would read as an empty table.
  const std::string fifo = board_.sandbox() + "/fifo.txt";
  const std::string folder = board_.sandbox() + "/folder.txt";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  for (const std::string& path : {fifo, folder}) {
    testbed::RunOptions o;
    o.time_limit = std::chrono::seconds(5);
    const auto r = Update(path, o);
    EXPECT_FALSE(r.timed_out) << path;
    EXPECT_EQ(r.exit_status, 1) << path;
    EXPECT_THAT(r.OutLines(), ElementsAre(kBanner, "Failed to open file: " + path));
  }
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
  // Each record of the snapshot read twice (confirmed); the table's line and its read-back; no
  // restore write, since the table wrote over no record; the identity read back.
  EXPECT_THAT(frames, ElementsAre(F{kRead, "000006"}, F{kRead, "000006"}, F{kRead, "000B0E"},
                                  F{kRead, "000B0E"}, F{kRead, "001902"}, F{kRead, "001902"},
                                  F{kWrite, "004001"}, F{kRead, "004001"},  // read back
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

TEST_F(TableUpdate, BytesAfterTheNameAreNotIdentity) {
  // The name read returns 0x0017 and 0x0018 too, but only the 12 name bytes are identity.
  const auto r = Update(Table({"0017: 12 34 ;"}));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), kSuccess);
  EXPECT_EQ(module().Eeprom(0x0017, 2), Hex("1234"));
  EXPECT_EQ(module().Eeprom(0x000B, 12), kNameRecord);
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
  int status = 0;
};

class MalformedTables : public TableUpdate, public ::testing::WithParamInterface<MalformedCase> {};

TEST_P(MalformedTables, WriteWhatCanBeReadAndKeepTheIdentity) {
  const MalformedCase& c = GetParam();
  const auto r = Update(TableText(c.text));
  EXPECT_EQ(r.exit_status, c.status);
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
                      {"Table line too long, skipped"}, 3},
        MalformedCase{"RunOf200ValuesIsTooLongALine", "0040: " + Values(200, "11") + ";\r\n",
                      {}, {"Table line too long, skipped"}, 3},
        MalformedCase{"OverlongCommentSkipped",
                      "// " + std::string(400, '-') + "\r\n0050: 22 ;\r\n",
                      {{0x50, Hex("22")}}, {"Table line too long, skipped"}},
        MalformedCase{"LineFeedsOnly", "0040: 01 ;\n0050: 02 ;\n",
                      {{0x40, Hex("01")}, {0x50, Hex("02")}}, {}},
        MalformedCase{"LastLineWithoutLineEnd", "0040: 01 ;\r\n0050: 02 ;",
                      {{0x40, Hex("01")}, {0x50, Hex("02")}}, {}},
        MalformedCase{"NoEndMark", "0040: 01 02\r\n", {{0x40, Hex("0102")}}, {}},
        // An editor's UTF-8 byte order mark is no part of the first line; elsewhere it is.
        MalformedCase{"ByteOrderMarkFirst", "\xEF\xBB\xBF" "0040: 01 ;\r\n0050: 02 ;\r\n",
                      {{0x40, Hex("01")}, {0x50, Hex("02")}}, {}},
        MalformedCase{"ByteOrderMarkOnly", "\xEF\xBB\xBF", {}, {}},
        MalformedCase{"ByteOrderMarkLater", "0040: 01 ;\r\n\xEF\xBB\xBF" "0050: 02 ;\r\n",
                      {{0x40, Hex("01")}}, {}},
        MalformedCase{"NoColonAfterTheAddress", "0100  AA BB ;\r\n", {{0x100, Hex("AABB")}}, {}},
        // Lines that cannot be read are named and not written; the rest of the table is.
        MalformedCase{"NonHexDigits", "0040: zz 1g ;\r\n0050: 02 ;\r\n", {{0x50, Hex("02")}},
                      {"Table line 1 cannot be read, not written"}, 3},
        MalformedCase{"ValuesAColumnEarly", "// head\r\n0000 01 02 03\r\n", {},
                      {"Table line 2 cannot be read, not written"}, 3},
        MalformedCase{"AddressOfThreeDigits", "004\r\n", {},
                      {"Table line 1 cannot be read, not written"}, 3},
        MalformedCase{"LoneStar", "0040: 01 * 02 ;\r\n", {},
                      {"Table line 1 cannot be read, not written"}, 3},
        MalformedCase{"ValueCutShort", "0040: 01 0\r\n", {},
                      {"Table line 1 cannot be read, not written"}, 3},
        MalformedCase{"MarkBytes", "0060: 3C 00 3C ;\r\n", {{0x60, Hex("3C003C")}}, {}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(TableUpdate, MarkBytesGoOutDoubled) {
  Update(Table({"0060: 3C 00 3C ;"}));
  const auto frames = module().host_frames();
  const size_t snapshot_reads = 6;
  ASSERT_GE(frames.size(), snapshot_reads + 1);
  const auto& write = frames[snapshot_reads];
  EXPECT_EQ(write.payload, Hex("0060 3C 00 3C"));
  EXPECT_TRUE(write.crc_ok);
  EXPECT_EQ(HexOf(write.raw).substr(0, 20), "3C667400603C3C003C3C");
}

// ---- Runs and frames ----

TEST_F(TableUpdate, RunThatFitsOneFrameGoesAsOneWrite) {
  // 125 values: more than the 121 that fit even if all were 0x3C, but these have none.
  const auto r = Update(TableText("0040: " + Values(125, "11") + ";\r\n"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(TableWrites(), ElementsAre(Write{0x40, Bytes(125, 0x11)}));
}

TEST_F(TableUpdate, RunTooLongForOneFrameIsSplitAndGoesInWhole) {
  // 125 values 0x3C are 250 bytes once doubled: no frame holds them.
  const auto r = Update(TableText("0040: " + Values(125, "3C") + ";\r\n"));
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), kSuccess);
  EXPECT_EQ(module().Eeprom(0x40, 126), Hex(Values(125, "3C") + "FF"));
  const auto writes = TableWrites();
  EXPECT_EQ(writes.size(), 2u);
  uint16_t next = 0x40;
  for (const auto& [address, bytes] : writes) {
    EXPECT_EQ(address, next);
    next = static_cast<uint16_t>(next + bytes.size());
  }
  for (const auto& frame : module().host_frames()) {
    EXPECT_TRUE(frame.crc_ok);
    EXPECT_LE(frame.raw.size(), 256u);
  }
}

// ---- The module's acknowledgements ----

struct AckCase {
  const char* name;
  Fault::Kind kind;
  uint8_t status;
  Lines lines;  // printed for the refused table write
};

class TableWriteReplies : public TableUpdate, public ::testing::WithParamInterface<AckCase> {};

TEST_P(TableWriteReplies, TableGoesOnAndTheStatusSaysItIsNotWhole) {
  const AckCase& c = GetParam();
  AddFault(c.kind, kWrite, 1, c.status);  // the first table write
  const auto r = Update(Table({"0040: 01 ;", "0050: 02 ;"}));
  EXPECT_EQ(r.exit_status, 3);
  EXPECT_EQ(r.OutLines(), SuccessWith(c.lines));
  EXPECT_EQ(module().Eeprom(0x50, 1), Hex("02"));  // the next run was still written
  ExpectIdentityKept();
}

INSTANTIATE_TEST_SUITE_P(
    Module, TableWriteReplies,
    ::testing::Values(// Taken as a success by the lenient policy, but nothing says it was stored.
                      AckCase{"LenientStatusZero", Fault::Kind::kAckStatus, 0x00, {}},
                      AckCase{"RefusedU", Fault::Kind::kAckStatus, 0x55, {"Write EEPROM Failed"}},
                      AckCase{"Refused88", Fault::Kind::kAckStatus, 0x88, {"Write EEPROM Failed"}},
                      AckCase{"NoHeader", Fault::Kind::kNoHeader, 0x33,
                              {"Error Response Packet Header", "Response Error!"}},
                      // Confirmed, then lost: only the read right after the write tells.
                      AckCase{"ConfirmedButNotStored", Fault::Kind::kNotStored, 0x33,
                              {"Table line 1 not read back as written at 0040"}}),
    [](const auto& tc) { return std::string(tc.param.name); });

}  // namespace
}  // namespace e2e
