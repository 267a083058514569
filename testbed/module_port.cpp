#include "module_port.h"

#include <array>
#include <utility>

namespace testbed {
namespace {

constexpr std::array<std::pair<speed_t, unsigned>, 31> kBauds{{
    {B0, 0},
    {B50, 50},
    {B75, 75},
    {B110, 110},
    {B134, 134},
    {B150, 150},
    {B200, 200},
    {B300, 300},
    {B600, 600},
    {B1200, 1200},
    {B1800, 1800},
    {B2400, 2400},
    {B4800, 4800},
    {B9600, 9600},
    {B19200, 19200},
    {B38400, 38400},
    {B57600, 57600},
    {B115200, 115200},
    {B230400, 230400},
    {B460800, 460800},
    {B500000, 500000},
    {B576000, 576000},
    {B921600, 921600},
    {B1000000, 1000000},
    {B1152000, 1152000},
    {B1500000, 1500000},
    {B2000000, 2000000},
    {B2500000, 2500000},
    {B3000000, 3000000},
    {B3500000, 3500000},
    {B4000000, 4000000},
}};

// What a program must switch off for the line to carry bytes unchanged: canonical input, echo
// and signals; output processing; CR/NL translation, stripping, break and software flow control.
constexpr tcflag_t kCookedLocal = ICANON | ECHO | ECHONL | ISIG | IEXTEN;
constexpr tcflag_t kCookedOutput = OPOST;
constexpr tcflag_t kCookedInput = ICRNL | INLCR | IGNCR | IXON | ISTRIP | BRKINT | PARMRK;

bool IsRaw(const termios& settings) {
  return (settings.c_lflag & kCookedLocal) == 0 && (settings.c_oflag & kCookedOutput) == 0 &&
         (settings.c_iflag & kCookedInput) == 0;
}

}  // namespace

unsigned BaudOf(speed_t speed) {
  for (const auto& [code, baud] : kBauds) {
    if (code == speed) return baud;
  }
  return 0;
}

PortSettings ToPortSettings(const termios& settings) {
  PortSettings port;
  port.ispeed = BaudOf(cfgetispeed(&settings));
  port.ospeed = BaudOf(cfgetospeed(&settings));
  port.raw = IsRaw(settings);
  port.two_stop_bits = (settings.c_cflag & CSTOPB) != 0;
  port.rtscts = (settings.c_cflag & CRTSCTS) != 0;
  port.parity = (settings.c_cflag & PARENB) != 0;
  port.cflag = settings.c_cflag;
  port.iflag = settings.c_iflag;
  port.oflag = settings.c_oflag;
  port.lflag = settings.c_lflag;
  return port;
}

bool SameSettings(const PortSettings& a, const PortSettings& b) {
  // Everything else is derived from the speeds and the four flag words.
  return a.ispeed == b.ispeed && a.ospeed == b.ospeed && a.cflag == b.cflag &&
         a.iflag == b.iflag && a.oflag == b.oflag && a.lflag == b.lflag;
}

}  // namespace testbed
