#include "eeprom.h"

#include <stdio.h>
#include <string.h>

#include "messages.h"
#include "port.h"
#include "run_record.h"

using namespace bm77;

namespace {

AckPolicy ack_policy = AckPolicy::kStrict;
// Writes the lenient policy ended as a success without a response, over the process's life.
int unconfirmed_writes = 0;
// Which of the EEPROM's first bytes (where the identity records lie) a write of this run was
// sent for, whatever became of it: the module may have stored a write whose reply never came.
constexpr size_t kWatchedBytes = 32;
uint32_t written_over = 0;

void NoteWriteSent(const uint8_t* payload, int length) {
  const size_t address = static_cast<size_t>(payload[0]) << 8 | payload[1];
  const size_t count = static_cast<size_t>(length & 0xFF) - 2;
  for (size_t a = address; a < address + count && a < kWatchedBytes; ++a) written_over |= 1u << a;
}

uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }
uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }

// A failed EEPROM exchange, for the run record, named by the record it was for.
void NoteFailed(uint8_t command, const uint8_t* payload, record::FailureKind kind) {
  char step[record::kStepSize];
  StepName(command == kCmdEepromWrite ? "write" : "read",
           static_cast<uint16_t>(payload[0] << 8 | payload[1]), step);
  record::NoteFailure(step, kind);
}

struct Exchange {
  int result;          // the command's result
  int sent;            // what Send_Command returned
  AckVerdict verdict;  // how the acknowledgement was taken
  int body_length;     // response body length when one arrived, else -1
};

// One EEPROM command: frame, acknowledgement, response, the host's acknowledgement.
// `least_frame_length`: how long the response frame is at the least (0: unknown).
Exchange RunEepromCommand(int port, uint8_t command, const uint8_t* payload, uint8_t length,
                          uint8_t* body, size_t least_frame_length, const char* refused_line) {
  const int sent = Send_Command(port, command, length, payload);
  if (sent < 0) {
    // A frame held back went nowhere; one the port would not take got no reply.
    if (sent != kHeldBack) NoteFailed(command, payload, record::FailureKind::kSilent);
    return {sent, sent, AckVerdict::kRefused, -1};
  }

  const int ack = Recieve_Ack(port);
  const AckVerdict verdict = JudgeAck(ack_policy, ack);
  if (verdict == AckVerdict::kRefused) {
    NoteFailed(command, payload, AckFailure(ack));
    puts(refused_line);
    return {-1, sent, verdict, -1};
  }
  if (verdict == AckVerdict::kSuccessWithoutResponse) {
    // A write taken on an odd status may not be stored; a read so taken brought nothing.
    NoteFailed(command, payload, command == kCmdEepromWrite ? record::FailureKind::kNotStored
                                                            : record::FailureKind::kRefused);
    return {0, sent, verdict, -1};
  }

  const LineState line_before = CurrentLineState();
  const int body_length = ReceiveResponseAtLeast(port, body, least_frame_length);
  if (body_length < 0) {
    NoteFailed(command, payload, ResponseFailure(line_before));
    puts(msg::kResponseError);
    return {sent, sent, verdict, -1};
  }
  Send_Ack(port);
  return {0, sent, verdict, body_length};
}

// Reads `count` bytes at `address` into `data` (unchanged unless data arrived).
int ReadRecord(int port, uint16_t address, uint8_t count, uint8_t* data, ReadOutcome* outcome) {
  uint8_t buffer[kReadBodyLead + 255] = {High(address), Low(address), count};
  ReadOutcome got;
  const int result = EepromRead(port, buffer, &got);
  if (got == ReadOutcome::kData) memcpy(data, buffer + kReadBodyLead, count);
  if (outcome != nullptr) *outcome = got;
  return result;
}

// ReadRecord twice, as Reads::kConfirmed says. The second read goes out only after a first
// that brought data.
int ReadRecordConfirmed(int port, uint16_t address, uint8_t count, uint8_t* data,
                        ReadOutcome* outcome) {
  uint8_t first[255];
  ReadOutcome got;
  int result = ReadRecord(port, address, count, first, &got);
  if (got == ReadOutcome::kData) {
    DrainUntilQuiet(port, kQuietBeforeConfirmMs);
    uint8_t second[255];
    result = ReadRecord(port, address, count, second, &got);
    if (got == ReadOutcome::kData && memcmp(first, second, count) != 0) {
      char step[record::kStepSize];
      StepName("read", address, step);
      record::NoteFailure(step, record::FailureKind::kReadBackDifferent);
      printf(msg::kReadNotConfirmedFormat, address);
      got = ReadOutcome::kFailed;
    }
    if (got == ReadOutcome::kData) memcpy(data, second, count);
  }
  if (outcome != nullptr) *outcome = got;
  return result;
}

int ReadRecordAs(Reads reads, int port, uint16_t address, uint8_t count, uint8_t* data,
                 ReadOutcome* outcome) {
  return reads == Reads::kConfirmed ? ReadRecordConfirmed(port, address, count, data, outcome)
                                    : ReadRecord(port, address, count, data, outcome);
}

}  // namespace

