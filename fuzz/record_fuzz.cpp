// The run record takes the operator's arguments and file names as they come: whatever their
// bytes, the line it makes is one valid JSON object (RFC 8259, UTF-8) that fits one write, and
// an argument that fits its slot comes back as given (invalid bytes as U+FFFD).
// Input: NUL-separated texts; the first is the table's file name, the rest the arguments.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "record_format.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> texts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      texts.emplace_back();
    } else {
      texts.back() += static_cast<char>(data[i]);
    }
  }
  std::vector<const char*> args;
  for (size_t i = 1; i < texts.size(); ++i) args.push_back(texts[i].c_str());
  record::Record r;
  r.tool = "bm77_tableupdate";
  r.table.file = texts[0].c_str();
  r.args = args.data();
  r.arg_count = args.size();
  r.before.has_name = true;  // a device name read from the module is outside input too
  r.before.name_length = texts[0].size() < record::kNameBytes ? texts[0].size() : record::kNameBytes;
  memcpy(r.before.name, texts[0].data(), r.before.name_length);

  static char line[record::kRecordSize];
  const size_t n = record::FormatRecord(r, line, sizeof line);
  if (n == 0 || line[n - 1] != '\n' || memchr(line, '\n', n - 1) != nullptr) abort();
  const nlohmann::json j = nlohmann::json::parse(line, line + n, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) abort();
  if (j["table"]["file"].get<std::string>().size() > record::kTextSlot) abort();
  const bool cut = j.contains("truncated");
  for (size_t i = 0; i < args.size() && i < record::kArgsMax && !cut; ++i) {
    const std::string& given = texts[i + 1];
    // Valid UTF-8 without a control character comes back byte for byte.
    bool plain = true;
    for (unsigned char c : given) plain = plain && c >= 0x20 && c < 0x80;
    if (plain && j["args"][i].get<std::string>() != given) abort();
  }
  return 0;
}
