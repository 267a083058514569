// The simulated module's flash: the parser's raw mode for the burst, then the flash commands
// and the burst through real bytes on the pseudo-terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "module_flash.h"
#include "module_framing.h"
#include "module_on_pty.h"
#include "module_test_support.h"

namespace testbed {
namespace {

using framing::FrameParser;
using Kind = WireEvent::Kind;
using Dir = WireEvent::Dir;

constexpr uint8_t kModeFirmwareUpdate = 2;

// A recognisable image: mark and trailer bytes included, so raw mode is put to the test.
Bytes Image(size_t size) {
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>((i * 31 + 7) % 256);
  if (size > 10) {
    bytes[3] = 0x3C;
    bytes[4] = 0x5A;
    bytes[8] = 0x3C;
    bytes[9] = 0x66;
  }
  return bytes;
}

Bytes BurstStart(size_t count) {
  return {0x3C, 0x66, 0x53, static_cast<uint8_t>(count >> 16), static_cast<uint8_t>(count >> 8),
          static_cast<uint8_t>(count)};
}

Bytes BankEnd(uint16_t crc) {
  return {static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc), 0x3C, 0x5A};
}

// A whole bank as the host sends it: start, data, bank end with the right CRC.
Bytes WholeBurst(const Bytes& data) {
  Bytes all = BurstStart(data.size());
  Append(all, data);
  Append(all, BankEnd(framing::BodyCrc(data)));
  return all;
}

std::vector<Kind> KindsOf(const std::vector<WireEvent>& events) {
  std::vector<Kind> kinds;
  for (const WireEvent& e : events) kinds.push_back(e.kind);
  return kinds;
}

// ---- The parser's raw mode ---------------------------------------------------------------------

TEST(BurstParsing, DataGoesRawInBlocksAndFramingResumesAfterTheBankEnd) {
  const Bytes data = Image(300);
  Bytes stream = WholeBurst(data);
  Append(stream, HostFrame(0x63, {0x01}));
  // Whole, and byte by byte: the same events.
  for (bool one_by_one : {false, true}) {
    FrameParser parser;
    std::vector<WireEvent> events;
    if (one_by_one) {
      for (uint8_t byte : stream) {
        for (WireEvent& e : parser.Feed({byte})) events.push_back(std::move(e));
      }
    } else {
      events = parser.Feed(stream);
    }
    ASSERT_EQ(KindsOf(events), (std::vector<Kind>{Kind::kBurstStart, Kind::kBurstData,
                                                   Kind::kBurstData, Kind::kBankEnd, Kind::kFrame}))
        << one_by_one;
    EXPECT_EQ(events[0].payload, (Bytes{0x00, 0x01, 0x2C}));
    EXPECT_EQ(events[0].raw, BurstStart(300));
    EXPECT_EQ(events[1].payload, Bytes(data.begin(), data.begin() + 256));
    EXPECT_EQ(events[2].payload, Bytes(data.begin() + 256, data.end()));
    EXPECT_EQ(events[3].raw, BankEnd(framing::BodyCrc(data)));
    EXPECT_EQ(events[3].payload, Bytes(events[3].raw.begin(), events[3].raw.begin() + 2));
    EXPECT_EQ(events[4].command, 0x63);
    EXPECT_TRUE(events[4].crc_ok);
  }
}

TEST(BurstParsing, EmptyBurstGoesStraightToTheBankEnd) {
  FrameParser parser;
  Bytes stream = BurstStart(0);
  Append(stream, BankEnd(0));
  EXPECT_EQ(KindsOf(parser.Feed(stream)), (std::vector<Kind>{Kind::kBurstStart, Kind::kBankEnd}));
}

TEST(BurstParsing, ResetInTheMiddleGivesTheBytesBackAsGarbage) {
  FrameParser parser;
  Bytes stream = BurstStart(100);
  Append(stream, {1, 2, 3});
  EXPECT_EQ(KindsOf(parser.Feed(stream)), (std::vector<Kind>{Kind::kBurstStart}));
  const auto leftover = parser.Reset();
  ASSERT_TRUE(leftover.has_value());
  EXPECT_EQ(leftover->raw, (Bytes{1, 2, 3}));
  EXPECT_EQ(KindsOf(parser.Feed(HostFrame(0x50, {}))), (std::vector<Kind>{Kind::kFrame}));
}

// ---- Pure helpers ------------------------------------------------------------------------------

TEST(ModuleFlashHelpers, OldFirmwareHasNoErasedByte) {
  const Bytes old = flash::OldFirmware(Module::kFlashSize);
  EXPECT_EQ(std::count(old.begin(), old.end(), flash::kErased), 0);
}

TEST(ModuleFlashHelpers, ProgrammingOnlyClearsBits) {
  Bytes memory{0xFF, 0xF0, 0x0F, 0xAA};
  flash::Program(memory, 1, {0x3C, 0xFF, 0x55, 0x00});  // the last byte lies past the end
  EXPECT_EQ(memory, (Bytes{0xFF, 0x30, 0x0F, 0x00}));
}

TEST(ModuleFlashHelpers, BankCrcRunsAcrossBlocks) {
  EXPECT_EQ(flash::BankCrc(0, {'a', 'b', 'c'}), 0x1EE4);
  EXPECT_EQ(flash::BankCrc(flash::BankCrc(0, {'a'}), {'b', 'c'}), 0x1EE4);
}

// ---- The flash on the line ---------------------------------------------------------------------

class ModuleFlash : public ModuleOnPty {
 protected:
  void SetUp() override {
    ModuleOnPty::SetUp();
    impl_.SetBootMode(kModeFirmwareUpdate);
  }

