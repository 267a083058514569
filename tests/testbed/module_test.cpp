// The simulated module on a real pseudo-terminal: the test plays the program on the slave side
// and serves the module's hooks the way the board's event loop does.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <thread>

#include "module_impl.h"
#include "module_on_pty.h"
#include "module_port.h"
#include "module_reply.h"
#include "module_test_support.h"

namespace testbed {
namespace {

using namespace std::chrono_literals;
using Kind = WireEvent::Kind;
using Dir = WireEvent::Dir;

const Bytes kReadMac{0x00, 0x00, 0x06};
const Bytes kMac{0x66, 0x55, 0x44, 0x33, 0x22, 0x11};

Bytes MacReadBody(const Bytes& data) {
  Bytes body{0x73, 0x00, static_cast<uint8_t>(data.size())};
  Append(body, data);
  return body;
}

Fault MakeFault(Fault::Kind kind, int command = -1, int occurrence = 0) {
  Fault fault;
  fault.kind = kind;
  fault.command = command;
  fault.occurrence = occurrence;
  return fault;
}

// ---- EEPROM through real bytes -----------------------------------------------------------------

TEST_F(ModuleOnPty, EepromStartsErased) {
  const auto image = module_.eeprom();
  for (uint8_t byte : image) ASSERT_EQ(byte, 0xFF);
}

TEST_F(ModuleOnPty, ReadAnswersAckAndResponse) {
  module_.SetEeprom(0, kMac);
  const Bytes expected = AckAndResponse(MacReadBody(kMac));
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), expected.size()), expected);
}

TEST_F(ModuleOnPty, ReadResponseBytesOnTheWire) {
  module_.SetEeprom(0x19, {0x01, 0x00});
  // Body 73 00 02 01 00 and its CRC, nothing doubled.
  const Bytes expected{0x3C, 0x33, 0x3C, 0x66, 0x73, 0x00, 0x02, 0x01, 0x00,
                       static_cast<uint8_t>(framing::BodyCrc({0x73, 0x00, 0x02, 0x01, 0x00}) >> 8),
                       static_cast<uint8_t>(framing::BodyCrc({0x73, 0x00, 0x02, 0x01, 0x00})),
                       0x3C, 0x5A};
  EXPECT_EQ(Exchange(HostFrame(0x73, {0x00, 0x19, 0x02}), expected.size()), expected);
}

TEST_F(ModuleOnPty, WriteStoresRecordsAndAnswers) {
  const Bytes wire{0x3C, 0x66, 0x74, 0x00, 0x19, 0x3C, 0x3C, 0x00, 0xBB, 0xD0, 0x3C, 0x5A};
  const Bytes expected{0x3C, 0x33, 0x3C, 0x66, 0x74, 0x00, 0x74, 0x00, 0x3C, 0x5A};
  EXPECT_EQ(Exchange(wire, expected.size()), expected);
  EXPECT_EQ(module_.Eeprom(0x19, 2), (Bytes{0x3C, 0x00}));
  EXPECT_EQ(module_.Eeprom(0x18, 1), (Bytes{0xFF}));
  EXPECT_EQ(module_.Eeprom(0x1B, 1), (Bytes{0xFF}));
  const auto writes = module_.eeprom_writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].first, 0x19);
  EXPECT_EQ(writes[0].second, (Bytes{0x3C, 0x00}));
}

TEST_F(ModuleOnPty, WrittenBytesReadBack) {
  Bytes payload{0x00, 0x0B};
  const std::string name = "Tavrine-1122";
  payload.insert(payload.end(), name.begin(), name.end());
  Exchange(HostFrame(0x74, payload), 10);
  Send(kHostAck);
  Bytes data(name.begin(), name.end());
  Append(data, {0xFF, 0xFF});
  const Bytes expected = AckAndResponse(MacReadBody(data));
  EXPECT_EQ(Exchange(HostFrame(0x73, {0x00, 0x0B, 0x0E}), expected.size()), expected);
}

