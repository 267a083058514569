// The run record of every device program: one clean and one failing run per tool, each failure
// named in the record; hostile file names; records of programs run side by side. Every record
// read here has passed the format's schema (run_records.h).
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <thread>

#include "flash_support.h"
#include "identity_board.h"
#include "run_records.h"

namespace e2e {
namespace {

using testbed::Fault;

constexpr uint8_t kFlashErase = 0x51;
const char kPicture[] = "/opt/picture.bmp";

// Independent of the tool's own: CRC-32 (IEEE), as zlib gives it.
uint32_t Crc32(const Bytes& bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc & 1u) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
  }
  return ~crc;
}
std::string HexText(unsigned value, int digits) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%0*X", digits, value);
  return text;
}

// A BMP of `width` x 3 pixels at `bits` a pixel, rows of zeros.
Bytes Bmp(int32_t width, uint16_t bits) {
  Bytes b = Hex("424D 00000000 00000000 36000000 28000000");
  for (uint32_t v : {static_cast<uint32_t>(width), 3u}) {
    for (int s = 0; s < 32; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
  }
  b.push_back(1), b.push_back(0), b.push_back(static_cast<uint8_t>(bits)), b.push_back(0);
  b.resize(54 + 3 * 8, 0);
  return b;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class RunRecord : public IdentityBoard {
 protected:
  testbed::RunResult Recorded(const std::string& program, const std::vector<std::string>& args) {
    return Run(program, args, e2e::Recorded(path_));
  }
  std::vector<json> Records() { return e2e::Records(path_); }
  // The module back on, as the line does before each tool (the tools leave it off).
  void SwitchOn() { Run("rf_gate", {"1"}); }

  const std::string path_ = board_.sandbox() + "/records.jsonl";
};

TEST_F(RunRecord, ProvisionNamesWritesNotStoredAndRecordsNotReadBack) {
  Recorded("bm77_provision", {"00:1A:2B:3C:4D:5E", "180"});
  SwitchOn();
  AddFault(Fault::Kind::kNotStored, kWrite, 7);        // the second run's MAC write
  AddFault(Fault::Kind::kAckStatus, kWrite, 8, 0x01);  // its VCOM write, on an odd status
  Recorded("bm77_provision", {"00:1A:2B:3C:4D:5F", "181"});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["tool"], "bm77_provision");
  EXPECT_EQ(r[0]["args"], json({"00:1A:2B:3C:4D:5E", "180"}));
  EXPECT_EQ(r[0]["outcome"], "ok");
  EXPECT_EQ(r[0]["identity"]["before"], kUnknown);  // it reads nothing before it writes
  EXPECT_EQ(r[0]["identity"]["after"], Identity("00:1A:2B:3C:4D:5E", "Tavrine-4D5E", 180));
  EXPECT_EQ(r[0]["sources"], json({{"mac", "argument"}, {"vcom", "argument"}}));
  EXPECT_EQ(r[0]["failures"], json::array());
  EXPECT_EQ(r[1]["status"], 3);
  EXPECT_EQ(r[1]["outcome"], "module");
  EXPECT_EQ(r[1]["identity"]["after"], Identity(nullptr, "Tavrine-4D5F", nullptr));
  EXPECT_EQ(r[1]["failures"], json({Failure("write-vcom", "not-stored"),
                                    Failure("read-back-mac", "read-back-different"),
                                    Failure("read-back-vcom", "read-back-different")}));
}

TEST_F(RunRecord, IdentSettlesFromTheModuleOrNamesTheSilentRead) {
  Recorded("bm77_ident", {});
  SwitchOn();
  // The second run's first MAC read: the first run read the MAC twice, the name and the VCOM,
  // then all three back.
  AddFault(Fault::Kind::kSilentAfterAck, kRead, 8);
  Recorded("bm77_ident", {"ignored"});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["outcome"], "ok");
  EXPECT_EQ(r[0]["identity"]["before"], Identity("11:22:33:44:55:66", "Tavrine-2211", 256));
  EXPECT_EQ(r[0]["identity"]["after"], Identity("11:22:33:44:55:66", "Tavrine-5566", 256));
  EXPECT_EQ(r[0]["sources"], json({{"mac", "module"}, {"vcom", "module"}}));
  EXPECT_EQ(r[1]["args"], json({"ignored"}));
  EXPECT_EQ(r[1]["status"], 2);
  EXPECT_EQ(r[1]["outcome"], "identity");
  EXPECT_EQ(r[1]["identity"]["before"], kUnknown);
  EXPECT_EQ(r[1]["identity"]["after"], kUnknown);
  EXPECT_EQ(r[1]["failures"], json({Failure("read-mac", "silent")}));
}

TEST_F(RunRecord, BytesThatAreNoAcknowledgementAreAMalformedReply) {
  Fault piece;  // a piece of another reply where the MAC read's acknowledgement should be
  piece.kind = Fault::Kind::kAckBytes;
  piece.command = kRead;
  piece.occurrence = 1;
  piece.bytes = Hex("6673");
  module().AddFault(piece);
  Recorded("bm77_ident", {});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]["status"], 2);
  EXPECT_EQ(r[0]["failures"], json({Failure("read-mac", "malformed")}));
}

