// SHA-256, for the identity of a run record: the digest of its canonical text.
#pragma once

#include <string>

namespace station {

// The digest of `bytes` as 64 lower-case hex digits.
std::string Sha256Hex(const std::string& bytes);

}  // namespace station
