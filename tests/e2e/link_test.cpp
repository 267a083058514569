// The link library against the simulated module: one whole exchange on the wire, then each
// way the module or the port can misbehave.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>

#include "board_test.h"
#include "sim_protocol.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testbed::Fault;
using testbed::WireEvent;

const std::string kLinkDriver = std::string(BM77_TEST_BIN_DIR) + "/linkdrv";
constexpr uint8_t kRead = 0x73;

class Link : public BoardTest {
 protected:
  void SetUp() override { module().SetEeprom(0x0000, Hex("665544332211")); }

  testbed::RunResult Drive(const std::vector<std::string>& steps,
                           const testbed::RunOptions& options = {}) {
    return Run(kLinkDriver, steps, options);
  }

  // Kinds of the wire events in order, e.g. "frame>", "<ack", "<frame", "ack>".
  std::vector<std::string> Conversation() {
    std::vector<std::string> out;
    for (const WireEvent& e : module().wire_log()) {
      const bool host = e.dir == WireEvent::Dir::kHostToModule;
      std::string kind = e.kind == WireEvent::Kind::kFrame ? "frame"
                         : e.kind == WireEvent::Kind::kAck ? "ack"
                         : e.kind == WireEvent::Kind::kRaw ? "raw"
                                                            : "garbage";
      out.push_back(host ? kind + ">" : "<" + kind);
    }
    return out;
  }
};

TEST_F(Link, ReadExchangeOnTheWire) {
  const auto r = Drive({"read", "0000", "6"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_THAT(r.OutLines(), ElementsAre("read=0 data=665544332211"));
  EXPECT_THAT(Conversation(), ElementsAre("frame>", "<ack", "<frame", "ack>"));

  const std::vector<WireEvent> log = module().wire_log();
  EXPECT_EQ(log[0].raw, Hex("3C 66 73 00 00 06 5D 0C 3C 5A"));
  EXPECT_TRUE(log[0].crc_ok);
  EXPECT_EQ(log[3].status, 0x33);
  EXPECT_TRUE(log[0].settings.Proper115200());
  EXPECT_FALSE(log[0].settings.two_stop_bits);
}

TEST_F(Link, WriteDoublesMarkBytes) {
  const auto r = Drive({"write", "0019", "3C00"});
  EXPECT_THAT(r.OutLines(), ElementsAre("write=0"));
  const auto frames = module().host_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].raw, Hex("3C 66 74 00 19 3C 3C 00 BB D0 3C 5A"));
  EXPECT_EQ(module().Eeprom(0x19, 2), Hex("3C00"));
}

TEST_F(Link, AckOneByteAtATimeLeavesTheResponseOnTheLine) {
  Fault f;
  f.kind = Fault::Kind::kByteByByte;
  f.command = kRead;
  module().AddFault(f);
  const auto r = Drive({"send", "73", "000006", "ack", "resp", "hostack"});
  EXPECT_THAT(r.OutLines(), ElementsAre("send=10", "ack=51", "resp=9 body=730006665544332211"));
}

TEST_F(Link, AckJudgedOnItsSecondByteAlone) {
  Fault f;
  f.kind = Fault::Kind::kAckBytes;
  f.command = kRead;
  f.bytes = {0x00, 0x33};
  module().AddFault(f);
  // Only the acknowledgement is replaced: no response follows it.
  const auto r = Drive({"send", "73", "000006", "ack"});
  EXPECT_THAT(r.OutLines(), ElementsAre("send=10", "ack=51"));
}

TEST_F(Link, BytesThatAreNoAcknowledgementPutTheLineOutOfStep) {
  // A piece of another reply (one trickling in) where the acknowledgement should be: neither
  // an acceptance nor a mark and a status. Whatever follows could be the rest of that reply.
  for (const Bytes& piece : {Hex("6673"), Hex("333C"), Hex("3C3C")}) {
    Fault f;
    f.kind = Fault::Kind::kAckBytes;
    f.command = kRead;
    f.occurrence = 1;
    f.bytes = piece;
    module().ClearFaults();
    module().AddFault(f);
    const auto r = Drive({"lenient", "read", "0000", "6", "read", "0000", "6"});
    EXPECT_THAT(r.OutLines(), ElementsAre("Read EEPROM Failed", "read=-1", "read=-2"))
        << HexOf(piece);
  }
}

TEST_F(Link, ResponseWithoutBodyBufferCopiesNothing) {
  const auto r = Drive({"send", "73", "000002", "ack", "resp", "hostack"});
  EXPECT_THAT(r.OutLines(), ElementsAre("send=10", "ack=51", "resp=5 body=7300026655"));
}

