#include "port.h"

#include <errno.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>

#include "messages.h"
#include "serial_port.h"

using namespace bm77;

uint8_t tx_buffer[kTxBufferSize];
uint8_t rx_buffer[kRxBufferSize];

namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < 256; ++i) {
    unsigned reg = i << 8;
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 0x8000u) ? (reg << 1) ^ kCrcPolynomial : reg << 1;
    }
    table[i] = static_cast<uint16_t>(reg);
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();
static_assert(kCrcTable[1] == 0x1021 && kCrcTable[2] == 0x2042 && kCrcTable[255] == 0x1EF0);

// Appends one byte of payload or CRC, doubled when it is the frame mark.
bool PutEscaped(uint8_t byte, uint8_t* frame, size_t capacity, size_t* at) {
  const size_t need = byte == kFrameMark ? 2 : 1;
  if (*at + need > capacity) return false;
  frame[(*at)++] = byte;
  if (byte == kFrameMark) frame[(*at)++] = kFrameMark;
  return true;
}

bool PutPlain(uint8_t byte, uint8_t* frame, size_t capacity, size_t* at) {
  if (*at + 1 > capacity) return false;
  frame[(*at)++] = byte;
  return true;
}

// ---- Waiting on the port, always under a time limit ----

// Negative results double as ReadSome's failure results.
enum WaitResult { kReady = 1, kPortFailed = -1, kTimedOut = -2 };

// Waits until the port is ready for `events` or `limit_ms` pass.
WaitResult WaitPort(int port, short events, int limit_ms) {
  pollfd p{port, events, 0};
  for (;;) {
    const int n = poll(&p, 1, limit_ms);
    if (n > 0) {
      if (p.revents & events) return kReady;
      return kPortFailed;  // hang-up or error without data: no byte will ever come
    }
    if (n == 0) return kTimedOut;
    if (errno != EINTR) return kPortFailed;
  }
}

bool NoDataYet(int err) { return err == EAGAIN || err == EWOULDBLOCK || err == EINTR; }

// ---- The wire trace for service engineers ----
// With kTraceVariable set, every chunk the port takes or gives goes to standard error as one
// line: the time since the first traced chunk, the direction, the bytes in hex. Standard
// output stays as it is, so a log and its trace can be kept apart.

constexpr char kTraceHostToModule = '>';
constexpr char kTraceModuleToHost = '<';
constexpr long kNanosPerSecond = 1000000000L;
constexpr long kNanosPerMicro = 1000L;
// Room for the time stamp and about 250 bytes; a longer chunk continues in further writes
// of the same line.
constexpr size_t kTraceLineRoom = 768;
constexpr size_t kTraceByteWidth = 3;  // " 3C"

struct WireTrace {
  bool decided = false;  // the environment is read once, at the first chunk
  bool on = false;
  bool started = false;
  timespec start{};
};
WireTrace wire_trace;

bool TraceOn() {
  if (!wire_trace.decided) {
    const char* value = getenv(kTraceVariable);
    wire_trace.on = value != nullptr && value[0] != '\0' && strcmp(value, "0") != 0;
    wire_trace.decided = true;
  }
  return wire_trace.on;
}

// Standard error is unbuffered and may take a line in parts; a failing one loses the trace,
// never the exchange.
void TraceOut(const char* text, size_t length) {
  size_t done = 0;
  while (done < length) {
    const ssize_t n = write(STDERR_FILENO, text + done, length - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      return;
    }
  }
}

void TraceChunk(char direction, const uint8_t* bytes, size_t count) {
  if (!TraceOn() || count == 0) return;
  const int saved_errno = errno;
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  if (!wire_trace.started) {
    wire_trace.start = now;
    wire_trace.started = true;
  }
  const long long nanos =
      static_cast<long long>(now.tv_sec - wire_trace.start.tv_sec) * kNanosPerSecond +
      (now.tv_nsec - wire_trace.start.tv_nsec);
  char line[kTraceLineRoom];
  int head = snprintf(line, sizeof line, "[%5lld.%06lld] %c", nanos / kNanosPerSecond,
                      nanos % kNanosPerSecond / kNanosPerMicro, direction);
  size_t at = head > 0 ? static_cast<size_t>(head) : 0;
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  for (size_t i = 0; i < count; ++i) {
    if (at + kTraceByteWidth + 1 > sizeof line) {  // keep room for the line's end
      TraceOut(line, at);
      at = 0;
    }
    line[at++] = ' ';
    line[at++] = kHexDigits[bytes[i] >> 4];
    line[at++] = kHexDigits[bytes[i] & 0x0F];
  }
  line[at++] = '\n';
  TraceOut(line, at);
  errno = saved_errno;
}

