// The fault matrix: every serial tool, every exchange it has with the module, every fault the
// simulated module can put into that exchange. A clean run of each tool shows its exchanges
// (command byte and occurrence, and the flash burst's resume and finish replies) and what it
// meant to write; then each exchange in turn gets each fault, on a board of its own, and the
// run must end within 30 s, with the exit status the oracle below gives (never 0 after a failed
// exchange), without a sandbox violation, and with each identity record either as it was or in
// a state the clean run put it in. A record the run could not read must be as it was. Faults
// that move a reply in time are among them: a reply after the host's limit must never be taken
// for the next exchange's, and one just inside it, or stray bytes waiting before the first
// command, must not fail the run.
//
// The runs go in parallel (the boards are independent), with the tools' deliberate pauses
// fast-forwarded; the silence limits stay real. The test prints "fault matrix: N runs, M passed"
// and the longest run's time.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <random>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "board_test.h"
#include "flash_support.h"
#include "sim_protocol.h"

namespace e2e {
namespace {

using namespace std::chrono_literals;
using testbed::BurstFault;
using testbed::Fault;

constexpr uint8_t kRead = 0x73;
constexpr uint8_t kWrite = 0x74;
constexpr auto kRunLimit = 30s;
// The tools pause 1 to 3 s on purpose; pauses this long or longer are skipped.
constexpr const char* kSkipPausesMs = "500";
constexpr int kGuardedRecords = 3;  // the records the guarded tools keep: MAC, name, VCOM
// Each record of the snapshot, and of the firmware tool's look after the flash, is read twice.
constexpr int kConfirmReads = 2;
constexpr int kSnapshotReads = kGuardedRecords * kConfirmReads;
constexpr int kIdentMacReads = kConfirmReads;  // bm77_ident's MAC, read first
// The host's limits for a reply: the erase's, and every other exchange's.
constexpr uint8_t kErase = 0x51;
constexpr auto kEraseLimit = 20s;
constexpr auto kReplyLimit = 3s;
// How far past or short of a limit a moved reply comes: room for a loaded machine, where the
// host may start or end its wait late.
constexpr auto kMargin = 1500ms;

// ---- The identity -------------------------------------------------------------------------------

struct Record {
  const char* name;
  uint16_t address;
  size_t length;
};
const Record kRecords[] = {{"MAC", 0x0000, 6}, {"Device Name", 0x000B, 12}, {"VCOM", 0x0019, 2}};

void PutIdentity(testbed::Module& module) {
  module.SetEeprom(0x0000, Hex("665544332211"));              // MAC 11:22:33:44:55:66
  module.SetEeprom(0x000B, Hex("54617672696E652D32323131"));  // "Tavrine-2211"
  module.SetEeprom(0x0017, Hex("A55A"));
  module.SetEeprom(0x0019, Hex("0100"));                      // VCOM 256
}

// A table over all three identity records and two other places.
const char kTableText[] =
    "0000: 01 02 03 04 05 06 ;\r\n"
    "000B: 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D 4E ;\r\n"
    "0019: 03 E8 ;\r\n"
    "0100: 07 08 09 ;\r\n"
    "0200: 0A ;\r\n";

Bytes TableBytes() { return Bytes(kTableText, kTableText + sizeof kTableText - 1); }

std::string SandboxFile(testbed::Board& board, const std::string& name, const Bytes& bytes) {
  return WriteImage(board, bytes, name);
}

// ---- The tools ----------------------------------------------------------------------------------

enum class Tool { kFwUpdate, kTableUpdate, kIdent, kProvision };

struct ToolCase {
  const char* name;
  Tool tool;
  const char* program;
  // Puts the tool's files on the board; returns its arguments.
  std::function<std::vector<std::string>(testbed::Board&)> prepare;
};

const ToolCase kTools[] = {
    {"fwupdate", Tool::kFwUpdate, "bm77_fwupdate",
     [](testbed::Board& b) {
       // two full blocks and a short one, in bank 0
       return std::vector<std::string>{SandboxFile(b, "fw.bin", ImageBytes(600)),
                                       SandboxFile(b, "table.txt", TableBytes())};
     }},
    {"tableupdate", Tool::kTableUpdate, "bm77_tableupdate",
     [](testbed::Board& b) {
       return std::vector<std::string>{
           SandboxFile(b, "table.txt", TableBytes())};
     }},
    {"ident", Tool::kIdent, "bm77_ident",
     [](testbed::Board& b) {
       b.WriteFile("/opt/vcomdata", Bytes{'3', '0', '0'});  // differs: the module's is written
       return std::vector<std::string>{};
     }},
    {"provision", Tool::kProvision, "bm77_provision",
     [](testbed::Board&) { return std::vector<std::string>{"00:1A:2B:3C:4D:5E", "300"}; }},
};

// ---- Exchanges and faults -----------------------------------------------------------------------

struct Exchange {
  enum class Kind { kFrame, kResume, kFinish };
  Kind kind = Kind::kFrame;
  int command = 0;     // kFrame: the command byte...
  int occurrence = 0;  // ...and its 1-based occurrence in the run
  int bank = 0;        // kResume, kFinish
  int block = 0;       // kResume: 1-based full block of the bank
};

std::string NameOf(const Exchange& x) {
  char text[48];
  switch (x.kind) {
    case Exchange::Kind::kFrame:
      std::snprintf(text, sizeof text, "command %02X #%d", x.command, x.occurrence);
      break;
    case Exchange::Kind::kResume:
      std::snprintf(text, sizeof text, "bank %d resume %d", x.bank, x.block);
      break;
    case Exchange::Kind::kFinish:
      std::snprintf(text, sizeof text, "bank %d finish", x.bank);
      break;
  }
  return text;
}

// The exchanges of a run, from its wire log.
std::vector<Exchange> ExchangesOf(const std::vector<WireEvent>& log) {
  std::vector<Exchange> found;
  std::map<int, int> seen;
  for (const WireEvent& e : log) {
    if (e.dir == WireEvent::Dir::kHostToModule && e.kind == WireEvent::Kind::kFrame) {
      found.push_back({Exchange::Kind::kFrame, e.command, ++seen[e.command], 0, 0});
    }
  }
  const std::vector<Burst> bursts = Bursts(log);
  for (size_t bank = 0; bank < bursts.size(); ++bank) {
    for (int block = 1; block <= bursts[bank].resumes; ++block) {
      found.push_back({Exchange::Kind::kResume, 0, 0, static_cast<int>(bank), block});
    }
    if (bursts[bank].finish >= 0) {
      found.push_back({Exchange::Kind::kFinish, 0, 0, static_cast<int>(bank), 0});
    }
  }
  return found;
}

enum class Trouble {
  kSilence, kRefusal, kOddStatus, kNoHeader, kShortFrame, kWrongReply, kHangUp,
  kLate,        // the reply comes after the host's limit, into whatever the host does next
  kJustInside,  // the reply comes shortly before the host's limit: the run succeeds
  kStray,       // a stray byte follows the reply, before or into the next exchange
  kStrayFirst,  // stray bytes wait on the line before the run's first command
  kNotAnAck,    // a piece of another reply where the acknowledgement should be
};

const char* NameOf(Trouble t) {
  switch (t) {
    case Trouble::kSilence: return "silence";
    case Trouble::kRefusal: return "refusal 0x55";
    case Trouble::kOddStatus: return "odd status 0x00";
    case Trouble::kNoHeader: return "no header";
    case Trouble::kShortFrame: return "short frame";
    case Trouble::kWrongReply: return "wrong reply 3C 55";
    case Trouble::kHangUp: return "hang-up";
    case Trouble::kLate: return "late reply";
    case Trouble::kJustInside: return "reply just in time";
    case Trouble::kStray: return "stray byte after the reply";
    case Trouble::kStrayFirst: return "stray bytes before the first command";
    case Trouble::kNotAnAck: return "66 73 for the acknowledgement";
  }
  return "?";
}

std::vector<Trouble> TroublesFor(const Exchange& x) {
  switch (x.kind) {
    case Exchange::Kind::kFrame:
      return {Trouble::kSilence,    Trouble::kRefusal, Trouble::kOddStatus,
              Trouble::kNoHeader,   Trouble::kShortFrame, Trouble::kHangUp,
              Trouble::kLate,       Trouble::kJustInside, Trouble::kStray,
              Trouble::kNotAnAck};
    case Exchange::Kind::kResume:
      return {Trouble::kSilence, Trouble::kWrongReply, Trouble::kHangUp, Trouble::kLate,
              Trouble::kJustInside};
    case Exchange::Kind::kFinish:
      return {Trouble::kSilence, Trouble::kWrongReply, Trouble::kLate, Trouble::kJustInside};
  }
  return {};
}

// How late a moved reply comes for the exchange.
std::chrono::milliseconds MovedBy(const Exchange& x, Trouble t) {
  const std::chrono::milliseconds limit =
      x.kind == Exchange::Kind::kFrame && x.command == kErase ? kEraseLimit : kReplyLimit;
  return t == Trouble::kLate ? limit + kMargin : limit - kMargin;
}

void Plant(testbed::Module& module, const Exchange& x, Trouble t) {
  if (t == Trouble::kStrayFirst) return;  // made by the port's read script, see Case
  if (x.kind == Exchange::Kind::kFrame) {
    Fault f;
    f.command = x.command;
    f.occurrence = x.occurrence;
    switch (t) {
      case Trouble::kLate:
      case Trouble::kJustInside:
        f.kind = Fault::Kind::kLate;
        f.delay = MovedBy(x, t);
        break;
      case Trouble::kStray: f.kind = Fault::Kind::kStray; f.bytes = {0x00}; break;
      case Trouble::kSilence: f.kind = Fault::Kind::kSilence; break;
      case Trouble::kRefusal: f.kind = Fault::Kind::kAckStatus; f.status = 0x55; break;
      case Trouble::kOddStatus: f.kind = Fault::Kind::kAckStatus; f.status = 0x00; break;
      case Trouble::kNoHeader: f.kind = Fault::Kind::kNoHeader; break;
      case Trouble::kShortFrame: f.kind = Fault::Kind::kShortFrame; break;
      case Trouble::kNotAnAck: f.kind = Fault::Kind::kAckBytes; f.bytes = {0x66, 0x73}; break;
      default: f.kind = Fault::Kind::kHangUp; break;
    }
    module.AddFault(f);
    return;
  }
  BurstFault f;
  f.bank = x.bank;
  f.block = x.block;
  const bool resume = x.kind == Exchange::Kind::kResume;
  switch (t) {
    case Trouble::kSilence:  // a missing finish reply: the module sends nothing for it
      f.kind = resume ? BurstFault::Kind::kSilence : BurstFault::Kind::kFinishReply;
      break;
    case Trouble::kWrongReply:
      f.kind = resume ? BurstFault::Kind::kResumeReply : BurstFault::Kind::kFinishReply;
      f.bytes = {0x3C, 0x55};
      break;
    case Trouble::kLate:
    case Trouble::kJustInside:
      f.kind = resume ? BurstFault::Kind::kLateResume : BurstFault::Kind::kLateFinish;
      f.delay = MovedBy(x, t);
      break;
    default:
      f.kind = BurstFault::Kind::kHangUp;
      break;
  }
  module.AddBurstFault(f);
}

// ---- The oracle ---------------------------------------------------------------------------------

// What an exchange of a clean run was for.
enum class Step { kSnapshot, kFlash, kAfterFlash, kTable, kTableMac, kRestore, kCheck, kOther };

struct CleanRun {
  std::vector<Exchange> exchanges;
  int reads = 0;   // 0x73 frames
  int writes = 0;  // 0x74 frames
  // Each record's states over the run: as it was, then after each write that touched it.
  std::vector<std::vector<Bytes>> states;
};

Step StepOf(Tool tool, const CleanRun& clean, const Exchange& x) {
  const bool guarded = tool == Tool::kFwUpdate || tool == Tool::kTableUpdate;
  if (!guarded) return Step::kOther;
  if (x.kind != Exchange::Kind::kFrame) return Step::kFlash;
  if (x.command == kRead) {
    if (x.occurrence <= kSnapshotReads) return Step::kSnapshot;
    if (x.occurrence > clean.reads - kGuardedRecords) return Step::kCheck;
    if (tool == Tool::kFwUpdate && x.occurrence <= 2 * kSnapshotReads) return Step::kAfterFlash;
    return Step::kTableMac;  // the table's read-backs, and the MAC the firmware tool shows
  }
  if (x.command == kWrite) {
    return x.occurrence > clean.writes - kGuardedRecords ? Step::kRestore : Step::kTable;
  }
  return Step::kFlash;
}

// Faults after which no complete reply came in time, or what came was no reply: the line is
// out of step, and the run only puts back what it wrote over.
bool Silent(Trouble t) {
  return t == Trouble::kSilence || t == Trouble::kHangUp || t == Trouble::kLate ||
         t == Trouble::kNotAnAck;
}

// Faults a careful host rides out: the run must succeed as the clean one did.
bool Harmless(Trouble t) { return t == Trouble::kJustInside || t == Trouble::kStrayFirst; }

// The exit status a run must end with. Every other fault fails its exchange, so 0 is never
// right. The guarded tools: 2 when the identity is not known to be kept (a snapshot read,
// a restore write or a check read failed, or the line went out of step so nothing could be
// checked), 3 when only the table is not wholly in, 255 when the flash programming failed or,
// in the firmware tool, never started because a snapshot read went unanswered. bm77_ident: 2
// when the MAC could not be read, else 3; bm77_provision: 3.
int ExpectedStatus(Tool tool, Step step, const Exchange& x, Trouble t) {
  if (Harmless(t)) return 0;
  const bool gone = Silent(t);
  switch (tool) {
    case Tool::kIdent:
      return x.command == kRead && x.occurrence <= kIdentMacReads ? 2 : 3;
    case Tool::kProvision:
      return 3;
    default:
      break;
  }
  switch (step) {
    case Step::kSnapshot:
      return gone && tool == Tool::kFwUpdate ? 255 : 2;
    case Step::kFlash:
      return 255;
    case Step::kAfterFlash:  // a record not confirmed is written back all the same
      return gone ? 2 : -1;
    case Step::kTable:
    case Step::kTableMac:
      return gone ? 2 : 3;  // out of step: nothing can be checked
    default:  // restore, check
      return 2;
  }
}

// The records the run could not read, so must not change: from the faulted snapshot read on
// (a hang-up takes the later reads with it), or all of them when bm77_ident misses the MAC.
std::set<int> UnreadRecords(Tool tool, Step step, const Exchange& x, Trouble t) {
  std::set<int> unread;
  if (Harmless(t)) return unread;
  if (tool == Tool::kIdent && x.command == kRead && x.occurrence <= kIdentMacReads) {
    return {0, 1, 2};
  }
  if (step != Step::kSnapshot) return unread;
  // After a read without a reply the line is out of step: no later read goes out.
  const int record = (x.occurrence - 1) / kConfirmReads;
  const int last = Silent(t) ? kGuardedRecords - 1 : record;
  for (int r = record; r <= last; ++r) unread.insert(r);
  return unread;
}

std::vector<std::vector<Bytes>> RecordStates(const std::array<uint8_t, 8192>& before,
                                             const std::vector<std::pair<uint16_t, Bytes>>& writes) {
  std::array<uint8_t, 8192> eeprom = before;
  std::vector<std::vector<Bytes>> states;
  auto record = [&](const Record& r) {
    return Bytes(eeprom.begin() + r.address, eeprom.begin() + r.address + r.length);
  };
  for (const Record& r : kRecords) states.push_back({record(r)});
  for (const auto& [address, data] : writes) {
    std::copy(data.begin(), data.end(), eeprom.begin() + address);
    for (size_t i = 0; i < std::size(kRecords); ++i) {
      const Record& r = kRecords[i];
      if (address < r.address + r.length && r.address < address + data.size()) {
        states[i].push_back(record(r));
      }
    }
  }
  return states;
}

// ---- Running ------------------------------------------------------------------------------------

testbed::RunOptions MatrixOptions(Trouble t) {
  testbed::RunOptions options;
  options.time_limit = kRunLimit + 5s;  // past the limit the test asserts, so it can tell
  options.env[simwire::kEnvSkipPausesMs] = kSkipPausesMs;
  // The port's first read (the host looking for bytes before its first command) finds three.
  if (t == Trouble::kStrayFirst) options.env[simwire::kEnvPortReadScript] = "1:3";
  return options;
}

struct Outcome {
  std::string what;     // tool, exchange and fault
  std::string failure;  // empty: passed
  double seconds = 0;
};

// One run of `tool` on a fresh board with `plant` applied; `check` judges it.
template <typename Plant, typename Check>
void RunOnBoard(const ToolCase& tool, Trouble trouble, Plant plant, Check check) {
  testbed::Board board;
  PutIdentity(board.module());
  const auto args = tool.prepare(board);
  plant(board.module());
  const auto before = board.module().eeprom();
  const testbed::RunResult r = board.Run(tool.program, args, MatrixOptions(trouble));
  check(board, before, r);
}

// `status` -1: any status but 0 after a failure, or 0 with the identity as the clean run left
// it (a stray byte may be dropped before the next command, or spoil it).
std::string Judge(testbed::Board& board, const testbed::RunResult& r, int status,
                  const CleanRun& clean, const std::set<int>& unread) {
  std::string failure;
  if (!r.started || !r.handshake) return "did not run under the board: " + r.refusal;
  if (r.timed_out || r.wall_seconds >= std::chrono::duration<double>(kRunLimit).count()) {
    failure += " ran " + std::to_string(r.wall_seconds) + " s;";
  }
  const bool succeeded_as_clean = status == 0 || (status < 0 && r.exit_status == 0);
  if (status < 0 ? r.exit_status < 0 : r.exit_status != status) {
    failure += " exit status " + std::to_string(r.exit_status) + " (signal " +
               std::to_string(r.signal) + "), expected " + std::to_string(status) + ";";
  }
  for (size_t i = 0; i < std::size(kRecords); ++i) {
    const Record& rec = kRecords[i];
    const Bytes now = board.module().Eeprom(rec.address, rec.length);
    const std::vector<Bytes>& states = clean.states[i];
    if (succeeded_as_clean && now != states.back()) {
      failure += std::string(" ") + rec.name + " holds " + HexOf(now) + " after a run that succeeded;";
    } else if (unread.count(static_cast<int>(i)) != 0 && now != states.front()) {
      failure += std::string(" ") + rec.name + " not read but changed to " + HexOf(now) + ";";
    } else if (std::find(states.begin(), states.end(), now) == states.end()) {
      failure += std::string(" ") + rec.name + " holds " + HexOf(now) + ";";
    }
  }
  for (const std::string& v : board.violations()) failure += " violation: " + v + ";";
  if (!failure.empty()) failure += "\n    output: " + r.out;
  return failure;
}

// After an exchange left without a reply the run may send only restore writes (the guarded
// tools put back what they wrote over: at most one per record), and no reply is read for
// anything else; bm77_ident and bm77_provision send nothing more at all.
std::string TalkAfterSilence(testbed::Board& board, Tool tool, const Exchange& x) {
  if (x.kind != Exchange::Kind::kFrame) return "";
  const std::vector<WireEvent> frames = board.module().host_frames();
  int seen = 0;
  size_t at = 0;
  while (at < frames.size() && !(frames[at].command == x.command && ++seen == x.occurrence)) ++at;
  const bool guarded = tool == Tool::kFwUpdate || tool == Tool::kTableUpdate;
  size_t writes = 0;
  for (size_t i = at + 1; i < frames.size(); ++i) {
    if (!guarded || frames[i].command != kWrite) {
      return " command " + HexOf(Bytes{frames[i].command}) + " sent after the silent exchange;";
    }
    ++writes;
  }
  return writes > std::size(kRecords) ? " more writes than records after the silent exchange;" : "";
}

struct Case {
  const ToolCase* tool;
  const CleanRun* clean;
  Exchange exchange;
  Trouble trouble;
};

unsigned Workers() {
  // The runs mostly wait (on silence limits, moved replies and the programs' start), so many
  // more boards than cores keep the machine busy.
  const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  return std::clamp(cores * 8, 8u, 24u);
}

TEST(FaultMatrix, EveryFaultOfEveryExchangeEndsInTimeWithTheRightStatusAndTheIdentityKept) {
  const auto started = std::chrono::steady_clock::now();
  std::vector<CleanRun> cleans(std::size(kTools));
  std::vector<Case> cases;
  for (size_t t = 0; t < std::size(kTools); ++t) {
    const ToolCase& tool = kTools[t];
    CleanRun& clean = cleans[t];
    RunOnBoard(tool, Trouble::kSilence, [](testbed::Module&) {},
               [&](testbed::Board& board, const auto& before, const testbed::RunResult& r) {
                 ASSERT_EQ(r.exit_status, 0) << tool.name << ": " << r.out;
                 EXPECT_TRUE(board.violations().empty()) << tool.name;
                 const auto log = board.module().wire_log();
                 clean.exchanges = ExchangesOf(log);
                 for (const WireEvent& e : board.module().host_frames()) {
                   clean.reads += e.command == kRead;
                   clean.writes += e.command == kWrite;
                 }
                 clean.states = RecordStates(before, board.module().eeprom_writes());
               });
    if (HasFatalFailure()) return;
    ASSERT_FALSE(clean.exchanges.empty()) << tool.name;
    for (const Exchange& x : clean.exchanges) {
      for (Trouble trouble : TroublesFor(x)) cases.push_back({&tool, &clean, x, trouble});
    }
    cases.push_back({&tool, &clean, clean.exchanges.front(), Trouble::kStrayFirst});
  }

  std::vector<Outcome> outcomes(cases.size());
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t i = next++; i < cases.size(); i = next++) {
      const Case& c = cases[i];
      const Step step = StepOf(c.tool->tool, *c.clean, c.exchange);
      Outcome& out = outcomes[i];
      out.what = std::string(c.tool->name) + ", " + NameOf(c.exchange) + ", " + NameOf(c.trouble);
      RunOnBoard(*c.tool, c.trouble, [&](testbed::Module& m) { Plant(m, c.exchange, c.trouble); },
                 [&](testbed::Board& board, const auto&, const testbed::RunResult& r) {
                   out.seconds = r.wall_seconds;
                   const int status = c.trouble == Trouble::kStray
                                          ? -1
                                          : ExpectedStatus(c.tool->tool, step, c.exchange, c.trouble);
                   if (Silent(c.trouble)) {
                     out.failure = TalkAfterSilence(board, c.tool->tool, c.exchange);
                   }
                   out.failure += Judge(board, r, status,
                                       *c.clean,
                                       // which later read a stray byte spoils is not known
                                       c.trouble == Trouble::kStray
                                           ? std::set<int>{}
                                           : UnreadRecords(c.tool->tool, step, c.exchange, c.trouble));
                 });
    }
  };
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < Workers(); ++w) workers.emplace_back(work);
  for (std::thread& w : workers) w.join();

  size_t passed = 0;
  double longest = 0;
  for (const Outcome& o : outcomes) {
    longest = std::max(longest, o.seconds);
    if (o.failure.empty()) {
      ++passed;
    } else {
      ADD_FAILURE() << o.what << ":" << o.failure;
    }
  }
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  std::printf("fault matrix: %zu runs, %zu passed\n", outcomes.size(), passed);
  std::printf("fault matrix: %.1f s wall, longest run %.1f s, %u boards at once\n", wall, longest,
              Workers());
}