TEST_F(RunRecord, IdentWithoutAUsableMacVerifiesNoIdentity) {
  module().SetEeprom(0x0000, Hex("FFFFFFFFFFFF"));
  board_.chip().SetWakeResponse(Hex("04 00 33 43"));  // Noisewell fails: no random bytes
  Recorded("bm77_ident", {});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);  // Noisewell's own, then bm77_ident's
  EXPECT_EQ(r[0]["tool"], "Noisewell");
  EXPECT_EQ(r[0]["status"], 240);
  EXPECT_EQ(r[1]["status"], 5);
  EXPECT_EQ(r[1]["outcome"], "no-mac");
  EXPECT_EQ(r[1]["identity"]["before"]["mac"], "FF:FF:FF:FF:FF:FF");
  EXPECT_EQ(r[1]["identity"]["after"], kUnknown);
  EXPECT_EQ(r[1]["sources"]["mac"], "module");
}

TEST_F(RunRecord, TableUpdateCountsLinesAndNamesTheMalformedRead) {
  const std::string table = Table({"0040  01 02 03 04 ;", "0000  01 02 ;", "0050  zz ;"});
  Recorded("bm77_tableupdate", {table});
  AddFault(Fault::Kind::kNoHeader, kRead, 0);  // no read of the second run answers well
  Recorded("bm77_tableupdate", {table});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);
  const json identity = Identity("11:22:33:44:55:66", "Tavrine-2211", 256);
  EXPECT_EQ(r[0]["outcome"], "table");  // the unreadable line
  EXPECT_EQ(r[0]["identity"]["before"], identity);
  EXPECT_EQ(r[0]["identity"]["after"], identity);
  EXPECT_EQ(r[0]["table"], json({{"file", table}, {"written", 2}, {"held_back", 0}, {"failed", 1}}));
  EXPECT_EQ(r[1]["outcome"], "identity");
  EXPECT_EQ(r[1]["identity"]["before"], kUnknown);
  EXPECT_EQ(r[1]["table"], json({{"file", table}, {"written", 0}, {"held_back", 1}, {"failed", 2}}));
  ASSERT_EQ(r[1]["failures"].size(), 4u);
  EXPECT_EQ(r[1]["failures"][0], Failure("read-mac", "malformed"));
  EXPECT_EQ(r[1]["failures"][3], Failure("read-0040", "malformed"));  // the line's read-back
}

TEST_F(RunRecord, FwUpdateRecordsImageBanksAndTheRefusedErase) {
  const Bytes image = ImageBytes(70000);
  const std::string path = WriteImage(board_, image);
  Recorded("bm77_fwupdate", {path});
  testbed::Fault refused;
  refused.kind = Fault::Kind::kAckStatus;
  refused.command = kFlashErase;
  refused.status = 0x55;
  module().AddFault(refused);
  Recorded("bm77_fwupdate", {path});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["outcome"], "ok");
  const json& f = r[0]["firmware"];
  EXPECT_EQ(f["size"], image.size());
  EXPECT_EQ(f["crc32"], HexText(Crc32(image), 8));
  EXPECT_TRUE(f.contains("flash_id"));
  // Each bank's count and CRC as they went over the wire.
  json banks = json::array();
  for (const Burst& b : Bursts(module().wire_log())) {
    const unsigned crc = static_cast<unsigned>(b.bank_end[0]) << 8 | b.bank_end[1];
    banks.push_back({{"bytes", b.count}, {"crc", HexText(crc, 4)}});
  }
  EXPECT_EQ(banks.size(), 2u);
  EXPECT_EQ(f["banks"], banks);
  EXPECT_GT(f["seconds"].get<double>(), 0.0);
  EXPECT_LT(f["seconds"].get<double>(), r[0]["seconds"].get<double>());
  EXPECT_FALSE(r[0].contains("table"));
  EXPECT_EQ(r[1]["status"], 255);
  EXPECT_EQ(r[1]["outcome"], "flash");
  EXPECT_EQ(r[1]["firmware"]["banks"], json::array());
  EXPECT_EQ(r[1]["failures"], json({Failure("flash-erase", "refused")}));
}

TEST_F(RunRecord, NoisewellSaysBytesWereDrawnNeverWhichOrNamesTheChip) {
  Recorded("Noisewell", {});
  chip().SetBadCrc(true);
  Recorded("Noisewell", {});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["random"], json({{"bytes", 32}}));
  EXPECT_EQ(r[1]["status"], 229);
  EXPECT_EQ(r[1]["outcome"], "chip");
  EXPECT_FALSE(r[1].contains("random"));
}

