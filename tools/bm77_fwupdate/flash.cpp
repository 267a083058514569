#include "flash.h"

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "bm77link.h"
#include "messages.h"
#include "progress.h"
#include "run_record.h"

using namespace bm77;
namespace fwmsg = fwupdate::msg;

namespace {

constexpr size_t kBurstStartLength = 6;  // "<f" 'S' and the 24-bit count
constexpr size_t kBankEndLength = 4;     // CRC high, CRC low, "<Z"
constexpr size_t kBurstReplyLength = 2;  // resume and finish replies
constexpr size_t kFlashIdFirst = 1;      // the ID is body bytes 1 and 2
constexpr int kFlashIdBodyMin = 3;
constexpr uint32_t kBlocksPerBank = kFlashBankSize / kFlashBlockSize;

// State of the update in progress: one per process.
int32_t bin_file_size = 0;  // bytes of the image not yet sent
int32_t bank_id = 0;        // bank being written
uint32_t packet_cnt = 0;    // blocks sent in this bank
uint32_t resume_cnt = 0;    // full blocks of this bank still owed a resume reply
uint16_t burst_crc = 0;     // CRC of this bank's bytes so far
uint32_t bank_bytes = 0;    // this bank's byte count, as its burst start announced it
uint8_t block[kFlashBlockSize];

uint8_t Byte(uint32_t value, unsigned shift) { return static_cast<uint8_t>(value >> shift & 0xFF); }

// How one flash command reports its failures.
struct FlashCommand {
  uint8_t code;
  const char* step;         // its name in the run record
  const char* send_failed;  // besides the link's own line; null: nothing more
  const char* refused;      // acknowledgement other than "<3"
  int silence_ms;           // how long the module may take to answer
};

struct FlashExchange {
  int result;       // the command's result
  int sent;         // what Send_Command returned
  int body_length;  // of the response, when result is 0
};

// One flash command under the strict policy: frame, "<3", response, the host's "<3".
FlashExchange RunFlashCommand(int port, const FlashCommand& command, const uint8_t* payload,
                              uint8_t length, uint8_t* body) {
  const int sent = Send_Command(port, command.code, length, payload);
  if (sent < 0) {
    if (sent != kHeldBack) record::NoteFailure(command.step, record::FailureKind::kSilent);
    if (command.send_failed != nullptr) puts(command.send_failed);
    return {sent, sent, -1};
  }
  const int ack = Recieve_AckWithin(port, command.silence_ms);
  if (ack != kAckAccepted) {
    record::NoteFailure(command.step, AckFailure(ack));
    puts(command.refused);
    return {-1, sent, -1};
  }
  const LineState line_before = CurrentLineState();
  const int body_length = Recieve_ResponseWithin(port, body, command.silence_ms);
  if (body_length < 0) {
    record::NoteFailure(command.step, ResponseFailure(line_before));
    puts(bm77::msg::kResponseError);
    return {sent, sent, -1};
  }
  Send_Ack(port);
  return {0, sent, body_length};
}

enum class BurstReply { kExpected, kOther, kNone };

// Collects a two-byte burst reply into rx_buffer and compares it with "<" `status`.
BurstReply CollectBurstReply(int port, uint8_t status, const char* step) {
  if (Recieve_Raw(port, kBurstReplyLength) < 0) {  // the link said why
    record::NoteFailure(step, record::FailureKind::kSilent);
    return BurstReply::kNone;
  }
  if (rx_buffer[0] == kFrameMark && rx_buffer[1] == status) return BurstReply::kExpected;
  record::NoteFailure(step, record::FailureKind::kRefused);
  return BurstReply::kOther;
}

// Raw burst bytes out; a failure the port gave is noted for the run record (a line held back
// out of step sent nothing).
int SendBurst(int port, const uint8_t* data, size_t length, const char* step) {
  const int sent = Send_Raw(port, data, length);
  if (sent < 0 && sent != kHeldBack) record::NoteFailure(step, record::FailureKind::kSilent);
  return sent;
}

// The image's CRC-32 for the run record: one pass over the file, which is then read again
// from its start to be sent. False when it could not be read whole.
bool ImageCrc32(int image, uint32_t* crc) {
  *crc = 0;
  for (;;) {
    const ssize_t n = read(image, block, sizeof block);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) return lseek(image, 0, SEEK_SET) == 0;
    *crc = record::Crc32(*crc, block, static_cast<size_t>(n));
  }
}

