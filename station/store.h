// The ledger's store: SQLite in a file (the default) or a PostgreSQL server that several
// stations share. The ledger speaks one SQL to both; parameters are written $1, $2, ...
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

namespace station {

using Value = std::variant<std::nullptr_t, std::int64_t, double, std::string>;
using Row = std::vector<std::optional<std::string>>;  // every column as text, NULL as nullopt
using Rows = std::vector<Row>;

// Anything the store refused or could not do (connection, SQL, lock time limit).
struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// What a command does with the store: a reader never makes, changes or locks anything.
enum class Access { kRead, kWrite };

class Store {
 public:
  virtual ~Store() = default;
  // Runs one statement with `params` bound to $1, $2, ...; returns its rows.
  virtual Rows Query(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  // Called by a writer once the store holds its ledger or nothing yet, before its first
  // transaction: SQLite switches to its write-ahead log here (never in another program's file).
  virtual void PrepareWrites() = 0;
  // Starts a transaction that runs alone among the ledger's writers, on every station: what
  // it reads stays true until Commit.
  virtual void BeginWrite() = 0;
  // Starts a transaction of an import: one import at a time, beside the other writers (an
  // import adds runs and seen MACs, which no other writer changes).
  virtual void BeginImport() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  // The names of the tables where the ledger keeps its own.
  virtual std::vector<std::string> Tables() = 0;
  // The names of a table's columns.
  virtual std::vector<std::string> Columns(const std::string& table) = 0;
  // The store as its errors name it: the file, or the PostgreSQL database.
  virtual std::string Describe() const = 0;
  // The column type of a key the store numbers itself.
  virtual const char* AutoKey() const = 0;
  // How many parameters one statement may bind.
  virtual std::size_t MaxParams() const = 0;
};

// What a store name names. PostgreSQL: a URI (postgresql:// or postgres://, in any case) or a
// libpq keyword string (host=... dbname=...). SQLite: a plain file path. Anything else cannot
// hold a shared, lasting ledger: an empty name (an unset variable), :memory:, an SQLite URI
// (file:...), another scheme.
struct StoreName {
  enum Kind { kSqlite, kPostgres, kRefused } kind = kRefused;
  std::string name;  // as the store takes it (a URI's scheme in lower case); kRefused: why
};
StoreName ReadStoreName(const std::string& where);

// Opens the store a name names (kRefused is a StoreError). A reader opens what exists and
// never makes a file nor writes; a writer makes an SQLite file when missing.
std::unique_ptr<Store> OpenStore(const std::string& where, Access access);
std::unique_ptr<Store> OpenSqliteStore(const std::string& path, Access access);
std::unique_ptr<Store> OpenPostgresStore(const std::string& connection, Access access);

// Rows of `width` values each, sent in as few statements as the store binds:
// `head` VALUES ($1, ...), (...) `tail`. Returns the rows of every statement (RETURNING).
Rows InsertRows(Store& store, const std::string& head, std::size_t width, const std::vector<Value>& values,
                const std::string& tail = "");

// Rolls back a transaction that was not committed (a store error on the way).
class WriteTransaction {
 public:
  enum Kind { kWrite, kImport };
  explicit WriteTransaction(Store& store, Kind kind = kWrite) : store_(store) {
    if (kind == kWrite) {
      store_.BeginWrite();
    } else {
      store_.BeginImport();
    }
  }
  ~WriteTransaction() {
    if (open_) {
      try {
        store_.Rollback();
      } catch (const StoreError&) {
        // The store is already failing; the first error is the one reported.
      }
    }
  }
  WriteTransaction(const WriteTransaction&) = delete;
  WriteTransaction& operator=(const WriteTransaction&) = delete;
  void Commit() {
    store_.Commit();
    open_ = false;
  }

 private:
  Store& store_;
  bool open_ = true;
};

}  // namespace station
