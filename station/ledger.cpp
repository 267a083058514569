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
      // `digest` is the record's key: its run id, or for a record without one the SHA-256 of
      // its canonical text (run_record.h).
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
  if (const std::optional<Mac> group = GroupMacWithin(first, last)) {
    return {BlockVerdict::kHoldsGroup, *group, *group};
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
                {record.key, Nullable(record.Unit()), record.tool, record.start, record.seconds,
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
    const auto run = new_runs.find(record.key);
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

namespace {

constexpr int kPageRows = 1000;

// A listing's query, read a page at a time by keyset: `sql` orders its rows by `keys` (unique
// together, the first columns of each row) and holds "{after}" where the condition goes that
// the row's keys lie past the last page's. `numeric` says which keys are numbers.
struct Paged {
  std::string sql;
  std::vector<std::string> keys;
  std::vector<bool> numeric;
  std::vector<Value> params;
};

std::string WithCondition(std::string sql, const std::string& condition) {
  const std::string marker = "{after}";
  return sql.replace(sql.find(marker), marker.size(), condition);
}

long ForEachRow(Store& store, const Paged& query, const RowSink& each) {
  std::string keys, after;
  for (std::size_t k = 0; k < query.keys.size(); ++k) {
    keys += (k == 0 ? "" : ", ") + query.keys[k];
    after += (k == 0 ? "$" : ", $") + std::to_string(query.params.size() + k + 1);
  }
  const std::string first = WithCondition(query.sql, "1 = 1") + " LIMIT " + std::to_string(kPageRows);
  const std::string next =
      WithCondition(query.sql, "(" + keys + ") > (" + after + ")") + " LIMIT " + std::to_string(kPageRows);
  std::vector<Value> params = query.params;
  long count = 0;
  for (bool more = true; more;) {
    const Rows page = store.Query(count == 0 ? first : next, params);
    for (const Row& row : page) each(row);
    count += static_cast<long>(page.size());
    more = page.size() == static_cast<std::size_t>(kPageRows);
    if (!more) break;
    params.resize(query.params.size());
    for (std::size_t k = 0; k < query.keys.size(); ++k) {
      const std::string& key = page.back()[k].value();
      params.push_back(query.numeric[k] ? Value{std::int64_t{std::stoll(key)}} : Value{key});
    }
  }
  return count;
}

// Where a MAC named by a record and never handed out comes from: drawn at random by
// bm77_ident (the canonical record text is this program's own, keys sorted, so "sources"
// begins with its "mac"), typed inside a block, or from outside every block.
const char kRandomMacs[] =
    "SELECT mac_after FROM runs WHERE tool = 'bm77_ident' AND mac_after IS NOT NULL AND "
    "record LIKE '%\"sources\":{\"mac\":\"random\"%'";
const char kNotHanded[] = "NOT EXISTS (SELECT 1 FROM handed h WHERE h.mac = s.mac)";
const char kInBlock[] = "EXISTS (SELECT 1 FROM blocks b WHERE s.mac BETWEEN b.first_mac AND b.last_mac)";

Paged ListQuery(ReportList list) {
  const std::string seen = std::string("SELECT s.mac FROM seen s WHERE {after} AND ") + kNotHanded + " AND ";
  const std::string random = std::string("s.mac IN (") + kRandomMacs + ")";
  switch (list) {
    case ReportList::kHandedNeverProvisioned:
      return {"SELECT h.mac FROM handed h WHERE {after} AND NOT EXISTS (SELECT 1 FROM runs r WHERE "
              "r.unit = h.mac AND r.mac_after = h.mac AND r.tool = 'bm77_provision' AND r.status = 0) "
              "ORDER BY h.mac",
              {"h.mac"}, {true}, {}};
    case ReportList::kTypedInBlock:
      return {seen + "NOT " + random + " AND " + kInBlock + " ORDER BY s.mac", {"s.mac"}, {true}, {}};
    case ReportList::kOutsideBlocks:
      return {seen + "NOT " + random + " AND NOT " + kInBlock + " ORDER BY s.mac", {"s.mac"}, {true}, {}};
    case ReportList::kRandom:
      return {seen + random + " ORDER BY s.mac", {"s.mac"}, {true}, {}};
    case ReportList::kProvisionedAgain:
      return {"SELECT mac_after, COUNT(*) FROM runs WHERE {after} AND tool = 'bm77_provision' AND "
              "status = 0 AND mac_after IS NOT NULL GROUP BY mac_after HAVING COUNT(*) > 1 ORDER BY mac_after",
              {"mac_after"}, {true}, {}};
    case ReportList::kSharedNames:
      return {"SELECT name_after, COUNT(DISTINCT unit) FROM runs WHERE {after} AND unit IS NOT NULL AND "
              "name_after IS NOT NULL GROUP BY name_after HAVING COUNT(DISTINCT unit) > 1 ORDER BY name_after",
              {"name_after"}, {false}, {}};
  }
  throw StoreError("no such list");
}

}  // namespace

void Units(Store& store, const RowSink& each) {
  // The page's units first, then each one's last run: planned this way, a page never looks at
  // the runs of the units after it.
  ForEachRow(store,
             {"SELECT u.unit, (SELECT COUNT(*) FROM runs c WHERE c.unit = u.unit), r.start_time, r.tool, r.status, "
              "r.outcome, r.name_after, r.vcom_after FROM (SELECT DISTINCT unit FROM runs WHERE unit IS NOT NULL "
              "AND {after} ORDER BY unit LIMIT " + std::to_string(kPageRows) + ") u JOIN runs r ON r.id = "
              "(SELECT l.id FROM runs l WHERE l.unit = u.unit ORDER BY l.start_time DESC, l.id DESC LIMIT 1) "
              "ORDER BY u.unit",
              {"unit"}, {true}, {}},
             each);
}

long UnitRuns(Store& store, Mac unit, const RowSink& each) {
  return ForEachRow(
      store,
      {"SELECT start_time, id, tool, status, outcome, seconds, mac_before, mac_after FROM runs "
       "WHERE unit = $1 AND {after} ORDER BY start_time, id",
       {"start_time", "id"}, {false, true}, {std::int64_t{unit}}},
      [&](const Row& run) {
        std::string failures;
        for (const Row& failure : store.Query("SELECT step, kind FROM failures WHERE run_id = $1", {Number(run[1])})) {
          failures += (failures.empty() ? "" : ",") + failure[0].value() + "/" + failure[1].value();
        }
        Row shown(run);
        shown.erase(shown.begin() + 1);  // the id orders the pages only
        shown.push_back(failures.empty() ? std::nullopt : std::optional<std::string>(failures));
        each(shown);
      });
}

RunTotals Totals(Store& store) {
  const Rows totals = store.Query("SELECT COUNT(*), COUNT(*) - COUNT(unit) FROM runs");
  return {static_cast<long>(Number(totals[0][0])), static_cast<long>(Number(totals[0][1]))};
}

void PerTool(Store& store, const RowSink& each) {
  // One row per tool the records may name: a handful, never paged.
  for (const Row& row : store.Query(
           // bmpview ends with 1 when the picture was shown; every other tool with 0 when done.
           "SELECT tool, COUNT(*), SUM(CASE WHEN status <> CASE WHEN tool = 'bmpview' THEN 1 ELSE 0 "
           "END THEN 1 ELSE 0 END) FROM runs GROUP BY tool ORDER BY tool")) {
    each(row);
  }
}

void PerStep(Store& store, const RowSink& each) {
  ForEachRow(store,
             {"SELECT step, kind, COUNT(*) FROM failures WHERE {after} GROUP BY step, kind ORDER BY step, kind",
              {"step", "kind"}, {false, false}, {}},
             each);
}

long CountList(Store& store, ReportList list) {
  const Paged query = ListQuery(list);
  return static_cast<long>(
      Number(store.Query("SELECT COUNT(*) FROM (" + WithCondition(query.sql, "1 = 1") + ") listed", query.params)[0][0]));
}

void List(Store& store, ReportList list, const RowSink& each) { ForEachRow(store, ListQuery(list), each); }

}  // namespace station
