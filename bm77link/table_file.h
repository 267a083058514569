// EEPROM table files: text lines ended by CR and one more byte; a line whose first character
// is '0' is a data line "AAAA: vv vv ** vv ;" whose values are written to the module's EEPROM
// at AAAA + position, one EEPROM write per run of consecutive values.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bm77 {

constexpr size_t kLineBufferSize = 384;  // a line of 383 characters and its NUL
constexpr size_t kLinePositions = 16;    // EEPROM bytes a data line describes
constexpr size_t kDataColumn = 6;        // first field of a data line
// Values of one EEPROM write. Even if every value and the address byte are 0x3C and so go out
// doubled, a write of this many values fits the 256-byte transmit buffer; a longer run is
// written in several consecutive writes.
constexpr size_t kRunValuesPerWrite = 121;
// More writes than one line of 383 characters can produce.
constexpr int kMaxWritesPerLine = 24;

// Read_Line results besides a line length.
constexpr int kLineEndOfFile = -1;  // the file ended before a carriage return
constexpr int kLineTooLong = -2;    // consumed up to its carriage return, not kept
constexpr int kLineReadError = -3;

struct TableWrite {
  uint16_t address;
  uint8_t count;
  uint8_t values[kRunValuesPerWrite];
};

// The writes a data line asks for, in order. Pure. The line ends at its end mark ';', or at
// `length` when it has none; a byte field cut short by the end of the line is ignored.
// Returns the number of writes put into `writes`.
int ParseTableLine(const char* line, int length, TableWrite* writes, int max_writes);

// 0 when `name` has at least one character before '.' and the three-letter `extension`
// (letters in either case), else -1.
int CheckFileSuffix(const char* name, const char* extension);

}  // namespace bm77

int check_tablefile(const char* name);
// Reads one line into `buffer` (kLineBufferSize bytes): the bytes up to the carriage return,
// which is dropped with the byte after it. Returns the length, kLineEndOfFile, kLineTooLong or
// kLineReadError.
int Read_Line(int fd, char* buffer);
uint8_t char2hex(char c);
uint8_t hex2char(uint8_t value);
uint8_t make_uint8(uint8_t high, uint8_t low);
uint16_t make_uint16(uint8_t d1, uint8_t d2, uint8_t d3, uint8_t d4);
// Writes every value the table file lists into the module, from the start of the file.
void UpdateEEPROM(int port, int table_fd);