TEST_F(RunRecord, BmpViewRecordsThePictureShownOrNone) {
  board_.WriteFile(kPicture, Bmp(4, 16));
  Recorded("bmpview", {board_.SandboxPath(kPicture)});
  board_.WriteFile(kPicture, Bmp(4, 8));
  Recorded("bmpview", {board_.SandboxPath(kPicture)});
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["status"], 1);
  EXPECT_EQ(r[0]["outcome"], "shown");
  EXPECT_EQ(r[0]["picture"], json({{"width", 4}, {"height", 3}}));
  EXPECT_EQ(r[1]["outcome"], "failed");
  EXPECT_FALSE(r[1].contains("picture"));
}

// Quotes, a backslash, control characters, bytes that are no UTF-8, and more than a slot holds.
TEST_F(RunRecord, HostileFileNameStaysValidJsonCutAndNamed) {
  std::string long_tail;
  for (int i = 0; i < 200; ++i) long_tail += "\xC3\xA9";  // é
  const std::string name = board_.sandbox() + "/q\"b\\c\x01\n\xFF\xE2\x82(" + long_tail + ".txt";
  const testbed::RunResult run = Recorded("bm77_tableupdate", {name});
  EXPECT_EQ(run.exit_status, 1);
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0]["outcome"], "file");
  EXPECT_EQ(r[0]["truncated"], json({"args", "table.file"}));
  const std::string kept = r[0]["table"]["file"];
  const std::string head = board_.sandbox() + "/q\"b\\c\x01\n\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD(";
  ASSERT_EQ(kept.compare(0, head.size(), head), 0);
  EXPECT_EQ(kept.substr(head.size()), long_tail.substr(0, kept.size() - head.size()));
  EXPECT_EQ(r[0]["args"][0], kept);
}

// A record that cannot be written costs one line and leaves the status; a FIFO never holds it,
// and a link planted at the record's name never leads it to another file.
TEST_F(RunRecord, UnwritableRecordPrintsOneLineAndKeepsTheStatus) {
  const std::string fifo = board_.sandbox() + "/fifo.jsonl";
  const std::string file = board_.sandbox() + "/someone-elses.txt";
  const std::string missing = board_.sandbox() + "/made-through-a-link.txt";
  const std::string symlinked = board_.sandbox() + "/symlink.jsonl";
  const std::string dangling = board_.sandbox() + "/dangling.jsonl";
  const std::string hard_linked = board_.sandbox() + "/hard-link.jsonl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  std::ofstream(file) << "AB";
  ASSERT_EQ(symlink(file.c_str(), symlinked.c_str()), 0);
  ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);
  ASSERT_EQ(link(file.c_str(), hard_linked.c_str()), 0);
  for (const std::string& path : {board_.sandbox(), fifo, symlinked, dangling, hard_linked}) {
    const testbed::RunResult r = Run("bmpview", {}, e2e::Recorded(path));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "Invalid Arguments!\nRun record not written to " + path + "\n");
  }
  EXPECT_EQ(ReadText(file), "AB");
  EXPECT_FALSE(std::filesystem::exists(missing));
}

// A record cut short (a full disk) leaves its line open: the next record starts on a line of its
// own, and a file that ends its lines gets no empty one.
TEST_F(RunRecord, RecordNeverJoinsATornLine) {
  for (const std::string before : {"", "{\"format\":1}\n", "{\"format\":1,\"tool\":\"bm77_", "\n"}) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << before;
    Recorded("bmpview", {});
    const std::string text = ReadText(path_);
    const bool torn = !before.empty() && before.back() != '\n';
    const std::string kept = before + (torn ? "\n" : "");
    ASSERT_EQ(text.compare(0, kept.size(), kept), 0) << text;
    const std::string record = text.substr(kept.size());
    EXPECT_EQ(record.find('\n'), record.size() - 1) << text;
    EXPECT_EQ(json::parse(record)["tool"], "bmpview") << text;
  }
}

// Records of programs run side by side: each line whole, none lost, each run with a run id of
// its own (the schema checks its form).
TEST_F(RunRecord, TwoToolsAppendingAtOnceNeverInterleave) {
  constexpr int kRuns = 12;
  testbed::Board other;
  const std::string name(300, 'n');
  auto runs = [&](testbed::Board& board, const std::string& program) {
    for (int i = 0; i < kRuns; ++i) board.Run(program, {name}, e2e::Recorded(path_));
  };
  std::thread side(runs, std::ref(other), "bm77_tableupdate");
  runs(board_, "bmpview");
  side.join();
  const std::vector<json> r = Records();
  ASSERT_EQ(r.size(), 2u * kRuns);
  int bmpview = 0;
  std::set<std::string> runs_seen;
  for (const json& record : r) {
    bmpview += record["tool"] == "bmpview";
    runs_seen.insert(record.value("run", ""));
  }
  EXPECT_EQ(bmpview, kRuns);
  EXPECT_EQ(runs_seen.size(), 2u * kRuns);
  EXPECT_EQ(runs_seen.count(""), 0u);
  EXPECT_THAT(other.violations(), ::testing::IsEmpty());
}

}  // namespace
}  // namespace e2e
