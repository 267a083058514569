// MAC addresses as the ledger keeps them: a 48-bit number, so that blocks are ranges and "the
// lowest MAC" is a comparison. Written as the identity files write them: 00:1A:2B:3C:4D:5E.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace station {

using Mac = std::int64_t;

constexpr Mac kMacMax = (Mac{1} << 48) - 1;

// Six pairs of hex digits (either case) separated by ':'; nothing else.
std::optional<Mac> ParseMac(const std::string& text);
// Upper-case pairs separated by ':'.
std::string MacText(Mac mac);
// The lowest MAC from `first` to `last` (both included) that the module may not keep
// (bm77_ident replaces it), if any.
std::optional<Mac> UnusableMacWithin(Mac first, Mac last);
// The lowest group (multicast) address from `first` to `last`, if any: the lowest bit of the
// first octet set. No unit may carry one.
std::optional<Mac> GroupMacWithin(Mac first, Mac last);

}  // namespace station
