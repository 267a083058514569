// Flash programming against the simulated module, through a small driver: every image size
// that moves the bank and block boundaries, the window of unconfirmed blocks, the bank CRC,
// and each way a step can fail.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "board_test.h"
#include "flash_support.h"
#include "module_flash.h"
#include "module_framing.h"

namespace e2e {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testbed::BurstFault;
using testbed::Fault;
using namespace std::chrono_literals;

const std::string kFlashDriver = std::string(BM77_TEST_BIN_DIR) + "/flashdrv";

class FlashProgramming : public BoardTest {
 protected:
  testbed::RunResult Program(const Bytes& image, const testbed::RunOptions& options = {}) {
    return Run(kFlashDriver, {"mode", "2", "update", WriteImage(board_, image)}, options);
  }
};

// ---- Image sizes -------------------------------------------------------------------------------

struct SizeCase {
  const char* name;
  size_t size;
  std::vector<uint32_t> counts;  // bytes of each burst
  Lines tail;                    // after the progress lines
};

class ImageSizes : public FlashProgramming, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(ImageSizes, ProgramBankByBank) {
  const SizeCase& c = GetParam();
  const Bytes image = ImageBytes(c.size);
  const auto r = Program(image);
  EXPECT_EQ(r.OutLines(), Joined(ProgrammingLines(c.counts), c.tail));

  // Identify, erase, bank 0, and one more bank switch for every further burst.
  std::vector<int> commands{kFlashInit, kFlashErase, kSwitchBank};
  for (size_t i = 1; i < c.counts.size(); ++i) commands.push_back(kSwitchBank);
  EXPECT_EQ(FrameCommands(module()), commands);

