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
  std::string run;        // the run id (32 hex digits), "" for a record written without one
  // The record's identity in the ledger: its run id, else the SHA-256 of `canonical`.
  std::string key;
  std::string tool;
  std::string start;
  double seconds = 0;
  int status = 0;
  std::string outcome;
  std::optional<Mac> mac_before;
  std::optional<Mac> mac_after;
  std::optional<std::string> name_after;  // escaped (Escaped with backslashes)
  std::optional<int> vcom_after;
  std::vector<Mac> macs;  // every usable MAC the record names: identity and MAC-shaped arguments
  std::vector<std::pair<std::string, std::string>> failures;  // step (escaped), kind

  // The unit the record belongs to: the MAC after the run, else the one before. A MAC the
  // module may not keep (a fresh module's default, all zeros or ones) names no unit: every
  // unprovisioned module carries it.
  std::optional<Mac> Unit() const {
    if (mac_after && !UnusableMacWithin(*mac_after, *mac_after)) return mac_after;
    if (mac_before && !UnusableMacWithin(*mac_before, *mac_before)) return mac_before;
    return std::nullopt;
  }
};

// `text` with every control character (DEL included) written \xNN, so that a text from a
// record can never start a line of its own in a listing (a NUL is kept, not cut). With
// `backslashes`, every backslash is doubled too, and the escaped text stands for one text only:
// the form in which the ledger keeps the names and steps the records give.
std::string Escaped(const std::string& text, bool backslashes);

// Reads one line. A line that is not a run record gives nullopt and the reason in `why`.
std::optional<RunRecord> ReadRunRecord(const std::string& line, std::string* why);

}  // namespace station
