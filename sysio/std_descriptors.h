// Descriptors 0 to 2 open before anything else is. A tool started with one of them closed
// would otherwise be handed it for the first file it opens: a port on descriptor 0 looks like
// a failed open to every "0 or below" check, and output meant for standard output or error
// would land in the port or a file. Header-only, so the bench tools can use it too.
#pragma once

#include <fcntl.h>
#include <unistd.h>

namespace bm77 {

constexpr int kLastStandardDescriptor = 2;  // standard error

// Fills each closed descriptor of 0, 1 and 2 with /dev/null. Call first thing in main.
inline void KeepStandardDescriptorsOpen() {
  for (;;) {
    // open() takes the lowest free descriptor: once it is above 2, all three are in use.
    const int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;  // nothing to fill them with; the checks on each open still hold
    if (fd > kLastStandardDescriptor) {
      close(fd);
      return;
    }
  }
}

}  // namespace bm77
