// bm77_station end to end, the same tests on SQLite and on a throwaway PostgreSQL server.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <regex>
#include <set>

#include "ledger.h"
#include "run_record.h"
#include "record_format.h"
#include "sha256.h"
#include "station_support.h"

namespace {

using nlohmann::json;
using station_test::Output;

// One run record; `change` edits it before it is written out.
std::string Record(const std::string& tool, int status, const json& before, const json& after,
                   const std::string& start, const json& failures = json::array(), const json& args = json::array()) {
  json r = {{"format", 1}, {"tool", tool}, {"version", "1.4.0"}, {"args", args}, {"start", start},
            {"seconds", 1.25}, {"status", status}, {"outcome", status == 0 ? "ok" : "failed"},
            {"identity", {{"before", {{"mac", before}, {"name", nullptr}, {"vcom", nullptr}}},
                          {"after", {{"mac", after}, {"name", after.is_null() ? json() : json("Tavrine-X")},
                                     {"vcom", after.is_null() ? json() : json(180)}}}}},
            {"failures", failures}};
  return r.dump();
}

// `record` as a tool writes it with a run id: format 2 and the id `n` as 32 hex digits;
// `change` edits it before it is written out.
std::string WithRun(const std::string& record, unsigned n, const json& change = json::object()) {
  char run[33];
  std::snprintf(run, sizeof run, "%032x", n);
  json r = json::parse(record);
  r["format"] = 2;
  r["run"] = run;
  r.merge_patch(change);
  return r.dump();
}

class Ledger : public station_test::StoreTest {
 protected:
  Output Run(const std::vector<std::string>& args) { return station_test::Station(db_, args, dir_ + "/run"); }
  // Another store on the same server (or in the same folder), for the tests that need two.
  std::string OtherStore(const std::string& name) {
    return GetParam() == "sqlite" ? dir_ + "/" + name + ".db" : Server()->NewDatabase();
  }
  // What the store holds, seen by the test itself.
  static std::vector<std::string> TablesOf(const std::string& db) {
    return station::OpenStore(db, station::Access::kRead)->Tables();
  }
  std::string Write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
    return dir_ + "/" + name;
  }
  std::vector<std::string> MacsHandedOut(int count) {
    std::vector<std::string> macs;
    for (int i = 0; i < count; ++i) macs.push_back(Run({"next-mac"}).out);
    return macs;
  }
};

