// bm77_station on a line's scale:
//   (a) importing 100,000 run records into an SQLite ledger (target under 10 s);
//   (b) next-mac on SQLite: the whole command, from start to exit, as a station script sees
//       it (target under 5 ms each, judged on the 95th percentile), the ledger's own part
//       (open, hand out, commit) measured in this process, and the program's start alone;
//   (c) next-mac on PostgreSQL (a throwaway local server), the whole command, without target.
// Median, 95th percentile and maximum of kCalls calls. Exit status 0 when the import and the whole
// next-mac command meet their targets. Wall times swing with the machine's load: judge them idle.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>

#include "ledger.h"
#include "station_support.h"

namespace {

constexpr int kRecords = 100000;
constexpr double kImportTarget = 10.0;  // s
constexpr double kNextMacTarget = 5.0;  // ms
constexpr int kCalls = 200;

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Records as a line writes them: every fifth a failure, MACs from one block.
std::string RecordsFile(const std::string& dir) {
  const std::string path = dir + "/records.jsonl";
  std::ofstream out(path);
  for (int i = 0; i < kRecords; ++i) {
    const std::string mac = station::MacText(0x001A2B000000 + i / 4);
    char start[32];
    std::snprintf(start, sizeof start, "2026-12-%02dT%02d:%02d:%02d.%03dZ", 1 + i / 86400 % 28,
                  i / 3600 % 24, i / 60 % 60, i % 60, i % 1000);
    const bool failed = i % 5 == 0;
    out << R"({"format":1,"tool":"bm77_provision","version":"1.4.0","args":[")" << mac << R"(","180"],"start":")"
        << start << R"(","seconds":4.217,"status":)" << (failed ? 3 : 0) << R"(,"outcome":")" << (failed ? "failed" : "ok")
        << R"(","identity":{"before":{"mac":null,"name":null,"vcom":null},"after":{"mac":")" << mac
        << R"(","name":"Tavrine-)" << mac.substr(12, 2) << mac.substr(15, 2) << R"(","vcom":180}},"sources":{"mac":"argument","vcom":"argument"},"failures":)"
        << (failed ? R"([{"step":"write-vcom","kind":"refused"}])" : "[]") << "}\n";
  }
  return path;
}

struct Spread {
  double median, p95, max;
};

Spread Of(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  return {ms[ms.size() / 2], ms[ms.size() * 95 / 100], ms.back()};
}

// `args` empty: the program's start alone (it prints its usage and opens nothing).
Spread CommandLatency(const std::string& db, const std::vector<std::string>& args, const std::string& scratch) {
  std::vector<double> ms;
  for (int i = 0; i < kCalls; ++i) {
    const auto start = Clock::now();
    const station_test::Output o = station_test::Station(db, args, scratch);
    ms.push_back(Since(start) * 1000);
    if (o.status != (args.empty() ? 2 : 0)) std::printf("  next-mac failed: %s", o.err.c_str());
  }
  return Of(ms);
}

void PrintSpread(const char* what, const Spread& s) {
  std::printf("  %s: median %.2f ms, 95th percentile %.2f ms, max %.2f ms\n", what, s.median, s.p95, s.max);
}

Spread LedgerLatency(const std::string& db) {
  std::vector<double> ms;
  for (int i = 0; i < kCalls; ++i) {
    const auto start = Clock::now();
    const auto store = station::OpenLedger(db, station::Access::kWrite);
    station::NextMac(*store);
    ms.push_back(Since(start) * 1000);
  }
  return Of(ms);
}

}  // namespace

int main() {
  const std::string dir = station_test::MakeTempDir();
  const std::string db = dir + "/ledger.db";
  const std::string records = RecordsFile(dir);
  const auto start = Clock::now();
  const station_test::Output import = station_test::Station(db, {"import", records}, dir + "/import");
  const double seconds = Since(start);
  std::printf("(a) import of %d records on SQLite: %.2f s (target under %.0f s): %s", kRecords, seconds,
              kImportTarget, import.out.c_str());

  station_test::Station(db, {"block", "add", "00:1A:2B:10:00:00", "00:1A:2B:10:FF:FF"}, dir + "/block");
  const Spread ledger = LedgerLatency(db);
  std::printf("(b) next-mac on SQLite, %d calls each (target under %.0f ms, judged on the 95th percentile):\n",
              kCalls, kNextMacTarget);
  const Spread whole = CommandLatency(db, {"next-mac"}, dir + "/next");
  PrintSpread("the whole command", whole);
  PrintSpread("of which the ledger's part (open, hand out, commit)", ledger);
  PrintSpread("of which the program's start alone", CommandLatency(db, {}, dir + "/start"));

  station_test::PostgresServer server;
  const std::string pg = server.NewDatabase();
  station_test::Station(pg, {"block", "add", "00:1A:2B:10:00:00", "00:1A:2B:10:FF:FF"}, dir + "/block");
  std::printf("(c) next-mac on PostgreSQL (local server), %d calls:\n", kCalls);
  PrintSpread("the whole command", CommandLatency(pg, {"next-mac"}, dir + "/next"));
  std::system(("rm -rf " + dir).c_str());
  return import.status == 0 && seconds < kImportTarget && whole.p95 < kNextMacTarget ? 0 : 1;
}