// ---- The adversary: a module that misbehaves at random -------------------------------------------
//
// Each serial tool runs against the chaos module (board.h) under many seeds, with the matrix's
// oracle: every run ends within 30 s, no identity record holds anything the clean run did not
// put there, and status 0 only when the whole EEPROM and flash are as the clean run left them.
// The suite runs a fixed set of seeds; BM77_CHAOS_SECONDS=N tries fresh seeds for N seconds
// instead (scripts/test chaos), and BM77_CHAOS_REPLAY=TOOL:SEED runs one seed again, as printed.

constexpr char kChaosSecondsVariable[] = "BM77_CHAOS_SECONDS";
constexpr char kChaosReplayVariable[] = "BM77_CHAOS_REPLAY";
// Boards at once in a search (default: as many as the matrix uses); the runs mostly wait.
constexpr char kChaosBoardsVariable[] = "BM77_CHAOS_BOARDS";
// Seeds per tool in the suite: each run mostly waits, and the suite runs under the emulator too.
constexpr int kSuiteSeeds = 24;
constexpr int kEmulatedSuiteSeeds = 6;

struct ChaosCase {
  size_t tool = 0;  // into kTools
  uint64_t seed = 0;
};

struct CleanState {
  CleanRun run;
  std::array<uint8_t, 8192> eeprom{};  // the whole EEPROM after the clean run
  Bytes flash;                         // and the whole flash
};