TEST_F(ModuleOnPty, ReadAndWriteReachTheLastByte) {
  EXPECT_EQ(Exchange(HostFrame(0x74, {0x1F, 0xFF, 0x5A}), 10).size(), 10u);
  Send(kHostAck);
  const Bytes expected = AckAndResponse(MacReadBody({0xFF, 0xFF, 0x5A}));
  EXPECT_EQ(Exchange(HostFrame(0x73, {0x1F, 0xFD, 0x03}), expected.size()), expected);
}

// ---- Refusals ----------------------------------------------------------------------------------

struct RefusalCase {
  const char* name;
  Bytes frame;
  uint8_t status;
};

class ModuleRefusal : public ModuleOnPty, public ::testing::WithParamInterface<RefusalCase> {};

TEST_P(ModuleRefusal, AnswersOnlyTheStatusAndChangesNothing) {
  EXPECT_EQ(Exchange(GetParam().frame, 2), Ack(GetParam().status));
  EXPECT_TRUE(module_.eeprom_writes().empty());
  for (uint8_t byte : module_.eeprom()) ASSERT_EQ(byte, 0xFF);
  const auto frames = module_.host_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].raw, GetParam().frame);
}

Bytes WithBadCrc(Bytes frame) {
  frame[frame.size() - 3] ^= 0x01;
  return frame;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ModuleRefusal,
    ::testing::Values(
        RefusalCase{"bad_crc_read", WithBadCrc(HostFrame(0x73, kReadMac)), 0x88},
        RefusalCase{"bad_crc_write", WithBadCrc(HostFrame(0x74, {0x00, 0x19, 0x01})), 0x88},
        RefusalCase{"read_past_end", HostFrame(0x73, {0x1F, 0xFE, 0x03}), 0x55},
        RefusalCase{"read_far_past_end", HostFrame(0x73, {0xFF, 0xFF, 0x01}), 0x55},
        RefusalCase{"write_past_end", HostFrame(0x74, {0x1F, 0xFF, 0x01, 0x02}), 0x55},
        RefusalCase{"read_payload_short", HostFrame(0x73, {0x00, 0x00}), 0x55},
        RefusalCase{"read_payload_long", HostFrame(0x73, {0x00, 0x00, 0x06, 0x00}), 0x55},
        RefusalCase{"write_without_data", HostFrame(0x74, {0x00, 0x19}), 0x55},
        RefusalCase{"unknown_command", HostFrame(0x50, {}), 0x55}),
    CaseName<RefusalCase>);

// ---- Command table -----------------------------------------------------------------------------

TEST_F(ModuleOnPty, HandlerAddsACommand) {
  module_.SetHandler(0x50, [](Module& module, const Bytes& payload) {
    // A handler may use the public methods: the module must not hold its lock meanwhile.
    Bytes body{0x50};
    Append(body, module.Eeprom(0, 2));
    body.push_back(static_cast<uint8_t>(payload.size()));
    return CommandReply{0x33, true, body};
  });
  module_.SetEeprom(0, {0xAB, 0xCD});
  const Bytes expected = AckAndResponse({0x50, 0xAB, 0xCD, 0x00});
  EXPECT_EQ(Exchange(HostFrame(0x50, {}), expected.size()), expected);
}

TEST_F(ModuleOnPty, EmptyHandlerRemovesACommand) {
  module_.SetHandler(0x73, nullptr);
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 2), Ack(0x55));
}

// ---- Wire log ------------------------------------------------------------------------------------

