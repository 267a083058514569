#include "run_record.h"

#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "sha256.h"

namespace station {
namespace {

using nlohmann::json;

// Format 2 added "run"; records of format 1 (without it) are still read.
constexpr int kFormat = 2;
constexpr int kFormatWithoutRun = 1;
constexpr std::size_t kRunIdDigits = 32;
constexpr int kStatusMax = 255;
constexpr int kVcomMax = 999;
constexpr std::size_t kOutcomeMax = 32;

struct Malformed : std::runtime_error {
  using std::runtime_error::runtime_error;
};

[[noreturn]] void Fail(const std::string& where, const std::string& what) {
  throw Malformed(where + " " + what);
}

std::string Inside(const std::string& where, const std::string& key) {
  return where.empty() ? key : where + "." + key;
}

const json& Need(const json& object, const char* key, const std::string& where) {
  const auto found = object.find(key);
  if (found == object.end()) Fail(Inside(where, key), "is missing");
  return *found;
}

const json* Maybe(const json& object, const char* key) {
  const auto found = object.find(key);
  return found == object.end() ? nullptr : &*found;
}

const json& Object(const json& value, const std::string& where,
                   std::initializer_list<const char*> known) {
  if (!value.is_object()) Fail(where, "is not an object");
  for (const auto& item : value.items()) {
    bool is_known = false;
    for (const char* key : known) is_known = is_known || item.key() == key;
    if (!is_known) Fail(Inside(where, item.key()), "is not a field of the record");
  }
  return value;
}

// An integer as JSON Schema counts them: a number without a fraction.
long long Integer(const json& value, const std::string& where, long long min, long long max) {
  long long number = 0;
  if (value.is_number_integer()) {
    number = value.get<long long>();
  } else if (value.is_number_float() && std::trunc(value.get<double>()) == value.get<double>() &&
             std::fabs(value.get<double>()) < 1e18) {
    number = static_cast<long long>(value.get<double>());
  } else {
    Fail(where, "is not an integer");
  }
  if (number < min || number > max) Fail(where, "is out of range");
  return number;
}

long long Count(const json& value, const std::string& where) {
  return Integer(value, where, 0, std::numeric_limits<long long>::max());
}

double Seconds(const json& value, const std::string& where) {
  if (!value.is_number() || value.get<double>() < 0) Fail(where, "is not a number of seconds");
  return value.get<double>();
}

const std::string& Text(const json& value, const std::string& where) {
  if (!value.is_string()) Fail(where, "is not a string");
  return value.get_ref<const std::string&>();
}

void OneOf(const json& value, const std::string& where, std::initializer_list<const char*> words) {
  const std::string& text = Text(value, where);
  for (const char* word : words) {
    if (text == word) return;
  }
  Fail(where, "is not one of its words");
}

bool IsUpperHex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// "0x" and `digits` upper-case hex digits; any number of them when `digits` is 0.
void Hex(const json& value, const std::string& where, std::size_t digits, bool prefixed) {
  const std::string& text = Text(value, where);
  const std::size_t skip = prefixed ? 2 : 0;
  bool good = text.size() >= skip && (!prefixed || text.compare(0, 2, "0x") == 0) &&
              (digits == 0 || text.size() == skip + digits);
  for (std::size_t i = skip; good && i < text.size(); ++i) good = IsUpperHex(text[i]);
  if (!good) Fail(where, "is not hex as written by the tools");
}

// YYYY-MM-DDTHH:MM:SS.mmmZ
void Start(const std::string& text, const std::string& where) {
  static const char kShape[] = "0000-00-00T00:00:00.000Z";
  bool good = text.size() == sizeof kShape - 1;
  for (std::size_t i = 0; good && i < text.size(); ++i) {
    good = kShape[i] == '0' ? (text[i] >= '0' && text[i] <= '9') : text[i] == kShape[i];
  }
  if (!good) Fail(where, "is not a UTC time with milliseconds");
  const auto field = [&](std::size_t at, std::size_t digits) { return std::stoi(text.substr(at, digits)); };
  const int year = field(0, 4), month = field(5, 2), day = field(8, 2);
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const bool real = month >= 1 && month <= 12 && day >= 1 &&
                    day <= kDays[month - 1] + (month == 2 && leap ? 1 : 0) &&
                    field(11, 2) <= 23 && field(14, 2) <= 59 && field(17, 2) <= 59;
  if (!real) Fail(where, text + " is no date and time of the calendar");
}

void Outcome(const std::string& text, int status, const std::string& where) {
  bool good = !text.empty() && text.size() <= kOutcomeMax && text[0] >= 'a' && text[0] <= 'z';
  for (char c : text) good = good && ((c >= 'a' && c <= 'z') || c == '-');
  if (!good) Fail(where, "is not a short word");
  if (status == 0 && text != "ok") Fail(where, "is not \"ok\" for status 0");
}

std::optional<Mac> IdentityMac(const json& value, const std::string& where) {
  if (value.is_null()) return std::nullopt;
  const std::string& text = Text(value, where);
  const std::optional<Mac> mac = ParseMac(text);
  bool upper = true;
  for (char c : text) upper = upper && !(c >= 'a' && c <= 'f');
  if (!mac || !upper) Fail(where, "is not a MAC as the identity files write it");
  return mac;
}

// A MAC the record names, kept from next-mac; one the module may not keep is never handed
// out anyway, and every fresh module names one.
void NoteMac(const std::optional<Mac>& mac, RunRecord& record) {
  if (mac && !UnusableMacWithin(*mac, *mac)) record.macs.push_back(*mac);
}

struct Identity {
  std::optional<Mac> mac;
  std::optional<std::string> name;
  std::optional<int> vcom;
};

Identity ReadIdentity(const json& value, const std::string& where) {
  Object(value, where, {"mac", "name", "vcom"});
  Identity identity;
  identity.mac = IdentityMac(Need(value, "mac", where), Inside(where, "mac"));
  const json& name = Need(value, "name", where);
  if (!name.is_null()) identity.name = Escaped(Text(name, Inside(where, "name")), true);
  const json& vcom = Need(value, "vcom", where);
  if (!vcom.is_null()) identity.vcom = static_cast<int>(Integer(vcom, Inside(where, "vcom"), 0, kVcomMax));
  return identity;
}

void ReadIdentities(const json& value, RunRecord& record) {
  Object(value, "identity", {"before", "after"});
  const Identity before = ReadIdentity(Need(value, "before", "identity"), "identity.before");
  const Identity after = ReadIdentity(Need(value, "after", "identity"), "identity.after");
  record.mac_before = before.mac;
  record.mac_after = after.mac;
  record.name_after = after.name;
  record.vcom_after = after.vcom;
  NoteMac(before.mac, record);
  NoteMac(after.mac, record);
}

void ReadArgs(const json& value, RunRecord& record) {
  if (!value.is_array()) Fail("args", "is not an array");
  for (const json& arg : value) {
    // A MAC typed by the operator counts as seen even when the run did not keep it.
    NoteMac(ParseMac(Text(arg, "args")), record);
  }
}

void ReadSources(const json& value) {
  Object(value, "sources", {"mac", "vcom"});
  if (const json* mac = Maybe(value, "mac")) {
    OneOf(*mac, "sources.mac", {"module", "random", "file", "default", "argument"});
  }
  if (const json* vcom = Maybe(value, "vcom")) {
    OneOf(*vcom, "sources.vcom", {"module", "file", "default", "argument"});
  }
}

void ReadFirmware(const json& value) {
  Object(value, "firmware", {"size", "crc32", "flash_id", "banks", "seconds"});
  Count(Need(value, "size", "firmware"), "firmware.size");
  Hex(Need(value, "crc32", "firmware"), "firmware.crc32", 8, true);
  if (const json* id = Maybe(value, "flash_id")) Hex(*id, "firmware.flash_id", 0, false);
  const json& banks = Need(value, "banks", "firmware");
  if (!banks.is_array()) Fail("firmware.banks", "is not an array");
  for (const json& bank : banks) {
    Object(bank, "firmware.banks", {"bytes", "crc"});
    Count(Need(bank, "bytes", "firmware.banks"), "firmware.banks.bytes");
    Hex(Need(bank, "crc", "firmware.banks"), "firmware.banks.crc", 4, true);
  }
  if (const json* seconds = Maybe(value, "seconds")) Seconds(*seconds, "firmware.seconds");
}

void ReadTable(const json& value) {
  Object(value, "table", {"file", "written", "held_back", "failed"});
  Text(Need(value, "file", "table"), "table.file");
  for (const char* count : {"written", "held_back", "failed"}) {
    Count(Need(value, count, "table"), Inside("table", count));
  }
}

void ReadFailures(const json& value, RunRecord& record) {
  if (!value.is_array()) Fail("failures", "is not an array");
  for (const json& failure : value) {
    Object(failure, "failures", {"step", "kind"});
    const std::string& step = Text(Need(failure, "step", "failures"), "failures.step");
    if (step.empty()) Fail("failures.step", "is empty");
    const json& kind = Need(failure, "kind", "failures");
    OneOf(kind, "failures.kind", {"silent", "refused", "malformed", "not-stored", "read-back-different"});
    record.failures.emplace_back(Escaped(step, true), kind.get<std::string>());
  }
}

void ReadSizes(const json& object, const char* key, std::initializer_list<const char*> fields,
               bool counts) {
  const json* value = Maybe(object, key);
  if (value == nullptr) return;
  Object(*value, key, fields);
  for (const char* field : fields) {
    const json& number = Need(*value, field, key);
    if (counts) {
      Count(number, Inside(key, field));
    } else {
      Integer(number, Inside(key, field), std::numeric_limits<long long>::min(),
              std::numeric_limits<long long>::max());
    }
  }
}

void ReadTruncated(const json& value) {
  if (!value.is_array()) Fail("truncated", "is not an array");
  for (const json& field : value) Text(field, "truncated");
}

// The run id the record carries, or "" for a record written without one.
std::string RunId(const json& line, long long format) {
  const json* run = Maybe(line, "run");
  if (run == nullptr) return "";
  if (format == kFormatWithoutRun) Fail("run", "is not a field of a format 1 record");
  const std::string& text = Text(*run, "run");
  bool good = text.size() == kRunIdDigits;
  for (char c : text) good = good && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
  if (!good) Fail("run", "is not 32 lower-case hex digits");
  return text;
}

RunRecord Read(const json& line) {
  Object(line, "record", {"format", "tool", "version", "run", "args", "start", "seconds", "status", "outcome",
                          "identity", "sources", "firmware", "table", "failures", "random", "picture",
                          "truncated"});
  RunRecord record;
  const long long format = Integer(Need(line, "format", ""), "format", 0, std::numeric_limits<long long>::max());
  if (format != kFormat && format != kFormatWithoutRun) {
    Fail("format", std::to_string(format) + " is not one this program reads (1 or 2)");
  }
  record.run = RunId(line, format);
  const json& tool = Need(line, "tool", "");
  OneOf(tool, "tool", {"bm77_fwupdate", "bm77_tableupdate", "bm77_ident", "bm77_provision", "Noisewell", "bmpview"});
  record.tool = tool.get<std::string>();
  if (Text(Need(line, "version", ""), "version").empty()) Fail("version", "is empty");
  ReadArgs(Need(line, "args", ""), record);
  record.start = Text(Need(line, "start", ""), "start");
  Start(record.start, "start");
  record.seconds = Seconds(Need(line, "seconds", ""), "seconds");
  record.status = static_cast<int>(Integer(Need(line, "status", ""), "status", 0, kStatusMax));
  record.outcome = Text(Need(line, "outcome", ""), "outcome");
  Outcome(record.outcome, record.status, "outcome");
  ReadIdentities(Need(line, "identity", ""), record);
  ReadFailures(Need(line, "failures", ""), record);
  if (const json* sources = Maybe(line, "sources")) ReadSources(*sources);
  if (const json* firmware = Maybe(line, "firmware")) ReadFirmware(*firmware);
  if (const json* table = Maybe(line, "table")) ReadTable(*table);
  ReadSizes(line, "random", {"bytes"}, true);
  ReadSizes(line, "picture", {"width", "height"}, false);
  if (const json* truncated = Maybe(line, "truncated")) ReadTruncated(*truncated);
  return record;
}

}  // namespace

std::string Escaped(const std::string& text, bool backslashes) {
  constexpr unsigned char kFirstPrintable = 0x20, kDelete = 0x7F;
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < kFirstPrintable || byte == kDelete) {
      char escape[5];
      std::snprintf(escape, sizeof escape, "\\x%02X", byte);
      out += escape;
    } else {
      if (backslashes && c == '\\') out += '\\';
      out += c;
    }
  }
  return out;
}

std::optional<RunRecord> ReadRunRecord(const std::string& line, std::string* why) {
  try {
    const json parsed = json::parse(line);
    RunRecord record = Read(parsed);
    // Keys come out sorted (nlohmann's object is an ordered map) and without spaces, so the
    // same record written with other spacing or key order has the same digest. A record with
    // a run id is keyed on it instead: two runs that wrote the same bytes (a device whose clock
    // was not set) stay two runs. The two keys never meet: 32 hex digits against 64.
    record.canonical = parsed.dump();
    record.key = record.run.empty() ? Sha256Hex(record.canonical) : record.run;
    return record;
  } catch (const json::exception& error) {
    *why = std::string("not JSON: ") + error.what();
  } catch (const Malformed& error) {
    *why = error.what();
  }
  return std::nullopt;
}

}  // namespace station
