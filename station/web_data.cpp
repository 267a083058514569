#include "web_data.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "ledger.h"

namespace station::web {
namespace {

// Runs are read this many at a time, so that the first reading of a large ledger holds one
// batch of text rows, not the whole ledger.
constexpr long kRunBatch = 50000;
// No record for this long counts as records that stopped arriving.
constexpr std::int64_t kQuietMs = 3600 * 1000;
constexpr std::int64_t kWeekDays = 7;
// A hostile or broken ledger cannot make a page endless.
constexpr std::size_t kAlarmsMax = 100;
constexpr int kBlocksMax = 100;

// Runs are stored by one import at a time (SQLite's one writer, PostgreSQL's import lock), and
// their ids rise in the order they are committed: reading on from the last id seen misses none.
const char kNewRuns[] =
    "SELECT id, unit, tool, start_time, status, outcome, name_after FROM runs WHERE id > $1 "
    "ORDER BY id LIMIT $2";
const char kNewFailures[] =
    "SELECT step, kind, COUNT(*) FROM failures WHERE run_id > $1 AND run_id <= $2 GROUP BY step, kind";
// A MAC in a record that lies inside a registered block but was never handed out was typed by
// hand: the ledger may hand it out to another unit, or already has.
const char kTypedInBlock[] =
    "SELECT DISTINCT x.m FROM (SELECT mac_before AS m FROM runs WHERE id > $1 AND id <= $2 "
    "UNION SELECT mac_after FROM runs WHERE id > $1 AND id <= $2) x WHERE x.m IS NOT NULL "
    "AND NOT EXISTS (SELECT 1 FROM handed h WHERE h.mac = x.m) "
    "AND EXISTS (SELECT 1 FROM blocks b WHERE b.first_mac <= x.m AND b.last_mac >= x.m)";
const char kUnitRuns[] =
    "SELECT id, start_time, tool, status, outcome, seconds, record FROM runs WHERE unit = $1 "
    "ORDER BY start_time, id LIMIT $2";
const char kBlockRows[] = "SELECT first_mac, last_mac, next_mac FROM blocks ORDER BY first_mac LIMIT $1";
const char kFirstHandedFrom[] =
    "SELECT mac, handed_at FROM handed WHERE mac >= $1 AND mac < $2 ORDER BY mac LIMIT 1";
const char kHandedBetween[] = "SELECT COUNT(*) FROM handed WHERE mac >= $1 AND mac < $2";

std::int64_t Number(const std::optional<std::string>& text) { return std::stoll(text.value()); }

// Days from 1970-01-01 to a civil date, and back (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

std::int64_t FloorDiv(std::int64_t a, std::int64_t b) { return a / b - (a % b != 0 && (a < 0) != (b < 0)); }

// The handed-out stamp's form (ledger.cpp): YYYY-MM-DDTHH:MM:SSZ.
std::string HandedStamp(std::int64_t ms) { return StartText(ms).substr(0, 19) + "Z"; }

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// MACs of a block are handed out in rising order, so their stamps rise with them: the first one
// handed at or after `cutoff` is found by bisection, a few indexed look-ups, and the MACs from
// there to the cursor are the ones handed since.
long long HandedSince(Store& store, Mac first, Mac cursor, const std::string& cutoff) {
  Mac low = first, high = cursor;
  while (low < high) {
    const Mac middle = low + (high - low) / 2;
    const Rows found = store.Query(kFirstHandedFrom, {std::int64_t{middle}, std::int64_t{cursor}});
    if (found.empty() || found[0][1].value_or("") >= cutoff) {
      high = middle;
    } else {
      low = Number(found[0][0]) + 1;
    }
  }
  return Number(store.Query(kHandedBetween, {std::int64_t{low}, std::int64_t{cursor}}).at(0).at(0));
}

}  // namespace

std::unique_ptr<Store> OpenForReading(const std::string& where) { return OpenLedger(where, Access::kRead); }

bool Passed(const std::string& tool, int status) { return status == (tool == "bmpview" ? 1 : 0); }

std::int64_t StartMs(const std::string& start) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, ms = 0;
  if (std::sscanf(start.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3d", &y, &mo, &d, &h, &mi, &s, &ms) != 7 || mo < 1 ||
      mo > 12 || d < 1 || d > 31) {
    return 0;
  }
  const std::int64_t days = DaysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d));
  return ((days * 24 + h) * 60 + mi) * 60000 + s * 1000 + ms;
}

