// The identity guard end to end, through the table tool: a record that was not read is never
// changed by the run, what was read is put back and checked, and the exit status tells the
// truth about both (0 all went through, 2 identity not kept, 3 table not whole, 2 wins).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <map>
#include <tuple>
#include <vector>

#include "flash_support.h"
#include "identity_board.h"
#include "run_records.h"
#include "sim_protocol.h"

namespace e2e {
namespace {

using ::testing::Contains;
using ::testing::Not;
using testbed::Fault;

const std::string kBanner = "BM77 Configuration Update";
const std::string kPortOk = "BT Com Port Init Success.";
const std::string kVcomLine = "Read Vcom From BM77: 1-0-256";

// One identity record as the tests see it: where it lies (with the two bytes after the name,
// which its read returns), which reads of the run take it, and its name in lines.
struct Record {
  const char* name;
  uint16_t address;
  size_t length;
  int read;          // occurrence of the read command: the first of the snapshot's two
  int check;         // ...and the check's, after the restore
  int restore;       // occurrence of the write command in the restore, after the table's
  std::string line;  // a table line that writes over the whole record
};

// The snapshot reads each record twice (a confirmed read), the check once.
const Record kMac{"MAC", 0x0000, 6, 1, 7, 1, "0000: 01 02 03 04 05 06 ;"};
const Record kName{"Device Name", 0x000B, 14, 3, 8, 2,
                   "000B: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E ;"};
const Record kVcom{"VCOM", 0x0019, 2, 5, 9, 3, "0019: 03 E8 ;"};
const Record kRecords[] = {kMac, kName, kVcom};

class IdentityGuard : public IdentityBoard {
 protected:
  Bytes Before(const Record& r) { return before_.at(r.address); }
  void SetUp() override {
    IdentityBoard::SetUp();
    for (const Record& r : kRecords) before_[r.address] = module().Eeprom(r.address, r.length);
  }
  // The record holds what it held before the run.
  void ExpectUntouched(const Record& r) {
    EXPECT_EQ(module().Eeprom(r.address, r.length), Before(r)) << r.name;
    EXPECT_FALSE(WrittenAt(r.address, r.length)) << r.name;
  }
  // The record was written and put back: its identity bytes are as before.
  void ExpectRestored(const Record& r) {
    const size_t identity_length = r.address == kName.address ? 12 : r.length;
    Bytes before = Before(r);
    before.resize(identity_length);
    EXPECT_EQ(module().Eeprom(r.address, identity_length), before) << r.name;
  }

