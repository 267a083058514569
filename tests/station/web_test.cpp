// The line's web page (bm77_station serve) in-process over real ledgers, SQLite and a throwaway
// PostgreSQL server: what the pages and the JSON say, escaping, 404 and 405, read-only.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <random>
#include <thread>

#include "serve.h"
#include "station_support.h"
#include "web_data.h"
#include "web_pages.h"

namespace {

using nlohmann::json;
namespace web = station::web;

constexpr char kHostile[] = "<img src=x onerror=alert(1)>";

std::string Stamp(std::int64_t ms) { return web::StartText(ms); }
std::int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// One run record of `tool` on the unit `mac` (null: no unit).
std::string Record(const std::string& tool, int status, const json& mac, const std::string& start,
                   const std::string& name = "Tavrine-X", const json& failures = json::array()) {
  const bool ok = web::Passed(tool, status);
  const json identity = {{"mac", mac}, {"name", mac.is_null() ? json() : json(name)}, {"vcom", mac.is_null() ? json() : json(256)}};
  json r = {{"format", 1}, {"tool", tool}, {"version", "1"}, {"args", json::array({"fw.bin"})}, {"start", start},
            {"seconds", 0.5}, {"status", status}, {"outcome", ok && status == 0 ? "ok" : "module"},
            {"identity", {{"before", identity}, {"after", identity}}}, {"failures", failures},
            {"firmware", {{"size", 4096}, {"crc32", "0x1234ABCD"}, {"banks", {{{"bytes", 4096}, {"crc", "0xBEEF"}}}}}}};
  return r.dump() + "\n";
}

class Page : public station_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_EQ(Station({"block", "add", "00:1A:2B:00:00:00", "00:1A:2B:00:00:63"}).status, 0);
  }
  void TearDown() override {
    StopServer();
    StoreTest::TearDown();
  }
  station_test::Output Station(const std::vector<std::string>& args) {
    return station_test::Station(db_, args, dir_ + "/run");
  }
  void Import(const std::string& lines) {
    std::ofstream(dir_ + "/runs.jsonl") << lines;
    ASSERT_EQ(Station({"import", dir_ + "/runs.jsonl"}).status, 0) << station_test::ReadFile(dir_ + "/run.err");
  }
  std::string HandOut() {
    std::string mac = Station({"next-mac"}).out;
    return mac.substr(0, mac.find('\n'));
  }
  void StartServer() {
    server_ = std::make_unique<web::WebServer>(db_);
    const int port = server_->Bind("127.0.0.1", 0);
    ASSERT_GT(port, 0);
    thread_ = std::thread([this] { server_->Run(); });
    client_ = std::make_unique<httplib::Client>("127.0.0.1", port);
    for (int i = 0; i < 100 && !client_->Get("/static/style.css"); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  void StopServer() {
    if (!server_) return;
    server_->Stop();
    thread_.join();
    server_.reset();
  }
  httplib::Result Get(const std::string& path) { return client_->Get(path.c_str()); }
  json Summary() {
    const auto res = Get("/api/summary");
    EXPECT_EQ(res->status, 200);
    EXPECT_EQ(res->get_header_value("Content-Type"), "application/json");
    return json::parse(res->body);
  }

  std::unique_ptr<web::WebServer> server_;
  std::thread thread_;
  std::unique_ptr<httplib::Client> client_;
};

json ToolOf(const json& summary, const std::string& tool) {
  for (const json& t : summary["tools"]) {
    if (t["tool"] == tool) return t;
  }
  return nullptr;
}

// First pass counts a unit's earliest run of the tool, final its latest, by start: imported out
// of order, the unit A fails first and passes later.
TEST_P(Page, SummaryCountsRunsUnitsYieldsAndFailuresMostFirst) {
  const std::int64_t now = NowMs();
  const std::string a = "00:1A:2B:00:00:01", b = "00:1A:2B:00:00:02", c = "00:1A:2B:00:00:03";
  const json silent = json::array({{{"step", "read-mac"}, {"kind", "silent"}}});
  if ((now - 5000) / web::kDayMs != now / web::kDayMs) GTEST_SKIP() << "the runs would straddle midnight";
  const json two = json::array({{{"step", "write-0040"}, {"kind", "refused"}}, {{"step", "read-mac"}, {"kind", "silent"}}});
  Import(Record("bm77_ident", 0, a, Stamp(now - 1000)) + Record("bm77_ident", 3, a, Stamp(now - 5000), "A", silent) +
         Record("bm77_ident", 0, b, Stamp(now - 4000)) + Record("bm77_ident", 3, c, Stamp(now - 3 * web::kDayMs), "C", two) +
         Record("bmpview", 1, nullptr, Stamp(now - 2000)) + Record("bmpview", 255, nullptr, Stamp(now - 2500)));
  StartServer();
  const json s = Summary();
  EXPECT_EQ(s["runs"], json({{"today", 5}, {"all", 6}, {"without_unit", 2}}));
  EXPECT_EQ(s["units"], json({{"today", 2}, {"all", 3}, {"stuck", 1}}));
  const std::string stuck = Get("/units?stuck=1")->body;
  EXPECT_NE(stuck.find(c), std::string::npos);
  EXPECT_EQ(stuck.find(a), std::string::npos);
  EXPECT_EQ(ToolOf(s, "bm77_ident"),
            json({{"tool", "bm77_ident"}, {"runs", 4}, {"failed_runs", 2}, {"units", 3}, {"first_pass", 1}, {"final_pass", 2}}));
  EXPECT_EQ(ToolOf(s, "bmpview")["failed_runs"], 1);
  EXPECT_EQ(s["failures"], json::parse(R"([{"step":"read-mac","kind":"silent","count":2},
                                            {"step":"write-0040","kind":"refused","count":1}])"));
  EXPECT_EQ(s["last"]["unit"], a);
  EXPECT_EQ(s["last"]["passed"], true);
  // A run stored after the server started is counted at the next page.
  Import(Record("bm77_ident", 0, c, Stamp(now)));
  const json after = Summary();
  EXPECT_EQ(ToolOf(after, "bm77_ident")["final_pass"], 3);
  EXPECT_EQ(after["units"]["stuck"], 0);
  const std::string overview = Get("/")->body;
  EXPECT_NE(overview.find("<svg class=\"pareto\""), std::string::npos);
  EXPECT_NE(overview.find("read-mac / silent"), std::string::npos);
}

TEST_P(Page, AlarmsForWhatMustNeverHappen) {
  const std::int64_t old = NowMs() - 3 * 3600 * 1000;
  const std::string handed = HandOut(), twice = HandOut();
  const std::string typed = "00:1A:2B:00:00:50";  // inside the block, never handed out
  Import(Record("bm77_provision", 0, handed, Stamp(old), "Tavrine-0000") +
         Record("bm77_provision", 0, twice, Stamp(old + 1), "Shared") +
         Record("bm77_provision", 0, twice, Stamp(old + 2), "Shared-2") +
         Record("bm77_ident", 0, typed, Stamp(old + 3), "Shared") +
         Record("bm77_ident", 0, "00:1B:00:00:00:01", Stamp(old + 4), "Outside"));
  StartServer();
  json kinds = json::object();
  const json summary = Summary();
  for (const json& alarm : summary["alarms"]) kinds[alarm["kind"].get<std::string>()].push_back(alarm);
  EXPECT_EQ(kinds["mac-on-two-units"], json::parse(R"([{"kind":"mac-on-two-units","subject":")" + twice +
                                                   R"(","units":[")" + twice + R"("],"count":2}])"));
  EXPECT_EQ(kinds["name-on-two-units"].size(), 1u);
  EXPECT_EQ(kinds["name-on-two-units"][0]["units"], json({twice, typed}));
  EXPECT_EQ(kinds["typed-mac-in-block"].size(), 1u);
  EXPECT_EQ(kinds["typed-mac-in-block"][0]["subject"], typed);
  EXPECT_EQ(kinds["records-stopped"].size(), 1u);
  EXPECT_EQ(summary["alarms_total"], 4);
  EXPECT_GE(kinds["records-stopped"][0]["count"].get<long>(), 179);
  EXPECT_NE(Get("/")->body.find("Records stopped arriving"), std::string::npos);
}

