#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <optional>

#include "import.h"
#include "ledger.h"
#include "messages.h"

namespace station {
namespace {

// A column as printed: a text from a record never carries a control character into a listing.
std::string Shown(const std::optional<std::string>& text, const char* otherwise) {
  return text ? Escaped(*text, false) : otherwise;
}

std::string MacColumn(const std::optional<std::string>& number) {
  return number ? MacText(std::stoll(*number)) : "-";
}

int BlockAdd(Store& store, Mac first, Mac last) {
  const BlockVerdict verdict = AddBlock(store, first, last);
  const std::string a = MacText(first), b = MacText(last);
  switch (verdict.kind) {
    case BlockVerdict::kAdded:
      std::printf(msg::kBlockAdded, a.c_str(), b.c_str(), static_cast<long long>(last - first + 1));
      return kDone;
    case BlockVerdict::kBackwards:
      std::fprintf(stderr, msg::kBlockBackwards, a.c_str(), b.c_str());
      return kRefused;
    case BlockVerdict::kHoldsUnusable:
      std::fprintf(stderr, msg::kBlockUnusable, MacText(verdict.other_first).c_str());
      return kRefused;
    case BlockVerdict::kHoldsGroup:
      std::fprintf(stderr, msg::kBlockGroup, MacText(verdict.other_first).c_str());
      return kRefused;
    case BlockVerdict::kOverlaps:
      std::fprintf(stderr, msg::kBlockOverlaps, MacText(verdict.other_first).c_str(),
                   MacText(verdict.other_last).c_str());
      return kRefused;
  }
  return kRefused;
}

int NextMacCommand(Store& store) {
  const std::optional<Mac> mac = NextMac(store);
  if (!mac) {
    std::fputs(HasBlocks(store) ? msg::kExhausted : msg::kNoBlocks, stderr);
    return kRefused;
  }
  std::printf("%s\n", MacText(*mac).c_str());
  return kDone;
}

int ListUnits(Store& store) {
  std::printf(msg::kUnitsHeader, "MAC", "RUNS", "LAST RUN", "TOOL", "STATUS", "OUTCOME", "NAME", "VCOM");
  Units(store, [](const Row& unit) {
    std::printf(msg::kUnitLine, MacColumn(unit[0]).c_str(), Shown(unit[1], "").c_str(), Shown(unit[2], "").c_str(),
                Shown(unit[3], "").c_str(), Shown(unit[4], "").c_str(), Shown(unit[5], "").c_str(),
                Shown(unit[6], "-").c_str(), Shown(unit[7], "-").c_str());
  });
  return kDone;
}

int ListRuns(Store& store, Mac unit) {
  // The heading comes with the first run: a MAC without runs prints nothing on standard output.
  bool headed = false;
  const long runs = UnitRuns(store, unit, [&headed](const Row& run) {
    if (!headed) {
      std::printf(msg::kRunsHeader, "START", "TOOL", "STATUS", "OUTCOME", "SECONDS", "MAC BEFORE", "MAC AFTER",
                  "FAILURES");
      headed = true;
    }
    std::printf(msg::kRunLine, Shown(run[0], "").c_str(), Shown(run[1], "").c_str(), Shown(run[2], "").c_str(),
                Shown(run[3], "").c_str(), std::stod(run[4].value()), MacColumn(run[5]).c_str(),
                MacColumn(run[6]).c_str(), Shown(run[7], "-").c_str());
  });
  if (runs == 0) {
    std::fprintf(stderr, msg::kNoRuns, MacText(unit).c_str());
    return kRefused;
  }
  return kDone;
}

// One list of the report: its count, then its rows.
void PrintList(Store& store, ReportList list, const char* heading) {
  std::printf(msg::kReportList, heading, CountList(store, list));
  List(store, list, [list](const Row& row) {
    if (list == ReportList::kSharedNames) {
      std::printf(msg::kReportNameUnits, Shown(row[0], "").c_str(), Shown(row[1], "").c_str());
    } else if (list == ReportList::kProvisionedAgain) {
      std::printf(msg::kReportMacTimes, MacColumn(row[0]).c_str(), Shown(row[1], "").c_str());
    } else {
      std::printf(msg::kReportMac, MacColumn(row[0]).c_str());
    }
  });
}

int PrintReport(Store& store) {
  const RunTotals totals = Totals(store);
  std::printf(msg::kReportRuns, totals.runs, totals.without_unit);
  std::printf(msg::kReportToolsHeader, "Per tool:", "runs", "failed");
  PerTool(store, [](const Row& tool) {
    std::printf(msg::kReportTool, Shown(tool[0], "").c_str(), Shown(tool[1], "").c_str(), Shown(tool[2], "").c_str());
  });
  std::printf(msg::kReportStepsHeader, "Per failed step:", "failures");
  PerStep(store, [](const Row& step) {
    std::printf(msg::kReportStep, Shown(step[0], "").c_str(), Shown(step[1], "").c_str(), Shown(step[2], "").c_str());
  });
  PrintList(store, ReportList::kHandedNeverProvisioned, msg::kReportHandedNotProvisioned);
  PrintList(store, ReportList::kTypedInBlock, msg::kReportTypedInBlock);
  PrintList(store, ReportList::kOutsideBlocks, msg::kReportOutsideBlocks);
  PrintList(store, ReportList::kRandom, msg::kReportRandom);
  PrintList(store, ReportList::kProvisionedAgain, msg::kReportProvisionedAgain);
  PrintList(store, ReportList::kSharedNames, msg::kReportSharedNames);
  return kDone;
}

// The MAC arguments are read before the store is opened: a typing error changes nothing.
std::optional<Mac> MacArgument(const std::string& text) {
  const std::optional<Mac> mac = ParseMac(text);
  if (!mac) std::fprintf(stderr, msg::kNotAMac, text.c_str());
  return mac;
}

// A command's work, and whether it writes: a reader opens the store for reading only.
struct Work {
  Access access;
  std::function<int(Store&)> run;
};

// The command's work, or nullopt (after the usage text or a message) when the command line is
// wrong.
std::optional<Work> Parse(const std::vector<std::string>& args) {
  const std::string& command = args[0];
  const std::size_t count = args.size() - 1;
  if (command == "block" && count == 3 && args[1] == "add") {
    const std::optional<Mac> first = MacArgument(args[2]);
    const std::optional<Mac> last = first ? MacArgument(args[3]) : std::nullopt;
    if (!first || !last) return std::nullopt;
    return Work{Access::kWrite, [=](Store& store) { return BlockAdd(store, *first, *last); }};
  }
  if (command == "next-mac" && count == 0) return Work{Access::kWrite, NextMacCommand};
  if (command == "import" && count > 0) {
    const std::vector<std::string> files(args.begin() + 1, args.end());
    return Work{Access::kWrite, [files](Store& store) { return Import(store, files); }};
  }
  if (command == "units" && count == 0) return Work{Access::kRead, ListUnits};
  if (command == "runs" && count == 1) {
    const std::optional<Mac> unit = MacArgument(args[1]);
    if (!unit) return std::nullopt;
    return Work{Access::kRead, [=](Store& store) { return ListRuns(store, *unit); }};
  }
  if (command == "report" && count == 0) return Work{Access::kRead, PrintReport};
  std::fputs(msg::kUsage, stderr);
  return std::nullopt;
}

}  // namespace

int RunCommand(const std::string& where, const std::vector<std::string>& args) {
  if (args.empty()) {
    std::fputs(msg::kUsage, stderr);
    return kUsageError;
  }
  const std::optional<Work> work = Parse(args);
  if (!work) return kUsageError;
  const StoreName name = ReadStoreName(where);
  if (name.kind == StoreName::kRefused) {
    std::fprintf(stderr, msg::kStoreRefused, name.name.c_str());
    return kUsageError;
  }
  try {
    const std::unique_ptr<Store> store = OpenLedger(where, work->access);
    const int status = work->run(*store);
    // What was printed must reach the reader before the status says it is done.
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
      std::fprintf(stderr, msg::kOutputFailed, std::strerror(errno));
      return kStoreFailed;
    }
    return status;
  } catch (const StoreError& error) {
    std::fprintf(stderr, msg::kStoreFailed, error.what());
    return kStoreFailed;
  }
}

}  // namespace station
