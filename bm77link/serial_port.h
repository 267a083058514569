// Opening the module's serial port. Header only: the receive monitor sets its port up the same
// way (with two stop bits) without linking the library.
#pragma once

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace bm77 {

constexpr const char kSerialPortPath[] = "/dev/ttyS0";

// 115200 baud, 8 data bits, no parity, receiver on, modem lines ignored, no flow control,
// no output processing; reads return at once with whatever is waiting (VMIN = VTIME = 0).
inline termios MakePortSettings(bool two_stop_bits) {
  termios t{};
  cfmakeraw(&t);
  cfsetispeed(&t, B115200);
  cfsetospeed(&t, B115200);
  t.c_cflag = B115200 | CS8 | CREAD | CLOCAL;
  if (two_stop_bits) t.c_cflag |= CSTOPB;
  t.c_oflag = 0;
  t.c_iflag = 0;
  t.c_lflag = 0;
  for (cc_t& c : t.c_cc) c = 0;
  t.c_cc[VTIME] = 0;
  t.c_cc[VMIN] = 0;
  return t;
}

// Opens `path` non-blocking, without making it the controlling terminal, and applies the
// settings above. Returns the descriptor, or the negative result of the open. The settings
// calls are not checked: a port that opens is used as it is.
inline int OpenSerialPort(const char* path, bool two_stop_bits) {
  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return fd;
  const termios settings = MakePortSettings(two_stop_bits);
  tcsetattr(fd, TCSANOW, &settings);
  tcflush(fd, TCIFLUSH);
  tcflush(fd, TCIOFLUSH);
  return fd;
}

}  // namespace bm77