TEST_F(ModuleOnPty, LogHoldsTheWholeConversationInOrder) {
  module_.SetEeprom(0, kMac);
  Bytes junk{0x41};
  Send(junk);
  Collect(0);
  const Bytes frame = HostFrame(0x73, kReadMac);
  Exchange(frame, 2 + 6 + 3 + 6);
  Send(kHostAck);
  Collect(0);

  const auto log = module_.wire_log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].kind, Kind::kGarbage);
  EXPECT_EQ(log[0].raw, junk);
  EXPECT_EQ(log[1].dir, Dir::kHostToModule);
  EXPECT_EQ(log[1].kind, Kind::kFrame);
  EXPECT_EQ(log[1].command, 0x73);
  EXPECT_EQ(log[1].payload, kReadMac);
  EXPECT_TRUE(log[1].crc_ok);
  EXPECT_EQ(log[1].raw, frame);
  EXPECT_TRUE(log[1].settings.Proper115200());
  EXPECT_EQ(log[2].dir, Dir::kModuleToHost);
  EXPECT_EQ(log[2].kind, Kind::kAck);
  EXPECT_EQ(log[2].status, 0x33);
  EXPECT_EQ(log[3].dir, Dir::kModuleToHost);
  EXPECT_EQ(log[3].kind, Kind::kFrame);
  EXPECT_EQ(log[3].payload, MacReadBody(kMac));
  EXPECT_EQ(log[3].raw, framing::EncodeResponse(MacReadBody(kMac)));
  EXPECT_EQ(log[4].dir, Dir::kHostToModule);
  EXPECT_EQ(log[4].kind, Kind::kAck);
  EXPECT_EQ(module_.host_frames().size(), 1u);
}

TEST_F(ModuleOnPty, TrailingJunkReachesTheLogWithoutAFollowingFrame) {
  Send({0x41, 0x42});
  EXPECT_TRUE(Collect(0).empty());
  const auto log = module_.wire_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kind, Kind::kGarbage);
  EXPECT_EQ(log[0].raw, (Bytes{0x41, 0x42}));
}

// ---- Faults --------------------------------------------------------------------------------------

struct FaultCase {
  const char* name;
  Fault fault;
  Bytes expected;  // what the host receives for the MAC read
};

Fault WithStatus(Fault fault, uint8_t status) {
  fault.status = status;
  return fault;
}

Fault WithBytes(Fault fault, Bytes bytes) {
  fault.bytes = std::move(bytes);
  return fault;
}

Bytes Joined(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& part : parts) Append(all, part);
  return all;
}

Bytes OversizeBody() {
  Bytes body = MacReadBody(kMac);
  body.resize(reply::kOversizeBody, 0x00);
  return body;
}

class ModuleFault : public ModuleOnPty, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(ModuleFault, SendsItsBytes) {
  module_.SetEeprom(0, kMac);
  module_.AddFault(GetParam().fault);
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), GetParam().expected.size()),
            GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ModuleFault,
    ::testing::Values(
        FaultCase{"ack_status_refused", WithStatus(MakeFault(Fault::Kind::kAckStatus), 0x00),
                  Ack(0x00)},
        FaultCase{"ack_status_accepting", WithStatus(MakeFault(Fault::Kind::kAckStatus), 0x33),
                  AckAndResponse(MacReadBody(kMac))},
        FaultCase{"ack_bytes_lenient",
                  WithBytes(MakeFault(Fault::Kind::kAckBytes), {0x00, 0x33}),
                  Joined({{0x00, 0x33}, framing::EncodeResponse(MacReadBody(kMac))})},
        FaultCase{"ack_bytes_odd", WithBytes(MakeFault(Fault::Kind::kAckBytes), {0x3C, 0x41}),
                  {0x3C, 0x41}},
        FaultCase{"no_header", MakeFault(Fault::Kind::kNoHeader),
                  Joined({Ack(0x33), framing::EncodeResponseWithHeader(0x78, MacReadBody(kMac))})},
        FaultCase{"short_frame", MakeFault(Fault::Kind::kShortFrame),
                  {0x3C, 0x33, 0x3C, 0x66, 0x3C, 0x5A}},
        FaultCase{"silence", MakeFault(Fault::Kind::kSilence), {}},
        FaultCase{"silent_after_ack", MakeFault(Fault::Kind::kSilentAfterAck), Ack(0x33)},
        FaultCase{"oversize", MakeFault(Fault::Kind::kOversize), AckAndResponse(OversizeBody())},
        FaultCase{"raw_reply", WithBytes(MakeFault(Fault::Kind::kRawReply), {0x01, 0x02, 0x03}),
                  {0x01, 0x02, 0x03}},
        FaultCase{"byte_by_byte", MakeFault(Fault::Kind::kByteByByte),
                  AckAndResponse(MacReadBody(kMac))},
        FaultCase{"split", MakeFault(Fault::Kind::kSplit), AckAndResponse(MacReadBody(kMac))}),
    CaseName<FaultCase>);

