// The PostgreSQL store, for a ledger that several stations share. The ledger's writers take
// one transaction-scoped advisory lock, so they run one at a time on every station while
// readers never wait; imports take one of their own. Every wait has a limit: connecting,
// waiting for a lock, a statement, a transaction left open, and a peer gone silent.
#include <dlfcn.h>
#include <libpq-fe.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "messages.h"
#include "store.h"

namespace station {
namespace {

// The advisory locks of the ledger's writers ("bm77" in ASCII) and of imports ("bm7i").
constexpr long long kWriterLock = 0x626d3737;
constexpr long long kImportLock = 0x626d3769;

// Time limits. A writer holds the lock for milliseconds (an import's batch, well under a
// second), so a wait of kLockSeconds means a station stuck with it.
constexpr int kLockSeconds = 5;
// The server gives the reply of a statement within this, or cancels it.
constexpr char kStatementLimit[] = "30s";
// A transaction left open (a station stopped with Ctrl-Z holding the lock) is ended by the
// server after this.
constexpr char kIdleInTransactionLimit[] = "30s";
// Connecting, authentication included; a server that accepts and never answers ends here.
// The environment's PGCONNECT_TIMEOUT, or the connection's own connect_timeout, wins.
constexpr char kConnectSeconds[] = "5";
// A server or a network gone silent under an open connection: probes after 10 s idle, every
// 5 s, 3 unanswered ones end it; data unacknowledged for 30 s ends it too.
constexpr const char* kKeepalives[][2] = {
    {"keepalives", "1"}, {"keepalives_idle", "10"}, {"keepalives_interval", "5"},
    {"keepalives_count", "3"}, {"tcp_user_timeout", "30000"},
};
// The server's code for a lock not granted within lock_timeout.
constexpr char kLockNotAvailable[] = "55P03";

// libpq is loaded only for a PostgreSQL ledger: it brings some twenty libraries (Kerberos,
// LDAP, TLS) whose loading would double the time of every command on an SQLite ledger.
constexpr char kLibPq[] = "libpq.so.5";

struct LibPq {
  decltype(&PQconnectdbParams) connectdbParams;
  decltype(&PQexec) exec;
  decltype(&PQdb) db;
  decltype(&PQresultErrorField) resultErrorField;
  decltype(&PQstatus) status;
  decltype(&PQerrorMessage) errorMessage;
  decltype(&PQfinish) finish;
  decltype(&PQsetNoticeProcessor) setNoticeProcessor;
  decltype(&PQexecParams) execParams;
  decltype(&PQresultStatus) resultStatus;
  decltype(&PQresultErrorMessage) resultErrorMessage;
  decltype(&PQclear) clear;
  decltype(&PQntuples) ntuples;
  decltype(&PQnfields) nfields;
  decltype(&PQgetisnull) getisnull;
  decltype(&PQgetvalue) getvalue;
  decltype(&PQgetlength) getlength;
};

template <typename Function>
void Resolve(void* library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(dlsym(library, name));
  if (function == nullptr) throw StoreError(std::string(kLibPq) + " has no " + name);
}

const LibPq& Pq() {
  static const LibPq pq = [] {
    void* library = dlopen(kLibPq, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) throw StoreError(std::string("cannot load ") + dlerror());
    LibPq loaded{};
    Resolve(library, "PQconnectdbParams", loaded.connectdbParams);
    Resolve(library, "PQexec", loaded.exec);
    Resolve(library, "PQdb", loaded.db);
    Resolve(library, "PQresultErrorField", loaded.resultErrorField);
    Resolve(library, "PQstatus", loaded.status);
    Resolve(library, "PQerrorMessage", loaded.errorMessage);
    Resolve(library, "PQfinish", loaded.finish);
    Resolve(library, "PQsetNoticeProcessor", loaded.setNoticeProcessor);
    Resolve(library, "PQexecParams", loaded.execParams);
    Resolve(library, "PQresultStatus", loaded.resultStatus);
    Resolve(library, "PQresultErrorMessage", loaded.resultErrorMessage);
    Resolve(library, "PQclear", loaded.clear);
    Resolve(library, "PQntuples", loaded.ntuples);
    Resolve(library, "PQnfields", loaded.nfields);
    Resolve(library, "PQgetisnull", loaded.getisnull);
    Resolve(library, "PQgetvalue", loaded.getvalue);
    Resolve(library, "PQgetlength", loaded.getlength);
    return loaded;
  }();
  return pq;
}

// A statement the server refused, with its SQLSTATE code.
struct ServerError : StoreError {
  ServerError(const std::string& why, std::string code) : StoreError(why), state(std::move(code)) {}
  std::string state;
};

class PostgresStore : public Store {
 public:
  explicit PostgresStore(const std::string& connection) : connection_(Connect(connection)) {
    if (Pq().status(connection_) != CONNECTION_OK) {
      const std::string why = Pq().errorMessage(connection_);
      Pq().finish(connection_);
      throw StoreError("cannot connect: " + Trimmed(why));
    }
    // The server's notices ("relation ... already exists, skipping") are not for the operator.
    Pq().setNoticeProcessor(connection_, [](void*, const char*) {}, nullptr);
  }

  ~PostgresStore() override { Pq().finish(connection_); }

