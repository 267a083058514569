// SHA-256 from libcrypto, for the key of a run record that carries no run id: the digest of
// its canonical text.
#pragma once

#include <string>

namespace station {

// The digest of `bytes` as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& bytes);

}  // namespace station
