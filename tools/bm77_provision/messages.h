// The lines bm77_provision prints itself; the identity-file lines are those of bm77_ident
// (bm77_ident/messages.h), the banner and the port lines the library's.
#pragma once

namespace provision::msg {

constexpr const char kMacArgumentFormat[] = "mac = %s\n";
constexpr const char kVcomArgumentFormat[] = "vcom = %s\n";
constexpr const char kInvalidMac[] = "Invalid MAC Address.";
constexpr const char kInvalidVcom[] = "Invalid VCOM Value.";
constexpr const char kNotReadBackFormat[] = "%s not read back as written\n";

}  // namespace provision::msg