  const std::vector<Burst> bursts = Bursts(module().wire_log());
  ASSERT_EQ(bursts.size(), c.counts.size());
  for (size_t b = 0; b < bursts.size(); ++b) {
    const Burst& burst = bursts[b];
    EXPECT_EQ(burst.count, c.counts[b]) << "burst " << b;
    // Full blocks, and a short one only where the image ends.
    const size_t full = c.counts[b] / 256, rest = c.counts[b] % 256;
    std::vector<size_t> blocks(full, 256);
    if (rest != 0) blocks.push_back(rest);
    EXPECT_EQ(burst.blocks, blocks) << "burst " << b;
    EXPECT_EQ(burst.resumes, static_cast<int>(full)) << "burst " << b;
    // The bank end carries the CRC of the bank's bytes; the module checked it.
    const auto from = image.begin() + static_cast<long>(b * kBank);
    const uint16_t crc = testbed::framing::BodyCrc(Bytes(from, from + c.counts[b]));
    EXPECT_EQ(burst.bank_end, (Bytes{static_cast<uint8_t>(crc >> 8), static_cast<uint8_t>(crc),
                                     0x3C, 0x5A}));
    EXPECT_EQ(burst.finish, 0x33) << "burst " << b;
  }
  const size_t programmed = std::min(c.size, kFlashSize);
  ExpectFlashHolds(module(), Bytes(image.begin(), image.begin() + static_cast<long>(programmed)));
}

std::vector<uint32_t> FullBanks(int n) {
  return std::vector<uint32_t>(static_cast<size_t>(n), 0x10000);
}

INSTANTIATE_TEST_SUITE_P(
    Flash, ImageSizes,
    ::testing::Values(
        SizeCase{"OneShortBlock", 100, {0x64}, {"OK", "update=0"}},
        SizeCase{"FullAndShortBlock", 300, {0x12C}, {"OK", "update=0"}},
        SizeCase{"OneBank", 65536, {0x10000}, {"OK", "update=0"}},
        SizeCase{"OneBankAndOneByte", 65537, {0x10000, 0x1}, {"OK", "update=0"}},
        SizeCase{"EveryBank", 524288, FullBanks(8), {"OK", "update=0"}},
        // The ninth bank is refused after the eighth has been written.
        SizeCase{"OneByteMoreThanTheFlash", 524289, FullBanks(8),
                 {"Invalide Bank ID", "update=-1"}}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(FlashProgramming, BankCrcOfAbc) {
  const auto r = Program(Bytes{'a', 'b', 'c'});
  EXPECT_THAT(r.OutLines(), ::testing::Contains("update=0"));
  const std::vector<Burst> bursts = Bursts(module().wire_log());
  ASSERT_EQ(bursts.size(), 1u);
  EXPECT_EQ(bursts[0].bank_end, Hex("1E E4 3C 5A"));
}

TEST_F(FlashProgramming, BlocksArePausedApart) {
  const int kBlocks = 32;
  Program(ImageBytes(kBlocks * 256));
  const std::vector<Burst> bursts = Bursts(module().wire_log());
  ASSERT_EQ(bursts.size(), 1u);
  ASSERT_EQ(bursts[0].data.size(), static_cast<size_t>(kBlocks));
  const auto span = bursts[0].data.back().at - bursts[0].data.front().at;
  // 2200 us after every block but the last: 68 ms. A block is stamped when the module's loop
  // reads it, so on a loaded machine the first may be stamped late; 20 ms are left for that
  // (blocks sent without pauses span a few ms).
  EXPECT_GE(span, (kBlocks - 1) * 2200us - 20ms);
}

TEST_F(FlashProgramming, AtMostThreeFullBlocksGoUnconfirmed) {
  module().HoldResumes(100ms);
  const Bytes image = ImageBytes(12 * 256);
  const auto r = Program(image);
  EXPECT_THAT(r.OutLines(), ::testing::Contains("update=0"));
  // Held back, the replies show the window: the host sent a fourth block on three unconfirmed
  // ones, and never a fifth.
  EXPECT_EQ(module().max_unconfirmed_blocks(), 3u);
  ExpectFlashHolds(module(), image);
}

TEST_F(FlashProgramming, BlocksTakenInPartsAreCompleted) {
  testbed::RunOptions o;
  o.env["BM77SIM_PORT_WRITE_MAX"] = "100";
  o.env["BM77SIM_PORT_WRITE_EAGAIN"] = "1";
  const Bytes image = ImageBytes(1000);
  const auto r = Program(image, o);
  EXPECT_THAT(r.OutLines(), ::testing::Contains("update=0"));
  ExpectFlashHolds(module(), image);
}

// ---- Failures ----------------------------------------------------------------------------------

struct FailCase {
  const char* name;
  size_t size;
  std::vector<Fault> faults;
  std::vector<BurstFault> burst_faults;
  std::map<std::string, std::string> env;
  Lines lines;
};

Fault Refuse(uint8_t command, int occurrence = 0) {
  Fault f;
  f.kind = Fault::Kind::kAckStatus;
  f.command = command;
  f.occurrence = occurrence;
  f.status = 0x55;
  return f;
}

Fault NoHeader(uint8_t command) {
  Fault f;
  f.kind = Fault::Kind::kNoHeader;
  f.command = command;
  return f;
}

BurstFault BadBurstReply(BurstFault::Kind kind, int block) {
  BurstFault f;
  f.kind = kind;
  f.block = block;
  f.bytes = {0x3C, 0x55};
  return f;
}

BurstFault SilentFrom(int block) {
  BurstFault f;
  f.kind = BurstFault::Kind::kSilence;
  f.block = block;
  return f;
}

const Lines kUntilErase{"Parse Bin File", "Initialize Flash ...", "FLASH ID: [0xbf41]",
                        "Erasing Flash ... "};

class FlashFailures : public FlashProgramming, public ::testing::WithParamInterface<FailCase> {};

TEST_P(FlashFailures, StopTheUpdateWithTheirLines) {
  const FailCase& c = GetParam();
  for (const Fault& f : c.faults) module().AddFault(f);
  for (const BurstFault& f : c.burst_faults) module().AddBurstFault(f);
  testbed::RunOptions o;
  o.env = c.env;
  const auto r = Program(ImageBytes(c.size), o);
  EXPECT_EQ(r.OutLines(), c.lines);
  EXPECT_LT(r.wall_seconds, 10.0);  // at most one wait runs out (3 s); the rest is load's room
}

INSTANTIATE_TEST_SUITE_P(
    Flash, FlashFailures,
    ::testing::Values(
        FailCase{"InitRefused", 100, {Refuse(kFlashInit)}, {}, {},
                 {"Parse Bin File", "Initialize Flash ...", "READ Flash ID Failed",
                  "Flash Initialize Error", "update=-1"}},
        FailCase{"InitWithoutHeader", 100, {NoHeader(kFlashInit)}, {}, {},
                 {"Parse Bin File", "Initialize Flash ...", "Error Response Packet Header",
                  "Response Error!", "Flash Initialize Error", "update=-1"}},
        FailCase{"InitNotSent", 100, {}, {}, {{"BM77SIM_PORT_WRITE_FAIL", "1"}},
                 {"Parse Bin File", "Initialize Flash ...", "Send Command Failed!",
                  "Flash ID Get Failed", "Flash Initialize Error", "update=-1"}},
        FailCase{"EraseRefused", 100, {Refuse(kFlashErase)}, {}, {},
                 Joined(kUntilErase, {"READ Erase Failed", "Flash Erase Failed", "update=-1"})},
        FailCase{"EraseWithoutHeader", 100, {NoHeader(kFlashErase)}, {}, {},
                 Joined(kUntilErase, {"Error Response Packet Header", "Response Error!",
                                      "Flash Erase Failed", "update=-1"})},
        FailCase{"EraseNotSent", 100, {}, {}, {{"BM77SIM_PORT_WRITE_FAIL", "3"}},
                 Joined(kUntilErase, {"Send Command Failed!", "Flash Erase Failed", "update=-1"})},
        FailCase{"BankRefused", 100, {Refuse(kSwitchBank)}, {}, {},
                 Joined(kUntilErase, {"Switch BankID Failed", "Flash Switch Bank Failed",
                                      "update=-1"})},
        FailCase{"BankWithoutHeader", 100, {NoHeader(kSwitchBank)}, {}, {},
                 Joined(kUntilErase, {"Error Response Packet Header", "Response Error!",
                                      "Flash Switch Bank Failed", "update=-1"})},
        FailCase{"SecondBankRefused", 65537, {Refuse(kSwitchBank, 2)}, {}, {},
                 Joined(ProgrammingLines({0x10000}), {"Switch BankID Failed", "update=-1"})},
        FailCase{"BurstStartNotSent", 100, {}, {}, {{"BM77SIM_PORT_WRITE_FAIL", "7"}},
                 Joined(ProgrammingLines({0x64}), {"Send Command Failed!",
                                                   "Flash Burst Write Bank Start Failed",
                                                   "update=-1"})},
        FailCase{"BlockNotSent", 100, {}, {}, {{"BM77SIM_PORT_WRITE_FAIL", "8"}},
                 Joined(ProgrammingLines({0x64}), {"Send Burst Data Failed!",
                                                   "Flash Burst Write 1 Block Failed",
                                                   "update=-1"})},
        FailCase{"WrongResumeInTheWindow", 2048, {},
                 {BadBurstReply(BurstFault::Kind::kResumeReply, 2)}, {},
                 Joined(ProgrammingLines({0x800}),
                        {"Recieve Resume Failed -- 0x3c55", "update=-1"})},
        FailCase{"WrongResumeAtTheBankEnd", 300, {},
                 {BadBurstReply(BurstFault::Kind::kResumeReply, 1)}, {},
                 Joined(ProgrammingLines({0x12C}),
                        {"Recieve Resume Failed -- 0x3c55", "update=-1"})},
        FailCase{"WrongFinish", 100, {}, {BadBurstReply(BurstFault::Kind::kFinishReply, 0)}, {},
                 Joined(ProgrammingLines({0x64}),
                        {"Recieve Finish Failed -- 0x3c55", "update=-1"})},
        FailCase{"SilenceInTheMiddleOfABank", 4096, {}, {SilentFrom(6)}, {},
                 Joined(ProgrammingLines({0x1000}), {"BM77 Reply Timeout", "update=-1"})}),
    [](const auto& tc) { return std::string(tc.param.name); });

TEST_F(FlashProgramming, WrongReplyAtTheBankEndStillCollectsTheRest) {
  // Blocks 2 to 4 are still owed their resume replies at the bank end, and block 2's is wrong:
  // the two after it and the finish reply are read all the same, so the line is clear for the
  // next command.
  module().AddBurstFault(BadBurstReply(BurstFault::Kind::kResumeReply, 2));
  const std::string path = WriteImage(board_, ImageBytes(4 * 256 + 1));
  const auto r = Run(kFlashDriver, {"mode", "2", "update", path, "init"});
  EXPECT_EQ(r.OutLines(), Joined(ProgrammingLines({0x401}),
                                 {"Recieve Resume Failed -- 0x3c55", "update=-1",
                                  "Initialize Flash ...", "FLASH ID: [0xbf41]", "init=0"}));
  // No wait ran out: one that did would take the silence limit, 3 s, alone; under it, the
  // rest of the run (started under the emulator, on a loaded machine) has all the room.
  EXPECT_LT(r.wall_seconds, 2.9);
}

TEST_F(FlashProgramming, NothingAfterAFailedCommand) {
  module().AddFault(Refuse(kFlashErase));
  Program(ImageBytes(100));
  EXPECT_EQ(FrameCommands(module()), (std::vector<int>{kFlashInit, kFlashErase}));
  EXPECT_THAT(Bursts(module().wire_log()), IsEmpty());
  EXPECT_EQ(FirstDifference(module().Flash(0, kFlashSize), testbed::flash::OldFirmware(kFlashSize)),
            -1);
}

TEST_F(FlashProgramming, ModuleOutsideTheFirmwareUpdateModeRefuses) {
  const auto r = Run(kFlashDriver, {"update", WriteImage(board_, ImageBytes(100))});
  EXPECT_THAT(r.OutLines(), ElementsAre("Parse Bin File", "Initialize Flash ...",
                                        "READ Flash ID Failed", "Flash Initialize Error",
                                        "update=-1"));
}

TEST_F(FlashProgramming, NinthBankIsRefusedBeforeAnythingIsSent) {
  const auto r = Run(kFlashDriver, {"mode", "2", "bank", "8", "bank", "-1", "bank", "7"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Invalide Bank ID", "bank=-1", "Invalide Bank ID",
                                        "bank=-1", "Switch Bank ID : 7", "bank=0"));
  const auto frames = module().host_frames();
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].command, kSwitchBank);
  EXPECT_EQ(frames[0].payload, Bytes{0x07});
  EXPECT_TRUE(frames[0].crc_ok);
}

TEST_F(FlashProgramming, WriteCommand) {
  module().AddFault(Refuse(0x45, 2));
  const auto r = Run(kFlashDriver, {"mode", "2", "write", "3C01", "write", "02"});
  EXPECT_THAT(r.OutLines(), ElementsAre("write=0", "Write Flash Failed", "write=-1"));
  const auto frames = module().host_frames();
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0].command, 0x45);
  EXPECT_EQ(frames[0].payload, Hex("3C01"));
  EXPECT_TRUE(frames[0].crc_ok);
}