Bytes WholeFlash(const testbed::Module& module) {
  return module.Flash(0, testbed::Module::kFlashSize);
}

std::string OwnPath() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string("fault_matrix_e2e_tests");
}

std::string ReplayCommand(const ChaosCase& c) {
  return std::string(kChaosReplayVariable) + "=" + kTools[c.tool].name + ":" +
         std::to_string(c.seed) + " " + OwnPath() + " --gtest_filter='Chaos.*'  (or on a board of " +
         "devsim: devsim fault chaos:" + std::to_string(c.seed) + ")";
}

std::string MischiefOf(const testbed::Module& module) {
  std::string text;
  for (const auto& e : module.chaos_log()) {
    text += e.frame > 0 ? " #" + std::to_string(e.frame) + " " + HexOf(Bytes{e.command})
                        : " burst reply " + std::to_string(-e.frame) + " (3C " +
                              HexOf(Bytes{e.command}) + ")";
    text += std::string(" ") + testbed::NameOf(e.mischief) + ";";
  }
  return text;
}

// A replayed seed shows its run: the output, the mischief, and what went over the line when
// (seconds from the first command; the flash blocks left out).
void ShowRun(const testbed::Module& module, const testbed::RunResult& r) {
  std::printf("%s%s    status %d in %.1f s, mischief:%s\n", r.out.c_str(), r.err.c_str(),
              r.exit_status, r.wall_seconds, MischiefOf(module).c_str());
  const auto log = module.wire_log();
  for (const WireEvent& e : log) {
    if (e.kind == WireEvent::Kind::kBurstData) continue;
    std::printf("  %7.3f %s %s\n", std::chrono::duration<double>(e.at - log.front().at).count(),
                e.dir == WireEvent::Dir::kHostToModule ? "host  " : "module", HexOf(e.raw).c_str());
  }
}

