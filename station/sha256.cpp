#include "sha256.h"

#include <openssl/sha.h>

#include <cstdio>

namespace station {

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  std::string hex(2 * sizeof digest, '0');
  for (std::size_t i = 0; i < sizeof digest; ++i) std::snprintf(&hex[2 * i], 3, "%02x", digest[i]);
  return hex;
}

}  // namespace station