TEST_F(ModuleOnPty, OversizeResponseIsLongerThanTheHostBuffer) {
  module_.AddFault(MakeFault(Fault::Kind::kOversize));
  const Bytes got = Exchange(HostFrame(0x73, kReadMac), 2 + 306);
  EXPECT_GT(got.size() - 2, 256u);
}

// Pieces a gap apart, read with the loop driven at chosen times a gap apart: each tick has
// exactly one piece due whatever the machine's load (a long gap, though no time really passes),
// and each read takes what that tick wrote.
class PiecesOnPty : public ModuleOnPty {
 protected:
  static constexpr auto kGap = 1s;

  std::vector<Bytes> SendAndTickPieces(const Bytes& frame, size_t pieces) {
    Send(frame);
    for (int i = 0; i < 1000 && !impl_.NextDeadline().has_value(); ++i) {
      impl_.OnReadable();
      std::this_thread::sleep_for(kPoll);
    }
    const auto decoded = Clock::now();  // the first piece is due by now, each next a gap later
    std::vector<Bytes> reads;
    for (size_t i = 0; i < pieces && impl_.NextDeadline().has_value(); ++i) {
      impl_.OnTick(decoded + kGap * static_cast<int>(i));
      pollfd p{host_, POLLIN, 0};
      if (poll(&p, 1, 1000) != 1) break;
      uint8_t buffer[512];
      const ssize_t n = read(host_, buffer, sizeof buffer);
      if (n <= 0) break;
      reads.emplace_back(buffer, buffer + n);
    }
    return reads;
  }
};

TEST_F(PiecesOnPty, ByteByByteArrivesInSeparateReads) {
  module_.SetEeprom(0, kMac);
  Fault fault = MakeFault(Fault::Kind::kByteByByte);
  fault.gap = kGap;
  module_.AddFault(fault);
  const Bytes expected = AckAndResponse(MacReadBody(kMac));
  const auto reads = SendAndTickPieces(HostFrame(0x73, kReadMac), expected.size());
  ASSERT_EQ(reads.size(), expected.size());
  for (const Bytes& piece : reads) EXPECT_EQ(piece.size(), 1u);
  EXPECT_EQ(Flatten(reads), expected);
}

TEST_F(PiecesOnPty, SplitArrivesInItsPieces) {
  module_.SetEeprom(0, kMac);
  Fault fault = MakeFault(Fault::Kind::kSplit);
  fault.cuts = {1, 5};
  fault.gap = kGap;
  module_.AddFault(fault);
  const Bytes expected = AckAndResponse(MacReadBody(kMac));
  const auto reads = SendAndTickPieces(HostFrame(0x73, kReadMac), 3);
  ASSERT_EQ(reads.size(), 3u);
  EXPECT_EQ(reads[0].size(), 1u);
  EXPECT_EQ(reads[1].size(), 4u);
  EXPECT_EQ(Flatten(reads), expected);
}

TEST_F(ModuleOnPty, PacedReplyTellsTheLoopWhenItIsDue) {
  Fault fault = MakeFault(Fault::Kind::kByteByByte);
  fault.gap = 50ms;
  module_.AddFault(fault);
  EXPECT_FALSE(impl_.NextDeadline().has_value());
  const auto sent = Clock::now();
  Send(HostFrame(0x73, kReadMac));
  ASSERT_EQ(Serve(1, kReplyLimit).size(), 1u);
  const auto served = Clock::now();
  const auto next = impl_.NextDeadline();
  ASSERT_TRUE(next.has_value());
  // The second byte is due one gap after the module read the command, which it did between
  // these two readings of the clock: bounds that a slow loop cannot break.
  EXPECT_GE(*next, sent + fault.gap);
  EXPECT_LE(*next, served + fault.gap);
}

