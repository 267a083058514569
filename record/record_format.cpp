#include "record_format.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <array>

namespace record {

namespace {

constexpr uint8_t kReplacement[] = {0xEF, 0xBF, 0xBD};  // U+FFFD in UTF-8
constexpr uint8_t kFirstControl = 0x20;
constexpr size_t kEscapeMax = 6;  // \u00XX

// Length of the well-formed UTF-8 sequence at `t` (1 to 4), or 0 when the byte there starts
// none: a stray continuation byte, an overlong form, a surrogate, a value past U+10FFFF, or a
// sequence cut short.
size_t SequenceLength(const uint8_t* t, size_t left) {
  const uint8_t b = t[0];
  if (b < 0x80) return 1;
  size_t n = 0;
  uint8_t low = 0x80, high = 0xBF;  // the second byte's range
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // overlong
    if (b == 0xED) high = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;   // overlong
    if (b == 0xF4) high = 0x8F;  // past U+10FFFF
  } else {
    return 0;
  }
  if (left < n || t[1] < low || t[1] > high) return 0;
  for (size_t i = 2; i < n; ++i) {
    if (t[i] < 0x80 || t[i] > 0xBF) return 0;
  }
  return n;
}

// The JSON form of the character at `t` into `unit`; returns its length and the bytes it
// consumed in `*used`.
size_t EncodeUnit(const uint8_t* t, size_t left, char* unit, size_t* used) {
  const uint8_t b = t[0];
  *used = 1;
  if (b == '"' || b == '\\') {
    unit[0] = '\\';
    unit[1] = static_cast<char>(b);
    return 2;
  }
  if (b < kFirstControl) return static_cast<size_t>(snprintf(unit, kEscapeMax + 1, "\\u%04x", b));
  const size_t n = SequenceLength(t, left);
  if (n == 0) {
    memcpy(unit, kReplacement, sizeof kReplacement);
    return sizeof kReplacement;
  }
  memcpy(unit, t, n);
  *used = n;
  return n;
}

// The line being built; once something did not fit, nothing more goes in.
struct Line {
  char* out;
  size_t capacity;
  size_t length = 0;
  bool overflow = false;

  void Put(const char* s, size_t n) {
    if (overflow || n > capacity - length) {
      overflow = true;
      return;
    }
    memcpy(out + length, s, n);
    length += n;
  }
  void Put(const char* s) { Put(s, strlen(s)); }
  __attribute__((format(printf, 2, 3))) void Print(const char* format, ...) {
    char text[64];
    va_list args;
    va_start(args, format);
    const int n = vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (n < 0 || static_cast<size_t>(n) >= sizeof text) {
      overflow = true;
      return;
    }
    Put(text, static_cast<size_t>(n));
  }
  // A JSON string of at most `slot` bytes between its quotes.
  void Text(const uint8_t* text, size_t n, size_t slot, bool* cut) {
    Put("\"");
    if (overflow) return;
    const size_t left = capacity - length;
    length += AppendJsonText(text, n, out + length, slot < left ? slot : left, cut);
    Put("\"");
  }
  void Text(const char* text, size_t slot, bool* cut) {
    Text(reinterpret_cast<const uint8_t*>(text), strlen(text), slot, cut);
  }
  // An own word (tool, outcome, source): never cut in practice, still escaped.
  void Word(const char* text) {
    bool cut = false;
    Text(text, kTextSlot, &cut);
  }
  void Seconds(long long ms) { Print("%lld.%03lld", ms / 1000, ms % 1000); }
};

// The fields that were shortened, in the order they are written.
struct Truncated {
  std::array<const char*, 8> names{};
  size_t count = 0;
  void Add(bool cut, const char* name) {
    if (cut && count < names.size()) names[count++] = name;
  }
};

void PutArgs(Line& line, const Record& r, Truncated& truncated) {
  line.Put("\"args\":[");
  bool cut = r.arg_count > kArgsMax;
  for (size_t i = 0; i < r.arg_count && i < kArgsMax; ++i) {
    if (i > 0) line.Put(",");
    line.Text(r.args[i], kTextSlot, &cut);
  }
  line.Put("]");
  truncated.Add(cut, "args");
}

void PutIdentity(Line& line, const char* key, const Identity& id, Truncated& truncated,
                 const char* name_field) {
  line.Print("\"%s\":{\"mac\":", key);
  if (id.has_mac) {
    line.Print("\"%02X:%02X:%02X:%02X:%02X:%02X\"", id.mac[0], id.mac[1], id.mac[2], id.mac[3],
               id.mac[4], id.mac[5]);
  } else {
    line.Put("null");
  }
  line.Put(",\"name\":");
  bool cut = false;
  if (id.has_name) {
    line.Text(id.name, id.name_length < kNameBytes ? id.name_length : kNameBytes, kNameSlot, &cut);
  } else {
    line.Put("null");
  }
  truncated.Add(cut, name_field);
  line.Put(",\"vcom\":");
  if (id.has_vcom && id.vcom >= 0 && id.vcom <= kVcomMax) {
    line.Print("%d", id.vcom);
  } else {
    line.Put("null");
  }
  line.Put("}");
}

void PutSources(Line& line, const Record& r) {
  if (r.mac_source == nullptr && r.vcom_source == nullptr) return;
  line.Put(",\"sources\":{");
  if (r.mac_source != nullptr) {
    line.Put("\"mac\":");
    line.Word(r.mac_source);
  }
  if (r.vcom_source != nullptr) {
    line.Put(r.mac_source != nullptr ? ",\"vcom\":" : "\"vcom\":");
    line.Word(r.vcom_source);
  }
  line.Put("}");
}

void PutFirmware(Line& line, const Firmware& f) {
  if (!f.known) return;
  line.Print(",\"firmware\":{\"size\":%u,\"crc32\":\"0x%08X\"", f.size, f.crc32);
  if (f.has_flash_id) {
    line.Put(",\"flash_id\":\"");
    for (size_t i = 0; i < f.flash_id_length && i < kFlashIdMax; ++i) line.Print("%02X", f.flash_id[i]);
    line.Put("\"");
  }
  line.Put(",\"banks\":[");
  for (size_t i = 0; i < f.bank_count && i < kBanksMax; ++i) {
    line.Print("%s{\"bytes\":%u,\"crc\":\"0x%04X\"}", i > 0 ? "," : "", f.banks[i].bytes,
               f.banks[i].crc);
  }
  line.Put("]");
  if (f.ms >= 0) {
    line.Put(",\"seconds\":");
    line.Seconds(f.ms);
  }
  line.Put("}");
}

void PutTable(Line& line, const Table& t, Truncated& truncated) {
  if (t.file == nullptr) return;
  line.Put(",\"table\":{\"file\":");
  bool cut = false;
  line.Text(t.file, kTextSlot, &cut);
  truncated.Add(cut, "table.file");
  line.Print(",\"written\":%d,\"held_back\":%d,\"failed\":%d}", t.written, t.held_back, t.failed);
}

const char* KindWord(FailureKind kind) {
  switch (kind) {
    case FailureKind::kSilent: return "silent";
    case FailureKind::kRefused: return "refused";
    case FailureKind::kMalformed: return "malformed";
    case FailureKind::kNotStored: return "not-stored";
    case FailureKind::kReadBackDifferent: return "read-back-different";
  }
  return "malformed";
}

void PutFailures(Line& line, const Record& r, Truncated& truncated) {
  line.Put(",\"failures\":[");
  for (size_t i = 0; i < r.failure_count && i < kFailuresMax; ++i) {
    line.Put(i > 0 ? ",{\"step\":" : "{\"step\":");
    line.Word(r.failures[i].step);
    line.Put(",\"kind\":");
    line.Word(KindWord(r.failures[i].kind));
    line.Put("}");
  }
  line.Put("]");
  truncated.Add(r.failure_count > kFailuresMax, "failures");
}

void PutTruncated(Line& line, const Truncated& truncated) {
  if (truncated.count == 0) return;
  line.Put(",\"truncated\":[");
  for (size_t i = 0; i < truncated.count; ++i) line.Print("%s\"%s\"", i > 0 ? "," : "", truncated.names[i]);
  line.Put("]");
}

constexpr std::array<uint32_t, 256> MakeCrc32Table() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1u) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}
constexpr std::array<uint32_t, 256> kCrc32Table = MakeCrc32Table();

}  // namespace

