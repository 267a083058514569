// The run record's JSON line: texts from outside are escaped and, where they do not fit their
// slot, cut between characters and named; the worst record still fits one write.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "record_format.h"
#include "run_record.h"

namespace {

using nlohmann::json;

const std::string kFffd = "\xEF\xBF\xBD";

struct TextCase {
  std::string in;
  size_t room;
  std::string out;
  bool cut;
};

TEST(RecordText, EscapesReplacesAndCutsBetweenCharacters) {
  const TextCase cases[] = {
      {"plain", 99, "plain", false},
      {"a\"b\\c", 99, "a\\\"b\\\\c", false},
      {std::string("\x01\n\x1F\x7F", 4), 99, "\\u0001\\u000a\\u001f\x7F", false},
      {std::string("\0z", 2), 99, "\\u0000z", false},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", 99, "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", false},
      {"\xC0\x80", 99, kFffd + kFffd, false},               // overlong
      {"\xED\xA0\x80", 99, kFffd + kFffd + kFffd, false},   // surrogate
      {"\xF4\x90\x80\x80", 99, kFffd + kFffd + kFffd + kFffd, false},  // past U+10FFFF
      {"\xE0\x9F\xBF", 99, kFffd + kFffd + kFffd, false},   // overlong, three bytes
      {"\xF0\x8F\xBF\xBF", 99, kFffd + kFffd + kFffd + kFffd, false},
      {"\xE2\x82", 99, kFffd + kFffd, false},               // cut short at the end
      {"\xE2\x82z", 99, kFffd + kFffd + "z", false},
      {"\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", 99, "\xDF\xBF\xEF\xBF\xBF\xF4\x8F\xBF\xBF", false},
      {"ab\"", 3, "ab", true},                              // never half an escape
      {"a\x01", 6, "a", true},
      {"a\x01", 7, "a\\u0001", false},
      {"\xC3\xA9", 1, "", true},                            // never half a character
      {"\xFF", 2, "", true},
      {"abc", 3, "abc", false},
  };
  for (const TextCase& c : cases) {
    char out[128] = {};
    bool cut = false;
    const size_t n = record::AppendJsonText(reinterpret_cast<const uint8_t*>(c.in.data()),
                                            c.in.size(), out, c.room, &cut);
    EXPECT_EQ(std::string(out, n), c.out) << c.in;
    EXPECT_EQ(cut, c.cut) << c.in;
  }
}

// Every outside text at its worst: nine arguments of 1000 control characters, a table name
// of invalid bytes, names of escapes, more failures than are kept.
TEST(RecordLine, WorstCaseFitsOneWriteAndNamesWhatWasCut) {
  static const std::string hostile(1000, '\x01');
  const char* args[9];
  for (const char*& a : args) a = hostile.c_str();
  static const std::string bad(1000, '\xFF');
  record::Record r;
  r.tool = "bm77_fwupdate";
  r.args = args;
  r.arg_count = 9;
  r.table.file = bad.c_str();
  for (record::Identity* id : {&r.before, &r.after}) {
    id->has_name = true;
    id->name_length = record::kNameBytes;
    id->has_mac = true;
    id->has_vcom = true;
    id->vcom = 1000;  // no VCOM a record can hold
  }
  r.failure_count = record::kFailuresMax + 1;
  for (record::Failure& f : r.failures) std::snprintf(f.step, sizeof f.step, "read-back-0000");
  r.firmware.known = true;
  r.firmware.bank_count = record::kBanksMax;
  r.firmware.has_flash_id = true;
  r.firmware.flash_id_length = record::kFlashIdMax;
  r.firmware.ms = 12345;
  r.random_bytes = 32;
  r.has_picture = true;
  char line[record::kRecordSize];
  const size_t n = record::FormatRecord(r, line, sizeof line);
  ASSERT_GT(n, 0u);
  EXPECT_EQ(line[n - 1], '\n');
  const json j = json::parse(std::string(line, n));
  EXPECT_EQ(j["truncated"], json({"args", "table.file", "failures"}));
  EXPECT_EQ(j["args"].size(), record::kArgsMax);
  EXPECT_EQ(j["args"][0], std::string(record::kTextSlot / 6, '\x01'));
  EXPECT_EQ(j["table"]["file"].get<std::string>().size(), record::kTextSlot / 3 * 3);
  EXPECT_EQ(j["identity"]["before"]["name"], std::string(record::kNameBytes, '\0'));
  EXPECT_TRUE(j["identity"]["after"]["vcom"].is_null());
  EXPECT_EQ(j["failures"].size(), record::kFailuresMax);
  EXPECT_EQ(j["firmware"]["seconds"], 12.345);
  EXPECT_EQ(record::FormatRecord(r, line, n - 1), 0u);  // too small a buffer: nothing
}

TEST(RecordLine, QuietFieldsStayOutAndNullsStayNull) {
  record::Record r;
  r.tool = "Noisewell";
  r.ms = 7;
  char line[record::kRecordSize];
  const json j = json::parse(std::string(line, record::FormatRecord(r, line, sizeof line)));
  for (const char* absent : {"sources", "firmware", "table", "random", "picture", "truncated"}) {
    EXPECT_FALSE(j.contains(absent)) << absent;
  }
  EXPECT_EQ(j["identity"]["before"], json({{"mac", nullptr}, {"name", nullptr}, {"vcom", nullptr}}));
  EXPECT_EQ(j["seconds"], 0.007);
  EXPECT_EQ(j["args"], json::array());
  EXPECT_FALSE(j.contains("run"));  // no random bytes: the station keys on the text
  std::snprintf(r.run, sizeof r.run, "%s", "00ff00ff00ff00ff00ff00ff00ff00ff");
  const json with_run = json::parse(std::string(line, record::FormatRecord(r, line, sizeof line)));
  EXPECT_EQ(with_run["run"], "00ff00ff00ff00ff00ff00ff00ff00ff");
  EXPECT_EQ(with_run["format"], 2);
}

std::string Contents(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The station takes a record file over by renaming it while it holds the file's exclusive
// lock; a tool that opened the file before writes its record under the name, into the new file.
TEST(RecordFile, WaitsForTheStationAndFollowsTheNameWhenTakenOver) {
  char dir[] = "/tmp/bm77-record-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/runs.jsonl", taken = file + ".importing";
  const int station = open(file.c_str(), O_RDWR | O_CREAT, 0644);
  ASSERT_GE(station, 0);
  ASSERT_EQ(flock(station, LOCK_EX), 0);
  const pid_t tool = fork();
  if (tool == 0) {
    setenv("BM77_RECORD", file.c_str(), 1);
    char name[] = "bm77_ident";
    char* argv[] = {name, nullptr};
    constexpr record::Outcome kOutcomes[] = {{0, "ok"}};
    record::Start(name, 1, argv);
    _exit(record::Finish(0, kOutcomes));
  }
  usleep(200000);  // the tool has opened the file and waits for its lock
  ASSERT_EQ(rename(file.c_str(), taken.c_str()), 0);
  ASSERT_EQ(flock(station, LOCK_UN), 0);
  int status = -1;
  ASSERT_EQ(waitpid(tool, &status, 0), tool);
  close(station);
  EXPECT_EQ(Contents(taken), "");
  const std::string written = Contents(file);
  ASSERT_FALSE(written.empty());
  EXPECT_EQ(json::parse(written)["tool"], "bm77_ident");
  std::system(("rm -rf " + std::string(dir)).c_str());
}

// Tools run side by side: each record whole on a line of its own, and no empty line between.
// Records of 2 KB cross the file's pages, where another tool's look at the last byte could see
// a record in the middle of its write.
TEST(RecordFile, ToolsSideBySideLeaveWholeLinesOnly) {
  char dir[] = "/tmp/bm77-record-XXXXXX";
  ASSERT_NE(mkdtemp(dir), nullptr);
  const std::string file = std::string(dir) + "/runs.jsonl";
  constexpr int kRecords = 800, kAtOnce = 8;
  std::string arg(250, 'a');
  char name[] = "bm77_tableupdate";
  char* argv[] = {name, &arg[0], &arg[0], &arg[0], &arg[0], &arg[0], &arg[0], &arg[0], &arg[0],
                  nullptr};
  int running = 0;
  for (int i = 0; i < kRecords; ++i) {
    if (running == kAtOnce && wait(nullptr) > 0) --running;
    const pid_t tool = fork();
    ASSERT_GE(tool, 0);
    if (tool == 0) {
      setenv("BM77_RECORD", file.c_str(), 1);
      constexpr record::Outcome kOutcomes[] = {{0, "ok"}};
      record::Start(name, 9, argv);
      _exit(record::Finish(0, kOutcomes));
    }
    ++running;
  }
  while (wait(nullptr) > 0) {
  }
  std::istringstream lines(Contents(file));
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    ASSERT_FALSE(line.empty()) << "line " << count + 1;
    EXPECT_EQ(json::parse(line)["args"].size(), 8u);
  }
  EXPECT_EQ(count, kRecords);
  std::system(("rm -rf " + std::string(dir)).c_str());
}

TEST(RecordCrc32, CheckValue) {
  const std::string text = "123456789";
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  EXPECT_EQ(record::Crc32(0, bytes, text.size()), 0xCBF43926u);
  EXPECT_EQ(record::Crc32(record::Crc32(0, bytes, 4), bytes + 4, 5), 0xCBF43926u);
}

}  // namespace
