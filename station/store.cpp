#include "store.h"

namespace station {

std::unique_ptr<Store> OpenStore(const std::string& where) {
  for (const char* scheme : {"postgresql://", "postgres://"}) {
    if (where.rfind(scheme, 0) == 0) return OpenPostgresStore(where);
  }
  return OpenSqliteStore(where);
}

}  // namespace station