TEST_F(ModuleOnPty, FaultsHitTheirOccurrenceOnly) {
  module_.AddFault(WithStatus(MakeFault(Fault::Kind::kAckStatus, 0x73, 2), 0x55));
  const Bytes good = AckAndResponse(MacReadBody(Bytes(6, 0xFF)));
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), good.size()), good);
  Send(kHostAck);
  EXPECT_EQ(Exchange(HostFrame(0x74, {0x00, 0x30, 0x01}), 10).size(), 10u);
  Send(kHostAck);
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 2), Ack(0x55));
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), good.size()), good);
}

TEST_F(ModuleOnPty, AnyCommandFaultCountsEveryFrame) {
  module_.AddFault(MakeFault(Fault::Kind::kSilence, -1, 2));
  EXPECT_EQ(Exchange(HostFrame(0x74, {0x00, 0x30, 0x01}), 10).size(), 10u);
  Send(kHostAck);
  EXPECT_TRUE(Exchange(HostFrame(0x73, kReadMac), 0).empty());
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 2 + 6 + 3 + 6).size(), 17u);
}

TEST_F(ModuleOnPty, ClearFaultsRestoresTheOrdinaryReply) {
  module_.AddFault(MakeFault(Fault::Kind::kSilence, 0x73, 1));
  module_.ClearFaults();
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 17).size(), 17u);
}

TEST_F(ModuleOnPty, RefusingFaultLeavesTheEepromAlone) {
  module_.AddFault(WithStatus(MakeFault(Fault::Kind::kAckStatus, 0x74, 1), 0x55));
  module_.AddFault(MakeFault(Fault::Kind::kSilence, 0x74, 2));
  EXPECT_EQ(Exchange(HostFrame(0x74, {0x00, 0x19, 0x01}), 2), Ack(0x55));
  EXPECT_TRUE(Exchange(HostFrame(0x74, {0x00, 0x19, 0x02}), 0).empty());
  EXPECT_TRUE(module_.eeprom_writes().empty());
  EXPECT_EQ(module_.Eeprom(0x19, 1), (Bytes{0xFF}));
}

TEST_F(ModuleOnPty, AcceptingFaultStillWrites) {
  module_.AddFault(MakeFault(Fault::Kind::kSilentAfterAck, 0x74, 1));
  EXPECT_EQ(Exchange(HostFrame(0x74, {0x00, 0x19, 0x07}), 2), Ack(0x33));
  EXPECT_EQ(module_.Eeprom(0x19, 1), (Bytes{0x07}));
  EXPECT_EQ(module_.eeprom_writes().size(), 1u);
}

TEST_F(ModuleOnPty, NotStoredWriteIsConfirmedAndLost) {
  module_.AddFault(MakeFault(Fault::Kind::kNotStored, 0x74, 1));
  // Answered exactly like a stored write...
  EXPECT_EQ(Exchange(HostFrame(0x74, {0x00, 0x19, 0x07}), 2 + 8),
            AckAndResponse(Bytes{0x74, 0x00}));
  // ...but nothing of it is in the EEPROM; the next write is stored as usual.
  EXPECT_EQ(module_.Eeprom(0x19, 1), (Bytes{0xFF}));
  EXPECT_TRUE(module_.eeprom_writes().empty());
  Exchange(HostFrame(0x74, {0x00, 0x19, 0x08}), 2 + 8);
  EXPECT_EQ(module_.Eeprom(0x19, 1), (Bytes{0x08}));
}

TEST_F(ModuleOnPty, FaultOutputIsLogged) {
  module_.AddFault(MakeFault(Fault::Kind::kShortFrame));
  Exchange(HostFrame(0x73, kReadMac), 6);
  const auto log = module_.wire_log();
  ASSERT_EQ(log.size(), 3u);
  EXPECT_EQ(log[1].kind, Kind::kAck);
  EXPECT_EQ(log[2].dir, Dir::kModuleToHost);
  EXPECT_EQ(log[2].kind, Kind::kRaw);
  EXPECT_EQ(log[2].raw, (Bytes{0x3C, 0x66, 0x3C, 0x5A}));
}