// One seed on a fresh board; empty when the promises held.
std::string RunChaos(const ChaosCase& c, const CleanState& clean, double* seconds) {
  std::string failure;
  RunOnBoard(kTools[c.tool], Trouble::kSilence,
             [&](testbed::Module& m) { m.SetChaos(testbed::ChaosForSeed(c.seed)); },
             [&](testbed::Board& board, const auto&, const testbed::RunResult& r) {
               *seconds = r.wall_seconds;
               if (std::getenv(kChaosReplayVariable) != nullptr) ShowRun(board.module(), r);
               failure = Judge(board, r, -1, clean.run, {});
               if (r.exit_status == 0 && board.module().eeprom() != clean.eeprom) {
                 failure += " status 0, but the EEPROM is not as the clean run left it;";
               }
               if (r.exit_status == 0 && WholeFlash(board.module()) != clean.flash) {
                 failure += " status 0, but the flash is not as the clean run left it;";
               }
               if (!failure.empty()) {
                 failure = std::string(kTools[c.tool].name) + " seed " + std::to_string(c.seed) +
                           ", status " + std::to_string(r.exit_status) + ":" + failure +
                           "\n    mischief:" + MischiefOf(board.module()) +
                           "\n    replay: " + ReplayCommand(c);
               }
             });
  return failure;
}