struct FaultCase {
  const char* name;
  Fault fault;
  const char* policy;
  Lines out;
  bool host_acks;  // whether the host closed the exchange with its "<3"
};

Fault Make(Fault::Kind kind, uint8_t status = 0x33, std::vector<size_t> cuts = {}) {
  Fault f;
  f.kind = kind;
  f.command = kRead;
  f.status = status;
  f.cuts = std::move(cuts);
  return f;
}

class LinkFaults : public Link, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(LinkFaults, ReadEndsAsItShould) {
  const FaultCase& c = GetParam();
  module().AddFault(c.fault);
  const auto r = Drive({c.policy, "read", "0000", "6"});
  EXPECT_EQ(r.exit_status, 0);
  EXPECT_EQ(r.OutLines(), c.out);
  const std::vector<std::string> talk = Conversation();
  EXPECT_EQ(!talk.empty() && talk.back() == "ack>", c.host_acks);
  EXPECT_LT(r.wall_seconds, 10.0);  // at most one wait runs out (3 s); the rest is load's room
}

INSTANTIATE_TEST_SUITE_P(
    Module, LinkFaults,
    ::testing::Values(
        FaultCase{"RefusedU", Make(Fault::Kind::kAckStatus, 0x55), "lenient",
                  {"Read EEPROM Failed", "read=-1"}, false},
        FaultCase{"Refused88", Make(Fault::Kind::kAckStatus, 0x88), "strict",
                  {"Read EEPROM Failed", "read=-1"}, false},
        FaultCase{"OddStatusStrict", Make(Fault::Kind::kAckStatus, 0x00), "strict",
                  {"Read EEPROM Failed", "read=-1"}, false},
        FaultCase{"OddStatusLenient", Make(Fault::Kind::kAckStatus, 0x00), "lenient",
                  {"read=0 nodata"}, false},
        FaultCase{"NoHeader", Make(Fault::Kind::kNoHeader), "strict",
                  {"Error Response Packet Header", "Response Error!", "read=10"}, false},
        FaultCase{"ShortFrame", Make(Fault::Kind::kShortFrame), "strict",
                  {"Response Error!", "read=10"}, false},
        FaultCase{"Oversize", Make(Fault::Kind::kOversize), "strict",
                  {"Response Frame Too Long", "Response Error!", "read=10"}, false},
        FaultCase{"Silence", Make(Fault::Kind::kSilence), "lenient",
                  {"BM77 Reply Timeout", "Read EEPROM Failed", "read=-1"}, false},
        FaultCase{"SilentAfterAck", Make(Fault::Kind::kSilentAfterAck), "strict",
                  {"BM77 Reply Timeout", "Response Error!", "read=10"}, false},
        FaultCase{"ByteByByte", Make(Fault::Kind::kByteByByte), "strict",
                  {"read=0 data=665544332211"}, true},
        FaultCase{"Split", Make(Fault::Kind::kSplit, 0x33, {1, 3, 6, 11}), "strict",
                  {"read=0 data=665544332211"}, true}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(Link, LineIsClearAfterAResponseWithoutHeader) {
  Fault f = Make(Fault::Kind::kNoHeader);
  f.occurrence = 1;
  module().AddFault(f);
  const auto r = Drive({"read", "0000", "6", "read", "0000", "6"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Error Response Packet Header", "Response Error!",
                                        "read=10", "read=0 data=665544332211"));
}

TEST_F(Link, ShortBodyIsNotTakenForData) {
  // Accepting ack, then a well-formed frame whose body holds the three lead bytes and only two,
  // or five, of the six data bytes asked for.
  for (const char* reply : {"3C33 3C66 730006 6655 0000 3C5A",
                            "3C33 3C66 730006 6655443322 0000 3C5A"}) {
    Fault f;
    f.kind = Fault::Kind::kRawReply;
    f.command = kRead;
    f.bytes = Hex(reply);
    module().ClearFaults();
    module().AddFault(f);
    const auto r = Drive({"read", "0000", "6"});
    EXPECT_THAT(r.OutLines(), ElementsAre("Response Error!", "read=10")) << reply;
  }
}

// A response frame of `length` bytes in all: header, body of 0x11 bytes, CRC, trailer.
Bytes FrameOfLength(size_t length) {
  Bytes reply = Hex("3C33 3C66");
  reply.resize(length - 2, 0x11);
  reply.push_back(0x3C);
  reply.push_back(0x5A);
  return reply;
}

TEST_F(Link, ResponseFillsTheReceiveBufferExactly) {
  for (const size_t length : {256u, 257u}) {
    Fault f;
    f.kind = Fault::Kind::kRawReply;
    f.command = kRead;
    f.occurrence = 1;
    f.bytes = FrameOfLength(length + 2);  // and the two acknowledgement bytes before it
    module().ClearFaults();
    module().AddFault(f);
    const auto r = Drive({"send", "73", "000006", "ack", "resp"});
    if (length == 256) {
      EXPECT_THAT(r.OutLines(), ElementsAre("send=10", "ack=51", "resp=250 body=" +
                                                                     HexOf(Bytes(250, 0x11))));
    } else {
      EXPECT_THAT(r.OutLines(),
                  ElementsAre("send=10", "ack=51", "Response Frame Too Long", "resp=-1"));
    }
  }
}

TEST_F(Link, ReadDataHoldingTheTrailerIsReadWhole) {
  module().SetEeprom(0x0000, Hex("663C5A332211"));
  Fault f = Make(Fault::Kind::kSplit, 0x33, {2 + 2 + 3 + 3});  // a piece ends with 3C 5A
  f.gap = std::chrono::milliseconds(10);
  module().AddFault(f);
  const auto r = Drive({"read", "0000", "6"});
  EXPECT_THAT(r.OutLines(), ElementsAre("read=0 data=663C5A332211"));
}

TEST_F(Link, ReadFrameThatTrulyEndsEarlyEndsAfterAShortGap) {
  Fault f;
  f.kind = Fault::Kind::kRawReply;
  f.command = kRead;
  f.occurrence = 1;
  f.bytes = Hex("3C33 3C66 730006 66 3C5A");  // the trailer, two data bytes in, and nothing more
  module().AddFault(f);
  const auto r = Drive({"read", "0000", "6", "read", "0000", "6"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Response Error!", "read=10", "read=0 data=665544332211"));
  // Before the silence limit of 3 s, which a wait that ran out would take alone; under it, the
  // run has all the room a loaded machine needs.
  EXPECT_LT(r.wall_seconds, 2.9);
}

// ---- Identity records ----

TEST_F(Link, MacRecordIsStoredReversed) {
  const auto r = Drive({"mac-save", "112233445566", "mac-read"});
  EXPECT_THAT(r.OutLines(), ElementsAre("mac-save=0", "mac-read=0 mac=112233445566"));
  EXPECT_EQ(module().host_frames()[0].payload, Hex("0000 665544332211"));
  EXPECT_EQ(module().Eeprom(0, 6), Hex("665544332211"));
  EXPECT_EQ(module().Eeprom(6, 5), Hex("FFFFFFFFFF"));  // 0x0006..0x000A untouched
}

TEST_F(Link, DeviceNameReadsTwoBytesMoreThanItWrites) {
  module().SetEeprom(0x17, Hex("A55A"));
  const auto r = Drive({"name-save", "Tavrine-5566", "name-read"});
  EXPECT_THAT(r.OutLines(),
              ElementsAre("name-save=0", "name=" + HexOf(Hex("54617672696E652D35353636")) + "A55A"));
  EXPECT_EQ(module().host_frames()[0].payload, Hex("000B 54617672696E652D35353636"));
  EXPECT_EQ(HexOf(module().host_frames()[1].payload), "000B0E");
}

TEST_F(Link, VcomKeepsItsLow16Bits) {
  const auto r = Drive({"vcom-save", "256", "vcom-read", "vcom-save", "65537", "vcom-read",
                        "vcom-save", "65535", "vcom-read"});
  EXPECT_THAT(r.OutLines(),
              ElementsAre("SaveVcomToBM77", "Read Vcom From BM77: 1-0-256", "vcom-read=256",
                          "SaveVcomToBM77", "Read Vcom From BM77: 0-1-1", "vcom-read=1",
                          // 65535 is a value, not a failure
                          "SaveVcomToBM77", "Read Vcom From BM77: 255-255-65535", "vcom-read=65535"));
  EXPECT_EQ(module().host_frames()[0].payload, Hex("0019 0100"));
}

TEST_F(Link, FailedVcomReadGivesMinusOne) {
  Fault f;
  f.kind = Fault::Kind::kAckStatus;
  f.command = kRead;
  f.status = 0x55;
  module().AddFault(f);
  const auto r = Drive({"vcom-read"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Read EEPROM Failed", "vcom-read=-1"));
}

TEST_F(Link, FailedVcomWriteStillSaysSaved) {
  Fault f;
  f.kind = Fault::Kind::kAckStatus;
  f.command = 0x74;
  f.status = 0x55;
  module().AddFault(f);
  const auto r = Drive({"vcom-save", "256"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Write EEPROM Failed", "SaveVcomToBM77"));
}

TEST_F(Link, FailedMacReadLeavesTheCallersBytes) {
  Fault f;
  f.kind = Fault::Kind::kNoHeader;
  f.command = kRead;
  module().AddFault(f);
  const auto r = Drive({"mac-read"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Error Response Packet Header", "Response Error!",
                                        "mac-read=10 mac=000000000000"));
}

// ---- The port ----

TEST_F(Link, FrameTakenInPartsIsCompleted) {
  testbed::RunOptions o;
  o.env["BM77SIM_PORT_WRITE_MAX"] = "3";
  o.env["BM77SIM_PORT_WRITE_EAGAIN"] = "1";
  const auto r = Drive({"write", "0040", "0102030405060708", "read", "0040", "8"}, o);
  EXPECT_THAT(r.OutLines(), ElementsAre("write=0", "read=0 data=0102030405060708"));
  for (const WireEvent& e : module().host_frames()) EXPECT_TRUE(e.crc_ok);
  EXPECT_THAT(Conversation(), ElementsAre("frame>", "<ack", "<frame", "ack>", "frame>", "<ack",
                                          "<frame", "ack>"));
}

TEST_F(Link, FailingPortWriteIsReported) {
  testbed::RunOptions o;
  o.env["BM77SIM_PORT_WRITE_FAIL"] = "1";
  const auto r = Drive({"read", "0000", "6"}, o);
  EXPECT_THAT(r.OutLines(), ElementsAre("Send Command Failed!", "read=-1"));
  EXPECT_THAT(module().host_frames(), IsEmpty());
}

TEST_F(Link, SilentModuleLeavesTheLineOutOfStep) {
  Fault f;
  f.kind = Fault::Kind::kSilence;
  module().AddFault(f);
  // After the acknowledgement's wait runs out nothing more is read or sent: a late reply could
  // be taken for the response, or for the next command's answer.
  const auto r = Drive({"send", "73", "000006", "ack", "resp", "read", "0000", "6"});
  EXPECT_THAT(r.OutLines(), ElementsAre("send=10", "BM77 Reply Timeout", "ack=-1", "resp=-1",
                                        "read=-2"));
  EXPECT_EQ(module().host_frames().size(), 1u);
  // One wait of the silence limit (3 s; a poll never ends early, 0.1 s spare for the clocks),
  // and not a second: that would make 6 s, so a loaded machine has 2.5 s.
  EXPECT_GT(r.wall_seconds, 2.9);
  EXPECT_LT(r.wall_seconds, 5.5);
}

TEST_F(Link, PortThatStopsTakingAFrameFailsTheCommandInTime) {
  testbed::RunOptions o;
  o.env[simwire::kEnvPortWriteStall] = "4";  // four bytes of the frame, then nothing
  const auto r = Drive({"read", "0000", "6"}, o);
  EXPECT_THAT(r.OutLines(), ElementsAre("Send Command Failed!", "read=-1"));
  EXPECT_GT(r.wall_seconds, 2.9);  // the port's own limit of 3 s without progress
  EXPECT_LT(r.wall_seconds, 6.0);
  // Asked again at most every millisecond or so, never in a spin.
  EXPECT_LT(r.cpu_seconds, 0.3 * testbed::StartCostScale() + 0.02 * r.wall_seconds);
}

TEST_F(Link, WaitingOnASilentModuleUsesAlmostNoProcessor) {
  Fault f;
  f.kind = Fault::Kind::kSilence;
  module().AddFault(f);
  const auto r = Drive({"read", "0000", "6"});
  ASSERT_GT(r.wall_seconds, 2.9);  // it waited out the 3 s limit (0.1 s spare for the clocks)
  std::printf("waiting on a silent module: %.3f s processor time in %.3f s\n", r.cpu_seconds,
              r.wall_seconds);
  // Under 2% of a core while waiting (a spinning wait would take the whole 3 s), with room
  // for starting the process under the sanitizers or the emulator.
  EXPECT_LT(r.cpu_seconds, 0.02 * r.wall_seconds + 0.1 * testbed::StartCostScale())
      << "cpu " << r.cpu_seconds;
}

class MissingPort : public BoardTest {
 protected:
  MissingPort() : BoardTest(testbed::BoardOptions{false, {}}) {}
};

TEST_F(MissingPort, OpenFails) {
  const auto r = Run(kLinkDriver, {"read", "0000", "6"});
  EXPECT_THAT(r.OutLines(), ElementsAre("port=fail"));
}

}  // namespace
}  // namespace e2e