  // The session's limits in one round trip; a reader's session cannot write.
  void Configure(Access access) {
    std::string settings = "SET lock_timeout = '" + std::to_string(kLockSeconds) + "s'; SET statement_timeout = '" +
                           kStatementLimit + "'; SET idle_in_transaction_session_timeout = '" +
                           kIdleInTransactionLimit + "';";
    if (access == Access::kRead) settings += " SET default_transaction_read_only = on;";
    Checked(Pq().exec(connection_, settings.c_str()));
  }

  Rows Query(const std::string& sql, const std::vector<Value>& params) override {
    std::vector<std::string> texts(params.size());
    std::vector<const char*> values(params.size());
    for (std::size_t i = 0; i < params.size(); ++i) values[i] = Text(params[i], texts[i]);
    return Checked(Pq().execParams(connection_, sql.c_str(), static_cast<int>(params.size()), nullptr,
                                   values.data(), nullptr, nullptr, 0));
  }

  // Read committed, whatever the database's default: each statement sees what the writer
  // before this one committed (under repeatable read, a writer that waited for the lock would
  // work on what it saw before waiting, and fail to serialize).
  void PrepareWrites() override {}
  void BeginWrite() override { BeginLocked(kWriterLock); }
  void BeginImport() override { BeginLocked(kImportLock); }
  void Commit() override { Query("COMMIT", {}); }
  void Rollback() override { Query("ROLLBACK", {}); }

  std::vector<std::string> Tables() override {
    return Names(Query("SELECT tablename FROM pg_tables WHERE schemaname = current_schema()", {}));
  }

  std::vector<std::string> Columns(const std::string& table) override {
    // The catalog itself: information_schema's view of it takes milliseconds, at every command.
    return Names(Query("SELECT attname FROM pg_attribute WHERE attrelid = "
                       "to_regclass(quote_ident(current_schema()) || '.' || quote_ident($1)) AND attnum > 0 "
                       "AND NOT attisdropped",
                       {table}));
  }

  std::string Describe() const override { return std::string("the database ") + Pq().db(connection_); }

  const char* AutoKey() const override { return "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"; }

  std::size_t MaxParams() const override { return 65535; }  // the protocol's 16-bit count

 private:
  // The caller's connection string or URI comes last, so that what it sets wins over the
  // limits set here.
  static PGconn* Connect(const std::string& connection) {
    std::vector<const char*> keywords, values;
    if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
      keywords.push_back("connect_timeout");
      values.push_back(kConnectSeconds);
    }
    for (const auto& keepalive : kKeepalives) {
      keywords.push_back(keepalive[0]);
      values.push_back(keepalive[1]);
    }
    keywords.push_back("dbname");
    values.push_back(connection.c_str());
    keywords.push_back(nullptr);
    values.push_back(nullptr);
    return Pq().connectdbParams(keywords.data(), values.data(), 1);
  }

  void BeginLocked(long long lock) {
    Query("BEGIN ISOLATION LEVEL READ COMMITTED", {});
    try {
      Query("SELECT pg_advisory_xact_lock($1)", {std::int64_t{lock}});
    } catch (const ServerError& error) {
      if (error.state != kLockNotAvailable) throw;
      char why[256];
      std::snprintf(why, sizeof why, msg::kWriterLockHeld, kLockSeconds, error.what());
      throw StoreError(why);
    }
  }

  // The rows of a result, or its error as a ServerError; the result is freed either way.
  static Rows Checked(PGresult* result) {
    const ExecStatusType status = Pq().resultStatus(result);
    if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
      const std::string why = Trimmed(Pq().resultErrorMessage(result));
      const char* state = Pq().resultErrorField(result, PG_DIAG_SQLSTATE);
      const std::string code = state != nullptr ? state : "";
      Pq().clear(result);
      throw ServerError(why.empty() ? "the server's connection was lost" : why, code);
    }
    Rows rows = Collect(result);
    Pq().clear(result);
    return rows;
  }

  static std::vector<std::string> Names(const Rows& rows) {
    std::vector<std::string> names;
    for (const Row& row : rows) names.push_back(row.at(0).value_or(""));
    return names;
  }

  static std::string Trimmed(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    return text;
  }

  // A parameter as text, PostgreSQL's own form of it; NULL as a null pointer.
  static const char* Text(const Value& value, std::string& text) {
    if (const auto* number = std::get_if<std::int64_t>(&value)) {
      text = std::to_string(*number);
    } else if (const auto* real = std::get_if<double>(&value)) {
      char buffer[32];
      std::snprintf(buffer, sizeof buffer, "%.17g", *real);
      text = buffer;
    } else if (const auto* string = std::get_if<std::string>(&value)) {
      text = *string;
    } else {
      return nullptr;
    }
    return text.c_str();
  }

  static Rows Collect(const PGresult* result) {
    Rows rows;
    for (int r = 0; r < Pq().ntuples(result); ++r) {
      Row row;
      for (int c = 0; c < Pq().nfields(result); ++c) {
        if (Pq().getisnull(result, r, c)) {
          row.emplace_back();
        } else {
          row.emplace_back(std::string(Pq().getvalue(result, r, c), static_cast<std::size_t>(Pq().getlength(result, r, c))));
        }
      }
      rows.push_back(std::move(row));
    }
    return rows;
  }

  PGconn* connection_;
};

}  // namespace

std::unique_ptr<Store> OpenPostgresStore(const std::string& connection, Access access) {
  auto store = std::make_unique<PostgresStore>(connection);
  store->Configure(access);
  return store;
}

}  // namespace station