std::vector<CleanState> CleanRuns() {
  std::vector<CleanState> cleans(std::size(kTools));
  for (size_t t = 0; t < std::size(kTools); ++t) {
    RunOnBoard(kTools[t], Trouble::kSilence, [](testbed::Module&) {},
               [&](testbed::Board& board, const auto& before, const testbed::RunResult& r) {
                 EXPECT_EQ(r.exit_status, 0) << kTools[t].name << ": " << r.out;
                 cleans[t].run.states = RecordStates(before, board.module().eeprom_writes());
                 cleans[t].eeprom = board.module().eeprom();
                 cleans[t].flash = WholeFlash(board.module());
               });
  }
  return cleans;
}

// The cases to run: one replayed seed, or the suite's fixed seeds.
std::vector<ChaosCase> FixedCases() {
  if (const char* replay = std::getenv(kChaosReplayVariable)) {
    const std::string text = replay;
    const size_t colon = text.find(':');
    for (size_t t = 0; t < std::size(kTools); ++t) {
      if (colon != std::string::npos && text.substr(0, colon) == kTools[t].name) {
        return {{t, std::strtoull(text.c_str() + colon + 1, nullptr, 10)}};
      }
    }
    ADD_FAILURE() << kChaosReplayVariable << " must be TOOL:SEED, not " << text;
    return {};
  }
  const int seeds = testbed::StartCostScale() > 1 ? kEmulatedSuiteSeeds : kSuiteSeeds;
  std::vector<ChaosCase> cases;
  for (int s = 1; s <= seeds; ++s) {
    for (size_t t = 0; t < std::size(kTools); ++t) cases.push_back({t, static_cast<uint64_t>(s)});
  }
  return cases;
}

