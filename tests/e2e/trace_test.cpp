// The wire trace end to end: with BM77_TRACE set, each serial program writes every byte it
// sends and receives on the port to standard error, one time-stamped line per chunk; standard
// output and the exit status stay exactly as without it, and without it standard error stays
// empty.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <sstream>

#include "board_test.h"
#include "flash_support.h"
#include "identity_support.h"

namespace e2e {
namespace {

using testbed::Fault;

// A run of bytes in one direction: consecutive chunks of the same direction joined, so that
// the program's reads and the module's events, cut differently, compare as one conversation.
struct Turn {
  bool host = false;  // host to module
  Bytes bytes;
  bool operator==(const Turn& o) const { return host == o.host && bytes == o.bytes; }
};

void Append(std::vector<Turn>* turns, bool host, const Bytes& bytes) {
  if (bytes.empty()) return;
  if (turns->empty() || turns->back().host != host) turns->push_back({host, {}});
  turns->back().bytes.insert(turns->back().bytes.end(), bytes.begin(), bytes.end());
}

std::vector<Turn> ModuleTurns(testbed::Module& module) {
  std::vector<Turn> turns;
  for (const testbed::WireEvent& e : module.wire_log()) {
    Append(&turns, e.dir == testbed::WireEvent::Dir::kHostToModule, e.raw);
  }
  return turns;
}

// The trace as turns; every line must have the trace's form, and the time stamps must start
// at zero and never go back.
std::vector<Turn> TraceTurns(const std::string& err) {
  static const std::regex kLine(R"(\[ *([0-9]+)\.([0-9]{6})\] ([<>])((?: [0-9A-F]{2})+))");
  std::vector<Turn> turns;
  std::istringstream in(err);
  std::string line;
  double last = -1;
  while (std::getline(in, line)) {
    std::smatch m;
    if (!std::regex_match(line, m, kLine)) {
      ADD_FAILURE() << "not a trace line: '" << line << "'";
      continue;
    }
    const double at = std::stod(m[1].str() + "." + m[2].str());
    if (last < 0) {
      EXPECT_EQ(at, 0.0) << line;
    }
    EXPECT_GE(at, last) << line;
    last = at;
    Append(&turns, m[3] == ">", Hex(m[4]));
  }
  return turns;
}

// Everything the turns carry in one direction, in order.
Bytes Sent(const std::vector<Turn>& turns, bool host) {
  Bytes all;
  for (const Turn& t : turns) {
    if (t.host == host) all.insert(all.end(), t.bytes.begin(), t.bytes.end());
  }
  return all;
}

// The module as the tools' tests find it: MAC 11:22:33:44:55:66, a name, VCOM 256.
void Identity(testbed::Module& module) {
  module.SetEeprom(kMacAddress, Hex("665544332211"));
  module.SetEeprom(kNameAddress, Ascii("Tavrine-2211"));
  module.SetEeprom(kAfterNameAddress, Hex("A55A"));
  module.SetEeprom(kVcomAddress, Hex("0100"));
}

void Refuse(testbed::Module& module, int command, int occurrence) {
  Fault f;
  f.kind = Fault::Kind::kAckStatus;
  f.command = command;
  f.occurrence = occurrence;
  f.status = 0x55;
  module.AddFault(f);
}

struct TraceCase {
  const char* name;
  const char* program;
  // Sets the board up; returns the program's arguments.
  std::function<std::vector<std::string>(testbed::Board&)> prepare;
  // Whether the conversation strictly alternates, so that the trace must show the turns in
  // the module's order too. The flash burst does not: the host sends the next block before
  // it reads the resume reply of the last.
  bool alternates;
};

void PrintTo(const TraceCase& c, std::ostream* os) { *os << c.name; }

std::string TableFile(testbed::Board& board) {
  const std::string text = "0040: 01 3C 5A ;\r\n0100: 3C 3C ;\r\n";
  return WriteImage(board, Bytes(text.begin(), text.end()), "table.txt");
}

const TraceCase kCases[] = {
    {"Ident", "bm77_ident",
     [](testbed::Board& b) {
       Identity(b.module());
       return std::vector<std::string>{};
     },
     true},
    {"IdentRefused", "bm77_ident",
     [](testbed::Board& b) {
       Identity(b.module());
       Refuse(b.module(), kRead, 1);
       return std::vector<std::string>{};
     },
     true},
    {"Provision", "bm77_provision",
     [](testbed::Board& b) {
       Identity(b.module());
       return std::vector<std::string>{"00:1a:2b:3c:4d:5e", "280"};
     },
     true},
    {"TableUpdate", "bm77_tableupdate",
     [](testbed::Board& b) {
       Identity(b.module());
       return std::vector<std::string>{TableFile(b)};
     },
     true},
    {"TableUpdateRefusedWrite", "bm77_tableupdate",
     [](testbed::Board& b) {
       Identity(b.module());
       Refuse(b.module(), kWrite, 2);
       return std::vector<std::string>{TableFile(b)};
     },
     true},
    {"FwUpdate", "bm77_fwupdate",
     [](testbed::Board& b) {
       Identity(b.module());
       // Three full blocks and a short one, with frame marks among the data.
       return std::vector<std::string>{WriteImage(b, ImageBytes(3 * 256 + 40))};
     },
     false},
};

// Runs `c` on a fresh board with BM77_TRACE set to `trace`; checks the run was sound.
testbed::RunResult RunWith(const TraceCase& c, const std::string& trace,
                           std::vector<Turn>* module_turns) {
  testbed::Board board;
  const std::vector<std::string> args = c.prepare(board);
  testbed::RunOptions options;
  options.time_limit = std::chrono::seconds(60);
  options.env["BM77_TRACE"] = trace;
  const testbed::RunResult r = board.Run(c.program, args, options);
  EXPECT_TRUE(r.started) << r.refusal;
  EXPECT_TRUE(r.handshake);
  EXPECT_FALSE(r.timed_out);
  EXPECT_THAT(board.violations(), ::testing::IsEmpty());
  if (module_turns != nullptr) *module_turns = ModuleTurns(board.module());
  return r;
}

class WireTrace : public ::testing::TestWithParam<TraceCase> {};

TEST_P(WireTrace, ShowsEveryByteAndLeavesTheOutputAlone) {
  std::vector<Turn> logged;
  const testbed::RunResult traced = RunWith(GetParam(), "1", &logged);
  const testbed::RunResult plain = RunWith(GetParam(), "", nullptr);

  EXPECT_EQ(traced.out, plain.out);
  EXPECT_EQ(traced.exit_status, plain.exit_status);
  EXPECT_EQ(plain.err, "");

  const std::vector<Turn> trace = TraceTurns(traced.err);
  ASSERT_FALSE(logged.empty());
  EXPECT_EQ(HexOf(Sent(trace, true)), HexOf(Sent(logged, true)));
  EXPECT_EQ(HexOf(Sent(trace, false)), HexOf(Sent(logged, false)));
  if (GetParam().alternates) {
    EXPECT_TRUE(trace == logged) << "the trace shows the turns in another order";
  }
}

TEST(WireTraceOff, ZeroMeansOff) {
  const testbed::RunResult r = RunWith(kCases[0], "0", nullptr);
  EXPECT_EQ(r.err, "");
  EXPECT_FALSE(r.out.empty());
}

// A line that hands the host one byte at a time: a reply whose length the host knows (the
// burst's resume replies) is still taken in one read, so the host wakes once for it.
TEST(WireTraceTrickle, ReplyOfKnownLengthIsTakenWhole) {
  testbed::Board board;
  Identity(board.module());
  board.module().PaceLine(115200);
  board.module().TrickleReplies(true);
  testbed::RunOptions options;
  options.env["BM77_TRACE"] = "1";
  const testbed::RunResult r =
      board.Run("bm77_fwupdate", {WriteImage(board, ImageBytes(3 * 256 + 40))}, options);
  ASSERT_EQ(r.exit_status, 0) << r.out;
  std::istringstream in(r.err);
  std::string line;
  int whole_resumes = 0;
  const std::string resume = "] < 3C 88";  // the resume reply, in one read
  while (std::getline(in, line)) {
    whole_resumes += line.size() >= resume.size() &&
                     line.compare(line.size() - resume.size(), resume.size(), resume) == 0;
  }
  EXPECT_EQ(whole_resumes, 3) << r.err;  // one a full block
}

INSTANTIATE_TEST_SUITE_P(SerialPrograms, WireTrace, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<TraceCase>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace e2e