TEST_P(Page, BlocksShowUseAndTheDayTheyRunOut) {
  for (int i = 0; i < 10; ++i) HandOut();
  // The first four were handed out eight days ago.
  const std::string before = web::StartText(NowMs() - 8 * web::kDayMs).substr(0, 19) + "Z";
  station::OpenStore(db_, station::Access::kWrite)->Query("UPDATE handed SET handed_at = $1 WHERE mac < $2",
                                 {before, std::int64_t{0x001A2B000004}});
  StartServer();
  const json block = Summary()["blocks"].at(0);
  EXPECT_EQ(block["used"], 10);
  EXPECT_EQ(block["left"], 90);
  EXPECT_EQ(block["handed_last_7_days"], 6);
  // 90 left at 6 a week: 105 days.
  EXPECT_EQ(block["runs_out"], web::DayText(NowMs() / web::kDayMs + 105));
}

TEST_P(Page, RecordTextIsEscapedEverywhere) {
  const std::string mac = "00:1A:2B:00:00:07";
  const json steps = json::array({{{"step", "<script>alert(2)</script>"}, {"kind", "silent"}}});
  Import(Record("bm77_ident", 3, mac, Stamp(NowMs()), kHostile, steps) +
         Record("bm77_ident", 0, "00:1A:2B:00:00:08", Stamp(NowMs() - 10), kHostile));
  StartServer();
  for (const std::string& path : std::vector<std::string>{"/", "/units", "/units?q=%3Cimg", "/unit/" + mac, "/station"}) {
    const auto res = Get(path);
    ASSERT_EQ(res->status, 200) << path;
    EXPECT_EQ(res->body.find("<img"), std::string::npos) << path;
    EXPECT_EQ(res->body.find("<script"), std::string::npos) << path;
    EXPECT_NE(res->body.find("&lt;img src=x onerror=alert(1)&gt;"), std::string::npos) << path;
    EXPECT_NE(res->get_header_value("Content-Security-Policy").find("default-src 'none'"), std::string::npos);
    EXPECT_EQ(res->get_header_value("Content-Security-Policy").find("script-src"), std::string::npos);
  }
  EXPECT_EQ(json::parse(Get("/api/unit/" + mac)->body)["runs"][0]["record"]["identity"]["after"]["name"], kHostile);
}

