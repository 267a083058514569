#include "mac.h"

#include <array>
#include <cstdio>

namespace station {
namespace {

constexpr std::size_t kMacTextLength = 17;
constexpr int kGroupBit = 40;  // the lowest bit of the first octet
constexpr int kMacBytes = 6;

// bm77_ident's rule (tools/bm77_ident): all zeros, the module's factory default, all ones, lowest first.
// A block that holds one of them would hand out a MAC that bm77_provision refuses.
constexpr std::array<Mac, 3> kUnusableMacs = {0x000000000000, 0x001167500000, kMacMax};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::optional<Mac> ParseMac(const std::string& text) {
  if (text.size() != kMacTextLength) return std::nullopt;
  Mac mac = 0;
  for (int i = 0; i < kMacBytes; ++i) {
    const std::size_t at = static_cast<std::size_t>(i) * 3;
    const int high = HexDigit(text[at]);
    const int low = HexDigit(text[at + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    if (i + 1 < kMacBytes && text[at + 2] != ':') return std::nullopt;
    mac = (mac << 8) | (high << 4) | low;
  }
  return mac;
}

std::string MacText(Mac mac) {
  char text[kMacTextLength + 1];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X",
                static_cast<unsigned>((mac >> 40) & 0xFF), static_cast<unsigned>((mac >> 32) & 0xFF),
                static_cast<unsigned>((mac >> 24) & 0xFF), static_cast<unsigned>((mac >> 16) & 0xFF),
                static_cast<unsigned>((mac >> 8) & 0xFF), static_cast<unsigned>(mac & 0xFF));
  return text;
}

std::optional<Mac> UnusableMacWithin(Mac first, Mac last) {
  for (Mac unusable : kUnusableMacs) {
    if (unusable >= first && unusable <= last) return unusable;
  }
  return std::nullopt;
}

std::optional<Mac> GroupMacWithin(Mac first, Mac last) {
  // The first MAC at or above `first` with the bit set: `first` itself, else the next octet's
  // value with nothing below it.
  const Mac group = (first >> kGroupBit & 1) != 0 ? first : ((first >> kGroupBit) + 1) << kGroupBit;
  if (group >= first && group <= last) return group;
  return std::nullopt;
}

}  // namespace station
