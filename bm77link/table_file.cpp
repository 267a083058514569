#include "table_file.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "eeprom.h"
#include "identity.h"
#include "port.h"
#include "messages.h"
#include "plain_file.h"
#include "run_record.h"
#include "stop.h"

using namespace bm77;

namespace {

constexpr char kCarriageReturn = '\r';
constexpr char kLineFeed = '\n';
constexpr char kDataLineMark = '0';
constexpr char kSkipField = '*';
constexpr char kBlank = ' ';
constexpr char kEndMark = ';';
constexpr int kFieldWidth = 3;  // two digits and a separator; a skip field "** " likewise
constexpr uint8_t kNotHex = 0xFF;
constexpr char kByteOrderMark[] = {'\xEF', '\xBB', '\xBF'};  // UTF-8
constexpr int kAddressDigits = 4;
// Bytes read back at once: a line's 16, whose reply fits the receive buffer even when every
// data byte is a doubled 0x3C.
constexpr size_t kReadBackChunk = kLinePositions;
static_assert(kLineValuesMax == (kLineBufferSize - kDataColumn) / kFieldWidth);

// Reads one byte. 1: got it, 0: end of file, -1: read error.
int ReadByte(int fd, char* byte) {
  for (;;) {
    const ssize_t n = read(fd, byte, 1);
    if (n >= 0) return static_cast<int>(n);
    if (errno != EINTR) return -1;
  }
}

// Leaves `fd` at the table's first line: behind a UTF-8 byte order mark, which some editors
// put at the start of every file they save (it would turn the first data line into a comment).
void SkipByteOrderMark(int fd) {
  char head[sizeof kByteOrderMark];
  const bool marked = read(fd, head, sizeof head) == static_cast<ssize_t>(sizeof head) &&
                      memcmp(head, kByteOrderMark, sizeof head) == 0;
  if (!marked) lseek(fd, 0, SEEK_SET);
}

char CharAt(const char* line, int length, int index) { return index < length ? line[index] : '\0'; }

void PutAddress(uint16_t address, uint8_t* payload) {
  payload[0] = static_cast<uint8_t>(address >> 8);
  payload[1] = static_cast<uint8_t>(address & 0xFF);
}

// How many of `count` values at `address` one write can carry: all of them when the frame
// fits the transmit buffer after doubling, else the most that fit.
size_t ValuesThatFit(uint16_t address, const uint8_t* values, size_t count) {
  uint8_t payload[2 + kLineValuesMax];
  uint8_t frame[kTxBufferSize];
  PutAddress(address, payload);
  memcpy(payload + 2, values, count);
  size_t n = count;
  while (n > 1 && BuildCommandFrame(kCmdEepromWrite, payload, static_cast<uint8_t>(2 + n), frame,
                                    sizeof frame) < 0) {
    --n;
  }
  return n;
}

// Collects the values of the run being scanned and turns finished runs into writes.
struct RunCollector {
  uint16_t line_address = 0;
  unsigned position = 0;  // next byte position within the line
  TableWrite* writes = nullptr;
  int max_writes = 0;
  int count = 0;
  uint8_t values[kLineValuesMax];
  size_t values_len = 0;

