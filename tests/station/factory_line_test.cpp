// The factory line end to end: MACs handed out by the ledger, each unit taken through the whole
// sequence on a simulated board of its own (devsim), the run records imported. Each unit keeps
// the MAC it was handed and a name of its own, and the ledger sees one unit per board.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <set>

#include "station_support.h"

namespace {

using station_test::Output;

constexpr int kUnits = 3;
const char kBlockFirst[] = "00:1A:2B:00:00:00";
const char kBlockLast[] = "00:1A:2B:00:00:FF";
// The tools that write a record, in the order of the line.
const std::vector<std::string> kSequence = {"bm77_provision", "bm77_fwupdate", "bm77_tableupdate",
                                            "bm77_ident"};

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// The lines of `text` that start with `head`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& head) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(head, 0) == 0) found.push_back(line);
  }
  return found;
}

// What `devsim show` says after `label` (the text behind the label's padding).
std::string Shown(const std::string& show, const std::string& label) {
  std::smatch found;
  if (!std::regex_search(show, found, std::regex("(^|\n)" + label + " +([^\n]*)"))) return "";
  return found[2];
}

class FactoryLine : public station_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    if (HasFatalFailure()) return;
    records_ = dir_ + "/records.jsonl";
    Write("firmware.bin", std::string(4096, '\x5A'));
    Write("default.txt", "// defaults\r\n0040: 11 22 33 44 ;\r\n");
    Write("service.txt", "0060: 5A 5B 5C ;\r\n");
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }
  Output Station(const std::vector<std::string>& args) {
    return station_test::Station(db_, args, dir_ + "/station");
  }
  // devsim on the unit's board, its run record appended to the line's records.
  Output Devsim(const std::string& board, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {DEVSIM_PATH, "--board", board};
    argv.insert(argv.end(), args.begin(), args.end());
    setenv("BM77_RECORD", records_.c_str(), 1);
    Output output;
    output.status = station_test::Wait(station_test::Spawn(argv, dir_ + "/devsim.out", dir_ + "/devsim.err"));
    unsetenv("BM77_RECORD");
    output.out = station_test::ReadFile(dir_ + "/devsim.out");
    output.err = station_test::ReadFile(dir_ + "/devsim.err");
    return output;
  }
  // As on the line: the module switched on in application mode before each tool after the first.
  void PowerOn(const std::string& board) {
    ASSERT_EQ(Devsim(board, {"--", "rf_gate", "app"}).status, 0);
    ASSERT_EQ(Devsim(board, {"--", "rf_gate", "1"}).status, 0);
  }
  // One unit through the line; what `devsim show` says of its board at the end.
  std::string TakeThroughTheLine(const std::string& board, const std::string& mac) {
    const std::string d = dir_ + "/";
    const std::vector<std::vector<std::string>> steps = {
        {"bm77_provision", mac, "256"},
        {"bm77_fwupdate", d + "firmware.bin", d + "default.txt"},
        {"bm77_tableupdate", d + "service.txt"},
        {"bm77_ident"}};
    for (const auto& step : steps) {
      if (step[0] != "bm77_provision") PowerOn(board);
      std::vector<std::string> args = {"--"};
      args.insert(args.end(), step.begin(), step.end());
      const Output run = Devsim(board, args);
      EXPECT_EQ(run.status, 0) << step[0] << ": " << run.out << run.err;
    }
    return Devsim(board, {"show"}).out;
  }

  std::string records_;
};

TEST_P(FactoryLine, EachUnitKeepsItsHandedOutMacAndNameAndCountsOnce) {
  ASSERT_EQ(Station({"block", "add", kBlockFirst, kBlockLast}).status, 0);
  std::vector<std::string> macs;
  std::set<std::string> names;
  for (int unit = 0; unit < kUnits; ++unit) {
    const std::string mac = Trimmed(Station({"next-mac"}).out);
    macs.push_back(mac);
    const std::string shown = TakeThroughTheLine(dir_ + "/unit" + std::to_string(unit), mac);
    const std::string name = "Tavrine-" + mac.substr(12, 2) + mac.substr(15, 2);
    // The module advertises the MAC handed out; files and name follow it.
    EXPECT_EQ(Shown(shown, "MAC").substr(0, 17), mac) << shown;
    EXPECT_EQ(Shown(shown, "/opt/mac"), mac) << shown;
    EXPECT_EQ(Shown(shown, "device name"), name) << shown;
    EXPECT_EQ(Shown(shown, "/opt/device_name"), name) << shown;
    names.insert(name);
  }
  EXPECT_EQ(names.size(), static_cast<size_t>(kUnits));
  const std::string unclaimed = Trimmed(Station({"next-mac"}).out);  // handed out, never used

  const Output imported = Station({"import", records_});
  ASSERT_EQ(imported.status, 0) << imported.err;
  const Output units = Station({"units"});
  ASSERT_EQ(units.status, 0) << units.err;
  EXPECT_EQ(LinesStartingWith(units.out, "00:").size(), static_cast<size_t>(kUnits)) << units.out;
  for (const std::string& mac : macs) {
    const std::vector<std::string> row = LinesStartingWith(units.out, mac);
    ASSERT_EQ(row.size(), 1u) << units.out;
    EXPECT_TRUE(std::regex_search(row[0], std::regex(mac + " +4 "))) << row[0];
    const Output runs = Station({"runs", mac});
    ASSERT_EQ(runs.status, 0) << runs.err;
    std::vector<std::string> tools;
    std::istringstream in(runs.out);
    std::string line;
    std::getline(in, line);  // the header
    while (std::getline(in, line)) {
      for (const std::string& tool : kSequence) {
        if (line.find(" " + tool + " ") != std::string::npos) tools.push_back(tool);
      }
    }
    EXPECT_EQ(tools, kSequence) << runs.out;
  }
  const Output report = Station({"report"});
  ASSERT_EQ(report.status, 0) << report.err;
  // Nothing reads as a fault: the one MAC handed out and never used is the only one listed.
  const std::string report_lists = report.out.substr(report.out.find("MACs handed out"));
  EXPECT_EQ(report_lists,
            "MACs handed out and never provisioned: 1\n"
            "  " + unclaimed + "\n"
            "MACs of a block in records, never handed out (typed by hand): 0\n"
            "MACs in records outside every block: 0\n"
            "MACs drawn at random by bm77_ident: 0\n"
            "MACs provisioned more than once: 0\n"
            "Device names that more than one unit carried: 0\n")
      << report.out;
  EXPECT_NE(report.out.find("Runs: 12 (0 without a unit)"), std::string::npos) << report.out;
}

INSTANTIATE_TEST_SUITE_P(Stores, FactoryLine, testing::Values("sqlite", "postgresql"),
                         [](const auto& info) { return info.param; });

}  // namespace
