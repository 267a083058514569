#include "store.h"

#include <algorithm>
#include <cctype>

#include "messages.h"

namespace station {
namespace {

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(),
                    [](char lower, char c) { return std::tolower(static_cast<unsigned char>(c)) == lower; });
}

// libpq's own keyword form begins with a keyword and '=' ("host=ledger dbname=..."). libpq
// knows a URI only by its scheme in lower case.
bool IsKeywordString(const std::string& where) {
  const auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
  const auto letter = [](char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_'; };
  std::size_t at = 0;
  while (at < where.size() && space(where[at])) ++at;
  const std::size_t word = at;
  while (at < where.size() && letter(where[at])) ++at;
  if (at == word) return false;
  while (at < where.size() && space(where[at])) ++at;
  return at < where.size() && where[at] == '=';
}

}  // namespace

StoreName ReadStoreName(const std::string& where) {
  for (const std::string scheme : {"postgresql://", "postgres://"}) {
    if (StartsWithNoCase(where, scheme)) return {StoreName::kPostgres, scheme + where.substr(scheme.size())};
  }
  if (IsKeywordString(where)) return {StoreName::kPostgres, where};
  if (where.empty()) return {StoreName::kRefused, msg::kStoreNameEmpty};
  if (where == ":memory:") return {StoreName::kRefused, msg::kStoreNameMemory};
  if (StartsWithNoCase(where, "file:")) return {StoreName::kRefused, msg::kStoreNameSqliteUri};
  if (where.find("://") != std::string::npos) return {StoreName::kRefused, msg::kStoreNameScheme};
  return {StoreName::kSqlite, where};
}

std::unique_ptr<Store> OpenStore(const std::string& where, Access access) {
  const StoreName name = ReadStoreName(where);
  switch (name.kind) {
    case StoreName::kPostgres:
      return OpenPostgresStore(name.name, access);
    case StoreName::kSqlite:
      return OpenSqliteStore(name.name, access);
    case StoreName::kRefused:
      break;
  }
  throw StoreError(name.name);
}

Rows InsertRows(Store& store, const std::string& head, std::size_t width, const std::vector<Value>& values,
                const std::string& tail) {
  const std::size_t per_statement = std::max<std::size_t>(1, store.MaxParams() / width) * width;
  Rows returned;
  for (std::size_t from = 0; from < values.size(); from += per_statement) {
    const std::size_t count = std::min(per_statement, values.size() - from);
    std::string sql = head + " VALUES ";
    for (std::size_t i = 0; i < count; ++i) {
      sql += i % width == 0 ? (i == 0 ? "(" : "), (") : ", ";
      sql += "$" + std::to_string(i + 1);
    }
    sql += ") " + tail;
    const std::vector<Value> params(values.begin() + static_cast<std::ptrdiff_t>(from),
                                    values.begin() + static_cast<std::ptrdiff_t>(from + count));
    Rows rows = store.Query(sql, params);
    returned.insert(returned.end(), std::make_move_iterator(rows.begin()), std::make_move_iterator(rows.end()));
  }
  return returned;
}

}  // namespace station
