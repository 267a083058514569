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
// The most values a line of 383 characters holds: fields of three characters from column 6.
constexpr size_t kLineValuesMax = (kLineBufferSize - kDataColumn) / 3;
// More writes than one line of 383 characters can produce.
constexpr int kMaxWritesPerLine = 24;

// Read_Line results besides a line length.
constexpr int kLineEndOfFile = -1;  // the file ended before a carriage return
constexpr int kLineTooLong = -2;    // consumed up to its carriage return, not kept
constexpr int kLineReadError = -3;

struct TableWrite {
  uint16_t address;
  uint8_t count;
  uint8_t values[kLineValuesMax];
};

// The writes a data line asks for, in order. Pure. The line ends at its end mark ';', or at
// `length` when it has none; a byte field cut short by the end of the line is ignored. A run
// goes out as one write when its frame fits the transmit buffer once its 0x3C bytes are
// doubled; only a run that does not fit is split into consecutive writes, each as long as
// fits. Returns the number of writes put into `writes`.
int ParseTableLine(const char* line, int length, TableWrite* writes, int max_writes);

// The address in columns 0 to 3 of a data line.
uint16_t TableLineAddress(const char* line, int length);

// Whether a data line can be read as it stands: four hex digits of address, then, from
// kDataColumn up to the end mark or the line's end, only blanks, skip fields "**" and byte
// fields of two hex digits. The character after a field, and the two after the address, are
// not looked at. Pure. A line that cannot be read is not written at all: "zz" or values
// shifted by a column would otherwise become EEPROM bytes.
bool TableLineReadable(const char* line, int length);

// Opens a file that a tool reads (a table, an image) read-only. Anything but a regular file
// (a FIFO, a folder, a device) is refused like a missing one, and the open itself never
// waits: a FIFO without a writer would hold a plain open for ever. Returns the descriptor or
// -1.
int OpenInputFile(const char* path);

// Whether the module gives back `count` bytes at `address` equal to `bytes`: a module may
// confirm a write and lose it, and only a read tells. Reads in chunks whose replies fit the
// receive buffer; a read that brings no data counts as a difference.
bool EepromHolds(int port, uint16_t address, const uint8_t* bytes, size_t count);

struct SavedIdentity;

// UpdateEEPROM under the identity guard (identity.h): a data line with a write over a record
// that was not read is not written, and one line says so. Returns true when the table is
// wholly in the module: every data line could be read and went out, the module took every
// write (a lenient "success" without a response does not count as taken) and gave the same
// bytes back when they were read right after it, and the file was read to its end.
bool UpdateEEPROMGuarded(int port, int table_fd, const SavedIdentity& identity);

// 0 when `name` has at least one character before '.' and the three-letter `extension`
// (letters in either case), else -1.
int CheckFileSuffix(const char* name, const char* extension);

}  // namespace bm77

int check_tablefile(const char* name);
// Reads one line into `buffer` (kLineBufferSize bytes): the bytes up to a carriage return,
// which is dropped with the byte after it, or up to a bare line feed (a table saved by a Unix
// editor); a last line without either ends with the file. Returns the length, kLineEndOfFile
// (nothing left), kLineTooLong or kLineReadError.
int Read_Line(int fd, char* buffer);
uint8_t char2hex(char c);
uint8_t hex2char(uint8_t value);
uint8_t make_uint8(uint8_t high, uint8_t low);
uint16_t make_uint16(uint8_t d1, uint8_t d2, uint8_t d3, uint8_t d4);
// Writes every value the table file lists into the module, from the start of the file.
void UpdateEEPROM(int port, int table_fd);
