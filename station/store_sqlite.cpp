// The SQLite store: one file, written by one transaction at a time (BEGIN IMMEDIATE), in WAL
// mode so that readers never wait, and synced at every commit so that a MAC handed out stays
// handed out across a power cut.
#include <sqlite3.h>

#include <map>

#include "store.h"

namespace station {
namespace {

// A writer waits this long for another one before the command fails.
constexpr int kBusyTimeoutMs = 60000;
// Page cache, in KiB (negative in the pragma). Large enough that an import's batch stays in
// memory until its commit instead of spilling page by page into the log.
constexpr int kCacheKiB = 65536;

class SqliteStore : public Store {
 public:
  explicit SqliteStore(const std::string& path) {
    const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      throw StoreError("cannot open " + path + ": " + why);
    }
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // A station calls next-mac once per unit: the log file is kept (emptied) when the last
    // connection closes, so that no call pays for deleting it and creating it again.
    int keep_log = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep_log);
    Query("PRAGMA journal_mode=WAL", {});
    Query("PRAGMA synchronous=FULL", {});
    Query("PRAGMA journal_size_limit=0", {});  // an emptied log is cut, not read at the next open
    Query("PRAGMA cache_size=-" + std::to_string(kCacheKiB), {});
  }

  ~SqliteStore() override {
    for (auto& cached : statements_) sqlite3_finalize(cached.second);
    sqlite3_close(db_);
  }

  Rows Query(const std::string& sql, const std::vector<Value>& params) override {
    sqlite3_stmt* statement = Prepared(sql);
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
    for (std::size_t i = 0; i < params.size(); ++i) Bind(statement, static_cast<int>(i + 1), params[i]);
    Rows rows;
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW) rows.push_back(Columns(statement));
    sqlite3_reset(statement);
    if (step != SQLITE_DONE) throw StoreError(sqlite3_errmsg(db_));
    return rows;
  }

  void BeginWrite() override { Query("BEGIN IMMEDIATE", {}); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() override { Query("ROLLBACK", {}); }

  bool HasTable(const std::string& name) override {
    return !Query("SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = $1", {name}).empty();
  }

  const char* AutoKey() const override { return "INTEGER PRIMARY KEY"; }

 private:
  // $N becomes ?N, SQLite's numbered parameter.
  static std::string Numbered(std::string sql) {
    for (std::size_t i = 0; i + 1 < sql.size(); ++i) {
      if (sql[i] == '$' && sql[i + 1] >= '0' && sql[i + 1] <= '9') sql[i] = '?';
    }
    return sql;
  }

  sqlite3_stmt* Prepared(const std::string& sql) {
    auto& statement = statements_[sql];
    if (statement == nullptr &&
        sqlite3_prepare_v2(db_, Numbered(sql).c_str(), -1, &statement, nullptr) != SQLITE_OK) {
      statements_.erase(sql);
      throw StoreError(sqlite3_errmsg(db_));
    }
    return statement;
  }

  static void Bind(sqlite3_stmt* statement, int at, const Value& value) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
      sqlite3_bind_int64(statement, at, *number);
    } else if (const auto* real = std::get_if<double>(&value)) {
      sqlite3_bind_double(statement, at, *real);
    } else if (const auto* text = std::get_if<std::string>(&value)) {
      sqlite3_bind_text(statement, at, text->data(), static_cast<int>(text->size()), SQLITE_TRANSIENT);
    } else {
      sqlite3_bind_null(statement, at);
    }
  }

  static Row Columns(sqlite3_stmt* statement) {
    Row row;
    for (int i = 0; i < sqlite3_column_count(statement); ++i) {
      const unsigned char* text = sqlite3_column_text(statement, i);
      if (text == nullptr) {
        row.emplace_back();
      } else {
        row.emplace_back(std::string(reinterpret_cast<const char*>(text),
                                     static_cast<std::size_t>(sqlite3_column_bytes(statement, i))));
      }
    }
    return row;
  }

  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path) {
  return std::make_unique<SqliteStore>(path);
}

}  // namespace station
