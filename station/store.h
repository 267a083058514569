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

class Store {
 public:
  virtual ~Store() = default;
  // Runs one statement with `params` bound to $1, $2, ...; returns its rows.
  virtual Rows Query(const std::string& sql, const std::vector<Value>& params = {}) = 0;
  // Starts a transaction that runs alone among the ledger's writers, on every station: what
  // it reads stays true until Commit.
  virtual void BeginWrite() = 0;
  virtual void Commit() = 0;
  virtual void Rollback() = 0;
  virtual bool HasTable(const std::string& name) = 0;
  // The column type of a key the store numbers itself.
  virtual const char* AutoKey() const = 0;
};

// A postgresql:// or postgres:// URI (anything libpq takes as one) opens a PostgreSQL store;
// anything else names an SQLite file, made when missing.
std::unique_ptr<Store> OpenStore(const std::string& where);
std::unique_ptr<Store> OpenSqliteStore(const std::string& path);
std::unique_ptr<Store> OpenPostgresStore(const std::string& uri);

// Rolls back a write transaction that was not committed (a store error on the way).
class WriteTransaction {
 public:
  explicit WriteTransaction(Store& store) : store_(store) { store_.BeginWrite(); }
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