TEST_F(ModuleOnPty, HangUpClosesTheLineUntilTheNextReset) {
  module_.AddFault(MakeFault(Fault::Kind::kHangUp, 0x74, 1));
  EXPECT_TRUE(Exchange(HostFrame(0x74, {0x00, 0x19, 0x07}), 0).empty());
  EXPECT_TRUE(module_.eeprom_writes().empty());  // the command was not carried out
  uint8_t byte = 0;
  EXPECT_EQ(read(host_, &byte, 1), 0) << "the program's end of the line is hung up";
  EXPECT_EQ(write(host_, &byte, 1), -1);
  EXPECT_EQ(errno, EIO);

  impl_.ResetPort();  // the next run gets a fresh line, and the module answers on it
  close(host_);
  host_ = open(impl_.slave_path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(host_, 0);
  SetHost([](termios& t) { cfmakeraw(&t); });
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 17).size(), 17u);
}

// ---- Power -------------------------------------------------------------------------------------

TEST_F(ModuleOnPty, UnpoweredModuleLogsButNeverAnswers) {
  EXPECT_TRUE(module_.powered());
  impl_.SetPowered(false);
  EXPECT_FALSE(module_.powered());
  EXPECT_TRUE(Exchange(HostFrame(0x73, kReadMac), 0).empty());
  module_.Chatter(4, 1, 0ms);
  EXPECT_TRUE(Collect(0).empty());
  EXPECT_EQ(module_.host_frames().size(), 1u);
  EXPECT_EQ(module_.wire_log().size(), 1u);

  impl_.SetPowered(true);
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 17).size(), 17u);
}

TEST_F(ModuleOnPty, PowerOffCutsAReplyShort) {
  Fault fault = MakeFault(Fault::Kind::kByteByByte);
  fault.gap = 20ms;
  module_.AddFault(fault);
  Send(HostFrame(0x73, kReadMac));
  EXPECT_EQ(Flatten(Serve(1, kReplyLimit)), (Bytes{0x3C}));
  impl_.SetPowered(false);
  EXPECT_TRUE(Flatten(Serve(kEverything, 50ms)).empty());
}

// ---- Chatter and a full line -------------------------------------------------------------------

TEST_F(ModuleOnPty, ChatterComesInPieces) {
  module_.Chatter(10, 3, 10ms);
  const auto reads = Serve(10, kReplyLimit);
  EXPECT_EQ(Flatten(reads), (Bytes{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
  EXPECT_EQ(reads.size(), 4u);
  const auto log = module_.wire_log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].kind, Kind::kRaw);
  EXPECT_EQ(log[0].raw.size(), 10u);
}

TEST_F(ModuleOnPty, FullLineKeepsTheRestQueued) {
  // Far more than a pty holds: the module must keep what the line refused, in order.
  constexpr size_t kLots = 200000;
  module_.Chatter(kLots, 0, 0ms);
  impl_.OnTick(Clock::now());
  ASSERT_TRUE(impl_.NextDeadline().has_value());  // some of it is still waiting
  const Bytes got = Flatten(Serve(kLots, 5000ms));
  EXPECT_EQ(got, reply::ChatterBytes(kLots));
  EXPECT_FALSE(impl_.NextDeadline().has_value());
}

// ---- Port settings -----------------------------------------------------------------------------

TEST_F(ModuleOnPty, RawAt115200IsSeen) {
  impl_.OnTick(Clock::now());
  const PortSettings now = module_.last_settings();
  EXPECT_TRUE(now.raw);
  EXPECT_EQ(now.ispeed, 115200u);
  EXPECT_EQ(now.ospeed, 115200u);
  EXPECT_FALSE(now.two_stop_bits);
  EXPECT_FALSE(now.parity);
  EXPECT_TRUE(now.Proper115200());
  // The cooked settings of the new line came first.
  const auto seen = module_.settings_seen();
  ASSERT_GE(seen.size(), 2u);
  EXPECT_FALSE(seen.front().raw);
}

TEST_F(ModuleOnPty, EachCookedFlagIsNoticed) {
  struct Flag {
    tcflag_t termios::*word;
    tcflag_t bit;
  };
  const Flag flags[] = {{&termios::c_lflag, ICANON}, {&termios::c_lflag, ECHO},
                        {&termios::c_lflag, ECHONL}, {&termios::c_lflag, ISIG},
                        {&termios::c_lflag, IEXTEN}, {&termios::c_oflag, OPOST},
                        {&termios::c_iflag, ICRNL},  {&termios::c_iflag, INLCR},
                        {&termios::c_iflag, IGNCR},  {&termios::c_iflag, IXON},
                        {&termios::c_iflag, ISTRIP}, {&termios::c_iflag, BRKINT},
                        {&termios::c_iflag, PARMRK}};
  for (const Flag& flag : flags) {
    SetHost([&](termios& t) { t.*flag.word |= flag.bit; });
    impl_.OnTick(Clock::now());
    EXPECT_FALSE(module_.last_settings().raw) << "bit " << flag.bit;
    SetHost([&](termios& t) { t.*flag.word &= ~flag.bit; });
    impl_.OnTick(Clock::now());
    EXPECT_TRUE(module_.last_settings().raw) << "bit " << flag.bit;
  }
}

TEST_F(ModuleOnPty, TwoStopBitsAndFlowControlAreSeen) {
  SetHost([](termios& t) { t.c_cflag |= CSTOPB; });
  impl_.OnTick(Clock::now());
  EXPECT_TRUE(module_.last_settings().two_stop_bits);
  SetHost([](termios& t) { t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSTOPB)) | CRTSCTS; });
  impl_.OnTick(Clock::now());
  EXPECT_FALSE(module_.last_settings().two_stop_bits);
  EXPECT_TRUE(module_.last_settings().rtscts);
  EXPECT_FALSE(module_.last_settings().Proper115200());

  bool two_stop_bits_seen = false;
  for (const PortSettings& seen : module_.settings_seen()) {
    two_stop_bits_seen = two_stop_bits_seen || seen.two_stop_bits;
  }
  EXPECT_TRUE(two_stop_bits_seen);
}