TEST_P(Ledger, BlocksAreCheckedAndHandedOutLowestFirst) {
  const Output none = Run({"next-mac"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "Ledger exhausted: it has no blocks (block add registers one)\n");
  EXPECT_EQ(Run({"block", "add", "00:1A:2B:00:10:00", "00:1A:2B:00:10:01"}).status, 0);
  EXPECT_EQ(Run({"block", "add", "00:1a:2b:00:00:fe", "00:1A:2B:00:01:00"}).out,
            "Block 00:1A:2B:00:00:FE to 00:1A:2B:00:01:00 added: 3 MACs\n");
  const struct { std::vector<std::string> args; int status; const char* says; } kRefused[] = {
      {{"block", "add", "00:1A:2B:00:00:F0", "00:1A:2B:00:00:FE"}, 1, "overlaps the block 00:1A:2B:00:00:FE to"},
      {{"block", "add", "00:1A:2B:00:01:00", "00:1A:2B:00:02:00"}, 1, "overlaps"},
      {{"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:FF:00"}, 1, "overlaps"},
      {{"block", "add", "00:1A:2B:00:10:01", "00:1A:2B:00:10:01"}, 1, "overlaps the block 00:1A:2B:00:10:00"},
      {{"block", "add", "00:1A:2B:00:20:01", "00:1A:2B:00:20:00"}, 1, "00:1A:2B:00:20:01 is above"},
      {{"block", "add", "00:11:67:4F:FF:FF", "00:11:67:50:00:01"}, 1, "holds 00:11:67:50:00:00"},
      {{"block", "add", "FF:FF:FF:FF:FF:FF", "FF:FF:FF:FF:FF:FF"}, 1, "holds FF:FF:FF:FF:FF:FF"},
      {{"block", "add", "01:00:5E:00:00:01", "01:00:5E:00:00:01"}, 1, "holds 01:00:5E:00:00:01, a group (multicast)"},
      {{"block", "add", "00:FF:FF:FF:FF:F0", "01:00:00:00:00:00"}, 1, "holds 01:00:00:00:00:00, a group"},
      {{"block", "add", "02:FF:FF:FF:FF:FF", "03:00:00:00:00:05"}, 1, "holds 03:00:00:00:00:00, a group"},
      {{"block", "add", "00-1A-2B-00-30-00", "00:1A:2B:00:30:01"}, 2, "Not a MAC: 00-1A-2B-00-30-00"},
      {{"block", "add", "00:1A:2B:00:30:00", "00:1A:2B:00:30:0G"}, 2, "Not a MAC"},
      {{"block", "add", "00:1A:2B:00:30:00"}, 2, "usage"},
      {{"next-mac", "now"}, 2, "usage"},
      {{"import"}, 2, "usage"},
      {{"runs"}, 2, "usage"},
  };
  for (const auto& c : kRefused) {
    const Output o = Run(c.args);
    EXPECT_EQ(o.status, c.status) << testing::PrintToString(c.args);
    EXPECT_NE(o.err.find(c.says), std::string::npos) << o.err;
    EXPECT_EQ(o.out, "");
  }
  EXPECT_EQ(MacsHandedOut(5), (std::vector<std::string>{"00:1A:2B:00:00:FE\n", "00:1A:2B:00:00:FF\n",
                                                        "00:1A:2B:00:01:00\n", "00:1A:2B:00:10:00\n",
                                                        "00:1A:2B:00:10:01\n"}));
  const Output exhausted = Run({"next-mac"});
  EXPECT_EQ(exhausted.status, 1);
  EXPECT_EQ(exhausted.err, "Ledger exhausted: every MAC of its blocks is taken\n");
  EXPECT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:00"}).status, 0);
  EXPECT_EQ(Run({"next-mac"}).out, "00:1A:2B:00:00:00\n");
}

TEST_P(Ledger, EightProcessesAtOnceGetTheLowestMacsEachOnce) {
  constexpr int kProcesses = 8, kEach = 200;
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:01:00:00", "00:1A:2B:01:03:FF"}).status, 0);  // 1,024
  if (GetParam() == "postgresql") {
    // A database whose default is repeatable read: the writers keep to read committed.
    const auto store = station::OpenStore(db_, station::Access::kWrite);
    const std::string name = store->Query("SELECT current_database()").at(0).at(0).value();
    store->Query("ALTER DATABASE " + name + " SET default_transaction_isolation = 'repeatable read'");
  }
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:01:FF"}).status, 0);  // 512, lower
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:02:00:00", "00:1A:2B:02:FF:FF"}).status, 0);
  std::vector<pid_t> children;
  for (int p = 0; p < kProcesses; ++p) {
    const pid_t pid = fork();
    if (pid == 0) {
      // Under the sanitizers the leak check at each exit would double the test's time; the
      // other tests run the same program with it.
      setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
      std::ofstream macs(dir_ + "/macs" + std::to_string(p));
      for (int i = 0; i < kEach; ++i) {
        const Output o = station_test::Station(db_, {"next-mac"}, dir_ + "/p" + std::to_string(p));
        macs << (o.status == 0 ? o.out : "status " + std::to_string(o.status) + o.err + "\n");
      }
      macs.close();
      _exit(0);
    }
    children.push_back(pid);
  }
  for (pid_t pid : children) station_test::Wait(pid);
  std::set<std::string> all, lowest;
  for (int p = 0; p < kProcesses; ++p) {
    std::istringstream lines(station_test::ReadFile(dir_ + "/macs" + std::to_string(p)));
    for (std::string line; std::getline(lines, line);) EXPECT_TRUE(all.insert(line).second) << line;
  }
  for (int i = 0; i < 512; ++i) lowest.insert(station::MacText(0x001A2B000000 + i));
  for (int i = 0; i < 1024; ++i) lowest.insert(station::MacText(0x001A2B010000 + i));
  for (int i = 0; i < kProcesses * kEach - 1536; ++i) lowest.insert(station::MacText(0x001A2B020000 + i));
  std::vector<std::string> extra, missing;
  std::set_difference(all.begin(), all.end(), lowest.begin(), lowest.end(), std::back_inserter(extra));
  std::set_difference(lowest.begin(), lowest.end(), all.begin(), all.end(), std::back_inserter(missing));
  EXPECT_EQ(extra, std::vector<std::string>{});
  EXPECT_EQ(missing, std::vector<std::string>{});
}

TEST_P(Ledger, KilledProcessesNeverHandOutAPrintedMacAgain) {
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:FF:FF"}).status, 0);
  std::mt19937 random(7);
  std::multiset<std::string> printed;
  const std::regex mac("([0-9A-F]{2}:){5}[0-9A-F]{2}\n");
  // Kills land anywhere from before the store is opened to after the MAC is printed.
  for (int i = 0; i < 60; ++i) {
    const std::string out = dir_ + "/killed" + std::to_string(i);
    const pid_t pid = station_test::Spawn({BM77_STATION, "--db", db_, "next-mac"}, out, out + ".err");
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
    kill(pid, SIGKILL);
    station_test::Wait(pid);
    const std::string text = station_test::ReadFile(out);
    if (std::regex_match(text, mac)) printed.insert(text);
  }
  for (const std::string& text : MacsHandedOut(20)) printed.insert(text);
  for (const std::string& text : printed) EXPECT_EQ(printed.count(text), 1u) << text;
  EXPECT_GE(printed.size(), 20u);
}

TEST_P(Ledger, ImportStoresEachRunOnceSkipsWhatIsNoRecordAndTakesItsMacs) {
  // The first block holds only MACs the records name: next-mac goes on to the second.
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:02"}).status, 0);
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:10", "00:1A:2B:00:00:17"}).status, 0);
  const std::string provision = Record("bm77_provision", 0, nullptr, "00:1A:2B:00:00:00", "2026-12-07T21:33:00.123Z");
  const auto starting = [&](const char* start) { return Record("Noisewell", 0, nullptr, nullptr, start); };
  // A record as long as a line may be (4,095 bytes and its line feed), and one byte longer.
  std::string longest = starting("2026-12-07T21:30:00.000Z");
  longest.resize(record::kRecordSize - 1, ' ');
  const std::string a_text = provision + "\n\n" +
      Record("bm77_ident", 2, "00:1A:2B:00:00:01", nullptr, "2026-12-07T21:34:00.000Z",
             {{{"step", "read-mac"}, {"kind", "silent"}}}) + "\n{\"format\":1}\nnot json\n" +
      longest + "\n" + longest + " \n" + starting("2026-13-45T99:99:99.000Z") + "\n" +
      starting("2026-02-29T12:00:00.000Z") + "\n" + WithRun(starting("2026-12-07T21:31:00.000Z"), 1);
  const std::string a = Write("a.jsonl", a_text);
  // The same provisioning record with its keys in another order and other spacing.
  const json parsed = json::parse(provision);
  nlohmann::ordered_json reversed;
  for (auto it = parsed.rbegin(); it != parsed.rend(); ++it) reversed[it.key()] = it.value();
  std::string spread = reversed.dump(1);
  std::replace(spread.begin(), spread.end(), '\n', ' ');
  const std::string b_text = spread + "\n" +
      Record("bm77_provision", 3, nullptr, nullptr, "2026-12-07T21:35:00.000Z", json::array(),
             {"00:1A:2B:00:00:02", "180"}) + "\n" +
      Record("bm77_ident", 0, "00:1A:2B:00:00:11", "00:1A:2B:00:00:12", "2026-12-07T21:36:00.000Z", json::array(),
             {"00:1A:2B:00:00:14"}) + "\n";
  const std::string b = Write("b.jsonl", b_text);
  const std::string fifo = dir_ + "/fifo.jsonl";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
  const Output first = Run({"import", a, b, dir_ + "/missing", dir_, fifo});
  EXPECT_EQ(first.status, 1);
  EXPECT_EQ(first.out, "Imported 6 records (1 already in the ledger, 5 lines skipped)\n");
  for (const std::string& says : {a + ":4: skipped: tool is missing\n", a + ":5: skipped: not JSON",
                                  a + ":7: skipped: longer than a record can be (4096 bytes)\n",
                                  a + ":8: skipped: start 2026-13-45T99:99:99.000Z is no date and time of the calendar\n",
                                  a + ":9: skipped: start 2026-02-29T12:00:00.000Z is no date",
                                  a + ": kept as " + a + ".rejected.1, for the lines skipped\n",
                                  dir_ + "/missing: cannot be read: No such file or directory\n",
                                  dir_ + ": cannot be read: a folder, not a file of records\n",
                                  fifo + ": refused: not a regular file (a FIFO or a device)\n"}) {
    EXPECT_NE(first.err.find(says), std::string::npos) << says << "\n" << first.err;
  }
  // Taken over: gone once stored, kept aside with its skipped lines.
  EXPECT_NE(access(a.c_str(), F_OK), 0);
  EXPECT_NE(access(b.c_str(), F_OK), 0);
  EXPECT_NE(access((b + ".rejected.1").c_str(), F_OK), 0);
  EXPECT_EQ(station_test::ReadFile(a + ".rejected.1"), a_text);
  Write("b.jsonl", b_text);
  const Output again = Run({"import", b});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(again.out, "Imported 0 records (3 already in the ledger, 0 lines skipped)\n");
  // The identity MACs and the ones typed as arguments are never handed out.
  EXPECT_EQ(MacsHandedOut(4), (std::vector<std::string>{"00:1A:2B:00:00:10\n", "00:1A:2B:00:00:13\n",
                                                        "00:1A:2B:00:00:15\n", "00:1A:2B:00:00:16\n"}));
}

// More records than one statement of either store binds: every one stored once with its
// failures, and the run of MACs they name skipped by the next next-mac at once.
TEST_P(Ledger, ALargeImportIsStoredWholeAndItsMacsSkipped) {
  constexpr int kRecords = 6000;
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:FF:FF"}).status, 0);
  std::string lines;
  const json refused = {{{"step", "write-vcom"}, {"kind", "refused"}}};
  for (int i = 0; i < kRecords; ++i) {
    lines += Record("bm77_provision", i % 7 == 0 ? 3 : 0, nullptr, station::MacText(0x001A2B000000 + i),
                    "2026-12-07T21:30:00.000Z", i % 7 == 0 ? refused : json::array()) + "\n";
  }
  EXPECT_EQ(Run({"import", Write("large.jsonl", lines)}).out,
            "Imported 6000 records (0 already in the ledger, 0 lines skipped)\n");
  EXPECT_EQ(Run({"import", Write("large.jsonl", lines)}).out,
            "Imported 0 records (6000 already in the ledger, 0 lines skipped)\n");
  EXPECT_EQ(Run({"next-mac"}).out, "00:1A:2B:00:17:70\n");  // the 6,001st
  const std::string report = Run({"report"}).out;
  EXPECT_EQ(report.find("Runs: 6000 (0 without a unit)\n"), 0u) << report;
  EXPECT_NE(report.find("  bm77_provision      6000     858\n"), std::string::npos) << report;
  EXPECT_NE(report.find("  write-vcom        refused                    858\n"), std::string::npos) << report;
}

TEST_P(Ledger, RunIdsKeepTwinRunsApartAndAnUnfinishedImportIsTakenUpOnce) {
  const std::string twin = Record("bm77_ident", 0, "00:1A:2B:00:00:01", "00:1A:2B:00:00:01", "1970-01-01T00:00:03.000Z");
  // Two runs of a device whose clock was not set wrote the same bytes but for their run ids;
  // the second id comes again with other spacing. Without run ids, the twins are one record.
  std::string spaced = json::parse(WithRun(twin, 2)).dump(2);
  std::replace(spaced.begin(), spaced.end(), '\n', ' ');
  const std::string c = Write("c.jsonl", WithRun(twin, 1) + "\n" + WithRun(twin, 2) + "\n" + spaced + "\n" + twin +
                                             "\n" + twin + "\n");
  EXPECT_EQ(Run({"import", c}).out, "Imported 3 records (2 already in the ledger, 0 lines skipped)\n");
  // What an import killed after storing its first batch leaves: the taken file, and a new one
  // the tools made meanwhile. Both are read, nothing is stored twice, both go.
  const std::string d = dir_ + "/d.jsonl";
  Write("d.jsonl.importing", WithRun(twin, 1) + "\n" + WithRun(twin, 3) + "\n");
  Write("d.jsonl", WithRun(twin, 4) + "\n");
  const Output taken = Run({"import", d});
  EXPECT_EQ(taken.status, 0);
  EXPECT_EQ(taken.out, "Imported 2 records (1 already in the ledger, 0 lines skipped)\n");
  EXPECT_EQ(taken.err, d + ".importing: left by an import that did not finish: taken up first\n");
  EXPECT_NE(access(d.c_str(), F_OK), 0);
  EXPECT_NE(access((d + ".importing").c_str(), F_OK), 0);
  const std::string runs = Run({"runs", "00:1A:2B:00:00:01"}).out;
  EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 1 + 5) << runs;
}