// ---- Keeping in step with the module ----

LineState line_state = LineState::kInStep;
bool restore_writes_out = false;

// An exchange got no complete reply within its limit: its reply may still come, so nothing
// read from here on can be trusted to belong to the next command.
void NoteNoCompleteReply() {
  line_state = line_state == LineState::kInStep ? LineState::kOutOfStep : LineState::kClosed;
}

// Whether a command may go out, or a reply be waited for: on a line in step always; out of
// step only for the restore writes; on a closed line never.
bool ExchangeMayRun() {
  switch (line_state) {
    case LineState::kInStep: return true;
    case LineState::kOutOfStep: return restore_writes_out;
    case LineState::kClosed: return false;
  }
  return false;
}

// Reads and drops whatever waits on the port, without waiting for more. A module that chatters
// without pause cannot keep the host here: at most this many reads, the rest is flushed.
constexpr int kDiscardReadsMax = 16;

void DiscardWaitingBytes(int port) {
  uint8_t scrap[kRxBufferSize];
  for (int i = 0; i < kDiscardReadsMax; ++i) {
    const ssize_t n = read(port, scrap, sizeof scrap);
    if (n > 0) {
      TraceChunk(kTraceModuleToHost, scrap, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return;  // nothing more waiting (or a port error, which the exchange itself will meet)
  }
  tcflush(port, TCIFLUSH);
}

// ---- Waking once for a reply of known length ----
// With VMIN above 0 and VTIME 0 the terminal reports the port readable only once that many
// bytes are in; reads stay non-blocking. So a wait for the rest of a reply whose length is known
// wakes the host once, not once a byte, on a line that hands the bytes over one at a time (a
// UART without a FIFO, some USB adapters).
constexpr size_t kWakeAfterMax = 255;  // VMIN is one byte
cc_t wake_after = 0;  // VMIN as last set; the port opens with 0
// The port's settings as last read or set: each change of VMIN is then one system call.
termios port_settings{};
bool have_port_settings = false;

void WakeAfter(int port, size_t bytes) {
  const cc_t want = static_cast<cc_t>(bytes > 1 ? (bytes < kWakeAfterMax ? bytes : kWakeAfterMax) : 0);
  if (want == wake_after) return;
  if (!have_port_settings) {
    if (tcgetattr(port, &port_settings) != 0) return;
    have_port_settings = true;
  }
  port_settings.c_cc[VMIN] = want;
  if (tcsetattr(port, TCSANOW, &port_settings) == 0) wake_after = want;
}

// How many more bytes a response needs before it can end with the trailer "<Z": one after a
// '<', else two. Waking no earlier loses nothing (a frame cannot end sooner, nor can a trailer
// come early) and halves the wake-ups on a line that hands the bytes over one at a time.
size_t BytesToEndAFrame(const uint8_t* bytes, size_t count) {
  return count > 0 && bytes[count - 1] == kFrameMark ? 1 : 2;
}

// The limit of the exchange in progress, on its whole time from its command: kReplySilenceMs,
// unless an exchange that takes the module longer has set its own for the length of one
// receive. A reply that trickles in, one byte every few seconds, is as dead as a silent one.
int reply_limit_ms = kReplySilenceMs;
timespec exchange_started{};  // when the exchange's command (or raw block) went out

// Reads up to `want` bytes, waiting at most `limit_ms` for the first. Returns the count read
// (> 0), kTimedOut or kPortFailed.
int ReadSome(int port, uint8_t* into, size_t want, int limit_ms) {
  for (;;) {
    const WaitResult w = WaitPort(port, POLLIN, limit_ms);
    if (w != kReady) return w;
    const ssize_t n = read(port, into, want);
    if (n > 0) {
      TraceChunk(kTraceModuleToHost, into, static_cast<size_t>(n));
      return static_cast<int>(n);
    }
    // A tty whose other end went away reads 0 for ever; a read error will not mend itself.
    if (n == 0 || !NoDataYet(errno)) return kPortFailed;
  }
}

void ReportReadFailure(int result) {
  puts(result == kTimedOut ? msg::kReplyTimeout : msg::kPortReadError);
}

timespec Now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// Milliseconds left of `limit_ms` counted from `since`; 0 once it has passed.
int MsLeft(const timespec& since, int limit_ms) {
  const timespec now = Now();
  const long long passed = static_cast<long long>(now.tv_sec - since.tv_sec) * 1000 +
                           (now.tv_nsec - since.tv_nsec) / 1000000;
  return passed >= limit_ms ? 0 : static_cast<int>(limit_ms - passed);
}

void StartExchangeClock() { exchange_started = Now(); }

// What is left of the exchange's limit; 0 once it has passed.
int ExchangeMsLeft() { return MsLeft(exchange_started, reply_limit_ms); }

// A port that polls writable yet takes nothing is asked again after this pause, not at once.
constexpr int kRefusedWriteRetryMs = 1;

// Writes all `length` bytes: a non-blocking port may take a frame in parts, and the rest
// follows as soon as the port has room again. The port may go kWriteStallMs without taking a
// byte, however often it wakes the host. Returns `length`, or -1.
int WriteAll(int port, const uint8_t* data, size_t length) {
  size_t done = 0;
  timespec progress = Now();
  bool woken = false;  // the last wait said the port had room
  while (done < length) {
    const ssize_t n = write(port, data + done, length - done);
    if (n > 0) {
      TraceChunk(kTraceHostToModule, data + done, static_cast<size_t>(n));
      done += static_cast<size_t>(n);
      progress = Now();
      woken = false;
      continue;
    }
    if (n < 0 && !NoDataYet(errno)) return -1;
    const int left = MsLeft(progress, kWriteStallMs);
    if (left == 0) return -1;
    if (woken) poll(nullptr, 0, kRefusedWriteRetryMs);
    const WaitResult w = WaitPort(port, POLLOUT, left);
    if (w == kPortFailed) return -1;
    woken = w == kReady;  // a time-out ends the run of the loop above
  }
  return static_cast<int>(length);
}

bool EndsWithTrailer(const uint8_t* bytes, size_t count) {
  return count >= 2 && bytes[count - 2] == kFrameMark && bytes[count - 1] == kFrameEnd;
}

}  // namespace

// Constant-initialised at compile time from the generator above.
const std::array<uint16_t, 256> crc_table = kCrcTable;

uint16_t CalculateCRC16(uint8_t command, const uint8_t* payload, size_t length) {
  uint16_t crc = CrcStep(0, command);
  for (size_t i = 0; i < length; ++i) crc = CrcStep(crc, payload[i]);
  return crc;
}

int BuildCommandFrame(uint8_t command, const uint8_t* payload, uint8_t length, uint8_t* frame,
                      size_t capacity) {
  const uint16_t crc = CalculateCRC16(command, payload, length);
  size_t at = 0;
  bool fits = PutPlain(kFrameMark, frame, capacity, &at) &&
              PutPlain(kFrameStart, frame, capacity, &at) &&
              PutPlain(command, frame, capacity, &at);
  for (size_t i = 0; fits && i < length; ++i) fits = PutEscaped(payload[i], frame, capacity, &at);
  fits = fits && PutEscaped(static_cast<uint8_t>(crc >> 8), frame, capacity, &at) &&
         PutEscaped(static_cast<uint8_t>(crc & 0xFF), frame, capacity, &at) &&
         PutPlain(kFrameMark, frame, capacity, &at) && PutPlain(kFrameEnd, frame, capacity, &at);
  return fits ? static_cast<int>(at) : -1;
}

int com_init(const char* path) {
  line_state = LineState::kInStep;
  wake_after = 0;
  have_port_settings = false;
  restore_writes_out = false;
  return OpenSerialPort(path, /*two_stop_bits=*/false);
}

int Send_Command(int port, uint8_t command, uint8_t length, const uint8_t* payload) {
  if (!ExchangeMayRun()) return kHeldBack;
  const int frame_length = BuildCommandFrame(command, payload, length, tx_buffer, kTxBufferSize);
  if (frame_length < 0) {
    puts(msg::kFrameTooLong);
    return -1;
  }
  DiscardWaitingBytes(port);
  StartExchangeClock();
  const int written = WriteAll(port, tx_buffer, static_cast<size_t>(frame_length));
  if (written < 0) puts(msg::kSendCommandFailed);
  return written;
}

int Recieve_Ack(int port) {
  if (Recieve_Raw(port, 2) < 0) return kNoAck;
  // Acceptance is judged on the second byte alone. Any other status needs the mark before it,
  // and is never the mark itself: other bytes are some other reply's, one sent late or
  // trickling in, whose rest may still be coming. Each exchange after would take a piece of it
  // and spend its limit (or, under the lenient policy, pass for a success), so the line is out
  // of step as after silence.
  const bool marked = rx_buffer[0] == kFrameMark && rx_buffer[1] != kFrameMark;
  if (!marked && rx_buffer[1] != kAckAccepted) {
    NoteNoCompleteReply();
    return kNotAnAck;
  }
  return rx_buffer[1];
}

void Send_Ack(int port) {
  tx_buffer[0] = kFrameMark;
  tx_buffer[1] = kAckAccepted;
  WriteAll(port, tx_buffer, 2);
}

int Recieve_Response(int port, uint8_t* body) { return ReceiveResponseAtLeast(port, body, 0); }

namespace bm77 {

LineState CurrentLineState() { return line_state; }

void DrainUntilQuiet(int port, int quiet_ms) {
  const timespec since = Now();
  uint8_t scrap[kRxBufferSize];
  for (;;) {
    const int left = MsLeft(since, kReplySilenceMs);
    if (left == 0) return;
    if (ReadSome(port, scrap, sizeof scrap, quiet_ms < left ? quiet_ms : left) < 0) return;
  }
}

void LetRestoreWritesOut(bool on) { restore_writes_out = on; }

int ReceiveResponseAtLeast(int port, uint8_t* body, size_t least_frame_length) {
  constexpr size_t kMaxReadAtOnce = 255;
  if (!ExchangeMayRun()) return kBadResponse;
  // A response's length is not known for sure: a short or early-ended frame must be seen as
  // soon as its last byte is in, so the wait wakes as soon as a trailer could be complete.
  size_t fill = 0;
  for (;;) {
    WakeAfter(port, BytesToEndAFrame(rx_buffer, fill));
    const size_t room = kRxBufferSize - fill;
    if (room == 0) {
      puts(msg::kResponseTooLong);
      NoteNoCompleteReply();  // the rest of it is still coming
      return kBadResponse;
    }
    // After a trailer that came too early, only a short pause may follow inside the frame.
    const bool early_trailer = EndsWithTrailer(rx_buffer, fill) && fill < least_frame_length;
    const int left = ExchangeMsLeft();
    const int n = ReadSome(port, rx_buffer + fill, room < kMaxReadAtOnce ? room : kMaxReadAtOnce,
                           early_trailer && kEarlyTrailerGapMs < left ? kEarlyTrailerGapMs : left);
    if (n == kTimedOut && early_trailer) break;  // the frame did end there
    if (n < 0) {
      ReportReadFailure(n);
      NoteNoCompleteReply();
      return kBadResponse;
    }
    fill += static_cast<size_t>(n);
    if (EndsWithTrailer(rx_buffer, fill) && fill >= least_frame_length) break;
  }

  if (rx_buffer[0] != kFrameMark || rx_buffer[1] != kFrameStart) {
    puts(msg::kBadResponseHeader);
    return kBadResponse;
  }
  const int length = static_cast<int>(fill) - kResponseOverhead;
  if (body != nullptr && length > 0) memcpy(body, rx_buffer + 2, static_cast<size_t>(length));
  return length;
}

}  // namespace bm77

int Recieve_AckWithin(int port, int limit_ms) {
  reply_limit_ms = limit_ms;
  const int status = Recieve_Ack(port);
  reply_limit_ms = kReplySilenceMs;
  return status;
}

int Recieve_ResponseWithin(int port, uint8_t* body, int limit_ms) {
  reply_limit_ms = limit_ms;
  const int length = Recieve_Response(port, body);
  reply_limit_ms = kReplySilenceMs;
  return length;
}

int Send_Raw(int port, const uint8_t* data, size_t length) {
  if (line_state != LineState::kInStep) return kHeldBack;
  StartExchangeClock();
  return WriteAll(port, data, length);
}

int Recieve_Raw(int port, size_t count) {
  if (count > kRxBufferSize || !ExchangeMayRun()) return -1;
  size_t fill = 0;
  while (fill < count) {
    WakeAfter(port, count - fill);
    const int n = ReadSome(port, rx_buffer + fill, count - fill, ExchangeMsLeft());
    if (n < 0) {
      ReportReadFailure(n);
      NoteNoCompleteReply();
      return -1;
    }
    fill += static_cast<size_t>(n);
  }
  return static_cast<int>(count);
}
