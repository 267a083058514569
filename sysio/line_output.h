// Standard output line by line: a log read through a pipe arrives as each line is printed,
// and what was printed survives a kill. The buffer is static, so stdio allocates nothing.
#pragma once

#include <stdio.h>

namespace bm77 {

inline void UseLineBufferedOutput() {
  static char buffer[BUFSIZ];
  setvbuf(stdout, buffer, _IOLBF, sizeof buffer);
}

}  // namespace bm77