  // Emits the values collected so far as one write at the current position, or as several
  // consecutive ones when they do not fit one frame.
  void Flush() {
    size_t done = 0;
    while (done < values_len) {
      const uint16_t address = static_cast<uint16_t>(line_address + position);
      const size_t n = ValuesThatFit(address, values + done, values_len - done);
      if (count < max_writes) {
        TableWrite& w = writes[count++];
        w.address = address;
        w.count = static_cast<uint8_t>(n);
        memcpy(w.values, values + done, n);
      }
      position += static_cast<unsigned>(n);
      done += n;
    }
    values_len = 0;
  }
  void Add(uint8_t value) {
    // Only a caller's line longer than a table line can be gets here with a full buffer.
    if (values_len == kLineValuesMax) Flush();
    values[values_len++] = value;
  }
  // A skip field or the end mark: the run is written and the field takes one position.
  // Returns whether the line has positions left.
  bool EndRun() {
    Flush();
    position += 1;
    return position < kLinePositions;
  }
};

bool IsHex(char c) { return char2hex(c) != kNotHex; }

// Whether the module took the write and holds its bytes; a difference costs one line.
bool WriteRun(int port, const TableWrite& w, int line_number) {
  uint8_t payload[2 + kLineValuesMax];
  PutAddress(w.address, payload);
  memcpy(payload + 2, w.values, w.count);
  WriteOutcome outcome;
  EepromWrite(port, payload, 2 + w.count, &outcome);  // a failure is reported below; go on
  if (outcome != WriteOutcome::kTaken) return false;
  if (EepromHolds(port, w.address, w.values, w.count)) return true;
  printf(msg::kTableLineNotReadBackFormat, line_number, w.address);
  return false;
}

// The table, line by line; with a guard, a line the guard holds back is not written.
// Returns whether the table went in whole.
bool WriteTable(int port, int table_fd, const SavedIdentity* guard) {
  puts(msg::kParseTableFile);
  lseek(table_fd, 0, SEEK_SET);
  SkipByteOrderMark(table_fd);
  bool whole = true;
  char LineBuffer[kLineBufferSize];
  for (int line_number = 1;; ++line_number) {
    if (StopRequested()) {  // an ordered stop: no further line
      puts(msg::kTableInterrupted);
      return false;
    }
    const int Length = Read_Line(table_fd, LineBuffer);
    if (Length == kLineEndOfFile) break;
    if (Length == kLineReadError) {
      puts(msg::kTableReadError);
      return false;
    }
    if (Length == kLineTooLong) {
      puts(msg::kTableLineTooLong);
      // A comment may run long; a data line that does not fit is a table not wholly written.
      if (LineBuffer[0] == kDataLineMark) {
        record::CountTableLine(record::TableLine::kFailed);
        whole = false;
      }
      continue;
    }
    if (Length == 0 || LineBuffer[0] != kDataLineMark) continue;
    if (!TableLineReadable(LineBuffer, Length)) {
      printf(msg::kTableLineUnreadableFormat, line_number);
      record::CountTableLine(record::TableLine::kFailed);
      whole = false;
      continue;
    }
    TableWrite writes[kMaxWritesPerLine];
    const int count = ParseTableLine(LineBuffer, Length, writes, kMaxWritesPerLine);
    if (guard != nullptr &&
        !ProtectIdentity(*guard, TableLineAddress(LineBuffer, Length), writes, count)) {
      record::CountTableLine(record::TableLine::kHeldBack);
      whole = false;
      continue;
    }
    bool line_in = true;
    for (int i = 0; i < count; ++i) {
      // After an exchange without a complete reply nothing more of the table goes out.
      if (!LineInStep()) {
        puts(msg::kTableStopped);
        record::CountTableLine(record::TableLine::kFailed);
        return false;
      }
      line_in = WriteRun(port, writes[i], line_number) && line_in;
    }
    record::CountTableLine(line_in ? record::TableLine::kWritten : record::TableLine::kFailed);
    whole = whole && line_in;
  }
  puts(msg::kTableDone);
  return whole;
}

}  // namespace