TEST(Chaos, NoSeedChangesAnIdentityUnmeantOrEndsZeroWithoutTheModuleHoldingTheRun) {
  const auto started = std::chrono::steady_clock::now();
  const std::vector<CleanState> cleans = CleanRuns();
  if (HasFailure()) return;
  const char* budget_text = std::getenv(kChaosSecondsVariable);
  const double budget = budget_text != nullptr ? std::atof(budget_text) : 0;
  const std::vector<ChaosCase> fixed = budget > 0 ? std::vector<ChaosCase>{} : FixedCases();
  // A search draws fresh seeds, round the tools in turn, until its time is spent.
  std::mt19937_64 fresh{std::random_device{}()};
  std::mutex mu;
  size_t next = 0;
  std::vector<size_t> runs(std::size(kTools)), failed(std::size(kTools));
  std::vector<std::string> failures;
  double longest = 0;
  auto take = [&](ChaosCase* c) {
    std::lock_guard<std::mutex> lock(mu);
    if (budget <= 0) {
      if (next >= fixed.size()) return false;
      *c = fixed[next++];
      return true;
    }
    const double spent =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (spent > budget) return false;
    *c = {next++ % std::size(kTools), fresh()};
    return true;
  };
  auto work = [&] {
    ChaosCase c;
    while (take(&c)) {
      double seconds = 0;
      const std::string failure = RunChaos(c, cleans[c.tool], &seconds);
      std::lock_guard<std::mutex> lock(mu);
      ++runs[c.tool];
      longest = std::max(longest, seconds);
      if (!failure.empty()) {
        ++failed[c.tool];
        failures.push_back(failure);
        std::printf("chaos: %s\n", failure.c_str());
        std::fflush(stdout);
      }
    }
  };
  const char* boards_text = std::getenv(kChaosBoardsVariable);
  const unsigned boards =
      budget > 0 && boards_text != nullptr
          ? static_cast<unsigned>(std::clamp(std::atoi(boards_text), 1, 256))
          : Workers();
  std::vector<std::thread> workers;
  for (unsigned w = 0; w < boards; ++w) workers.emplace_back(work);
  for (std::thread& w : workers) w.join();

  for (const std::string& f : failures) ADD_FAILURE() << f;
  const double wall =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  for (size_t t = 0; t < std::size(kTools); ++t) {
    std::printf("chaos: %s %zu seeds, %zu failed\n", kTools[t].name, runs[t], failed[t]);
  }
  std::printf("chaos: %.1f s wall, longest run %.1f s, %u boards at once\n", wall, longest,
              boards);
}

}  // namespace
}  // namespace e2e