std::string DayText(std::int64_t day) {
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(day, y, m, d);
  char text[32];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u", static_cast<long long>(y), m, d);
  return text;
}

std::string StartText(std::int64_t ms) {
  const std::int64_t day = FloorDiv(ms, kDayMs);
  const std::int64_t in_day = ms - day * kDayMs;
  char text[48];
  std::snprintf(text, sizeof text, "%sT%02lld:%02lld:%02lld.%03lldZ", DayText(day).c_str(),
                static_cast<long long>(in_day / 3600000), static_cast<long long>(in_day / 60000 % 60),
                static_cast<long long>(in_day / 1000 % 60), static_cast<long long>(in_day % 1000));
  return text;
}

void Tally::Refresh(Store& store) {
  const std::lock_guard<std::mutex> lock(mutex_);
  for (;;) {
    const Rows runs = store.Query(kNewRuns, {last_id_, std::int64_t{kRunBatch}});
    if (runs.empty()) return;
    const std::int64_t to = Number(runs.back()[0]);
    // Everything is read before anything is folded in: a store error leaves the tally whole.
    const Rows failures = store.Query(kNewFailures, {last_id_, to});
    const Rows typed = store.Query(kTypedInBlock, {last_id_, to});
    for (const Row& run : runs) Fold(run);
    for (const Row& failure : failures) failures_[{failure[0].value(), failure[1].value()}] += Number(failure[2]);
    for (const Row& mac : typed) typed_in_block_.insert(Number(mac[0]));
    last_id_ = to;
    if (static_cast<long>(runs.size()) < kRunBatch) return;
  }
}

std::uint8_t Tally::ToolIndex(const std::string& tool) {
  const auto found = std::find(tool_names_.begin(), tool_names_.end(), tool);
  if (found != tool_names_.end()) return static_cast<std::uint8_t>(found - tool_names_.begin());
  tool_names_.push_back(tool);
  tool_totals_.emplace_back();
  return static_cast<std::uint8_t>(tool_names_.size() - 1);
}

// id, unit, tool, start_time, status, outcome, name_after
void Tally::Fold(const Row& run) {
  const std::string& tool = run[2].value();
  const std::int64_t ms = StartMs(run[3].value());
  const int status = static_cast<int>(Number(run[4]));
  const bool ok = Passed(tool, status);
  const std::uint8_t index = ToolIndex(tool);
  const std::optional<Mac> unit = run[1] ? std::optional<Mac>(Number(run[1])) : std::nullopt;
  ++runs_;
  ++runs_per_day_[FloorDiv(ms, kDayMs)];
  ++tool_totals_[index].runs;
  if (!ok) ++tool_totals_[index].failed;
  // Runs are folded in the order they were stored: on equal starts the later one is newer.
  if (ms >= newest_ms_) {
    newest_ms_ = ms;
    newest_ = LastRun{run[3].value(), tool, run[5].value_or(""), status, ok, unit, run[6].value_or("")};
  }
  if (!unit) {
    ++without_unit_;
    return;
  }
  UnitState& state = units_[*unit];
  if (++state.runs == 1 || ms >= state.last_ms) {
    const bool was_stuck = state.runs > 1 && !state.last_ok;
    stuck_ += int{!ok} - int{was_stuck};
    state.last_ok = ok;
    state.last_ms = ms;
    state.last_tool = index;
    state.last_status = status;
    state.last_outcome = run[5].value_or("");
    if (run[6] && (state.key.empty() || state.name != *run[6])) {
      state.name = *run[6];
      state.key = MacText(*unit) + " " + Upper(state.name);
    }
  }
  if (state.key.empty()) state.key = MacText(*unit);
  FoldDay(state, FloorDiv(ms, kDayMs));
  FoldTool(state, index, ms, ok);
  if (tool == "bm77_provision" && status == 0 && ++state.provisioned == 2) provisioned_again_.insert(*unit);
  if (run[6]) FoldName(*unit, *run[6]);
}