// A tool appends a record every few milliseconds while imports run one after another: every
// record is stored, once.
TEST_P(Ledger, ImportWhileAToolAppendsLosesNothing) {
  constexpr unsigned kBefore = 3000, kAppended = 1500;
  const std::string file = dir_ + "/runs.jsonl";
  const auto line = [](unsigned n) {
    return WithRun(Record("bm77_ident", 0, nullptr, nullptr, "2026-12-07T21:30:00.000Z"), n) + "\n";
  };
  std::string before;
  for (unsigned n = 0; n < kBefore; ++n) before += line(n);
  Write("runs.jsonl", before);
  const pid_t tool = fork();
  if (tool == 0) {
    // The tools' own record writer, one record a run, each with a run id of its own.
    setenv("BM77_RECORD", file.c_str(), 1);
    char name[] = "bm77_ident";
    char* argv[] = {name, nullptr};
    constexpr record::Outcome kOutcomes[] = {{0, "ok"}};
    for (unsigned n = 0; n < kAppended; ++n) {
      record::Start(name, 1, argv);
      record::Finish(0, kOutcomes);
      usleep(2000);
    }
    _exit(0);
  }
  int imports = 0;
  while (waitpid(tool, nullptr, WNOHANG) == 0) {
    const Output o = Run({"import", file});
    EXPECT_TRUE(o.status == 0 || o.err.find("No such file") != std::string::npos) << o.err;
    ++imports;
  }
  Run({"import", file});
  EXPECT_GE(imports, 2);
  const std::string all = std::to_string(kBefore + kAppended);
  const std::string report = Run({"report"}).out;
  EXPECT_EQ(report.rfind("Runs: " + all + " (" + all + " without a unit)\n", 0), 0u) << report;
}

