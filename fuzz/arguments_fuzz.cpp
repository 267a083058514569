// The MAC and VCOM given to bm77_provision are outside input: whatever characters an argument
// holds, the parsers read nothing past its end, take exactly the well-formed arguments (hex
// pairs at the MAC's six places; three decimal digits), and a parsed MAC prints back as the
// same pairs in upper case.
// Input: the bytes up to the first NUL are the MAC argument, the rest the VCOM argument.
#include <ctype.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "bm77_ident/identity_files.h"

namespace {

// An argument in a buffer of exactly its size, so that a read past its NUL is caught.
std::vector<char> Argument(const uint8_t* data, size_t size) {
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  return text;
}

void CheckMac(const std::vector<char>& argument) {
  const char* a = argument.data();
  bool well_formed = strlen(a) >= ident::kMacTextLength;
  for (size_t i = 0; well_formed && i < ident::kMacBytes; ++i) {
    well_formed = isxdigit(static_cast<unsigned char>(a[3 * i])) &&
                  isxdigit(static_cast<unsigned char>(a[3 * i + 1]));
  }
  uint8_t mac[ident::kMacBytes];
  const int result = ident::MacFromText(a, mac);
  if ((result == 0) != well_formed) abort();
  if (result != 0) return;
  char text[ident::kMacTextBufferSize];
  ident::MacToText(mac, text);
  for (size_t i = 0; i < ident::kMacBytes; ++i) {
    for (size_t k = 3 * i; k < 3 * i + 2; ++k) {
      if (text[k] != toupper(static_cast<unsigned char>(a[k]))) abort();
    }
  }
}

void CheckVcom(const std::vector<char>& argument) {
  const char* a = argument.data();
  const bool well_formed = strlen(a) == 3 && isdigit(static_cast<unsigned char>(a[0])) &&
                           isdigit(static_cast<unsigned char>(a[1])) &&
                           isdigit(static_cast<unsigned char>(a[2]));
  int vcom = -1;
  if ((ident::VcomFromText(a, &vcom) == 0) != well_formed) abort();
  if (well_formed && vcom != atoi(a)) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* split = static_cast<const uint8_t*>(memchr(data, 0, size));
  const size_t mac_size = split != nullptr ? static_cast<size_t>(split - data) : size;
  CheckMac(Argument(data, mac_size));
  const size_t rest = mac_size < size ? mac_size + 1 : size;
  CheckVcom(Argument(data + rest, size - rest));
  return 0;
}