TEST_P(Page, OnlyGetAndHeadAndTheLedgerIsNeverWritten) {
  Import(Record("bm77_ident", 0, "00:1A:2B:00:00:01", Stamp(NowMs())));
  StartServer();
  for (const char* path : {"/", "/station", "/api/summary", "/unit/00:1A:2B:00:00:01"}) {
    const httplib::Result refused[] = {client_->Post(path, "x", "text/plain"), client_->Put(path, "x", "text/plain"),
                                       client_->Delete(path), client_->Patch(path, "x", "text/plain"),
                                       client_->Options(path)};
    for (const httplib::Result& res : refused) {
      ASSERT_TRUE(res) << path;
      EXPECT_EQ(res->status, 405) << path;
      EXPECT_EQ(res->get_header_value("Allow"), "GET, HEAD");
    }
    EXPECT_EQ(client_->Head(path)->status, 200) << path;
  }
  // The store the pages read through refuses writes.
  const auto store = web::OpenForReading(db_);
  EXPECT_THROW(store->Query("INSERT INTO meta (key, value) VALUES ('x', 'y')"), station::StoreError);
}

TEST_P(Page, UnknownUnitsAndPagesAreNotFound) {
  Import(Record("bm77_ident", 0, "00:1A:2B:00:00:01", Stamp(NowMs())));
  StartServer();
  const struct { const char* path; int status; } kCases[] = {
      {"/unit/00:1A:2B:00:00:01", 200}, {"/unit/00:1a:2b:00:00:01", 200}, {"/unit/00:1A:2B:00:00:02", 404},
      {"/unit/not-a-mac", 404},         {"/api/unit/00:1A:2B:00:00:01", 200}, {"/api/unit/00:1A:2B:00:00:02", 404},
      {"/units/x", 404},                {"/nothing", 404},                   {"/static/none.css", 404},
  };
  for (const auto& c : kCases) EXPECT_EQ(Get(c.path)->status, c.status) << c.path;
  const std::string unit = Get("/unit/00:1A:2B:00:00:01")->body;
  EXPECT_NE(unit.find("0x1234ABCD"), std::string::npos);
  EXPECT_NE(unit.find("0xBEEF"), std::string::npos);
}

TEST_P(Page, UnitsArePagedAndFoundByMacOrName) {
  std::string lines;
  for (int i = 0; i < 60; ++i) {
    char mac[32];
    std::snprintf(mac, sizeof mac, "00:1A:2B:00:01:%02X", i);
    lines += Record("bm77_ident", 0, mac, Stamp(NowMs() - i), i == 42 ? "Needle-42" : "Tavrine");
  }
  Import(lines);
  StartServer();
  const std::string first = Get("/units")->body;
  EXPECT_NE(first.find("00:1A:2B:00:01:31"), std::string::npos);   // the 50th
  EXPECT_EQ(first.find("00:1A:2B:00:01:32"), std::string::npos);   // the 51st
  EXPECT_NE(first.find("href=\"/units?q=&amp;after=00:1A:2B:00:01:31\""), std::string::npos);
  const std::string second = Get("/units?q=&after=00:1A:2B:00:01:31")->body;
  EXPECT_NE(second.find("00:1A:2B:00:01:3B"), std::string::npos);
  EXPECT_EQ(second.find("00:1A:2B:00:01:31<"), std::string::npos);
  EXPECT_EQ(second.find("id=\"next\""), std::string::npos);
  for (const char* search : {"needle", "01:2a", "00:1A:2B:00:01:2A"}) {
    const std::string found = Get(std::string("/units?q=") + search)->body;
    EXPECT_NE(found.find("00:1A:2B:00:01:2A"), std::string::npos) << search;
    EXPECT_EQ(found.find("00:1A:2B:00:01:29"), std::string::npos) << search;
  }
}

