#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>

#include "ledger.h"
#include "messages.h"

namespace station {
namespace {

// Records go to the store in batches: a large import never holds the writers' lock for long,
// and a failed import keeps what it stored (importing again skips it).
constexpr std::size_t kImportBatch = 10000;

const char* Or(const std::optional<std::string>& text, const char* otherwise) {
  return text ? text->c_str() : otherwise;
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

int Import(Store& store, const std::vector<std::string>& files) {
  long stored = 0, read = 0, skipped = 0;
  bool whole = true;
  std::vector<RunRecord> batch;
  const auto flush = [&] {
    stored += StoreRecords(store, batch);
    batch.clear();
  };
  for (const std::string& file : files) {
    std::ifstream in(file);
    if (!in) {
      std::fprintf(stderr, msg::kUnreadableFile, file.c_str());
      whole = false;
      continue;
    }
    std::string line, why;
    for (long number = 1; std::getline(in, line); ++number) {
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::optional<RunRecord> record = ReadRunRecord(line, &why);
      if (!record) {
        std::fprintf(stderr, msg::kMalformedLine, file.c_str(), number, why.c_str());
        ++skipped;
        continue;
      }
      ++read;
      batch.push_back(std::move(*record));
      if (batch.size() == kImportBatch) flush();
    }
    if (in.bad()) {
      std::fprintf(stderr, msg::kUnreadableFile, file.c_str());
      whole = false;
    }
  }
  flush();
  std::printf(msg::kImported, stored, read - stored, skipped);
  return whole && skipped == 0 ? kDone : kRefused;
}

int ListUnits(Store& store) {
  std::printf(msg::kUnitsHeader, "MAC", "RUNS", "LAST RUN", "TOOL", "STATUS", "OUTCOME", "NAME", "VCOM");
  for (const Row& unit : Units(store)) {
    std::printf(msg::kUnitLine, MacColumn(unit[0]).c_str(), Or(unit[1], ""), Or(unit[2], ""),
                Or(unit[3], ""), Or(unit[4], ""), Or(unit[5], ""), Or(unit[6], "-"), Or(unit[7], "-"));
  }
  return kDone;
}

int ListRuns(Store& store, Mac unit) {
  const Rows runs = UnitRuns(store, unit);
  if (runs.empty()) {
    std::fprintf(stderr, msg::kNoRuns, MacText(unit).c_str());
    return kRefused;
  }
  std::printf(msg::kRunsHeader, "START", "TOOL", "STATUS", "OUTCOME", "SECONDS", "MAC BEFORE", "MAC AFTER",
              "FAILURES");
  for (const Row& run : runs) {
    std::printf(msg::kRunLine, Or(run[0], ""), Or(run[1], ""), Or(run[2], ""), Or(run[3], ""),
                std::stod(run[4].value()), MacColumn(run[5]).c_str(), MacColumn(run[6]).c_str(), Or(run[7], "-"));
  }
  return kDone;
}

int PrintReport(Store& store) {
  const Report report = MakeReport(store);
  std::printf(msg::kReportRuns, report.runs, report.without_unit);
  std::printf(msg::kReportToolsHeader, "Per tool:", "runs", "failed");
  for (const Row& tool : report.per_tool) std::printf(msg::kReportTool, Or(tool[0], ""), Or(tool[1], ""), Or(tool[2], ""));
  std::printf(msg::kReportStepsHeader, "Per failed step:", "failures");
  for (const Row& step : report.per_step) {
    std::printf(msg::kReportStep, Or(step[0], ""), Or(step[1], ""), Or(step[2], ""));
  }
  std::printf(msg::kReportNeverHanded, report.never_handed.size());
  for (const Row& mac : report.never_handed) std::printf(msg::kReportMac, MacColumn(mac[0]).c_str());
  std::printf(msg::kReportProvisionedAgain, report.provisioned_again.size());
  for (const Row& mac : report.provisioned_again) {
    std::printf(msg::kReportMacTimes, MacColumn(mac[0]).c_str(), Or(mac[1], ""));
  }
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