namespace bm77 {

void StepName(const char* verb, uint16_t address, char* step) {
  const char* name = address == kMacAddress    ? "mac"
                     : address == kNameAddress ? "name"
                     : address == kVcomAddress ? "vcom"
                                               : nullptr;
  if (name != nullptr) {
    snprintf(step, record::kStepSize, "%s-%s", verb, name);
  } else {
    snprintf(step, record::kStepSize, "%s-%04X", verb, address);
  }
}

AckVerdict JudgeAck(AckPolicy policy, int status) {
  if (status == kAckAccepted) return AckVerdict::kAccepted;
  if (status < 0 || status == kAckRefusedU || status == kAckRefused88) return AckVerdict::kRefused;
  return policy == AckPolicy::kLenient ? AckVerdict::kSuccessWithoutResponse : AckVerdict::kRefused;
}

void SetAckPolicy(AckPolicy policy) { ack_policy = policy; }
AckPolicy CurrentAckPolicy() { return ack_policy; }
int UnconfirmedWrites() { return unconfirmed_writes; }

int EepromRead(int port, uint8_t* buffer, ReadOutcome* outcome) {
  const size_t wanted = kReadBodyLead + buffer[2];
  uint8_t body[kResponseBodyMax];
  const Exchange e = RunEepromCommand(port, kCmdEepromRead, buffer, 3, body,
                                      static_cast<size_t>(kResponseOverhead) + wanted,
                                      msg::kReadEepromFailed);
  ReadOutcome got = ReadOutcome::kFailed;
  int result = e.result;
  if (e.body_length >= 0) {
    // The module owes the three lead bytes and every byte asked for; anything less would hand
    // out stale buffer bytes as if they had been read.
    if (static_cast<size_t>(e.body_length) < wanted) {
      NoteFailed(kCmdEepromRead, buffer, record::FailureKind::kMalformed);
      puts(msg::kResponseError);
      result = e.sent;
    } else {
      memcpy(buffer, body, wanted);
      got = ReadOutcome::kData;
    }
  } else if (e.result == 0) {
    got = ReadOutcome::kNoData;
  }
  if (outcome != nullptr) *outcome = got;
  return result;
}

ReadOutcome ReadMac(int port, uint8_t* mac, int* result, Reads reads) {
  uint8_t stored[kMacLength];
  ReadOutcome outcome;
  const int r = ReadRecordAs(reads, port, kMacAddress, kMacLength, stored, &outcome);
  if (result != nullptr) *result = r;
  if (outcome == ReadOutcome::kData) {
    for (size_t i = 0; i < kMacLength; ++i) mac[i] = stored[kMacLength - 1 - i];
  }
  return outcome;
}

ReadOutcome ReadDeviceName(int port, uint8_t* name, Reads reads) {
  ReadOutcome outcome;
  ReadRecordAs(reads, port, kNameAddress, kNameReadLength, name, &outcome);
  return outcome;
}

bool RunWroteOver(uint16_t address, size_t count) {
  for (size_t a = address; a < address + count && a < kWatchedBytes; ++a) {
    if ((written_over >> a & 1u) != 0) return true;
  }
  return false;
}

int EepromWrite(int port, const uint8_t* payload, int length, WriteOutcome* outcome) {
  const Exchange e = RunEepromCommand(port, kCmdEepromWrite, payload,
                                      static_cast<uint8_t>(length & 0xFF), nullptr, 0,
                                      msg::kWriteEepromFailed);
  if (e.sent > 0 && (length & 0xFF) > 2) NoteWriteSent(payload, length);
  if (e.result == 0 && e.verdict == AckVerdict::kSuccessWithoutResponse) ++unconfirmed_writes;
  if (outcome != nullptr) {
    *outcome = e.result != 0                                       ? WriteOutcome::kFailed
               : e.verdict == AckVerdict::kSuccessWithoutResponse ? WriteOutcome::kUnconfirmed
                                                                  : WriteOutcome::kTaken;
  }
  return e.result;
}

int ReadVcom(int port, bool print_line, ReadOutcome* outcome, Reads reads) {
  uint8_t data[kVcomLength];
  ReadOutcome got;
  ReadRecordAs(reads, port, kVcomAddress, kVcomLength, data, &got);
  if (outcome != nullptr) *outcome = got;
  if (got != ReadOutcome::kData) return -1;
  const int value = data[0] * 256 + data[1];
  if (print_line) printf(msg::kReadVcomFormat, data[0], data[1], value);
  return value;
}

int WriteVcom(int port, int vcom) {
  const uint16_t value = static_cast<uint16_t>(vcom & 0xFFFF);
  const uint8_t payload[2 + kVcomLength] = {High(kVcomAddress), Low(kVcomAddress), High(value),
                                           Low(value)};
  const int result = BM77_EEPROM_Write(port, payload, sizeof payload);
  puts(msg::kSaveVcom);
  return result;
}

}  // namespace bm77

int BM77_EEPROM_Write(int port, const uint8_t* payload, int length) {
  return EepromWrite(port, payload, length, nullptr);
}

int BM77_EEPROM_Read(int port, uint8_t* buffer) { return EepromRead(port, buffer, nullptr); }

int SaveMacToBM77(int port, const uint8_t* mac) {
  uint8_t payload[2 + kMacLength] = {High(kMacAddress), Low(kMacAddress)};
  for (size_t i = 0; i < kMacLength; ++i) payload[2 + i] = mac[kMacLength - 1 - i];
  return BM77_EEPROM_Write(port, payload, sizeof payload);
}

int ReadMacFromBM77(int port, uint8_t* mac) {
  int result = 0;
  ReadMac(port, mac, &result);
  return result;
}

int SaveDeviceNameToBM77(int port, const uint8_t* name) {
  uint8_t payload[2 + kNameLength] = {High(kNameAddress), Low(kNameAddress)};
  memcpy(payload + 2, name, kNameLength);
  return BM77_EEPROM_Write(port, payload, sizeof payload);
}

void ReadDeviceNameFromBM77(int port, uint8_t* name) { ReadDeviceName(port, name); }

void SaveVcomToBM77(int port, int vcom) { WriteVcom(port, vcom); }

int ReadVcomFromBM77(int port) { return ReadVcom(port, /*print_line=*/true, nullptr); }