void Tally::FoldTool(UnitState& unit, std::uint8_t tool, std::int64_t ms, bool ok) {
  Totals& totals = tool_totals_[tool];
  const auto found = std::find_if(unit.tools.begin(), unit.tools.end(),
                                  [tool](const ToolState& state) { return state.tool == tool; });
  if (found == unit.tools.end()) {
    unit.tools.push_back(ToolState{tool, ms, ms, ok, ok});
    ++totals.units;
    totals.first_pass += ok;
    totals.final_pass += ok;
    return;
  }
  if (ms < found->first_ms) {
    totals.first_pass += int{ok} - int{found->first_ok};
    found->first_ms = ms;
    found->first_ok = ok;
  }
  if (ms >= found->last_ms) {
    totals.final_pass += int{ok} - int{found->last_ok};
    found->last_ms = ms;
    found->last_ok = ok;
  }
}

void Tally::FoldName(Mac unit, const std::string& name) {
  const auto owner = name_owner_.emplace(name, unit).first;
  if (owner->second != unit) {
    std::set<Mac>& units = shared_names_[name];
    units.insert(owner->second);
    units.insert(unit);
  }
}

void Tally::FoldDay(UnitState& unit, std::int64_t day) {
  if (day <= unit.last_day) return;
  if (unit.last_day >= 0) --units_per_day_[unit.last_day];
  ++units_per_day_[day];
  unit.last_day = day;
}

bool Tally::Quiet(std::int64_t now_ms) const { return newest_ms_ >= 0 && now_ms - newest_ms_ > kQuietMs; }

std::size_t Tally::AlarmCount(std::int64_t now_ms) const {
  return (Quiet(now_ms) ? 1 : 0) + provisioned_again_.size() + shared_names_.size() + typed_in_block_.size();
}

// The first kAlarmsMax alarms: a ledger full of them (a block typed by hand into every unit)
// still gives a page drawn in milliseconds.
std::vector<Alarm> Tally::Alarms(std::int64_t now_ms) const {
  std::vector<Alarm> alarms;
  const auto full = [&alarms] { return alarms.size() >= kAlarmsMax; };
  if (Quiet(now_ms)) {
    alarms.push_back({Alarm::kRecordsStopped, newest_->start, {}, static_cast<long>((now_ms - newest_ms_) / 60000)});
  }
  for (auto mac = provisioned_again_.begin(); mac != provisioned_again_.end() && !full(); ++mac) {
    alarms.push_back({Alarm::kMacOnTwoUnits, MacText(*mac), {*mac}, units_.at(*mac).provisioned});
  }
  for (auto shared = shared_names_.begin(); shared != shared_names_.end() && !full(); ++shared) {
    alarms.push_back({Alarm::kNameOnTwoUnits, shared->first, {shared->second.begin(), shared->second.end()}, 0});
  }
  for (auto mac = typed_in_block_.begin(); mac != typed_in_block_.end() && !full(); ++mac) {
    alarms.push_back({Alarm::kTypedMacInBlock, MacText(*mac), {*mac}, 0});
  }
  return alarms;
}

