// The MAC and VCOM given to bm77_provision are outside input: whatever characters an argument
// holds, the parsers read nothing past its end, refuse exactly the arguments too short to
// parse, and a parsed MAC prints back as a text of 17 characters.
// Input: the bytes up to the first NUL are the MAC argument, the rest the VCOM argument.
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
  uint8_t mac[ident::kMacBytes];
  const bool long_enough = strlen(argument.data()) >= ident::kMacTextLength;
  const int result = ident::MacFromText(argument.data(), mac);
  if ((result == 0) != long_enough) abort();
  if (result != 0) return;
  char text[ident::kMacTextBufferSize];
  ident::MacToText(mac, text);
  if (strlen(text) != ident::kMacTextLength) abort();
}

void CheckVcom(const std::vector<char>& argument) {
  int vcom = -1;
  const bool long_enough = strlen(argument.data()) >= ident::kVcomTextMin;
  if ((ident::VcomFromText(argument.data(), &vcom) == 0) != long_enough) abort();
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
