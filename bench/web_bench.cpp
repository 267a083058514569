// The line's web page on a ledger of 1,000,000 runs (SQLite): builds the ledger (250,000 units,
// four runs each over the last 60 days, one run in twenty failed, 250,000 MACs handed out), starts
// bm77_station serve on 127.0.0.1 and a free port, and times every page: 200 requests each, one
// at a time. Fails when a page's 95th percentile is 100 ms or more.
//   web_bench [LEDGER]   keeps the ledger at LEDGER, and times it again without building it when it
//                        is there
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <regex>
#include <thread>

#include "ledger.h"
#include "station_support.h"
#include "web_data.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long kUnits = 250000;
constexpr int kRunsPerUnit = 4;
constexpr int kRequests = 200;
constexpr double kTargetMs = 100;
constexpr station::Mac kFirst = 0x001A2B000000;
const char* const kTools[kRunsPerUnit] = {"bm77_provision", "bm77_fwupdate", "bm77_tableupdate", "bm77_ident"};

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string Line(long unit, int step, std::int64_t start_ms) {
  const std::string mac = station::MacText(kFirst + unit);
  const bool failed = (unit * kRunsPerUnit + step) % 20 == 0;
  char name[32];
  std::snprintf(name, sizeof name, "Tavrine-%04lX", unit & 0xFFFF);
  const std::string identity = "{\"mac\":\"" + mac + "\",\"name\":\"" + name + "\",\"vcom\":256}";
  return std::string("{\"format\":1,\"tool\":\"") + kTools[step] + "\",\"version\":\"1\",\"args\":[],\"start\":\"" +
         station::web::StartText(start_ms) + "\",\"seconds\":1.5,\"status\":" + (failed ? "3" : "0") +
         ",\"outcome\":\"" + (failed ? "module" : "ok") + "\",\"identity\":{\"before\":" + identity +
         ",\"after\":" + identity + "},\"failures\":" +
         (failed ? "[{\"step\":\"write-0040\",\"kind\":\"silent\"}]" : "[]") + "}";
}

void BuildLedger(const std::string& path, std::int64_t now_ms) {
  const auto store = station::OpenLedger(path, station::Access::kWrite);
  station::AddBlock(*store, kFirst, kFirst + 2 * kUnits - 1);
  const std::int64_t span_ms = 60 * station::web::kDayMs;
  {
    // As next-mac would have left them: handed out in rising order over the 60 days.
    station::WriteTransaction transaction(*store);
    for (long unit = 0; unit < kUnits; ++unit) {
      const std::string at = station::web::StartText(now_ms - span_ms + span_ms * unit / kUnits).substr(0, 19) + "Z";
      store->Query("INSERT INTO handed (mac, handed_at) VALUES ($1, $2)", {kFirst + unit, at});
    }
    store->Query("UPDATE blocks SET next_mac = $1", {std::int64_t{kFirst + kUnits}});
    transaction.Commit();
  }
  std::vector<station::RunRecord> batch;
  std::string why;
  for (long unit = 0; unit < kUnits; ++unit) {
    const std::int64_t start = now_ms - span_ms + span_ms * unit / kUnits;
    for (int step = 0; step < kRunsPerUnit; ++step) {
      batch.push_back(*station::ReadRunRecord(Line(unit, step, start + step * 2000), &why));
    }
    if (batch.size() >= 10000) {
      station::StoreRecords(*store, batch);
      batch.clear();
    }
  }
  station::StoreRecords(*store, batch);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = station_test::MakeTempDir();
  const std::string db = argc > 1 ? argv[1] : dir + "/ledger.db";
  const std::int64_t now_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch()).count();
  auto t0 = Clock::now();
  if (access(db.c_str(), F_OK) != 0) {
    BuildLedger(db, now_ms);
    std::printf("ledger of %ld runs built in %.1f s\n", kUnits * kRunsPerUnit, Ms(Clock::now() - t0) / 1000);
  }

  t0 = Clock::now();
  const pid_t server = station_test::Spawn({BM77_STATION, "--db", db, "serve", "--listen", "127.0.0.1:0"},
                                           dir + "/serve.out", dir + "/serve.err", nullptr, SIGTERM);
  std::smatch port;
  std::string out;
  while (!std::regex_search(out = station_test::ReadFile(dir + "/serve.out"), port, std::regex(":(\\d+)/"))) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::printf("serve: ready in %.2f s (the whole ledger read once)\n", Ms(Clock::now() - t0) / 1000);

  httplib::Client client("127.0.0.1", std::stoi(port[1]));
  const std::string unit = station::MacText(kFirst + kUnits / 2);
  const std::string pages[] = {"/", "/api/summary", "/station", "/units", "/units?after=" + unit,
                               "/units?q=Tavrine-BEEF", "/units?q=no-such-unit", "/unit/" + unit,
                               "/api/unit/" + unit};
  bool within = true;
  std::printf("%-32s %8s %8s %8s\n", "page", "median", "p95", "max");
  for (const std::string& page : pages) {
    std::vector<double> times;
    for (int i = 0; i < kRequests; ++i) {
      const auto start = Clock::now();
      const auto res = client.Get(page.c_str());
      times.push_back(Ms(Clock::now() - start));
      if (!res || res->status != 200) {
        std::printf("%s: no answer 200\n", page.c_str());
        return 1;
      }
    }
    std::sort(times.begin(), times.end());
    const double p95 = times[times.size() * 95 / 100];
    within = within && p95 < kTargetMs;
    std::printf("%-32s %6.2f ms %6.2f ms %6.2f ms\n", page.c_str(), times[times.size() / 2], p95, times.back());
  }
  kill(server, SIGTERM);
  station_test::Wait(server);
  std::system(("rm -rf " + dir).c_str());
  std::printf("every page's 95th percentile under %.0f ms: %s\n", kTargetMs, within ? "yes" : "NO");
  return within ? 0 : 1;
}
