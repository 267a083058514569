// What the line's web page shows, read from the ledger without writing to it.
//
// The overview's figures (yields, failures, alarms) cover every run, and a million runs cannot
// be read for each page. So the server keeps a tally in memory: it reads the whole ledger once
// at its start, then, at each page, only the runs stored since (their ids rise with every
// import: writers take their turn one at a time). A unit's own runs and the blocks are read
// from the store through its indexes.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "mac.h"
#include "store.h"

namespace station::web {

// Opens the ledger at `where` for reading: a missing SQLite file is refused (never made), the
// schema is checked, not made, and the connection refuses writes.
std::unique_ptr<Store> OpenForReading(const std::string& where);

// bmpview ends with 1 when the picture was shown; every other tool with 0 when done.
bool Passed(const std::string& tool, int status);

// Milliseconds since 1970 of a record's start (YYYY-MM-DDTHH:MM:SS.mmmZ, checked at import).
std::int64_t StartMs(const std::string& start);
// YYYY-MM-DD of a day counted from 1970-01-01.
std::string DayText(std::int64_t day);
// YYYY-MM-DDTHH:MM:SS.mmmZ, as the records write their start.
std::string StartText(std::int64_t ms);
constexpr std::int64_t kDayMs = 86400000;

struct ToolYield {
  std::string tool;
  long runs = 0, failed_runs = 0;
  long units = 0;       // units that ran the tool
  long first_pass = 0;  // ... whose first run of it passed
  long final_pass = 0;  // ... whose last run of it passed
};

struct FailureCount {
  std::string step, kind;
  long count = 0;
};

struct BlockUse {
  Mac first = 0, last = 0;
  long long used = 0, left = 0;
  long long handed_week = 0;          // handed out in the last seven days
  std::optional<std::string> runs_out;  // the day the block runs out at that rate
};

// Things that must never happen on the line.
struct Alarm {
  enum Kind { kMacOnTwoUnits, kNameOnTwoUnits, kTypedMacInBlock, kRecordsStopped } kind = kMacOnTwoUnits;
  std::string subject;     // the MAC, the name, or the newest record's start
  std::vector<Mac> units;  // kNameOnTwoUnits: the units that carry the name
  long count = 0;          // kMacOnTwoUnits: good provisioning runs; kRecordsStopped: minutes quiet
};

struct LastRun {
  std::string start, tool, outcome;
  int status = 0;
  bool passed = false;
  std::optional<Mac> unit;
  std::string name;
};

struct Summary {
  std::string today;
  long runs_today = 0, runs_all = 0, runs_without_unit = 0;
  long units_today = 0, units_all = 0;
  long units_stuck = 0;  // units whose last run failed: stuck half-way along the line
  std::vector<ToolYield> tools;
  std::vector<FailureCount> failures;  // most first
  std::vector<BlockUse> blocks;
  std::vector<Alarm> alarms;  // the first ones of
  std::size_t alarms_total = 0;
  std::optional<LastRun> last;
};

struct UnitLine {
  Mac mac = 0;
  std::string name;
  long runs = 0;
  std::string last_start, last_tool, last_outcome;
  bool last_passed = false;
};

struct UnitPage {
  std::vector<UnitLine> units;
  std::optional<Mac> more_after;  // the next page starts after this MAC
};

struct UnitRun {
  std::int64_t id = 0;
  std::string start, tool, outcome, record;  // record: the stored JSON text
  int status = 0;
  double seconds = 0;
};

// The tally of every run the ledger holds. Safe to share between threads.
class Tally {
 public:
  // Reads the runs stored since the last call.
  void Refresh(Store& store);
  // `now_ms`: the clock the page is drawn at (today, the last seven days, quiet records).
  Summary Summarize(Store& store, std::int64_t now_ms) const;
  // Units whose MAC or name holds `search` (either case; all when empty), MAC above `after`;
  // with `stuck`, only those whose last run failed.
  UnitPage Units(const std::string& search, bool stuck, std::optional<Mac> after, std::size_t count) const;
  std::optional<LastRun> Last() const;

 private:
  struct ToolState {
    std::uint8_t tool = 0;
    std::int64_t first_ms = 0, last_ms = 0;
    bool first_ok = false, last_ok = false;
  };
  struct UnitState {
    std::string name;
    std::string key;  // MAC and name in upper case, what a search looks in
    long runs = 0;
    std::int64_t last_ms = 0;
    std::uint8_t last_tool = 0;
    int last_status = 0;
    bool last_ok = false;
    std::string last_outcome;
    std::vector<ToolState> tools;  // a unit runs a handful of tools: a map would cost more
    int provisioned = 0;
    std::int64_t last_day = -1;
  };
  struct Totals {
    long runs = 0, failed = 0, units = 0, first_pass = 0, final_pass = 0;
  };

  void Fold(const Row& run);
  void FoldTool(UnitState& unit, std::uint8_t tool, std::int64_t ms, bool ok);
  void FoldName(Mac unit, const std::string& name);
  void FoldDay(UnitState& unit, std::int64_t day);
  std::uint8_t ToolIndex(const std::string& tool);
  std::vector<Alarm> Alarms(std::int64_t now_ms) const;
  std::size_t AlarmCount(std::int64_t now_ms) const;
  bool Quiet(std::int64_t now_ms) const;

  mutable std::mutex mutex_;
  std::int64_t last_id_ = 0;
  long runs_ = 0, without_unit_ = 0, stuck_ = 0;
  std::vector<std::string> tool_names_;
  std::vector<Totals> tool_totals_;
  std::map<Mac, UnitState> units_;
  std::map<std::int64_t, long> runs_per_day_, units_per_day_;
  std::map<std::pair<std::string, std::string>, long> failures_;
  std::unordered_map<std::string, Mac> name_owner_;
  std::map<std::string, std::set<Mac>> shared_names_;
  std::set<Mac> provisioned_again_, typed_in_block_;
  // The newest run (by start, then by id): the operator's view.
  std::int64_t newest_ms_ = -1;
  std::optional<LastRun> newest_;
};

// One unit's runs in order of start (at most `limit`); empty for a MAC without runs.
std::vector<UnitRun> UnitRuns(Store& store, Mac unit, std::size_t limit);

// Each registered block's use, from the cursor and the MACs handed out.
std::vector<BlockUse> Blocks(Store& store, std::int64_t now_ms);

}  // namespace station::web
