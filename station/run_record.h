// A run record: one line of JSON that a tool appends to the file named by BM77_RECORD.
// docs/run-record.schema.json describes the format; ReadRunRecord accepts exactly what it
// describes.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "mac.h"

namespace station {

struct RunRecord {
  std::string canonical;  // the record rewritten with sorted keys and no spaces
  std::string digest;     // SHA-256 of `canonical`: the same record always has the same one
  std::string tool;
  std::string start;
  double seconds = 0;
  int status = 0;
  std::string outcome;
  std::optional<Mac> mac_before;
  std::optional<Mac> mac_after;
  std::optional<std::string> name_after;
  std::optional<int> vcom_after;
  std::vector<Mac> macs;  // every MAC the record names: identity and MAC-shaped arguments
  std::vector<std::pair<std::string, std::string>> failures;  // step, kind

  // The unit the record belongs to: the MAC after the run, else the one before.
  std::optional<Mac> Unit() const { return mac_after ? mac_after : mac_before; }
};

// Reads one line. A line that is not a run record gives nullopt and the reason in `why`.
std::optional<RunRecord> ReadRunRecord(const std::string& line, std::string* why);

}  // namespace station
