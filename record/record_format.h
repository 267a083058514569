// The run record's content and its JSON line: a pure formatter over fixed buffers, shared by
// the record writer (run_record.h), its tests and its fuzz target.
//
// Every text that comes from outside (arguments, file names, a device name read from the
// module) has a slot of its own: a text that does not fit is shortened at a character or
// escape boundary and its field named in "truncated". So the record always fits kRecordSize,
// whatever the operator typed.
#pragma once

#include <cstddef>
#include <cstdint>

namespace record {

// One record goes out in one write of at most this many bytes (newline included).
constexpr size_t kRecordSize = 4096;
// Format 2 added "run"; a station reads format 1 as well.
constexpr int kFormatVersion = 2;
// The run's identity: 16 random bytes, as 32 lower-case hex digits.
constexpr size_t kRunIdBytes = 16;
constexpr size_t kRunIdText = kRunIdBytes * 2;
// Arguments kept; more are dropped and "args" is named as truncated.
constexpr size_t kArgsMax = 8;
// JSON bytes (quotes excluded) of one argument or the table's file name.
constexpr size_t kTextSlot = 256;
// A device name is kept to kNameBytes, and its slot holds each of them escaped as \u00XX: a
// name is never cut.
constexpr size_t kNameBytes = 16;
constexpr size_t kNameSlot = kNameBytes * 6;
constexpr size_t kMacBytes = 6;
constexpr size_t kFailuresMax = 12;
constexpr size_t kStepSize = 24;
constexpr size_t kFlashIdMax = 8;
constexpr size_t kBanksMax = 8;
// Room for the start time even with every field at its widest int.
constexpr size_t kTimeTextSize = 96;
// The most a VCOM record may hold: three decimal digits.
constexpr int kVcomMax = 999;

enum class FailureKind : uint8_t { kSilent, kRefused, kMalformed, kNotStored, kReadBackDifferent };

// One side of the identity; a field without its flag is null in the record.
struct Identity {
  bool has_mac = false;
  bool has_name = false;
  bool has_vcom = false;
  uint8_t mac[kMacBytes] = {};  // display order
  uint8_t name[kNameBytes] = {};
  size_t name_length = 0;
  int vcom = 0;
};

struct Failure {
  char step[kStepSize] = {};
  FailureKind kind = FailureKind::kSilent;
};

struct Bank {
  uint32_t bytes = 0;
  uint16_t crc = 0;
};

struct Firmware {
  bool known = false;  // size and CRC-32 of the image were taken
  uint32_t size = 0;
  uint32_t crc32 = 0;
  uint8_t flash_id[kFlashIdMax] = {};
  size_t flash_id_length = 0;
  bool has_flash_id = false;
  Bank banks[kBanksMax] = {};
  size_t bank_count = 0;
  long long ms = -1;  // programming time; negative: not measured
};

struct Table {
  const char* file = nullptr;  // null: no table in this run
  int written = 0;
  int held_back = 0;
  int failed = 0;
};

struct Record {
  const char* tool = "";
  const char* version = "";
  // Empty when no random bytes could be had: the station then keys the record on its text.
  char run[kRunIdText + 1] = {};
  const char* const* args = nullptr;  // after the program's name
  size_t arg_count = 0;
  char start[kTimeTextSize] = {};    // UTC, ISO 8601 with milliseconds
  long long ms = 0;                  // wall time
  int status = 0;                    // as the shell sees it
  const char* outcome = "";
  Identity before;
  Identity after;
  const char* mac_source = nullptr;  // null: not given
  const char* vcom_source = nullptr;
  Firmware firmware;
  Table table;
  Failure failures[kFailuresMax];
  size_t failure_count = 0;  // may exceed kFailuresMax: the rest are dropped
  int random_bytes = -1;     // negative: none drawn
  bool has_picture = false;
  int32_t width = 0;
  int32_t height = 0;
};

// Appends the JSON string body of `length` bytes at `text` (no quotes) to `out`, using at most
// `room` bytes: quotes, backslashes and control characters escaped, each byte that is not part
// of well-formed UTF-8 replaced by U+FFFD. Stops before the first character or escape that
// does not fit whole, and then sets `*cut`. Returns the bytes appended.
size_t AppendJsonText(const uint8_t* text, size_t length, char* out, size_t room, bool* cut);

// The record as one JSON line, newline included, into `out`. Returns its length, or 0 when it
// does not fit `capacity` (never for kRecordSize: every outside text has its slot).
size_t FormatRecord(const Record& r, char* out, size_t capacity);

// CRC-32 (IEEE 802.3, as zlib and most tools print it); `crc` 0 to start, and the result of
// the previous call to go on.
uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t length);

}  // namespace record