Summary Tally::Summarize(Store& store, std::int64_t now_ms) const {
  Summary summary;
  const std::int64_t today = FloorDiv(now_ms, kDayMs);
  summary.today = DayText(today);
  summary.blocks = Blocks(store, now_ms);
  const std::lock_guard<std::mutex> lock(mutex_);
  summary.runs_all = runs_;
  summary.runs_without_unit = without_unit_;
  summary.units_all = static_cast<long>(units_.size());
  summary.units_stuck = stuck_;
  const auto runs_today = runs_per_day_.find(today);
  summary.runs_today = runs_today == runs_per_day_.end() ? 0 : runs_today->second;
  const auto units_today = units_per_day_.find(today);
  summary.units_today = units_today == units_per_day_.end() ? 0 : units_today->second;
  for (std::size_t i = 0; i < tool_names_.size(); ++i) {
    const Totals& t = tool_totals_[i];
    summary.tools.push_back({tool_names_[i], t.runs, t.failed, t.units, t.first_pass, t.final_pass});
  }
  std::sort(summary.tools.begin(), summary.tools.end(),
            [](const ToolYield& a, const ToolYield& b) { return a.tool < b.tool; });
  for (const auto& failure : failures_) {
    summary.failures.push_back({failure.first.first, failure.first.second, failure.second});
  }
  std::stable_sort(summary.failures.begin(), summary.failures.end(),
                   [](const FailureCount& a, const FailureCount& b) { return a.count > b.count; });
  summary.alarms = Alarms(now_ms);
  summary.alarms_total = AlarmCount(now_ms);
  summary.last = newest_;
  return summary;
}

UnitPage Tally::Units(const std::string& search, bool stuck, std::optional<Mac> after, std::size_t count) const {
  const std::string wanted = Upper(search);
  UnitPage page;
  const std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = after ? units_.upper_bound(*after) : units_.begin(); it != units_.end(); ++it) {
    const UnitState& unit = it->second;
    if ((stuck && unit.last_ok) || (!wanted.empty() && unit.key.find(wanted) == std::string::npos)) continue;
    if (page.units.size() == count) {
      page.more_after = page.units.back().mac;
      break;
    }
    const std::string& tool = tool_names_[unit.last_tool];
    page.units.push_back({it->first, unit.name, unit.runs, StartText(unit.last_ms), tool, unit.last_outcome,
                          unit.last_ok});
  }
  return page;
}

std::optional<LastRun> Tally::Last() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return newest_;
}

std::vector<UnitRun> UnitRuns(Store& store, Mac unit, std::size_t limit) {
  std::vector<UnitRun> runs;
  for (const Row& row : store.Query(kUnitRuns, {std::int64_t{unit}, static_cast<std::int64_t>(limit)})) {
    runs.push_back({Number(row[0]), row[1].value_or(""), row[2].value_or(""), row[4].value_or(""),
                    row[6].value_or(""), static_cast<int>(Number(row[3])), std::stod(row[5].value_or("0"))});
  }
  return runs;
}

std::vector<BlockUse> Blocks(Store& store, std::int64_t now_ms) {
  const std::int64_t today = FloorDiv(now_ms, kDayMs);
  const std::string cutoff = HandedStamp(now_ms - kWeekDays * kDayMs);
  std::vector<BlockUse> blocks;
  for (const Row& row : store.Query(kBlockRows, {std::int64_t{kBlocksMax}})) {
    BlockUse block;
    block.first = Number(row[0]);
    block.last = Number(row[1]);
    // Every MAC below the cursor is taken: handed out, or seen in a record and skipped.
    const Mac cursor = std::clamp(Number(row[2]), block.first, block.last + 1);
    block.used = cursor - block.first;
    block.left = block.last + 1 - cursor;
    block.handed_week = HandedSince(store, block.first, cursor, cutoff);
    if (block.handed_week > 0) {
      const long long days = (block.left * kWeekDays + block.handed_week - 1) / block.handed_week;
      block.runs_out = DayText(today + days);
    }
    blocks.push_back(block);
  }
  return blocks;
}

}  // namespace station::web