namespace bm77 {

uint16_t TableLineAddress(const char* line, int length) {
  return make_uint16(char2hex(CharAt(line, length, 0)), char2hex(CharAt(line, length, 1)),
                     char2hex(CharAt(line, length, 2)), char2hex(CharAt(line, length, 3)));
}

bool TableLineReadable(const char* line, int length) {
  for (int i = 0; i < kAddressDigits; ++i) {
    if (!IsHex(CharAt(line, length, i))) return false;
  }
  int cursor = static_cast<int>(kDataColumn);
  while (cursor < length && line[cursor] != kEndMark) {
    const char c = line[cursor];
    if (c == kBlank) {
      cursor += 1;
      continue;
    }
    const char next = CharAt(line, length, cursor + 1);
    const bool skip = c == kSkipField && next == kSkipField;
    if (!skip && !(IsHex(c) && IsHex(next))) return false;
    cursor += kFieldWidth;
  }
  return true;
}

int ParseTableLine(const char* line, int length, TableWrite* writes, int max_writes) {
  RunCollector run;
  run.line_address = TableLineAddress(line, length);
  run.writes = writes;
  run.max_writes = max_writes;
  int cursor = static_cast<int>(kDataColumn);
  for (;;) {
    const char c = CharAt(line, length, cursor);
    if (c == kBlank) {
      cursor += 1;
    } else if (c == kSkipField) {
      cursor += kFieldWidth;
      if (!run.EndRun()) break;
    } else if (c == kEndMark || cursor + 1 >= length) {
      // The end mark, or the end of a line that has none: end the run where it stands. The
      // cursor stays, so every further position is an empty run until the line is used up.
      if (!run.EndRun()) break;
    } else {
      run.Add(make_uint8(char2hex(c), char2hex(line[cursor + 1])));
      cursor += kFieldWidth;
    }
  }
  return run.count;
}

int OpenInputFile(const char* path) {
  return OpenPlainFile(path, O_RDONLY, 0, FileOwner::kOperator);
}

bool EepromHolds(int port, uint16_t address, const uint8_t* bytes, size_t count) {
  uint8_t buffer[kReadBodyLead + kReadBackChunk];
  for (size_t done = 0; done < count; done += kReadBackChunk) {
    const size_t n = count - done < kReadBackChunk ? count - done : kReadBackChunk;
    PutAddress(static_cast<uint16_t>(address + done), buffer);
    buffer[2] = static_cast<uint8_t>(n);
    ReadOutcome outcome;
    EepromRead(port, buffer, &outcome);
    if (outcome != ReadOutcome::kData) return false;  // the link noted why
    if (memcmp(buffer + kReadBodyLead, bytes + done, n) != 0) {
      char step[record::kStepSize];
      StepName("read-back", address, step);
      record::NoteFailure(step, record::FailureKind::kReadBackDifferent);
      return false;
    }
  }
  return true;
}

bool UpdateEEPROMGuarded(int port, int table_fd, const SavedIdentity& identity) {
  return WriteTable(port, table_fd, &identity);
}

int CheckFileSuffix(const char* name, const char* extension) {
  const size_t length = strlen(name);
  if (length < 5 || name[length - 4] != '.') return -1;
  for (size_t i = 0; i < 3; ++i) {
    if (tolower(static_cast<unsigned char>(name[length - 3 + i])) != extension[i]) return -1;
  }
  return 0;
}

}  // namespace bm77

int check_tablefile(const char* name) { return CheckFileSuffix(name, "txt"); }

int Read_Line(int fd, char* buffer) {
  size_t length = 0;
  bool too_long = false;
  for (;;) {
    char byte;
    const int got = ReadByte(fd, &byte);
    if (got < 0) return kLineReadError;
    // The last line counts without its line end; only a file with nothing left has ended.
    if (got == 0 && length == 0 && !too_long) return kLineEndOfFile;
    if (got == 0 || byte == kLineFeed) break;
    if (byte == kCarriageReturn) {
      char dropped;  // the byte after the carriage return, normally a line feed
      if (ReadByte(fd, &dropped) < 0) return kLineReadError;
      break;
    }
    if (length + 1 < kLineBufferSize) {
      buffer[length++] = byte;
    } else {
      too_long = true;  // keep consuming up to the line end, store nothing more
    }
  }
  buffer[length] = '\0';
  return too_long ? kLineTooLong : static_cast<int>(length);
}

uint8_t char2hex(char c) {
  if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
  return kNotHex;
}

uint8_t hex2char(uint8_t value) {
  if (value <= 9) return static_cast<uint8_t>('0' + value);
  if (value <= 15) return static_cast<uint8_t>('A' + value - 10);
  return kNotHex;
}

uint8_t make_uint8(uint8_t high, uint8_t low) {
  return static_cast<uint8_t>(((high << 4) & 0xFF) | low);
}

uint16_t make_uint16(uint8_t d1, uint8_t d2, uint8_t d3, uint8_t d4) {
  return static_cast<uint16_t>(((d1 << 12) | ((d2 << 8) & 0x0F00) | ((d3 << 4) & 0x00FF) | d4) &
                               0xFFFF);
}

void UpdateEEPROM(int port, int table_fd) { WriteTable(port, table_fd, nullptr); }
