#include "ledger.h"

#include <ctime>
#include <string>

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

}  // namespace

void OpenLedger(Store& store) {
  if (!store.HasTable("meta")) {
    WriteTransaction transaction(store);
    // Another station may have made it while this one waited for the lock.
    if (!store.HasTable("meta")) {
      for (const std::string& statement : SchemaStatements(store)) store.Query(statement);
      store.Query("INSERT INTO meta (key, value) VALUES ($1, $2)",
                  {std::string(kVersionKey), std::to_string(kSchemaVersion)});
    }
    transaction.Commit();
  }
  const Rows version = store.Query("SELECT value FROM meta WHERE key = $1", {std::string(kVersionKey)});
  if (version.empty() || version[0][0] != std::to_string(kSchemaVersion)) {
    throw StoreError("the ledger's schema version is " + (version.empty() ? "missing" : version[0][0].value_or("")) +
                     ", this program knows version " + std::to_string(kSchemaVersion));
  }
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
  Mac mac = Number(block[0][2]);
  // MACs seen in records are skipped over; the cursor moves past them for good.
  while (mac <= last && !store.Query("SELECT 1 FROM seen WHERE mac = $1", {std::int64_t{mac}}).empty()) ++mac;
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

long StoreRecords(Store& store, const std::vector<RunRecord>& records) {
  long stored = 0;
  WriteTransaction transaction(store);
  for (const RunRecord& record : records) {
    const Rows id = store.Query(
        "INSERT INTO runs (digest, unit, tool, start_time, seconds, status, outcome, mac_before, "
        "mac_after, name_after, vcom_after, record) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, "
        "$11, $12) ON CONFLICT (digest) DO NOTHING RETURNING id",
        {record.digest, Nullable(record.Unit()), record.tool, record.start, record.seconds,
         std::int64_t{record.status}, record.outcome, Nullable(record.mac_before),
         Nullable(record.mac_after),
         record.name_after ? Value{*record.name_after} : Value{nullptr},
         record.vcom_after ? Value{std::int64_t{*record.vcom_after}} : Value{nullptr}, record.canonical});
    if (id.empty()) continue;
    ++stored;
    for (const auto& failure : record.failures) {
      store.Query("INSERT INTO failures (run_id, step, kind) VALUES ($1, $2, $3)",
                  {Number(id[0][0]), failure.first, failure.second});
    }
    for (Mac mac : record.macs) {
      store.Query("INSERT INTO seen (mac) VALUES ($1) ON CONFLICT (mac) DO NOTHING", {std::int64_t{mac}});
    }
  }
  transaction.Commit();
  return stored;
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