TEST_P(Ledger, ImportWaitsForAToolInTheMiddleOfItsWrite) {
  const std::string file = Write("runs.jsonl", WithRun(Record("Noisewell", 0, nullptr, nullptr,
                                                              "2026-12-07T21:30:00.000Z"), 1) + "\n");
  // A tool that opened the file and holds its lock, its record not yet written.
  const int tool = open(file.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
  ASSERT_EQ(flock(tool, LOCK_EX), 0);
  const pid_t import = station_test::Spawn({BM77_STATION, "--db", db_, "import", file},
                                          dir_ + "/import.out", dir_ + "/import.err");
  usleep(800000);  // longer than an import would give a late writer on a file system without locks
  const std::string late = WithRun(Record("Noisewell", 0, nullptr, nullptr, "2026-12-07T21:31:00.000Z"), 2) + "\n";
  ASSERT_EQ(write(tool, late.data(), late.size()), static_cast<ssize_t>(late.size()));
  close(tool);
  EXPECT_EQ(station_test::Wait(import), 0) << station_test::ReadFile(dir_ + "/import.err");
  EXPECT_EQ(station_test::ReadFile(dir_ + "/import.out"), "Imported 2 records (0 already in the ledger, 0 lines skipped)\n");
  EXPECT_NE(access((file + ".importing").c_str(), F_OK), 0);  // read whole, so gone
}

TEST_P(Ledger, UnitsRunsAndReportTellWhatTheRecordsSay) {
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:07"}).status, 0);
  ASSERT_EQ(Run({"next-mac"}).out, "00:1A:2B:00:00:00\n");
  const json mac = "00:1A:2B:00:00:00", typed = "00:1A:2B:00:00:09";
  const json silent = {{{"step", "read-mac"}, {"kind", "silent"}}, {{"step", "write-vcom"}, {"kind", "refused"}}};
  ASSERT_EQ(Run({"next-mac"}).out, "00:1A:2B:00:00:01\n");  // never provisioned
  json random = json::parse(Record("bm77_ident", 0, "FF:FF:FF:FF:FF:FF", "54:16:D2:00:DA:07", "2026-12-07T21:38:00.000Z"));
  random["sources"] = {{"mac", "random"}, {"vcom", "file"}};
  const std::string file = Write("r.jsonl",
      Record("bm77_provision", 0, nullptr, mac, "2026-12-07T21:30:00.000Z") + "\n" +
      Record("bm77_provision", 0, mac, mac, "2026-12-07T21:36:00.000Z") + "\n" +
      Record("bm77_ident", 2, mac, nullptr, "2026-12-07T21:33:00.000Z", silent) + "\n" +
      Record("Noisewell", 229, nullptr, nullptr, "2026-12-07T21:34:00.000Z") + "\n" +
      Record("bmpview", 1, nullptr, nullptr, "2026-12-07T21:34:30.000Z") + "\n" +  // shown
      Record("bm77_provision", 0, nullptr, typed, "2026-12-07T21:35:00.000Z") + "\n" +
      Record("bm77_provision", 0, nullptr, "00:1A:2B:00:00:05", "2026-12-07T21:37:00.000Z") + "\n" +
      random.dump() + "\n" +
      // A fresh module's default MAC names no unit: every unprovisioned module has it.
      Record("bm77_fwupdate", 0, "00:11:67:50:00:00", nullptr, "2026-12-07T21:39:00.000Z") + "\n");
  ASSERT_EQ(Run({"import", file}).status, 0);
  EXPECT_EQ(Run({"units"}).out,
            "MAC                RUNS  LAST RUN                  TOOL              STATUS  OUTCOME     NAME          VCOM\n"
            "00:1A:2B:00:00:00     3  2026-12-07T21:36:00.000Z  bm77_provision         0  ok          Tavrine-X     180\n"
            "00:1A:2B:00:00:05     1  2026-12-07T21:37:00.000Z  bm77_provision         0  ok          Tavrine-X     180\n"
            "00:1A:2B:00:00:09     1  2026-12-07T21:35:00.000Z  bm77_provision         0  ok          Tavrine-X     180\n"
            "54:16:D2:00:DA:07     1  2026-12-07T21:38:00.000Z  bm77_ident             0  ok          Tavrine-X     180\n");
  EXPECT_EQ(Run({"runs", "00:1A:2B:00:00:00"}).out,
            "START                     TOOL              STATUS  OUTCOME      SECONDS  MAC BEFORE         MAC AFTER          FAILURES\n"
            "2026-12-07T21:30:00.000Z  bm77_provision         0  ok             1.250  -                  00:1A:2B:00:00:00  -\n"
            "2026-12-07T21:33:00.000Z  bm77_ident             2  failed         1.250  00:1A:2B:00:00:00  -                  read-mac/silent,write-vcom/refused\n"
            "2026-12-07T21:36:00.000Z  bm77_provision         0  ok             1.250  00:1A:2B:00:00:00  00:1A:2B:00:00:00  -\n");
  const Output none = Run({"runs", "00:1A:2B:00:00:01"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(none.err, "No runs of 00:1A:2B:00:00:01 in the ledger\n");
  EXPECT_EQ(Run({"report"}).out,
            "Runs: 9 (3 without a unit)\n"
            "Per tool:             runs  failed\n"
            "  Noisewell              1       1\n"
            "  bm77_fwupdate          1       0\n"
            "  bm77_ident             2       1\n"
            "  bm77_provision         4       0\n"
            "  bmpview                1       0\n"
            "Per failed step:                          failures\n"
            "  read-mac          silent                       1\n"
            "  write-vcom        refused                      1\n"
            "MACs handed out and never provisioned: 1\n"
            "  00:1A:2B:00:00:01\n"
            "MACs of a block in records, never handed out (typed by hand): 1\n"
            "  00:1A:2B:00:00:05\n"
            "MACs in records outside every block: 1\n"
            "  00:1A:2B:00:00:09\n"
            "MACs drawn at random by bm77_ident: 1\n"
            "  54:16:D2:00:DA:07\n"
            "MACs provisioned more than once: 1\n"
            "  00:1A:2B:00:00:00  2 times\n"
            "Device names that more than one unit carried: 1\n"
            "  Tavrine-X         4 units\n");
}

// The factory sequence of three boards, each with a MAC from the ledger, as the tools record
// it: one unit per board with all of its runs, and a report without a fault to show.
TEST_P(Ledger, AFactorySequenceIsOneUnitPerBoardWithAllItsRuns) {
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:0F"}).status, 0);
  std::string records;
  for (int board = 0; board < 3; ++board) {
    std::string mac = Run({"next-mac"}).out;
    mac.pop_back();
    const std::string name = "Tavrine-" + mac.substr(12, 2) + mac.substr(15, 2);
    unsigned minute = 10 * static_cast<unsigned>(board);
    for (const char* tool : {"bm77_provision", "bm77_fwupdate", "bm77_tableupdate", "bm77_ident"}) {
      char start[32];
      std::snprintf(start, sizeof start, "2026-12-07T21:%02u:00.000Z", minute % 60);
      const json before = std::string(tool) == "bm77_provision" ? json() : json(mac);
      json r = json::parse(WithRun(Record(tool, 0, before, mac, start), ++minute));
      r["identity"]["after"]["name"] = name;
      records += r.dump() + "\n";
    }
  }
  ASSERT_EQ(Run({"import", Write("line.jsonl", records)}).out, "Imported 12 records (0 already in the ledger, 0 lines skipped)\n");
  const std::string units = Run({"units"}).out;
  EXPECT_EQ(std::count(units.begin(), units.end(), '\n'), 1 + 3) << units;
  for (const char* mac : {"00:1A:2B:00:00:00", "00:1A:2B:00:00:01", "00:1A:2B:00:00:02"}) {
    EXPECT_NE(units.find(std::string(mac) + "     4  "), std::string::npos) << units;
    const std::string runs = Run({"runs", mac}).out;
    EXPECT_EQ(std::count(runs.begin(), runs.end(), '\n'), 1 + 4) << runs;
  }
  const std::string report = Run({"report"}).out;
  EXPECT_EQ(report.substr(report.find("MACs handed")),
            "MACs handed out and never provisioned: 0\n"
            "MACs of a block in records, never handed out (typed by hand): 0\n"
            "MACs in records outside every block: 0\n"
            "MACs drawn at random by bm77_ident: 0\n"
            "MACs provisioned more than once: 0\n"
            "Device names that more than one unit carried: 0\n");
}

// A failure step or a name from a record prints with its control characters escaped: it can
// never forge a line, and a NUL does not cut it.
TEST_P(Ledger, ListingsEscapeControlCharacters) {
  json r = json::parse(Record("bm77_ident", 2, "00:1A:2B:00:00:01", "00:1A:2B:00:00:01", "2026-12-07T21:30:00.000Z",
                              {{{"step", "read\nMAC 00:1A:2B:00:00:02"}, {"kind", "silent"}}}));
  r["identity"]["after"]["name"] = std::string("Tav\0rine\\x0A\x7F", 13);
  ASSERT_EQ(Run({"import", Write("r.jsonl", r.dump() + "\n")}).status, 0);
  const std::string units = Run({"units"}).out, runs = Run({"runs", "00:1A:2B:00:00:01"}).out,
                    report = Run({"report"}).out;
  EXPECT_NE(units.find(" Tav\\x00rine\\\\x0A\\x7F "), std::string::npos) << units;
  EXPECT_NE(runs.find(" read\\x0AMAC 00:1A:2B:00:00:02/silent\n"), std::string::npos) << runs;
  EXPECT_NE(report.find("  read\\x0AMAC 00:1A:2B:00:00:02  silent"), std::string::npos) << report;
  for (const std::string& out : {units, runs, report}) EXPECT_EQ(out.find("\nMAC 00:1A:2B:00:00:02"), std::string::npos);
}

// 100,000 units listed: the program's memory stays what it is for one.
TEST_P(Ledger, ListingsHoldNoMoreThanAPage) {
  constexpr long kUnits = 100000;
  // Under the sanitizers freed memory is held back for a while: only live memory counts here.
  const char* asan = std::getenv("ASAN_OPTIONS");
  setenv("ASAN_OPTIONS", (std::string(asan != nullptr ? asan : "") + ":quarantine_size_mb=0").c_str(), 1);
  const auto units_rss_kib = [&] {
    const pid_t pid = station_test::Spawn({BM77_STATION, "--db", db_, "units"}, dir_ + "/units.out", dir_ + "/units.err");
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    EXPECT_EQ(status, 0) << station_test::ReadFile(dir_ + "/units.err");
    return usage.ru_maxrss;
  };
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:00"}).status, 0);  // the schema made
  const long few = units_rss_kib();
  // Stored by a child: a child's peak memory counts what it had before it started the program,
  // and this process's would then hold the store's cache.
  const pid_t filler = fork();
  if (filler == 0) {
    station::OpenStore(db_, station::Access::kWrite)->Query(
        "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " + std::to_string(kUnits) +
        ") INSERT INTO runs (digest, unit, tool, start_time, seconds, status, outcome, record) "
        "SELECT 'k' || i, i, 'bm77_ident', '2026-12-07T21:30:00.000Z', 1, 0, 'ok', '{}' FROM n");
    _exit(0);
  }
  ASSERT_EQ(station_test::Wait(filler), 0);
  const long many = units_rss_kib();
  const std::string out = station_test::ReadFile(dir_ + "/units.out");
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1 + kUnits);
  // Held whole, the rows would take some 40 MB; SQLite's page cache takes up to 13 MB here.
  EXPECT_LT(many - few, 24 * 1024) << few << " KiB for none, " << many << " KiB for " << kUnits;
}

TEST_P(Ledger, ReadersNeverMakeASchemaAndOtherProgramsDatabasesAreLeftAlone) {
  const std::string nothing_yet = GetParam() == "sqlite" ? "no ledger there (No such file or directory)\n"
                                                         : "holds no ledger yet (block add, next-mac or import makes one)\n";
  for (const auto& reader : {std::vector<std::string>{"units"}, {"runs", "00:1A:2B:00:00:00"}, {"report"}}) {
    const Output o = Run(reader);
    EXPECT_EQ(o.status, 3) << reader[0];
    EXPECT_NE(o.err.find(nothing_yet), std::string::npos) << o.err;
  }
  if (GetParam() == "sqlite") {
    EXPECT_NE(access(db_.c_str(), F_OK), 0);
    std::ofstream(db_).close();  // an empty file is an empty database
    EXPECT_NE(Run({"units"}).err.find("holds no ledger yet"), std::string::npos);
  }
  EXPECT_EQ(TablesOf(db_), std::vector<std::string>{});
  ASSERT_EQ(Run({"next-mac"}).status, 1);  // a writer makes the schema
  ASSERT_EQ(Run({"units"}).status, 0);
  // What a reader opens (the web page's way in too) cannot write, whatever it is asked.
  EXPECT_THROW(station::OpenLedger(db_, station::Access::kRead)->Query("CREATE TABLE notes (text TEXT)"),
               station::StoreError);
  const std::unique_ptr<station::Store> store = station::OpenStore(db_, station::Access::kWrite);
  EXPECT_EQ(store->Query("SELECT value FROM meta WHERE key = 'schema_version'", {}),
            station::Rows{{std::string("1")}});
  store->Query("UPDATE meta SET value = '2'", {});
  const Output refused = Run({"next-mac"});
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err, "Ledger store failed: the ledger's schema version is 2, this program knows version 1\n");

  // Another program's database, and one whose table meta is not the ledger's: every command
  // says so, and nothing of it changes.
  const struct { const char* schema; const char* says; } kOthers[] = {
      {"CREATE TABLE parts (id INTEGER, name TEXT)", "is not a ledger: it holds tables of another program"},
      {"CREATE TABLE meta (name TEXT, setting TEXT)", "is not a ledger: its table meta is another program's"},
      {"CREATE TABLE meta (key TEXT, value TEXT)", "is not a ledger: its table meta is another program's"},
  };
  int n = 0;
  for (const auto& other : kOthers) {
    const std::string db = OtherStore("other" + std::to_string(n++));
    station::OpenStore(db, station::Access::kWrite)->Query(other.schema);
    const std::vector<std::string> before = TablesOf(db);
    for (const auto& command : {std::vector<std::string>{"next-mac"}, {"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:01"},
                                {"import", Write("none.jsonl", "")}, {"units"}, {"report"}}) {
      const Output o = station_test::Station(db, command, dir_ + "/other");
      EXPECT_EQ(o.status, 3) << other.schema << " " << command[0];
      EXPECT_NE(o.err.find(other.says), std::string::npos) << o.err;
    }
    EXPECT_EQ(TablesOf(db), before) << other.schema;
    if (GetParam() == "sqlite") {
      EXPECT_EQ(station::OpenStore(db, station::Access::kRead)->Query("PRAGMA journal_mode").at(0).at(0), "delete");
    }
  }
}

TEST_P(Ledger, EightStationsAtOnceOnAFreshStoreAllSucceed) {
  constexpr int kStations = 8;
  const int rounds = GetParam() == "sqlite" ? 25 : 4;
  for (int round = 0; round < rounds; ++round) {
    const std::string db = OtherStore("fresh" + std::to_string(round));
    std::vector<pid_t> stations;
    for (int s = 0; s < kStations; ++s) {
      const std::string first = station::MacText(0x001A2B000000 + 0x100 * s);
      const std::string last = station::MacText(0x001A2B000000 + 0x100 * s + 0xFF);
      stations.push_back(station_test::Spawn({BM77_STATION, "--db", db, "block", "add", first, last},
                                             dir_ + "/s" + std::to_string(s) + ".out",
                                             dir_ + "/s" + std::to_string(s) + ".err"));
    }
    for (std::size_t s = 0; s < stations.size(); ++s) {
      EXPECT_EQ(station_test::Wait(stations[s]), 0)
          << "round " << round << ": " << station_test::ReadFile(dir_ + "/s" + std::to_string(s) + ".err");
    }
    EXPECT_EQ(station_test::Station(db, {"next-mac"}, dir_ + "/first").out, "00:1A:2B:00:00:00\n");
  }
}

TEST_P(Ledger, AMacThatCouldNotBePrintedIsSaidAndNeverHandedOutAgain) {
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:07"}).status, 0);
  const pid_t pid = station_test::Spawn({BM77_STATION, "--db", db_, "next-mac"}, "/dev/full", dir_ + "/full.err");
  EXPECT_EQ(station_test::Wait(pid), 3);
  EXPECT_EQ(station_test::ReadFile(dir_ + "/full.err"),
            "Standard output could not be written: No space left on device\n");
  EXPECT_EQ(Run({"next-mac"}).out, "00:1A:2B:00:00:01\n");
}

INSTANTIATE_TEST_SUITE_P(Stores, Ledger, testing::Values("sqlite", "postgresql"),
                         [](const testing::TestParamInfo<std::string>& store) { return store.param; });

// What only one of the stores has: SQLite's file and log, PostgreSQL's connections and limits.
using SqliteLedger = Ledger;
using SharedLedger = Ledger;

TEST_P(SqliteLedger, ErrorsNameTheFileAndWritersNeedTheLog) {
  const Output missing = station_test::Station(dir_ + "/no/such/folder.db", {"next-mac"}, dir_ + "/run");
  EXPECT_EQ(missing.status, 3);
  EXPECT_EQ(missing.err.find("Ledger store failed: " + dir_ + "/no/such/folder.db: "), 0u) << missing.err;
  // A folder the station may not write in: the log cannot be made, and the writer says so;
  // a reader of a ledger there works, and leaves the folder as it was.
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:07"}).status, 0);
  const std::string plain = dir_ + "/plain.db";
  station::OpenStore(plain, station::Access::kWrite)->Query("PRAGMA journal_mode=DELETE");
  ASSERT_EQ(chown(plain.c_str(), getpwnam("nobody")->pw_uid, 0), 0);
  ASSERT_EQ(chmod(dir_.c_str(), 0755), 0);
  const std::string program = dir_ + "/bm77_station";
  ASSERT_EQ(std::system(("cp '" BM77_STATION "' '" + program + "'").c_str()), 0);
  const Output no_log = station_test::Station(plain, {"next-mac"}, "/tmp/bm77-station-nobody", "nobody", program);
  EXPECT_EQ(no_log.status, 3);
  EXPECT_EQ(no_log.err.find("Ledger store failed: " + plain + ": the write-ahead log could not be switched on"), 0u)
      << no_log.err;
  const Output report = station_test::Station(db_, {"report"}, "/tmp/bm77-station-nobody", "nobody", program);
  EXPECT_EQ(report.status, 0) << report.err;
  EXPECT_EQ(report.out.find("Runs: 0 (0 without a unit)\n"), 0u) << report.out;
  std::system("rm -f /tmp/bm77-station-nobody.out /tmp/bm77-station-nobody.err");
}

INSTANTIATE_TEST_SUITE_P(Stores, SqliteLedger, testing::Values("sqlite"),
                         [](const testing::TestParamInfo<std::string>& store) { return store.param; });

TEST_P(SharedLedger, ConnectionsInAnyFormReachTheSameLedger) {
  const std::string uri = db_.substr(std::string("postgresql").size());
  const std::string name = station::OpenStore(db_, station::Access::kWrite)->Query("SELECT current_database()")[0][0].value();
  ASSERT_EQ(station_test::Station("PostgreSQL" + uri, {"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:07"},
                                  dir_ + "/run").status, 0);
  EXPECT_EQ(station_test::Station("POSTGRES" + uri, {"next-mac"}, dir_ + "/run").out, "00:1A:2B:00:00:00\n");
  const std::string keywords = "host=" + Server()->SocketDir() + " port=" + std::to_string(Server()->Port()) +
                               " user=postgres dbname=" + name;
  EXPECT_EQ(station_test::Station(keywords, {"next-mac"}, dir_ + "/run").out, "00:1A:2B:00:00:01\n");
  // A keyword string with a typing error reaches no file: libpq names the error.
  const Output typo = station_test::Station("host=" + Server()->SocketDir() + " dbnme=" + name, {"next-mac"}, dir_ + "/run");
  EXPECT_EQ(typo.status, 3);
  EXPECT_NE(typo.err.find("dbnme"), std::string::npos) << typo.err;
}

TEST_P(SharedLedger, AHeldLockEndsNextMacWithinTenSeconds) {
  ASSERT_EQ(Run({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:07"}).status, 0);
  const auto store = station::OpenLedger(db_, station::Access::kWrite);
  store->BeginWrite();
  const auto start = std::chrono::steady_clock::now();
  const Output held = Run({"next-mac"});
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(held.status, 3);
  EXPECT_NE(held.err.find("another station held the ledger's lock longer than 5 s"), std::string::npos) << held.err;
  EXPECT_EQ(held.out, "");
  store->Rollback();
  EXPECT_EQ(Run({"next-mac"}).out, "00:1A:2B:00:00:00\n");
}

INSTANTIATE_TEST_SUITE_P(Stores, SharedLedger, testing::Values("postgresql"),
                         [](const testing::TestParamInfo<std::string>& store) { return store.param; });

// A server that takes the connection and never answers: the command ends, and says why.
TEST(SharedLedgerServer, ASilentServerEndsTheCommand) {
  const std::string dir = station_test::MakeTempDir();
  const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s/.s.PGSQL.5432", dir.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  const auto start = std::chrono::steady_clock::now();
  const Output silent = station_test::Station("host=" + dir + " port=5432 dbname=ledger", {"next-mac"}, dir + "/run");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(silent.status, 3);
  EXPECT_EQ(silent.err.find("Ledger store failed: cannot connect: "), 0u) << silent.err;
  EXPECT_NE(silent.err.find("timeout"), std::string::npos) << silent.err;
  close(listener);
  std::system(("rm -rf " + dir).c_str());
}

// Store names: which store each one names, and the ones that cannot hold a shared, lasting
// ledger, refused before anything is opened.
TEST(StoreName, PostgresInAnyFormSqliteAsAPlainPathAndNothingElse) {
  using station::StoreName;
  const struct { const char* where; StoreName::Kind kind; const char* name; } kNames[] = {
      {"postgresql://station@host/ledger", StoreName::kPostgres, "postgresql://station@host/ledger"},
      {"PostgreSQL://station@host/ledger", StoreName::kPostgres, "postgresql://station@host/ledger"},
      {"POSTGRES://host/Ledger", StoreName::kPostgres, "postgres://host/Ledger"},
      {"host=ledger-host dbname=ledger password=secret", StoreName::kPostgres, "host=ledger-host dbname=ledger password=secret"},
      {" dbname = ledger", StoreName::kPostgres, " dbname = ledger"},
      {"ledger.db", StoreName::kSqlite, "ledger.db"},
      {"/var/lib/station/ledger.db", StoreName::kSqlite, "/var/lib/station/ledger.db"},
      {"./a=b.db", StoreName::kSqlite, "./a=b.db"},
      {"", StoreName::kRefused, "the store name is empty (is the variable that should hold it set?)"},
      {":memory:", StoreName::kRefused, ":memory: is a throwaway database; give a file path or a PostgreSQL connection"},
      {"file:/x/n.db?vfs=unix-none", StoreName::kRefused, "SQLite URI names (file:...) are not taken; give the file's plain path"},
      {"FILE:ledger.db", StoreName::kRefused, "SQLite URI names (file:...) are not taken; give the file's plain path"},
      {"postgresq://host/ledger", StoreName::kRefused, "neither a PostgreSQL URI (postgresql://...) nor a plain file path"},
  };
  const std::string dir = station_test::MakeTempDir();
  for (const auto& c : kNames) {
    const StoreName name = station::ReadStoreName(c.where);
    EXPECT_EQ(name.kind, c.kind) << c.where;
    EXPECT_EQ(name.name, c.name) << c.where;
    if (c.kind != StoreName::kRefused) continue;
    const Output o = station_test::Station(c.where, {"import", dir + "/runs.jsonl"}, dir + "/run");
    EXPECT_EQ(o.status, 2) << c.where;
    EXPECT_EQ(o.err, std::string("Ledger store refused: ") + c.name + "\n");
  }
  EXPECT_EQ(access("file:ledger.db", F_OK), -1);
  std::system(("rm -rf " + dir).c_str());
}

// Every way a record can break its schema, judged by the import and by a JSON Schema
// validator over docs/run-record.schema.json: both must agree, and with the table.
TEST(RunRecord, ImportAcceptsExactlyWhatTheSchemaDescribes) {
  const json full = json::parse(R"({"format":2,"tool":"bm77_fwupdate","version":"1.4.0","run":"0123456789abcdef0123456789abcdef","args":["fw.bin","t.txt"],
    "start":"2026-12-07T21:33:00.123Z","seconds":4.217,"status":0,"outcome":"ok",
    "identity":{"before":{"mac":"00:1A:2B:3C:4D:5E","name":"Tavrine-4D5E","vcom":180},"after":{"mac":null,"name":null,"vcom":null}},
    "sources":{"mac":"module","vcom":"file"},
    "firmware":{"size":98304,"crc32":"0x1234ABCD","flash_id":"C22013","banks":[{"bytes":65536,"crc":"0xABCD"}],"seconds":2.5},
    "table":{"file":"t.txt","written":3,"held_back":1,"failed":0},"failures":[{"step":"read-mac","kind":"not-stored"}],
    "random":{"bytes":32},"picture":{"width":800,"height":-480},"truncated":["args"]})");
  const struct { json patch; bool valid; } kCases[] = {
      {json::array(), true},
      {{{{"op", "remove"}, {"path", "/firmware"}}, {{"op", "remove"}, {"path", "/sources"}}, {{"op", "remove"}, {"path", "/table"}},
        {{"op", "remove"}, {"path", "/random"}}, {{"op", "remove"}, {"path", "/picture"}}, {{"op", "remove"}, {"path", "/truncated"}}}, true},
      {{{{"op", "replace"}, {"path", "/status"}, {"value", 3}}, {{"op", "replace"}, {"path", "/outcome"}, {"value", "table-not-in"}}}, true},
      {{{{"op", "replace"}, {"path", "/identity/before/vcom"}, {"value", 180.0}}}, true},
      {{{{"op", "remove"}, {"path", "/firmware/flash_id"}}, {{"op", "remove"}, {"path", "/firmware/seconds"}}}, true},
      {{{{"op", "replace"}, {"path", "/format"}, {"value", 3}}}, false},
      {{{{"op", "replace"}, {"path", "/format"}, {"value", 1}}, {{"op", "remove"}, {"path", "/run"}}}, true},
      {{{{"op", "remove"}, {"path", "/run"}}}, true},  // no random bytes on the device
      {{{{"op", "replace"}, {"path", "/format"}, {"value", 1}}}, false},  // a run id came with format 2
      {{{{"op", "replace"}, {"path", "/run"}, {"value", "0123456789ABCDEF0123456789ABCDEF"}}}, false},
      {{{{"op", "replace"}, {"path", "/run"}, {"value", "0123456789abcdef"}}}, false},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2028-02-29T23:59:59.999Z"}}}, true},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2026-13-45T99:99:99.000Z"}}}, false},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2026-12-00T21:33:00.123Z"}}}, false},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2026-12-07T24:00:00.000Z"}}}, false},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2026-12-07T21:60:00.000Z"}}}, false},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2026-12-07T21:33:60.000Z"}}}, false},
      {{{{"op", "replace"}, {"path", "/tool"}, {"value", "rf_gate"}}}, false},
      {{{{"op", "remove"}, {"path", "/args"}}}, false},
      {{{{"op", "replace"}, {"path", "/args/0"}, {"value", 1}}}, false},
      {{{{"op", "replace"}, {"path", "/version"}, {"value", ""}}}, false},
      {{{{"op", "replace"}, {"path", "/start"}, {"value", "2026-12-07T21:33:00Z"}}}, false},
      {{{{"op", "replace"}, {"path", "/seconds"}, {"value", -1}}}, false},
      {{{{"op", "replace"}, {"path", "/status"}, {"value", 256}}}, false},
      {{{{"op", "replace"}, {"path", "/outcome"}, {"value", "done"}}}, false},
      {{{{"op", "replace"}, {"path", "/status"}, {"value", 2}}, {{"op", "replace"}, {"path", "/outcome"}, {"value", "Lost"}}}, false},
      {{{{"op", "replace"}, {"path", "/identity/before/mac"}, {"value", "00:1a:2b:3c:4d:5e"}}}, false},
      {{{{"op", "remove"}, {"path", "/identity/after/vcom"}}}, false},
      {{{{"op", "replace"}, {"path", "/identity/before/vcom"}, {"value", 1000}}}, false},
      {{{{"op", "add"}, {"path", "/identity/before/extra"}, {"value", 1}}}, false},
      {{{{"op", "replace"}, {"path", "/sources/mac"}, {"value", "typed"}}}, false},
      {{{{"op", "replace"}, {"path", "/firmware/crc32"}, {"value", "0x1234abcd"}}}, false},
      {{{{"op", "replace"}, {"path", "/firmware/banks/0/crc"}, {"value", "0xABCDE"}}}, false},
      {{{{"op", "replace"}, {"path", "/firmware/flash_id"}, {"value", "C2-20"}}}, false},
      {{{{"op", "remove"}, {"path", "/table/failed"}}}, false},
      {{{{"op", "replace"}, {"path", "/failures/0/kind"}, {"value", "lost"}}}, false},
      {{{{"op", "replace"}, {"path", "/failures/0/step"}, {"value", ""}}}, false},
      {{{{"op", "replace"}, {"path", "/random/bytes"}, {"value", -1}}}, false},
      {{{{"op", "replace"}, {"path", "/picture/width"}, {"value", 1.5}}}, false},
      {{{{"op", "replace"}, {"path", "/truncated/0"}, {"value", 1}}}, false},
      {{{{"op", "add"}, {"path", "/extra"}, {"value", 1}}}, false},
  };
  const std::string dir = station_test::MakeTempDir();
  std::ofstream lines(dir + "/records.jsonl");
  for (const auto& c : kCases) lines << full.patch(c.patch).dump() << "\n";
  lines.close();
  const std::string script = "import json,sys,jsonschema\nv=jsonschema.Draft202012Validator(json.load(open(sys.argv[1])))\n"
                             "for l in open(sys.argv[2]): print(int(v.is_valid(json.loads(l))))\n";
  const pid_t pid = station_test::Spawn({"/usr/bin/python3", "-c", script, BM77_RECORD_SCHEMA, dir + "/records.jsonl"},
                                        dir + "/verdicts", dir + "/python.err");
  ASSERT_EQ(station_test::Wait(pid), 0) << station_test::ReadFile(dir + "/python.err");
  std::istringstream verdicts(station_test::ReadFile(dir + "/verdicts"));
  int i = 0;
  for (const auto& c : kCases) {
    std::string why, schema_says;
    std::getline(verdicts, schema_says);
    EXPECT_EQ(station::ReadRunRecord(full.patch(c.patch).dump(), &why).has_value(), c.valid) << i << " " << why;
    EXPECT_EQ(schema_says, c.valid ? "1" : "0") << i;
    ++i;
  }
  std::system(("rm -rf " + dir).c_str());
}

TEST(RunRecord, DigestIsSha256OfTheCanonicalText) {
  EXPECT_EQ(station::Sha256Hex(""), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
  EXPECT_EQ(station::Sha256Hex("abc"), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
  EXPECT_EQ(station::Sha256Hex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

}  // namespace