size_t AppendJsonText(const uint8_t* text, size_t length, char* out, size_t room, bool* cut) {
  size_t written = 0;
  for (size_t at = 0; at < length;) {
    char unit[kEscapeMax + 1];
    size_t used = 0;
    const size_t n = EncodeUnit(text + at, length - at, unit, &used);
    if (n > room - written) {
      *cut = true;
      break;
    }
    memcpy(out + written, unit, n);
    written += n;
    at += used;
  }
  return written;
}

size_t FormatRecord(const Record& r, char* out, size_t capacity) {
  Line line{out, capacity};
  Truncated truncated;
  line.Print("{\"format\":%d,\"tool\":", kFormatVersion);
  line.Word(r.tool);
  line.Put(",\"version\":");
  line.Word(r.version);
  if (r.run[0] != '\0') {
    line.Put(",\"run\":");
    line.Word(r.run);
  }
  line.Put(",");
  PutArgs(line, r, truncated);
  line.Put(",\"start\":");
  line.Word(r.start);
  line.Put(",\"seconds\":");
  line.Seconds(r.ms);
  line.Print(",\"status\":%d,\"outcome\":", r.status);
  line.Word(r.outcome);
  line.Put(",\"identity\":{");
  PutIdentity(line, "before", r.before, truncated, "identity.before.name");
  line.Put(",");
  PutIdentity(line, "after", r.after, truncated, "identity.after.name");
  line.Put("}");
  PutSources(line, r);
  PutFirmware(line, r.firmware);
  PutTable(line, r.table, truncated);
  PutFailures(line, r, truncated);
  if (r.random_bytes >= 0) line.Print(",\"random\":{\"bytes\":%d}", r.random_bytes);
  if (r.has_picture) line.Print(",\"picture\":{\"width\":%d,\"height\":%d}", r.width, r.height);
  PutTruncated(line, truncated);
  line.Put("}\n");
  return line.overflow ? 0 : line.length;
}

uint32_t Crc32(uint32_t crc, const uint8_t* data, size_t length) {
  crc = ~crc;
  for (size_t i = 0; i < length; ++i) crc = kCrc32Table[(crc ^ data[i]) & 0xFFu] ^ (crc >> 8);
  return ~crc;
}

}  // namespace record