  std::map<uint16_t, Bytes> before_;
};

// ---- The case found on the simulated board ----

TEST_F(IdentityGuard, RefusedMacReadKeepsTheMacAndFailsTheRun) {
  AddFault(Fault::Kind::kAckStatus, kRead, 1, 0x55);
  const auto r = Update(Table({"0000: 01 02 03 04 05 06 ;", "0100: 01 ;"}));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.OutLines(),
            (Lines{kBanner, kPortOk, "Read EEPROM Failed", kVcomLine, "Parse Table File",
                   "MAC not read from BM77, table line 0000 not written", "OK",
                   "MAC not read from BM77, left unchanged", "SaveVcomToBM77"}));
  ExpectUntouched(kMac);
  EXPECT_EQ(module().Eeprom(0x0100, 1), Hex("01"));  // the rest of the table went in
  ExpectIdentityKept();
}

// ---- A record that was not read ----

struct UnreadCase {
  const char* name;
  Record record;
  uint8_t status;  // the read's acknowledgement: refused, or the lenient "success" without data
  Lines out;
};

class UnreadRecord : public IdentityGuard, public ::testing::WithParamInterface<UnreadCase> {};

TEST_P(UnreadRecord, IsLeftAloneAndTheOthersComeBack) {
  const UnreadCase& c = GetParam();
  AddFault(Fault::Kind::kAckStatus, kRead, c.record.read, c.status);
  const auto r = Update(Table({kMac.line, kName.line, kVcom.line, "0040: 07 ;"}));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_EQ(r.OutLines(), c.out);
  for (const Record& other : kRecords) {
    if (other.address == c.record.address) {
      ExpectUntouched(other);
    } else {
      EXPECT_TRUE(WrittenAt(other.address, other.length)) << other.name << ": table line held back";
      ExpectRestored(other);
    }
  }
  EXPECT_EQ(module().Eeprom(0x0040, 1), Hex("07"));
}

Lines Output(const Lines& snapshot, const std::string& held_back, const Lines& restore) {
  Lines out = {kBanner, kPortOk};
  out.insert(out.end(), snapshot.begin(), snapshot.end());
  out.insert(out.end(), {"Parse Table File", held_back, "OK"});
  out.insert(out.end(), restore.begin(), restore.end());
  return out;
}

INSTANTIATE_TEST_SUITE_P(
    Records, UnreadRecord,
    ::testing::Values(
        UnreadCase{"MacRefused", kMac, 0x55,
                   Output({"Read EEPROM Failed", kVcomLine},
                       "MAC not read from BM77, table line 0000 not written",
                       {"MAC not read from BM77, left unchanged", "SaveVcomToBM77"})},
        UnreadCase{"MacWithoutData", kMac, 0x00,
                   Output({kVcomLine}, "MAC not read from BM77, table line 0000 not written",
                       {"MAC not read from BM77, left unchanged", "SaveVcomToBM77"})},
        UnreadCase{"NameRefused", kName, 0x55,
                   Output({"Read EEPROM Failed", kVcomLine},
                       "Device Name not read from BM77, table line 000B not written",
                       {"Device Name not read from BM77, left unchanged", "SaveVcomToBM77"})},
        UnreadCase{"NameWithoutData", kName, 0x00,
                   Output({kVcomLine}, "Device Name not read from BM77, table line 000B not written",
                       {"Device Name not read from BM77, left unchanged", "SaveVcomToBM77"})},
        UnreadCase{"VcomRefused", kVcom, 0x55,
                   Output({"Read EEPROM Failed"}, "VCOM not read from BM77, table line 0019 not written",
                       {"VCOM not read from BM77, left unchanged"})},
        UnreadCase{"VcomWithoutData", kVcom, 0x00,
                   Output({}, "VCOM not read from BM77, table line 0019 not written",
                       {"VCOM not read from BM77, left unchanged"})}),
    [](const auto& tc) { return std::string(tc.param.name); });

struct EdgeCase {
  const char* name;
  Record record;
  std::vector<uint16_t> held;     // lines on the unread record's first and last byte
  std::vector<uint16_t> written;  // lines on the bytes just outside it
};

class UnreadRecordEdges : public IdentityGuard, public ::testing::WithParamInterface<EdgeCase> {};

TEST_P(UnreadRecordEdges, EveryByteIsProtectedAndNoMore) {
  const EdgeCase& c = GetParam();
  AddFault(Fault::Kind::kAckStatus, kRead, c.record.read, 0x55);
  Lines table, held_lines;
  char line[16];
  for (uint16_t address : c.held) {
    std::snprintf(line, sizeof line, "%04X: 77 ;", address);
    table.push_back(line);
    held_lines.push_back(std::string(c.record.name) + " not read from BM77, table line " +
                         std::string(line, 4) + " not written");
  }
  for (uint16_t address : c.written) {
    std::snprintf(line, sizeof line, "%04X: 77 ;", address);
    table.push_back(line);
  }
  const auto r = Update(Table(table));
  EXPECT_EQ(r.exit_status, 2);
  const Lines out = r.OutLines();
  const auto parse = std::find(out.begin(), out.end(), "Parse Table File");
  const auto ok = std::find(out.begin(), out.end(), "OK");
  ASSERT_LT(parse, ok);
  EXPECT_EQ(Lines(parse + 1, ok), held_lines);
  ExpectUntouched(c.record);
  for (uint16_t address : c.written) {
    EXPECT_THAT(module().eeprom_writes(), Contains(Write{address, Hex("77")})) << address;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, UnreadRecordEdges,
    ::testing::Values(EdgeCase{"Mac", kMac, {0x0000, 0x0005}, {0x0006}},
                      // the two bytes after the name are protected with it
                      EdgeCase{"Name", kName, {0x000B, 0x0018}, {0x000A, 0x0019}},
                      EdgeCase{"Vcom", kVcom, {0x0019, 0x001A}, {0x0018, 0x001B}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(IdentityGuard, LineOverAReadAndAnUnreadRecordIsNotWrittenAtAll) {
  AddFault(Fault::Kind::kAckStatus, kRead, kName.read, 0x55);
  // The first line covers the MAC's last byte and the name's first two; the second skips the
  // unread name's bytes and writes only the byte after it; the third ends just before it.
  const auto r = Update(Table({"0005: 11 22 33 44 55 66 77 88 ;",
                               "000B: ** ** ** ** ** ** ** ** ** ** ** ** ** ** 99 ;",
                               "0006: 01 02 03 04 05 ;"}));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_THAT(r.OutLines(), Contains("Device Name not read from BM77, table line 0005 not written"));
  EXPECT_THAT(r.OutLines(), Not(Contains("Device Name not read from BM77, table line 000B not written")));
  for (const auto& [address, bytes] : module().eeprom_writes()) {
    EXPECT_NE(address, 0x0005) << "not even the byte over the MAC, which was read";
  }
  ExpectUntouched(kName);
  EXPECT_THAT(module().eeprom_writes(), Contains(Write{0x0019, Hex("99")}));
  EXPECT_EQ(module().Eeprom(0x0006, 5), Hex("0102030405"));
  ExpectRestored(kMac);
  ExpectRestored(kVcom);
}

TEST_F(IdentityGuard, UnreadRecordWinsOverARefusedTableWrite) {
  AddFault(Fault::Kind::kAckStatus, kRead, kMac.read, 0x55);
  AddFault(Fault::Kind::kAckStatus, kWrite, 1, 0x55);  // the table's only write
  const auto r = Update(Table({"0040: 01 ;"}));
  EXPECT_EQ(r.exit_status, 2);
  EXPECT_THAT(r.OutLines(), Contains("Write EEPROM Failed"));
}

TEST_F(IdentityGuard, SilentModuleFailsTheRunInTime) {
  AddFault(Fault::Kind::kSilence, -1, 0);
  const auto r = Update(Table({"0040: 01 ;"}));
  EXPECT_FALSE(r.timed_out);
  EXPECT_LT(r.wall_seconds, 30.0);  // every tool ends within 30 s; it needs about 7
  EXPECT_EQ(r.exit_status, 2);  // nothing could be read, so nothing was protected
  const Lines out = r.OutLines();
  for (const Record& rec : kRecords) {
    EXPECT_THAT(out, Contains(std::string(rec.name) + " not read from BM77, left unchanged"));
  }
  // A waiting tool takes under 2% of a core: about 0.15 s of these 7 s; the rest is room for
  // starting it under the sanitizers or the emulator (a spinning wait would take seconds).
  EXPECT_LT(r.cpu_seconds, 0.5);
}

// ---- Replies out of time ----

// A module still restarting answers a read after the host gave up on it. The late reply must
// never pass for the next command's answer, and a dead module must not keep the run.
constexpr auto kLate = std::chrono::milliseconds(4000);  // past the host's 3 s limit
const char* const kTools[] = {"bm77_tableupdate", "bm77_fwupdate"};

// Runs the table tool, or the firmware tool with a small image and the table.
template <typename Param>
class GuardedTool : public IdentityGuard, public ::testing::WithParamInterface<Param> {
 protected:
  virtual std::string Tool() const = 0;
  testbed::RunResult RunTool(const Lines& table) {
    const std::string tool = Tool();
    testbed::RunOptions options;
    options.env[simwire::kEnvSkipPausesMs] = "500";
    if (tool == "bm77_tableupdate") return Update(Table(table), options);
    return Run(tool, {WriteImage(board_, ImageBytes(600), "fw.bin"), Table(table)}, options);
  }
};

class LateReply : public GuardedTool<std::tuple<const char*, Record>> {
  std::string Tool() const override { return std::get<0>(GetParam()); }
};
class DeadModule : public GuardedTool<const char*> {
  std::string Tool() const override { return GetParam(); }
};

TEST_P(LateReply, ToASnapshotReadChangesNothing) {
  Fault f;
  f.kind = Fault::Kind::kLate;
  f.command = kRead;
  f.occurrence = std::get<1>(GetParam()).read;
  f.delay = kLate;
  module().AddFault(f);
  const auto r = RunTool({kMac.line, kName.line, kVcom.line});
  EXPECT_NE(r.exit_status, 0);
  EXPECT_TRUE(module().eeprom_writes().empty());
  ExpectIdentityKept();
  // The line is out of step from the late read on: nothing more is read or sent.
  EXPECT_EQ(module().host_frames().size(), static_cast<size_t>(std::get<1>(GetParam()).read));
}

TEST_P(DeadModule, AtTheFirstTableWriteEndsTheRunInSeconds) {
  AddFault(Fault::Kind::kSilence, kWrite, 0);  // every write, from the table's first on
  Lines table = {kMac.line, kName.line, kVcom.line};
  for (int i = 0; i < 9; ++i) table.push_back("0" + std::to_string(i + 1) + "00: 01 02 ;");
  const auto r = RunTool(table);
  EXPECT_EQ(r.exit_status, 2);
  // The table's first write and the one restore of what it wrote over wait their 3 s each;
  // nothing else waits. Generous for a loaded machine, far below one wait per line.
  EXPECT_LT(r.wall_seconds, 12.0);
  EXPECT_THAT(r.OutLines(), Contains("BM77 not answering, rest of table not written"));
  EXPECT_THAT(r.OutLines(), Contains("BM77 not answering, identity not checked"));
  ExpectIdentityKept();
  int writes = 0;
  for (const WireEvent& e : module().host_frames()) writes += e.command == kWrite;
  EXPECT_EQ(writes, 2);  // the table's first, the MAC's restore; then the line is closed
}

INSTANTIATE_TEST_SUITE_P(
    Tools, LateReply, ::testing::Combine(::testing::ValuesIn(kTools), ::testing::ValuesIn(kRecords)),
    [](const auto& tc) {
      std::string name = std::string(std::get<0>(tc.param)) + std::get<1>(tc.param).name;
      name.erase(std::remove_if(name.begin(), name.end(), [](char c) { return !std::isalnum(c); }),
                 name.end());
      return name;
    });
INSTANTIATE_TEST_SUITE_P(Tools, DeadModule, ::testing::ValuesIn(kTools), [](const auto& tc) {
  return std::string(tc.param).substr(5);  // without "bm77_"
});

TEST_F(IdentityGuard, LateTableWriteIsAnsweredByTheRestoreWithTheSnapshot) {
  Fault f;
  f.kind = Fault::Kind::kLate;
  f.command = kWrite;
  f.occurrence = 1;
  f.delay = kLate;
  module().AddFault(f);
  const auto r = Update(Table({kMac.line, kName.line, "0100: 01 ;"}));
  EXPECT_EQ(r.exit_status, 2);  // nothing could be checked
  // The MAC line went out; the restore puts the MAC back from the snapshot, and the name, which
  // the run never wrote over, is left alone.
  ExpectIdentityKept();
  EXPECT_FALSE(WrittenAt(kName.address, kName.length));
  EXPECT_THAT(r.OutLines(), Contains("BM77 not answering, identity not checked"));
}

// ---- What was read is put back, and checked ----

struct LostCase {
  const char* name;
  Record record;
  const char* check_line;
};

class LostRestore : public IdentityGuard, public ::testing::WithParamInterface<LostCase> {};

TEST_P(LostRestore, ReadBackNamesTheRecord) {
  const LostCase& c = GetParam();
  const int table_writes = 3;
  AddFault(Fault::Kind::kNotStored, kWrite, table_writes + c.record.restore);
  // Each line changes one byte of a record, the one a comparison over too few bytes misses:
  // the MAC's last (stored first), the name's twelfth, the VCOM's low byte.
  const auto r = Update(Table({"0000: 01 ;", "0016: 02 ;", "001A: 03 ;"}));
  EXPECT_EQ(r.exit_status, 2);
  ASSERT_FALSE(r.OutLines().empty());
  EXPECT_EQ(r.OutLines().back(), c.check_line);
  for (const Record& other : kRecords) {
    if (other.address != c.record.address) ExpectRestored(other);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Records, LostRestore,
    ::testing::Values(LostCase{"Mac", kMac, "Identity Check Failed: MAC"},
                      LostCase{"Name", kName, "Identity Check Failed: Device Name"},
                      LostCase{"Vcom", kVcom, "Identity Check Failed: VCOM"}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(IdentityGuard, RestoreWriteTakenOnAnOddStatusIsNotDone) {
  AddFault(Fault::Kind::kAckStatus, kWrite, 2, 0x00);  // the MAC's restore, after the table's
  const auto r = Update(Table({"0000: 66 55 44 33 22 11 ;"}));
  // The MAC reads back equal (the table wrote the bytes it held), but nothing says the module
  // stored the restore write the lenient policy let through.
  EXPECT_EQ(r.exit_status, 2);
  ExpectIdentityKept();
}

// ---- Records that hold the frame trailer 3C 5A ----

struct TrailerCase {
  const char* name;
  Record record;
  Bytes stored;  // the record's bytes in the EEPROM, 3C 5A among them
  size_t cut;    // offset in the reply (ack, then frame) right after the 5A
};

class TrailerInRecord : public IdentityGuard,
                        public ::testing::WithParamInterface<TrailerCase> {
 protected:
  void SetUp() override {
    IdentityGuard::SetUp();
    module().SetEeprom(GetParam().record.address, GetParam().stored);
  }
  void ExpectReadWhole(const testbed::RunResult& r) {
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_THAT(r.OutLines(), Not(Contains("Response Error!")));
    // The table wrote over the record, and the record read before came back.
    EXPECT_EQ(module().Eeprom(GetParam().record.address, GetParam().stored.size()),
              GetParam().stored);
  }
};

TEST_P(TrailerInRecord, ReadWholeOneByteAtATime) {
  AddFault(Fault::Kind::kByteByByte, kRead, 0);  // every read, the check's included
  ExpectReadWhole(Update(Table({GetParam().record.line})));
}

TEST_P(TrailerInRecord, ReadWholeWhenAPieceEndsRightAfterIt) {
  for (int read : {GetParam().record.read, GetParam().record.check}) {
    Fault f;
    f.kind = Fault::Kind::kSplit;
    f.command = kRead;
    f.occurrence = read;
    f.cuts = {GetParam().cut};
    f.gap = std::chrono::milliseconds(10);
    module().AddFault(f);
  }
  ExpectReadWhole(Update(Table({GetParam().record.line})));
}

// The reply: ack (2), "<f" (2), three lead bytes, then the data.
constexpr size_t kDataOffset = 2 + 2 + 3;

INSTANTIATE_TEST_SUITE_P(
    Records, TrailerInRecord,
    ::testing::Values(
        TrailerCase{"Mac", kMac, Hex("66 3C 5A 33 22 11"), kDataOffset + 3},
        TrailerCase{"Name", kName, Hex("54617672696E652D 3C5A 3131"), kDataOffset + 10},
        TrailerCase{"Vcom", kVcom, Hex("3C 5A"), kDataOffset + 2}),
    [](const auto& tc) { return std::string(tc.param.name); });


// An interrupt is an ordered stop. The module's EEPROM write is played here so that the signal
// goes out while the line after the MAC's is written, after the table wrote over the MAC: the
// run sends no further line, puts the MAC back (and nothing it did not write over), leaves its
// record with the outcome "interrupted", and ends with 128 + the signal's number.
TEST_F(IdentityGuard, InterruptMidTableRestoresWhatTheTableWroteOverAndSaysSo) {
  const std::string records = board_.sandbox() + "-records.jsonl";
  const std::string table =
      Table({"0000: 01 02 03 04 05 06 ;", "0100: 07 ;", "0200: 08 ;"});
  // The table tool under each signal, the firmware tool (after its flash, in its table) once.
  const std::vector<std::pair<const char*, int>> runs = {{"bm77_tableupdate", SIGTERM},
                                                         {"bm77_tableupdate", SIGINT},
                                                         {"bm77_tableupdate", SIGHUP},
                                                         {"bm77_fwupdate", SIGTERM}};
  const std::string image = WriteImage(board_, ImageBytes(100));
  for (const auto& [program, signal_number] : runs) {
    SCOPED_TRACE(std::string(program) + " " + std::to_string(signal_number));
    SetUp();
    module().SetEeprom(0x0100, Hex("FF FF"));
    module().SetEeprom(0x0200, Hex("FF"));
    std::atomic<int> pid{0};
    std::vector<uint16_t> written;
    module().SetHandler(kWrite, [&](testbed::Module& m, const Bytes& payload) {
      const uint16_t address = static_cast<uint16_t>(payload[0] << 8 | payload[1]);
      m.SetEeprom(address, Bytes(payload.begin() + 2, payload.end()));
      written.push_back(address);
      if (address == 0x0100 && pid != 0) kill(pid, signal_number);
      return testbed::CommandReply{0x33, true, Bytes{kWrite, 0x00}};
    });
    testbed::RunOptions options = Recorded(records);
    options.started = [&](int started) { pid = started; };
    const bool firmware = std::string(program) == "bm77_fwupdate";
    const testbed::RunResult r =
        Run(program, firmware ? std::vector<std::string>{image, table} : std::vector<std::string>{table},
            options);
    module().SetHandler(kWrite, nullptr);
    EXPECT_EQ(r.exit_status, 128 + signal_number) << r.out;
    EXPECT_THAT(r.OutLines(), ::testing::Contains("Interrupted, rest of table not written"));
    ExpectIdentityKept();
    EXPECT_EQ(module().Eeprom(0x0200, 1), Hex("FF")) << "a line after the stop was written";
    // Only the MAC was written over, so only the MAC is written back.
    EXPECT_EQ(written, (std::vector<uint16_t>{0x0000, 0x0100, 0x0000}));
    const std::vector<json> got = Records(records);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back()["outcome"], "interrupted");
    EXPECT_EQ(got.back()["status"], 128 + signal_number);
  }
}

}  // namespace
}  // namespace e2e