TEST_F(ModuleOnPty, SpeedIsReadAsBaud) {
  SetHost([](termios& t) {
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
  });
  impl_.OnTick(Clock::now());
  EXPECT_EQ(module_.last_settings().ispeed, 9600u);
  EXPECT_EQ(module_.last_settings().ospeed, 9600u);
  EXPECT_FALSE(module_.last_settings().Proper115200());
}

TEST_F(ModuleOnPty, SettingsSeenAreDistinct) {
  impl_.OnTick(Clock::now());
  const size_t before = module_.settings_seen().size();
  for (int i = 0; i < 3; ++i) impl_.OnTick(Clock::now());
  EXPECT_EQ(module_.settings_seen().size(), before);
  SetHost([](termios& t) { t.c_cflag |= CSTOPB; });
  SetHost([](termios& t) { t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB); });
  SetHost([](termios& t) { t.c_cflag |= CSTOPB; });
  for (int i = 0; i < 3; ++i) impl_.OnTick(Clock::now());
  EXPECT_EQ(module_.settings_seen().size(), before + 1);
}

TEST_F(ModuleOnPty, HostFrameCarriesTheSettingsOfItsMoment) {
  SetHost([](termios& t) { t.c_cflag |= CSTOPB; });
  // No tick in between: the frame samples the settings itself.
  Send(HostFrame(0x73, kReadMac));
  impl_.OnReadable();
  const auto frames = module_.host_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_TRUE(frames[0].settings.two_stop_bits);
}

TEST(ModuleSpeeds, BaudTable) {
  EXPECT_EQ(BaudOf(B0), 0u);
  EXPECT_EQ(BaudOf(B9600), 9600u);
  EXPECT_EQ(BaudOf(B38400), 38400u);
  EXPECT_EQ(BaudOf(B115200), 115200u);
  EXPECT_EQ(BaudOf(B921600), 921600u);
}

// ---- ResetPort ---------------------------------------------------------------------------------

TEST_F(ModuleOnPty, ResetPortBringsCookedSettingsBack) {
  SetHost([](termios& t) { t.c_cflag |= CSTOPB; });
  impl_.ResetPort();
  const PortSettings now = module_.last_settings();
  EXPECT_FALSE(now.raw);
  EXPECT_FALSE(now.two_stop_bits);
  EXPECT_EQ(now.ospeed, module_.settings_seen().front().ospeed);
  termios host{};
  ASSERT_EQ(tcgetattr(host_, &host), 0);
  EXPECT_NE(host.c_lflag & ECHO, 0u);
  EXPECT_NE(host.c_lflag & ICANON, 0u);
}