TEST_F(FlashProgramming, FlashIdIsPrintedPaddedAsItCame) {
  module().SetHandler(kFlashInit, [](testbed::Module&, const Bytes&) {
    // A longer response than the ID needs: only its first bytes matter.
    return testbed::CommandReply{0x33, true, Hex("50 05 0E 01 02 03 04 05 06 07 08 09")};
  });
  const auto r = Run(kFlashDriver, {"init"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Initialize Flash ...", "FLASH ID: [0x 50e]", "init=0"));
}

TEST_F(FlashProgramming, FlashIdResponseTooShortCarriesNoId) {
  module().SetHandler(kFlashInit, [](testbed::Module&, const Bytes&) {
    return testbed::CommandReply{0x33, true, Hex("50 05")};
  });
  const auto r = Run(kFlashDriver, {"init"});
  EXPECT_THAT(r.OutLines(), ElementsAre("Initialize Flash ...", "Response Error!", "init=7"));
}

TEST_F(FlashProgramming, EmptyImageIsRefusedBeforeAnythingIsSent) {
  const auto r = Program(Bytes{});
  EXPECT_THAT(r.OutLines(),
              ElementsAre("Parse Bin File", "Invalid Bin File Size: 0 bytes", "update=-1"));
  EXPECT_THAT(module().wire_log(), IsEmpty());
}

TEST_F(FlashProgramming, ImageThatEndsEarlyFailsTheUpdate) {
  // Replies held back keep the host at its window while the image is cut short under it.
  module().HoldResumes(400ms);
  const std::string path = WriteImage(board_, ImageBytes(8 * 256));
  std::atomic<bool> done{false};
  std::thread cutter([&] {
    while (!done) {
      if (!Bursts(module().wire_log()).empty()) {
        truncate(path.c_str(), 0);
        return;
      }
      std::this_thread::sleep_for(1ms);
    }
  });
  const auto r = Run(kFlashDriver, {"mode", "2", "update", path});
  done = true;
  cutter.join();
  EXPECT_EQ(r.OutLines(), Joined(ProgrammingLines({0x800}), {"Read FW File Failed", "update=-1"}));
}

}  // namespace
}  // namespace e2e