// The next block: kFlashBlockSize bytes, or the rest of the image. Returns the count read,
// short only when the file ended early, or -1 on a read error.
ssize_t ReadBlock(int image, size_t want) {
  size_t got = 0;
  while (got < want) {
    const ssize_t n = read(image, block + got, want - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return -1;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  return static_cast<ssize_t>(got);
}

// Closes the bank: the bank end, every resume reply still owed (all of them, even after one
// failed, so the line is clear), then the finish reply. Returns 0 when all went well.
int EndBank(int port, size_t last_block_length) {
  int ret = BM77_Flash_BurstWrite_BankEnd(port);
  // A short block earns no resume reply.
  if (last_block_length < kFlashBlockSize) --resume_cnt;
  for (; resume_cnt != 0; --resume_cnt) ret |= BM77_Flash_BurstWrite_RecieveResume(port);
  ret |= BM77_Flash_BurstWrite_RecieveFinish(port);
  return ret;
}

// Streams one bank: burst start, blocks, bank end; after a full bank the next bank is
// selected. Returns 0, or -1 after the line of the failure.
int ProgramBank(int port, int image) {
  const uint32_t count = static_cast<uint32_t>(bin_file_size) < kFlashBankSize
                             ? static_cast<uint32_t>(bin_file_size)
                             : kFlashBankSize;
  if (BM77_Flash_BurstWrite_BankStart(port, count) != 0) {
    puts(fwmsg::kBankStartFailed);
    return -1;
  }
  for (;;) {
    if (bm77::StopRequested()) {  // an ordered stop: no further block
      puts(fwmsg::kFlashInterrupted);
      return -1;
    }
    const size_t want = static_cast<uint32_t>(bin_file_size) < kFlashBlockSize
                            ? static_cast<size_t>(bin_file_size)
                            : kFlashBlockSize;
    const ssize_t Length = ReadBlock(image, want);
    // A read error, or a file that ended early: the bank would fall short of its count.
    if (Length < 0 || static_cast<size_t>(Length) != want) {
      puts(fwmsg::kReadFwFileFailed);
      return -1;
    }
    bin_file_size -= static_cast<int32_t>(Length);
    if (BM77_Flash_BurstWrite_1_Block(port, block, want) != 0) {
      puts(fwmsg::kBlockFailed);
      return -1;
    }
    ++packet_cnt;
    ++resume_cnt;
    ProgressAdvance(static_cast<long>(Length));

    if (bin_file_size == 0) return EndBank(port, want) != 0 ? -1 : 0;
    if (packet_cnt >= kBlocksPerBank) {
      int ret = EndBank(port, want);
      ++bank_id;
      packet_cnt = 0;
      ret |= Flash_SwitchSBank(port, bank_id);
      return ret != 0 ? -1 : 0;
    }
    if (resume_cnt > kMaxUnconfirmedBlocks) {
      if (BM77_Flash_BurstWrite_RecieveResume(port) != 0) return -1;
      --resume_cnt;
    }
    usleep(kBlockPauseUs);
  }
}

// Identify, erase, bank 0, then the banks one by one.
int ProgramImage(int port, int image) {
  // The size before anything is sent: an empty image would leave the flash erased for nothing.
  const off_t size = lseek(image, 0, SEEK_END);
  if (size < 0 || size > INT32_MAX || lseek(image, 0, SEEK_SET) != 0) {
    puts(fwmsg::kReadFwFileFailed);
    return -1;
  }
  if (size == 0) {
    printf(fwmsg::kBinFileSizeFormat, static_cast<long long>(size));
    return -1;
  }
  uint32_t crc = 0;
  if (ImageCrc32(image, &crc)) record::SetImage(static_cast<uint32_t>(size), crc);
  if (Flash_Init(port) != 0) {
    puts(fwmsg::kFlashInitializeError);
    return -1;
  }
  if (Flash_Erase(port) != 0) {
    puts(fwmsg::kFlashEraseFailed);
    return -1;
  }
  bin_file_size = static_cast<int32_t>(size);
  bank_id = 0;
  packet_cnt = 0;
  resume_cnt = 0;
  if (Flash_SwitchSBank(port, bank_id) != 0) {
    puts(fwmsg::kFlashSwitchBankFailed);
    return -1;
  }
  ProgressStart(static_cast<long>(size));
  do {
    if (ProgramBank(port, image) != 0) return -1;
  } while (bin_file_size != 0);
  return 0;
}

}  // namespace

namespace bm77 {

bool ImageSizeFits(long long size) { return size > 0 && size <= kFlashCapacity; }

}  // namespace bm77

int Flash_Init(int port) {
  puts(fwmsg::kInitializeFlash);
  uint8_t body[kResponseBodyMax];
  const FlashExchange e = RunFlashCommand(
      port, {kCmdFlashInit, "flash-id", fwmsg::kFlashIdGetFailed, fwmsg::kReadFlashIdFailed, kReplySilenceMs},
      nullptr, 0, body);
  if (e.result != 0) return e.result;
  // A response too short to hold the ID carries none.
  if (e.body_length < kFlashIdBodyMin) {
    puts(bm77::msg::kResponseError);
    return e.sent;
  }
  uint8_t flash_id[kFlashIdResponseMax];
  const size_t kept = static_cast<size_t>(e.body_length) < sizeof flash_id
                          ? static_cast<size_t>(e.body_length)
                          : sizeof flash_id;
  memcpy(flash_id, body, kept);
  record::SetFlashId(flash_id, kept);
  printf(fwmsg::kFlashIdFormat, flash_id[kFlashIdFirst], flash_id[kFlashIdFirst + 1]);
  return 0;
}

int Flash_Erase(int port) {
  puts(fwmsg::kErasingFlash);
  uint8_t body[kResponseBodyMax];
  return RunFlashCommand(port,
                         {kCmdFlashErase, "flash-erase", nullptr, fwmsg::kReadEraseFailed, kEraseReplySilenceMs},
                         nullptr, 0, body)
      .result;
}

int Flash_SwitchSBank(int port, int bank) {
  if (bank < 0 || bank >= kFlashBanks) {
    puts(fwmsg::kInvalidBankId);
    return -1;
  }
  const uint8_t payload[1] = {static_cast<uint8_t>(bank)};
  uint8_t body[kResponseBodyMax];
  const int result =
      RunFlashCommand(port,
                      {kCmdFlashSwitchBank, "flash-bank", nullptr, fwmsg::kSwitchBankIdFailed, kReplySilenceMs},
                      payload, sizeof payload, body)
          .result;
  if (result == 0) printf(fwmsg::kSwitchBankIdFormat, bank);
  return result;
}

int BM77_Flash_Write(int port, const uint8_t* buffer, int length) {
  uint8_t body[kResponseBodyMax];
  return RunFlashCommand(port, {kCmdFlashWrite, "flash-write", nullptr, fwmsg::kWriteFlashFailed, kReplySilenceMs},
                         buffer, static_cast<uint8_t>(length & 0xFF), body)
      .result;
}

int BM77_Flash_BurstWrite_BankStart(int port, uint32_t count) {
  printf(fwmsg::kBurstStartFormat, count);
  burst_crc = 0;
  bank_bytes = count;
  const uint8_t start[kBurstStartLength] = {kFrameMark,      kFrameStart,    kBurstStartCommand,
                                            Byte(count, 16), Byte(count, 8), Byte(count, 0)};
  memcpy(tx_buffer, start, sizeof start);
  if (SendBurst(port, tx_buffer, sizeof start, "burst-start") < 0) {
    puts(bm77::msg::kSendCommandFailed);
    return -1;
  }
  return 0;
}

int BM77_Flash_BurstWrite_1_Block(int port, const uint8_t* buffer, size_t length) {
  if (SendBurst(port, buffer, length, "burst-block") < 0) {
    puts(fwmsg::kSendBurstDataFailed);
    return -1;
  }
  burst_crc = _CalculateCRC16(burst_crc, buffer, length);
  return 0;
}

int BM77_Flash_BurstWrite_RecieveResume(int port) {
  const BurstReply reply = CollectBurstReply(port, kResumeStatus, "burst-resume");
  if (reply == BurstReply::kOther) {
    printf(fwmsg::kRecieveResumeFailedFormat, rx_buffer[0], rx_buffer[1]);
  }
  return reply == BurstReply::kExpected ? 0 : -1;
}

int BM77_Flash_BurstWrite_RecieveFinish(int port) {
  const BurstReply reply = CollectBurstReply(port, kAckAccepted, "burst-finish");
  if (reply == BurstReply::kOther) {
    printf(fwmsg::kRecieveFinishFailedFormat, rx_buffer[0], rx_buffer[1]);
  }
  return reply == BurstReply::kExpected ? 0 : -1;
}

int BM77_Flash_BurstWrite_BankEnd(int port) {
  const uint8_t end[kBankEndLength] = {Byte(burst_crc, 8), Byte(burst_crc, 0), kFrameMark,
                                       kFrameEnd};
  memcpy(tx_buffer, end, sizeof end);
  if (SendBurst(port, tx_buffer, sizeof end, "burst-end") < 0) {
    puts(bm77::msg::kSendCommandFailed);
    return -1;
  }
  record::AddBank(bank_bytes, burst_crc);
  return 0;
}

uint16_t _CalculateCRC16(uint16_t crc, const uint8_t* data, size_t length) {
  for (size_t i = 0; i < length; ++i) crc = CrcStep(crc, data[i]);
  return crc;
}

int UpdateFlashCode(int port, int image) {
  puts(fwmsg::kParseBinFile);
  const long long started_ms = record::ElapsedMs();
  const int result = ProgramImage(port, image);
  record::SetFlashMs(record::ElapsedMs() - started_ms);
  ProgressEnd();
  if (result == 0) puts(fwmsg::kFlashDone);
  return result;
}

int check_binfile(const char* name) { return CheckFileSuffix(name, "bin"); }
