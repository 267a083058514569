#include "ledger.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <string>

#include "messages.h"

namespace station {
namespace {

// Blocks keep a cursor: every MAC of a block below `next_mac` is taken (handed out or seen),
// so the lowest free MAC is found without scanning what was handed out before.
std::vector<std::string> SchemaStatements(const Store& store) {
  return {
      "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL)",
      "CREATE TABLE blocks (first_mac BIGINT PRIMARY KEY, last_mac BIGINT NOT NULL, "
      "next_mac BIGINT NOT NULL)",
      "CREATE TABLE handed (mac BIGINT PRIMARY KEY, handed_at TEXT NOT NULL)",
      "CREATE TABLE seen (mac BIGINT PRIMARY KEY)",
      std::string("CREATE TABLE runs (id ") + store.AutoKey() +
          ", digest TEXT NOT NULL UNIQUE, unit BIGINT, tool TEXT NOT NULL, start_time TEXT NOT NULL, "
          "seconds DOUBLE PRECISION NOT NULL, status INTEGER NOT NULL, outcome TEXT NOT NULL, "
          "mac_before BIGINT, mac_after BIGINT, name_after TEXT, vcom_after INTEGER, "
          "record TEXT NOT NULL)",
      "CREATE INDEX runs_by_unit ON runs (unit, start_time)",
      "CREATE TABLE failures (run_id BIGINT NOT NULL, step TEXT NOT NULL, kind TEXT NOT NULL)",
      "CREATE INDEX failures_by_run ON failures (run_id)",
  };
}

const char kVersionKey[] = "schema_version";

std::int64_t Number(const std::optional<std::string>& text) { return std::stoll(text.value()); }

std::string Now() {
  char text[32];
  const std::time_t now = std::time(nullptr);
  std::tm utc{};
  gmtime_r(&now, &utc);
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

Value Nullable(const std::optional<Mac>& mac) {
  return mac ? Value{std::int64_t{*mac}} : Value{nullptr};
}

[[noreturn]] void Refuse(const Store& store, const char* why) {
  throw StoreError(store.Describe() + " " + why);
}

// A ledger has the table meta, with its columns and the schema version in it: that version.
std::string LedgerVersion(Store& store, const std::vector<std::string>& tables) {
  if (std::find(tables.begin(), tables.end(), "meta") == tables.end()) Refuse(store, msg::kNotALedger);
  const std::vector<std::string> columns = store.Columns("meta");
  for (const char* column : {"key", "value"}) {
    if (std::find(columns.begin(), columns.end(), column) == columns.end()) Refuse(store, msg::kNotALedgerMeta);
  }
  const Rows version = store.Query("SELECT value FROM meta WHERE key = $1", {std::string(kVersionKey)});
  if (version.empty()) Refuse(store, msg::kNotALedgerMeta);
  return version[0][0].value_or("");
}

}  // namespace

void OpenLedger(Store& store, Access access) {
  const std::vector<std::string> tables = store.Tables();
  if (tables.empty() && access == Access::kRead) Refuse(store, msg::kNoLedgerYet);
  // Another program's database is left as it is found.
  std::string version = tables.empty() ? "" : LedgerVersion(store, tables);
  if (access == Access::kWrite) store.PrepareWrites();
  if (tables.empty()) {
    WriteTransaction transaction(store);
    // Another station may have made it while this one waited for the lock.
    const std::vector<std::string> now = store.Tables();
    if (now.empty()) {
      for (const std::string& statement : SchemaStatements(store)) store.Query(statement);
      version = std::to_string(kSchemaVersion);
      store.Query("INSERT INTO meta (key, value) VALUES ($1, $2)", {std::string(kVersionKey), version});
    } else {
      version = LedgerVersion(store, now);
    }
    transaction.Commit();
  }
  if (version != std::to_string(kSchemaVersion)) {
    char why[160];
    std::snprintf(why, sizeof why, msg::kSchemaVersion, version.c_str(), kSchemaVersion);
    throw StoreError(why);
  }
}

std::unique_ptr<Store> OpenLedger(const std::string& where, Access access) {
  std::unique_ptr<Store> store = OpenStore(where, access);
  OpenLedger(*store, access);
  return store;
}

BlockVerdict AddBlock(Store& store, Mac first, Mac last) {
  if (first > last) return {BlockVerdict::kBackwards};
  if (const std::optional<Mac> unusable = UnusableMacWithin(first, last)) {
    return {BlockVerdict::kHoldsUnusable, *unusable, *unusable};
  }
  WriteTransaction transaction(store);
  const Rows overlap = store.Query(
      "SELECT first_mac, last_mac FROM blocks WHERE first_mac <= $2 AND last_mac >= $1 "
      "ORDER BY first_mac LIMIT 1",
      {first, last});
  if (!overlap.empty()) return {BlockVerdict::kOverlaps, Number(overlap[0][0]), Number(overlap[0][1])};
  store.Query("INSERT INTO blocks (first_mac, last_mac, next_mac) VALUES ($1, $2, $1)", {first, last});
  transaction.Commit();
  return {BlockVerdict::kAdded};
}

std::optional<Mac> NextMac(Store& store) {
  WriteTransaction transaction(store);
  const Rows block = store.Query(
      "SELECT first_mac, last_mac, next_mac FROM blocks WHERE next_mac <= last_mac "
      "ORDER BY first_mac LIMIT 1");
  if (block.empty()) return std::nullopt;
  const Mac first = Number(block[0][0]);
  const Mac last = Number(block[0][1]);
  // MACs seen in records are skipped over in one query, however many lie ahead: the cursor
  // itself when it is free, else the MAC after the end of the run of seen ones it starts.
  const Mac mac = Number(store.Query(
      "SELECT CASE WHEN NOT EXISTS (SELECT 1 FROM seen WHERE mac = CAST($1 AS BIGINT)) THEN CAST($1 AS BIGINT) "
      "ELSE (SELECT s.mac + 1 FROM seen s WHERE s.mac >= CAST($1 AS BIGINT) AND NOT EXISTS "
      "(SELECT 1 FROM seen t WHERE t.mac = s.mac + 1) ORDER BY s.mac LIMIT 1) END",
      {Number(block[0][2])})[0][0]);
  store.Query("UPDATE blocks SET next_mac = $2 WHERE first_mac = $1", {first, std::int64_t{mac + 1}});
  if (mac > last) {
    // The block's rest was all seen: look again in the next one.
    transaction.Commit();
    return NextMac(store);
  }
  store.Query("INSERT INTO handed (mac, handed_at) VALUES ($1, $2)", {std::int64_t{mac}, Now()});
  transaction.Commit();
  return mac;
}

bool HasBlocks(Store& store) { return !store.Query("SELECT 1 FROM blocks LIMIT 1").empty(); }

long StoreRecords(Store& store, const std::vector<RunRecord>& records) {
  constexpr std::size_t kRunColumns = 12;
  std::vector<Value> runs;
  runs.reserve(records.size() * kRunColumns);
  for (const RunRecord& record : records) {
    runs.insert(runs.end(),
                {record.digest, Nullable(record.Unit()), record.tool, record.start, record.seconds,
                 std::int64_t{record.status}, record.outcome, Nullable(record.mac_before), Nullable(record.mac_after),
                 record.name_after ? Value{*record.name_after} : Value{nullptr},
                 record.vcom_after ? Value{std::int64_t{*record.vcom_after}} : Value{nullptr}, record.canonical});
  }
  WriteTransaction transaction(store, WriteTransaction::kImport);
  // Only the records new to the ledger come back; a record twice in `records` comes back once.
  std::map<std::string, std::int64_t> new_runs;
  for (const Row& run : InsertRows(store,
                                   "INSERT INTO runs (digest, unit, tool, start_time, seconds, status, outcome, "
                                   "mac_before, mac_after, name_after, vcom_after, record)",
                                   kRunColumns, runs, "ON CONFLICT (digest) DO NOTHING RETURNING digest, id")) {
    new_runs.emplace(run[0].value(), Number(run[1]));
  }
  std::vector<Value> failures;
  std::vector<Mac> macs;
  for (const RunRecord& record : records) {
    const auto run = new_runs.find(record.digest);
    if (run == new_runs.end() || run->second < 0) continue;
    for (const auto& failure : record.failures) failures.insert(failures.end(), {run->second, failure.first, failure.second});
    macs.insert(macs.end(), record.macs.begin(), record.macs.end());
    run->second = -1;  // its failures are in; a copy further on adds nothing
  }
  InsertRows(store, "INSERT INTO failures (run_id, step, kind)", 3, failures);
  std::sort(macs.begin(), macs.end());
  macs.erase(std::unique(macs.begin(), macs.end()), macs.end());
  InsertRows(store, "INSERT INTO seen (mac)", 1, std::vector<Value>(macs.begin(), macs.end()),
             "ON CONFLICT (mac) DO NOTHING");
  transaction.Commit();
  return static_cast<long>(new_runs.size());
}

Rows Units(Store& store) {
  return store.Query(
      "SELECT r.unit, (SELECT COUNT(*) FROM runs c WHERE c.unit = r.unit), r.start_time, r.tool, "
      "r.status, r.outcome, r.name_after, r.vcom_after FROM runs r WHERE r.unit IS NOT NULL AND "
      "r.id = (SELECT l.id FROM runs l WHERE l.unit = r.unit ORDER BY l.start_time DESC, l.id DESC "
      "LIMIT 1) ORDER BY r.unit");
}

Rows UnitRuns(Store& store, Mac unit) {
  Rows runs = store.Query(
      "SELECT start_time, tool, status, outcome, seconds, mac_before, mac_after, id FROM runs "
      "WHERE unit = $1 ORDER BY start_time, id",
      {std::int64_t{unit}});
  for (Row& run : runs) {
    std::string failures;
    for (const Row& failure : store.Query("SELECT step, kind FROM failures WHERE run_id = $1", {Number(run[7])})) {
      failures += (failures.empty() ? "" : ",") + failure[0].value() + "/" + failure[1].value();
    }
    run[7] = failures.empty() ? std::nullopt : std::optional<std::string>(failures);
  }
  return runs;
}

Report MakeReport(Store& store) {
  Report report;
  const Rows totals = store.Query("SELECT COUNT(*), COUNT(*) - COUNT(unit) FROM runs");
  report.runs = static_cast<long>(Number(totals[0][0]));
  report.without_unit = static_cast<long>(Number(totals[0][1]));
  report.per_tool = store.Query(
      // bmpview ends with 1 when the picture was shown; every other tool with 0 when done.
      "SELECT tool, COUNT(*), SUM(CASE WHEN status <> CASE WHEN tool = 'bmpview' THEN 1 ELSE 0 "
      "END THEN 1 ELSE 0 END) FROM runs "
      "GROUP BY tool ORDER BY tool");
  report.per_step = store.Query(
      "SELECT step, kind, COUNT(*) FROM failures GROUP BY step, kind ORDER BY step, kind");
  report.never_handed = store.Query(
      "SELECT mac FROM seen WHERE mac NOT IN (SELECT mac FROM handed) ORDER BY mac");
  report.provisioned_again = store.Query(
      "SELECT mac_after, COUNT(*) FROM runs WHERE tool = 'bm77_provision' AND status = 0 AND "
      "mac_after IS NOT NULL GROUP BY mac_after HAVING COUNT(*) > 1 ORDER BY mac_after");
  return report;
}

}  // namespace station