TEST_P(Page, StationTurnsRedAfterAFailedRunAndGreenAfterAGoodOne) {
  StartServer();
  EXPECT_NE(Get("/station")->body.find("class=\"station none\""), std::string::npos);
  const std::int64_t now = NowMs();
  Import(Record("bm77_ident", 3, "00:1A:2B:00:00:01", Stamp(now)));
  EXPECT_NE(Get("/station")->body.find("class=\"station fail\""), std::string::npos);
  Import(Record("bm77_ident", 0, "00:1A:2B:00:00:02", Stamp(now + 1)));
  EXPECT_NE(Get("/station")->body.find("class=\"station pass\""), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Stores, Page, testing::Values("sqlite", "postgres"));

TEST(Serve, ReadingNeverMakesALedger) {
  const std::string dir = station_test::MakeTempDir();
  EXPECT_THROW(web::OpenForReading(dir + "/none.db"), station::StoreError);
  struct stat file {};
  EXPECT_NE(stat((dir + "/none.db").c_str(), &file), 0);
  std::system(("rm -rf " + dir).c_str());
}

TEST(Serve, ListenArguments) {
  const struct { std::vector<std::string> args; bool good; const char* host; int port; } kCases[] = {
      {{}, true, "127.0.0.1", 8077},
      {{"--listen", "0.0.0.0:80"}, true, "0.0.0.0", 80},
      {{"--listen", "[::1]:9000"}, true, "::1", 9000},
      {{"--listen", "127.0.0.1:0"}, true, "127.0.0.1", 0},
      {{"--listen", "127.0.0.1:65536"}, false, "", 0},
      {{"--listen", "127.0.0.1:"}, false, "", 0},
      {{"--listen", ":80"}, false, "", 0},
      {{"--listen", "127.0.0.1:8a"}, false, "", 0},
      {{"--listen"}, false, "", 0},
      {{"--port", "1:2"}, false, "", 0},
  };
  for (const auto& c : kCases) {
    const auto listen = web::ParseServeArgs(c.args);
    ASSERT_EQ(listen.has_value(), c.good) << testing::PrintToString(c.args);
    if (c.good) {
      EXPECT_EQ(listen->host + ":" + std::to_string(listen->port), std::string(c.host) + ":" + std::to_string(c.port));
    }
  }
}

// Escaped text holds no character that could open markup or leave an attribute, and reads back
// as the text itself.
TEST(Serve, EscapeKeepsTextAsText) {
  std::mt19937 random(7);
  const std::string alphabet = "<>&\"'=/ ab;#x\xC3\xA9";
  for (int round = 0; round < 2000; ++round) {
    std::string text;
    for (std::size_t n = random() % 24; n > 0; --n) text += alphabet[random() % alphabet.size()];
    const std::string escaped = web::Escape(text);
    EXPECT_EQ(escaped.find_first_of("<>\"'"), std::string::npos) << escaped;
    std::string back;
    for (std::size_t at = 0; at < escaped.size();) {
      bool entity = false;
      for (const auto& [name, c] : std::vector<std::pair<std::string, char>>{
               {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&#39;", '\''}, {"&amp;", '&'}}) {
        if (!entity && escaped.compare(at, name.size(), name) == 0) {
          back += c;
          at += name.size();
          entity = true;
        }
      }
      ASSERT_TRUE(entity || escaped[at] != '&') << escaped;
      if (!entity) back += escaped[at++];
    }
    EXPECT_EQ(back, text);
  }
  EXPECT_EQ(web::UrlEncode("a b&c=<d>"), "a%20b%26c%3D%3Cd%3E");
}

TEST(Serve, StartTimesRoundTrip) {
  std::mt19937_64 random(11);
  for (int i = 0; i < 1000; ++i) {
    const auto ms = static_cast<std::int64_t>(random() % (std::int64_t{200} * 365 * web::kDayMs));
    EXPECT_EQ(web::StartMs(web::StartText(ms)), ms);
  }
  EXPECT_EQ(web::StartText(0), "1970-01-01T00:00:00.000Z");
  EXPECT_EQ(web::StartMs("2024-02-29T23:59:59.999Z"), 1709251199999);
  EXPECT_EQ(web::DayText(19782), "2024-02-29");
  EXPECT_EQ(web::StartMs("not a time"), 0);
}

}  // namespace
