// The SQLite store: one file, written by one transaction at a time (BEGIN IMMEDIATE), in WAL
// mode so that readers never wait, and synced at every commit so that a MAC handed out stays
// handed out across a power cut. Every error names the file.
#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <thread>

#include "messages.h"
#include "store.h"

namespace station {
namespace {

// A writer waits this long for another one before the command fails.
constexpr int kBusyTimeoutMs = 60000;
// A busy answer that SQLite gives without waiting (a log being set up or recovered by another
// connection at first use) is tried again after this pause, within kBusyTimeoutMs.
constexpr auto kBusyPause = std::chrono::milliseconds(1);
// Page cache, in KiB (negative in the pragma). Large enough that an import's batch stays in
// memory until its commit instead of spilling page by page into the log.
constexpr int kCacheKiB = 65536;

class SqliteStore : public Store {
 public:
  SqliteStore(const std::string& path, Access access) : path_(path) {
    if (access == Access::kRead && ::access(path.c_str(), F_OK) != 0) {
      char why[160];
      std::snprintf(why, sizeof why, msg::kNoSuchFile, std::strerror(errno));
      Fail(why);
    }
    const int flags = SQLITE_OPEN_NOMUTEX |
                      (access == Access::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
      const std::string why = db_ ? sqlite3_errmsg(db_) : "out of memory";
      sqlite3_close(db_);
      db_ = nullptr;
      Fail(why);
    }
  }

  // Set apart from the constructor so that a failure here still closes the file.
  void Configure(Access access) {
    sqlite3_busy_timeout(db_, kBusyTimeoutMs);
    // A station calls next-mac once per unit: the log file is kept (emptied) when the last
    // connection closes, so that no call pays for deleting it and creating it again.
    int keep_log = 1;
    sqlite3_file_control(db_, "main", SQLITE_FCNTL_PERSIST_WAL, &keep_log);
    if (access == Access::kRead) return;  // opened read-only: nothing to set for writing
    if (sqlite3_db_readonly(db_, "main") == 1) Fail(msg::kReadOnlyFile);
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
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    int step;
    while ((step = sqlite3_step(statement)) == SQLITE_ROW || WaitedOut(step, deadline)) {
      if (step == SQLITE_ROW) {
        rows.push_back(Columns(statement));
      } else {
        sqlite3_reset(statement);  // from the start again; the bindings stay
        rows.clear();
      }
    }
    sqlite3_reset(statement);
    if (step != SQLITE_DONE) Fail(sqlite3_errmsg(db_));
    return rows;
  }

  // Without the log, readers would wait on writers: a file system, a folder or a build where
  // it cannot be kept is refused, not worked around.
  void PrepareWrites() override {
    std::string journal;
    try {
      const Rows mode = Query("PRAGMA journal_mode=WAL", {});
      journal = "journal mode " + (mode.empty() ? "unknown" : mode[0][0].value_or("unknown"));
    } catch (const StoreError&) {
      journal = sqlite3_errmsg(db_);
    }
    if (journal != "journal mode wal") {
      char why[256];
      std::snprintf(why, sizeof why, msg::kNoWal, journal.c_str());
      Fail(why);
    }
  }

  void BeginWrite() override { Query("BEGIN IMMEDIATE", {}); }
  void BeginImport() override { BeginWrite(); }  // SQLite has one writer at a time anyway
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() override { Query("ROLLBACK", {}); }

  std::vector<std::string> Tables() override {
    return Names(Query("SELECT name FROM sqlite_master WHERE type = 'table' AND name NOT LIKE 'sqlite!_%' ESCAPE '!'", {}));
  }

  std::vector<std::string> Columns(const std::string& table) override {
    return Names(Query("SELECT name FROM pragma_table_info($1)", {table}));
  }

  std::string Describe() const override { return path_; }

  const char* AutoKey() const override { return "INTEGER PRIMARY KEY"; }

  std::size_t MaxParams() const override {
    return static_cast<std::size_t>(sqlite3_limit(db_, SQLITE_LIMIT_VARIABLE_NUMBER, -1));
  }

 private:
  [[noreturn]] void Fail(const std::string& why) const { throw StoreError(path_ + ": " + why); }

  // True when `result` is a busy answer outside a transaction (nothing of this connection is
  // held, so trying again is safe) and the deadline is not passed: it then pauses a moment.
  bool WaitedOut(int result, std::chrono::steady_clock::time_point deadline) const {
    if (result != SQLITE_BUSY || !sqlite3_get_autocommit(db_) || std::chrono::steady_clock::now() > deadline) {
      return false;
    }
    std::this_thread::sleep_for(kBusyPause);
    return true;
  }

  static std::vector<std::string> Names(const Rows& rows) {
    std::vector<std::string> names;
    for (const Row& row : rows) names.push_back(row.at(0).value_or(""));
    return names;
  }

  // $N becomes ?N, SQLite's numbered parameter; when they come in order, each once ($1, $2,
  // ...), plain ?: SQLite looks a numbered one up in a list, which made a statement of many
  // rows take a second to prepare.
  static std::string Numbered(const std::string& sql) {
    std::string numbered, plain;
    bool in_order = true;
    long expected = 1;
    for (std::size_t i = 0; i < sql.size(); ++i) {
      if (sql[i] != '$' || i + 1 == sql.size() || sql[i + 1] < '0' || sql[i + 1] > '9') {
        numbered += sql[i];
        plain += sql[i];
        continue;
      }
      std::size_t end = i + 1;
      while (end < sql.size() && sql[end] >= '0' && sql[end] <= '9') ++end;
      in_order = in_order && std::stol(sql.substr(i + 1, end - i - 1)) == expected++;
      numbered += '?' + sql.substr(i + 1, end - i - 1);
      plain += '?';
      i = end - 1;
    }
    return in_order ? plain : numbered;
  }

  sqlite3_stmt* Prepared(const std::string& sql) {
    auto& statement = statements_[sql];
    if (statement != nullptr) return statement;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
    int result;
    while ((result = sqlite3_prepare_v2(db_, Numbered(sql).c_str(), -1, &statement, nullptr)) != SQLITE_OK) {
      if (!WaitedOut(result, deadline)) {
        statements_.erase(sql);
        Fail(sqlite3_errmsg(db_));
      }
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

  std::string path_;
  sqlite3* db_ = nullptr;
  std::map<std::string, sqlite3_stmt*> statements_;
};

}  // namespace

std::unique_ptr<Store> OpenSqliteStore(const std::string& path, Access access) {
  auto store = std::make_unique<SqliteStore>(path, access);
  store->Configure(access);
  return store;
}

}  // namespace station