TEST_F(ModuleOnPty, ResetPortDropsQueuedAndUnreadBytes) {
  Fault fault = MakeFault(Fault::Kind::kByteByByte);
  fault.gap = 10ms;
  module_.AddFault(fault);
  Send(HostFrame(0x73, kReadMac));
  ASSERT_EQ(Serve(1, kReplyLimit).size(), 1u);  // the rest is queued
  module_.Chatter(5, 0, 0ms);
  impl_.OnTick(Clock::now() + 1h);  // everything due lands in the slave's input
  impl_.ResetPort();
  EXPECT_FALSE(impl_.NextDeadline().has_value());
  // A program opening the line now finds it empty.
  SetHost([](termios& t) { cfmakeraw(&t); });
  EXPECT_TRUE(Collect(0).empty());
}

TEST_F(ModuleOnPty, ResetPortForgetsAPartialFrame) {
  Send({0x3C, 0x66, 0x73, 0x00});
  impl_.OnReadable();
  Send({0x00, 0x06});  // not read by the module before the reset
  std::this_thread::sleep_for(2ms);  // let the pty carry it over to the master
  impl_.ResetPort();
  SetHost([](termios& t) { cfmakeraw(&t); });
  // The rest of the old frame is gone; a new frame is understood from its first byte.
  EXPECT_EQ(Exchange(HostFrame(0x73, kReadMac), 17).size(), 17u);
  const auto log = module_.wire_log();
  ASSERT_GE(log.size(), 2u);
  EXPECT_EQ(log[0].kind, Kind::kGarbage);
  EXPECT_EQ(log[0].raw, (Bytes{0x3C, 0x66, 0x73, 0x00}));
  EXPECT_EQ(log[1].kind, Kind::kFrame);
  EXPECT_TRUE(log[1].crc_ok);
}

// ---- With a loop thread, as the board runs it -----------------------------------------------

// The board's event loop in small: poll the master, run the hooks, sleep until the next
// deadline (bounded, so Chatter from another thread is picked up).
class LoopThread {
 public:
  explicit LoopThread(Module::Impl& impl) : impl_(impl), thread_([this] { Run(); }) {}
  ~LoopThread() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    while (!stop_) {
      int timeout_ms = 2;
      if (auto next = impl_.NextDeadline()) {
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(*next - Clock::now());
        timeout_ms = static_cast<int>(std::clamp<long long>(wait.count(), 0, timeout_ms));
      }
      pollfd line{impl_.master_fd(), POLLIN, 0};
      if (poll(&line, 1, timeout_ms) > 0 && (line.revents & POLLIN)) impl_.OnReadable();
      impl_.OnTick(Clock::now());
    }
  }
  Module::Impl& impl_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

TEST_F(ModuleOnPty, ServesFromALoopThreadWhileTheTestReads) {
  LoopThread loop(impl_);
  module_.SetEeprom(0, kMac);
  const Bytes expected = AckAndResponse(MacReadBody(kMac));
  for (int round = 0; round < 20; ++round) {
    Send(HostFrame(0x73, kReadMac));
    Bytes got;
    const auto end = Clock::now() + kReplyLimit;
    while (got.size() < expected.size() && Clock::now() < end) {
      (void)module_.wire_log();  // the test thread reads state while the loop writes it
      pollfd line{host_, POLLIN, 0};
      if (poll(&line, 1, 10) <= 0) continue;
      uint8_t buffer[64];
      const ssize_t n = read(host_, buffer, sizeof buffer);
      if (n > 0) got.insert(got.end(), buffer, buffer + n);
    }
    ASSERT_EQ(got, expected) << "round " << round;
    Send(kHostAck);
  }
  EXPECT_EQ(module_.host_frames().size(), 20u);
}

}  // namespace
}  // namespace testbed