  // A flash command answered with an accepting ack and a response; the host acks it.
  Bytes Command(uint8_t command, const Bytes& payload, size_t want) {
    Bytes got = Exchange(HostFrame(command, payload), want);
    Send(kHostAck);
    Collect(0);
    return got;
  }

  void SelectBank(uint8_t bank) {
    EXPECT_EQ(Command(0x63, {bank}, 10), AckAndResponse({0x63, bank}));
  }

  // Module-to-host two-byte replies, in order, as "3C88"-style text.
  std::vector<std::string> Replies() {
    std::vector<std::string> out;
    for (const WireEvent& e : module_.wire_log()) {
      if (e.dir != Dir::kModuleToHost) continue;
      std::string text;
      for (uint8_t b : e.raw) {
        char hex[3];
        std::snprintf(hex, sizeof hex, "%02X", b);
        text += hex;
      }
      out.push_back(text);
    }
    return out;
  }
};

TEST_F(ModuleFlash, CommandsAreRefusedOutsideTheFirmwareUpdateMode) {
  for (int mode : {0, 1}) {
    impl_.SetBootMode(mode);
    for (uint8_t command : Bytes{0x50, 0x51, 0x45}) {
      EXPECT_EQ(Exchange(HostFrame(command, {}), 2), Ack(0x55)) << mode << " " << int{command};
    }
    EXPECT_EQ(Exchange(HostFrame(0x63, {0x00}), 2), Ack(0x55));
  }
  const Bytes untouched = module_.Flash(0, Module::kFlashSize);
  EXPECT_EQ(untouched, flash::OldFirmware(Module::kFlashSize));  // the erase did not run
}

TEST_F(ModuleFlash, InitAnswersTheFlashId) {
  EXPECT_EQ(Command(0x50, {}, 11), AckAndResponse({0x50, 0xBF, 0x41}));
}

TEST_F(ModuleFlash, EraseBlanksEveryBank) {
  EXPECT_EQ(Command(0x51, {}, 10), AckAndResponse({0x51, 0x00}));
  const Bytes all = module_.Flash(0, Module::kFlashSize);
  EXPECT_EQ(std::count(all.begin(), all.end(), 0xFF), static_cast<long>(Module::kFlashSize));
}

TEST_F(ModuleFlash, EraseTakesItsTime) {
  module_.SetEraseTime(80ms);
  Send(HostFrame(0x51, {}));
  EXPECT_TRUE(Flatten(Serve(1, 50ms)).empty());
  EXPECT_EQ(Collect(10), AckAndResponse({0x51, 0x00}));
}

TEST_F(ModuleFlash, BankNumberIsChecked) {
  SelectBank(7);
  EXPECT_EQ(Exchange(HostFrame(0x63, {0x08}), 2), Ack(0x55));
  EXPECT_EQ(Exchange(HostFrame(0x63, {}), 2), Ack(0x55));
}

TEST_F(ModuleFlash, BurstProgramsTheSelectedBank) {
  Command(0x51, {}, 10);
  SelectBank(1);
  const Bytes data = Image(300);
  Send(WholeBurst(data));
  // One resume reply for the full block, none for the short one, then the finish reply.
  EXPECT_EQ(Collect(4), (Bytes{0x3C, 0x88, 0x3C, 0x33}));
  EXPECT_EQ(module_.Flash(Module::kFlashBankSize, 300), data);
  EXPECT_EQ(module_.Flash(Module::kFlashBankSize + 300, 1), Bytes{0xFF});
  EXPECT_EQ(module_.Flash(0, 1), Bytes{0xFF});
}

TEST_F(ModuleFlash, ProgrammingWithoutEraseMixesOldAndNew) {
  SelectBank(0);
  const Bytes data = Image(16);
  Send(WholeBurst(data));
  EXPECT_EQ(Collect(2), (Bytes{0x3C, 0x33}));
  Bytes expected = flash::OldFirmware(16);
  flash::Program(expected, 0, data);
  EXPECT_EQ(module_.Flash(0, 16), expected);
  EXPECT_NE(expected, data);
}

struct BankEndCase {
  const char* name;
  int crc_change;
  Bytes trailer;
};

class ModuleBankEnd : public ModuleFlash, public ::testing::WithParamInterface<BankEndCase> {};

TEST_P(ModuleBankEnd, RefusesABankThatDoesNotCheckOut) {
  SelectBank(0);
  const Bytes data = Image(40);
  Bytes stream = BurstStart(data.size());
  Append(stream, data);
  Bytes end = BankEnd(static_cast<uint16_t>(framing::BodyCrc(data) + GetParam().crc_change));
  end[2] = GetParam().trailer[0];
  end[3] = GetParam().trailer[1];
  Append(stream, end);
  Send(stream);
  EXPECT_EQ(Collect(2), (Bytes{0x3C, 0x55}));
}

INSTANTIATE_TEST_SUITE_P(Cases, ModuleBankEnd,
                         ::testing::Values(BankEndCase{"WrongCrc", 1, {0x3C, 0x5A}},
                                           BankEndCase{"WrongTrailer", 0, {0x3C, 0x5B}}),
                         CaseName<BankEndCase>);

TEST_F(ModuleFlash, BurstWithoutABankIsIgnored) {
  Send(WholeBurst(Image(300)));
  EXPECT_TRUE(Collect(0).empty());
  EXPECT_EQ(module_.Flash(0, 300), flash::OldFirmware(300));
}

TEST_F(ModuleFlash, BurstOutsideTheFirmwareUpdateModeIsIgnored) {
  SelectBank(0);
  impl_.SetBootMode(0);
  Send(WholeBurst(Image(300)));
  EXPECT_TRUE(Collect(0).empty());
}

TEST_F(ModuleFlash, HeldResumesShowHowManyBlocksTheHostLetsGoUnconfirmed) {
  SelectBank(0);
  module_.HoldResumes(300ms);
  const Bytes data = Image(5 * 256);
  Send(BurstStart(data.size()));
  for (size_t block = 0; block < 5; ++block) {
    Send(Bytes(data.begin() + static_cast<long>(block * 256),
               data.begin() + static_cast<long>((block + 1) * 256)));
    Serve(kEverything, 5ms);
  }
  // Four blocks were still unconfirmed when the fifth arrived.
  EXPECT_EQ(module_.max_unconfirmed_blocks(), 4u);
  Send(BankEnd(framing::BodyCrc(data)));
  EXPECT_TRUE(Flatten(Serve(1, 200ms)).empty());  // held back
  const Bytes replies = Flatten(Serve(12, 2000ms));
  EXPECT_EQ(replies, (Bytes{0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x88, 0x3C,
                            0x33}));  // the finish reply last
}

struct BurstFaultCase {
  const char* name;
  BurstFault fault;
  Bytes replies;  // for a bank of three full blocks and a short one
};

BurstFault MakeBurstFault(BurstFault::Kind kind, int bank, int block, Bytes bytes = {}) {
  BurstFault f;
  f.kind = kind;
  f.bank = bank;
  f.block = block;
  f.bytes = std::move(bytes);
  return f;
}

class ModuleBurstFault : public ModuleFlash,
                         public ::testing::WithParamInterface<BurstFaultCase> {};

TEST_P(ModuleBurstFault, SendsItsReplies) {
  Command(0x51, {}, 10);
  SelectBank(2);
  module_.AddBurstFault(GetParam().fault);
  const Bytes data = Image(3 * 256 + 10);
  Send(WholeBurst(data));
  EXPECT_EQ(Collect(GetParam().replies.size()), GetParam().replies);
  EXPECT_EQ(module_.Flash(2 * Module::kFlashBankSize, data.size()), data)
      << "the bank is programmed whatever the replies";
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ModuleBurstFault,
    ::testing::Values(
        BurstFaultCase{"WrongResume",
                       MakeBurstFault(BurstFault::Kind::kResumeReply, 2, 2, {0x3C, 0x55}),
                       {0x3C, 0x88, 0x3C, 0x55, 0x3C, 0x88, 0x3C, 0x33}},
        BurstFaultCase{"WrongFinish",
                       MakeBurstFault(BurstFault::Kind::kFinishReply, 2, 0, {0x3C, 0x55}),
                       {0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x55}},
        BurstFaultCase{"SilentFromTheSecondBlock",
                       MakeBurstFault(BurstFault::Kind::kSilence, 2, 2), {0x3C, 0x88}},
        BurstFaultCase{"OtherBankUntouched",
                       MakeBurstFault(BurstFault::Kind::kSilence, 3, 1),
                       {0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x88, 0x3C, 0x33}}),
    CaseName<BurstFaultCase>);

TEST_F(ModuleFlash, HangUpInTheBurstClosesTheLine) {
  Command(0x51, {}, 10);
  SelectBank(0);
  module_.AddBurstFault(MakeBurstFault(BurstFault::Kind::kHangUp, 0, 2));
  const Bytes data = Image(3 * 256);
  Send(WholeBurst(data));
  Serve(kEverything, kQuiet);
  uint8_t byte = 0;
  EXPECT_EQ(read(host_, &byte, 1), 0) << "the program's end of the line is hung up";
  // The module took the blocks up to the one it hung up at, and nothing after.
  EXPECT_EQ(module_.Flash(0, 512), Bytes(data.begin(), data.begin() + 512));
  EXPECT_EQ(module_.Flash(512, 256), Bytes(256, 0xFF));
}

TEST_F(ModuleFlash, ClearFaultsForgetsBurstFaults) {
  SelectBank(0);
  module_.AddBurstFault(MakeBurstFault(BurstFault::Kind::kSilence, 0, 1));
  module_.ClearFaults();
  Send(WholeBurst(Image(256)));
  EXPECT_EQ(Collect(4), (Bytes{0x3C, 0x88, 0x3C, 0x33}));
}

TEST_F(ModuleFlash, BurstIsLoggedWithItsReplies) {
  SelectBank(0);
  module_.ClearFaults();
  const size_t before = module_.wire_log().size();
  Send(WholeBurst(Image(256)));
  Collect(4);
  const auto log = module_.wire_log();
  ASSERT_EQ(log.size(), before + 5);
  EXPECT_EQ(log[before].kind, Kind::kBurstStart);
  EXPECT_EQ(log[before + 1].kind, Kind::kBurstData);
  EXPECT_EQ(log[before + 2].dir, Dir::kModuleToHost);
  EXPECT_EQ(log[before + 2].status, 0x88);
  EXPECT_EQ(log[before + 3].kind, Kind::kBankEnd);
  EXPECT_EQ(log[before + 4].kind, Kind::kAck);
  EXPECT_EQ(log[before + 4].status, 0x33);
}

// ---- A paced line ------------------------------------------------------------------------------

constexpr unsigned kBaud = 115200;
constexpr double kByteSeconds = 10.0 / kBaud;
// A paced run is timed from before its first byte is written, so it can only take longer than
// the line: the lower bounds allow 1% (the pacer counts whole byte times, and the module may see
// the last bytes a little before the host's clock is read). A loaded machine only makes a run
// slower; the upper bounds leave it a quarter of a second beyond twice the line time.
constexpr double kEarlyMargin = 0.99;
constexpr double kLoadedSlack = 0.25;
// Long enough that crediting it to the next bytes would show far beyond the 1% margin.
constexpr auto kIdleLine = 30ms;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST_F(ModuleFlash, PacedLineTakesTheHostsBytesAtTheBaudRate) {
  module_.PaceLine(kBaud);
  SelectBank(0);
  // The module's loop looks at the idle line and comes back late, as on a loaded machine: the
  // line's idle time must not be lent to the bytes that come after it.
  impl_.OnReadable();
  EXPECT_TRUE(impl_.ListensToLine()) << "nothing waits on an idle line";
  std::this_thread::sleep_for(kIdleLine);
  const Bytes data = Image(1024);
  const auto start = Clock::now();
  Send(WholeBurst(data));
  EXPECT_EQ(Flatten(Serve(10, 5000ms)).size(), 10u);  // four resumes and the finish
  // The burst (start, data, bank end), then the two bytes of the finish reply after it.
  const double line = static_cast<double>(data.size() + 10 + 2) * kByteSeconds;
  const double took = SecondsSince(start);
  EXPECT_GE(took, line * kEarlyMargin);
  EXPECT_LT(took, 2 * line + kLoadedSlack);
}

TEST_F(ModuleFlash, PacedLineWaitsForTheHostsNextBytesFromWhenTheyArrive) {
  // A slow line, so that the hooks can be driven at chosen times without racing the clock.
  constexpr unsigned kSlowBaud = 100;
  const auto byte_time = LinePacer::ByteTime(kSlowBaud, 10);  // 100 ms
  module_.PaceLine(kSlowBaud);
  Send(kHostAck);
  std::this_thread::sleep_for(kQuiet);  // the pty has carried both bytes across
  for (int i = 0; i < 1000 && impl_.ListensToLine(); ++i) {
    impl_.OnReadable();
    std::this_thread::sleep_for(kPoll);
  }
  ASSERT_FALSE(impl_.ListensToLine()) << "the host's bytes were never seen";
  // Both bytes have crossed one byte time from now (they were seen before now): the module takes
  // them, and with nothing more waiting it listens again, so that the host's next bytes wait
  // from when they arrive, not from when the line went quiet.
  impl_.OnTick(Clock::now() + 2 * byte_time);
  EXPECT_TRUE(impl_.ListensToLine());
  EXPECT_EQ(module_.wire_log().back().raw, kHostAck);
}

TEST_F(ModuleFlash, PacedLineSendsTheModulesBytesAtTheBaudRate) {
  module_.PaceLine(kBaud);
  const auto start = Clock::now();
  module_.Chatter(1152, 0, 0ms);
  EXPECT_EQ(Flatten(Serve(1152, 5000ms)).size(), 1152u);
  const double line = 1152 * kByteSeconds;  // 0.1 s
  const double took = SecondsSince(start);
  EXPECT_GE(took, line * kEarlyMargin);
  EXPECT_LT(took, 2 * line + kLoadedSlack);
}

TEST_F(ModuleFlash, UnpacedLineIsFast) {
  SelectBank(0);
  const auto start = Clock::now();
  Send(WholeBurst(Image(1024)));
  EXPECT_EQ(Flatten(Serve(10, 5000ms)).size(), 10u);
  EXPECT_LT(SecondsSince(start), 1024 * kByteSeconds / 2);
}

}  // namespace
}  // namespace testbed
