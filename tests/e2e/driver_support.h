// What the small test drivers (linkdrv, flashdrv) share: the port opened as the tools open it,
// and hex arguments turned into bytes with the library's own digit functions.
#pragma once

#include <stdio.h>

#include "bm77link.h"
#include "line_output.h"
#include "serial_port.h"

namespace drv {

// Opens the port with line-buffered output; prints "port=fail" and returns -1 when it cannot.
inline int OpenPort() {
  bm77::UseLineBufferedOutput();
  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts("port=fail");
    return -1;
  }
  return port;
}

inline size_t ParseHex(const char* text, uint8_t* out, size_t room) {
  size_t n = 0;
  for (size_t i = 0; text[i] != '\0' && text[i + 1] != '\0' && n < room; i += 2) {
    out[n++] = make_uint8(char2hex(text[i]), char2hex(text[i + 1]));
  }
  return n;
}

}  // namespace drv
