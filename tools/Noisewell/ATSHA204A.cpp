#include "ATSHA204A.h"

#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace atsha204a;

int fd = -1;

namespace {

// Driver requests: plain numbers, not encoded with direction and size.
constexpr unsigned long kReqResetIo = 101;
constexpr unsigned long kReqSleep = 102;
constexpr unsigned long kReqIdle = 103;
constexpr unsigned long kReqSend = 104;     // argument: the packet
constexpr unsigned long kReqWake = 105;
constexpr unsigned long kReqReceive = 106;  // argument: the buffer, byte 0 = bytes to read

constexpr uint16_t kCrcPolynomial = 0x8005;

// Status bytes of a short response.
constexpr uint8_t kChipParseError = 0x03;
constexpr uint8_t kChipExecutionError = 0x0F;
constexpr uint8_t kChipCommunicationError = 0xFF;

// The one answer a chip gives when it wakes: count 4, status 0x11, CRC of 04 11.
constexpr uint8_t kWakeCount = 4;
constexpr uint8_t kWakeStatus = 0x11;
constexpr uint8_t kWakeCrcLow = 0x33;
constexpr uint8_t kWakeCrcHigh = 0x43;
// A wrong wake response costs a fixed pause before its status goes back; a failed request
// does not (the chip said nothing).
constexpr useconds_t kWrongWakePauseUs = 69000;
constexpr useconds_t kUsPerMs = 1000;

// Packet layout.
constexpr size_t kCountAt = 0;
constexpr size_t kOpcodeAt = 1;
constexpr size_t kParam1At = 2;
constexpr size_t kParam2At = 3;
constexpr size_t kDataAt = 5;
constexpr size_t kStatusAt = 1;  // in a short response

// Read bit 7 of param1: a 32-byte read instead of a 4-byte one.
constexpr uint8_t kReadBlock = 0x80;
// Nonce mode 3 (pass-through) answers with a status only.
constexpr uint8_t kNoncePassThrough = 3;

constexpr uint8_t kWordResponseSize = 7;  // count, 4 data bytes, CRC

struct CommandEntry {
  uint8_t opcode;
  uint8_t delay_ms;
  uint8_t rx_size;
};

// Longest execution time of each command, and its response size (0 for Read and Nonce, whose
// size depends on param1: see LookUpCommand).
constexpr CommandEntry kCommands[] = {
    {kOpPause, 1, kStatusResponseSize},       {kOpRead, 1, 0},
    {kOpMac, 35, kDataResponseSize},          {kOpHmac, 1, kDataResponseSize},
    {kOpWrite, 4, kStatusResponseSize},       {kOpGenDig, 1, kStatusResponseSize},
    {kOpNonce, 22, 0},                        {kOpLock, 10, kStatusResponseSize},
    {kOpRandom, 50, kDataResponseSize},       {kOpDeriveKey, 14, kStatusResponseSize},
    {kOpUpdateExtra, 4, kStatusResponseSize}, {kOpCheckMac, 12, kStatusResponseSize},
    {kOpDevRev, 1, kWordResponseSize},
};
// The one place that issues the driver's requests. `arg` null: the request gets the plain
// value 0.
int DriverRequest(unsigned long request, uint8_t* arg) {
  return arg != nullptr ? ioctl(fd, request, arg) : ioctl(fd, request, 0);
}

uint8_t LowByte(int result) { return static_cast<uint8_t>(result & 0xFF); }

// Requests without data: any non-zero result is the chip's execution error.
uint8_t PlainRequest(unsigned long request) {
  return DriverRequest(request, nullptr) == 0 ? kSuccess : kExecutionError;
}

// Computes the CRC over packet[0 .. count-3] and puts it in the last two bytes.
void StampCrc(uint8_t* packet) {
  const uint8_t count = packet[kCountAt];
  Calculate_CRC16(static_cast<uint8_t>(count - kCrcSize), packet, packet + count - kCrcSize, 0);
}

uint8_t ATSHA204A_SendCommand(uint8_t /*count: the driver reads it from the packet*/,
                              uint8_t* packet) {
  return LowByte(DriverRequest(kReqSend, packet));
}

uint8_t ATSHA204A_RecieveResponse(uint8_t size, uint8_t* buffer) {
  buffer[kCountAt] = size;
  return LowByte(DriverRequest(kReqReceive, buffer));
}

uint8_t ATSHA204A_Send_and_Recieve(uint8_t* packet, uint8_t rx_size, uint8_t* response_buffer,
                                   uint8_t delay_ms) {
  StampCrc(packet);
  const uint8_t sent = ATSHA204A_SendCommand(packet[kCountAt], packet);
  if (sent != kSuccess) return sent;
  usleep(static_cast<useconds_t>(delay_ms) * kUsPerMs);
  memset(response_buffer, 0, rx_size);
  const uint8_t received = ATSHA204A_RecieveResponse(rx_size, response_buffer);
  if (received != kSuccess) return received;
  return ResponseStatus(response_buffer, rx_size);
}

uint8_t WakeResponseStatus(const uint8_t* wake) {
  if (wake[0] != kWakeCount) return kBadWakeCount;
  if (wake[1] != kWakeStatus) return kBadWakeStatus;
  if (wake[2] != kWakeCrcLow || wake[3] != kWakeCrcHigh) return kBadCrc;
  return kSuccess;
}

}  // namespace

// ---- Pure parts ---------------------------------------------------------------------------------

void Calculate_CRC16(uint8_t length, const uint8_t* data, uint8_t* crc, uint16_t initial) {
  uint16_t reg = initial;
  for (uint8_t i = 0; i < length; ++i) {
    for (unsigned mask = 0x01; mask <= 0x80; mask <<= 1) {
      const bool data_bit = (data[i] & mask) != 0;
      const bool top_bit = (reg & 0x8000u) != 0;
      reg = static_cast<uint16_t>(reg << 1);
      if (data_bit != top_bit) reg ^= kCrcPolynomial;
    }
  }
  crc[0] = static_cast<uint8_t>(reg & 0xFF);
  crc[1] = static_cast<uint8_t>(reg >> 8);
}

uint8_t ATSHA204A_CheckResponseCRC(const uint8_t* response, uint8_t size) {
  const uint8_t count = response[kCountAt];
  if (count < kStatusResponseSize || count > size) return kBadCrc;
  const uint8_t covered = static_cast<uint8_t>(count - kCrcSize);
  uint8_t crc[kCrcSize];
  Calculate_CRC16(covered, response, crc, 0);
  return crc[0] == response[covered] && crc[1] == response[covered + 1] ? kSuccess : kBadCrc;
}

namespace atsha204a {

CommandTiming LookUpCommand(uint8_t opcode, uint8_t param1, uint8_t rx_size) {
  for (const CommandEntry& c : kCommands) {
    if (c.opcode != opcode) continue;
    uint8_t size = c.rx_size;
    if (opcode == kOpRead) {
      size = (param1 & kReadBlock) != 0 ? kDataResponseSize : kWordResponseSize;
    }
    if (opcode == kOpNonce) {
      size = param1 == kNoncePassThrough ? kStatusResponseSize : kDataResponseSize;
    }
    return {c.delay_ms, size};
  }
  return {0, rx_size};
}

uint8_t BuildPacket(uint8_t opcode, uint8_t param1, uint16_t param2, const DataPart* parts,
                    size_t part_count, uint8_t capacity, uint8_t* packet) {
  size_t count = kPacketOverhead;
  for (size_t i = 0; i < part_count; ++i) count += parts[i].length;
  if (count > capacity) return 0;
  packet[kCountAt] = static_cast<uint8_t>(count);
  packet[kOpcodeAt] = opcode;
  packet[kParam1At] = param1;
  packet[kParam2At] = static_cast<uint8_t>(param2 & 0xFF);
  packet[kParam2At + 1] = static_cast<uint8_t>(param2 >> 8);
  size_t at = kDataAt;
  for (size_t i = 0; i < part_count; ++i) {
    if (parts[i].length == 0) continue;
    memcpy(packet + at, parts[i].bytes, parts[i].length);
    at += parts[i].length;
  }
  StampCrc(packet);
  return static_cast<uint8_t>(count);
}

uint8_t ResponseStatus(const uint8_t* response, uint8_t size) {
  const uint8_t crc = ATSHA204A_CheckResponseCRC(response, size);
  if (crc != kSuccess) return crc;
  if (response[kCountAt] > kStatusResponseSize) return kSuccess;  // it carries data
  switch (response[kStatusAt]) {
    case kChipParseError: return kParseError;
    case kChipExecutionError: return kExecutionError;
    case kChipCommunicationError: return kCommunicationError;
    default: return kSuccess;
  }
}

}  // namespace atsha204a

// ---- Driver requests ----------------------------------------------------------------------------

uint8_t SHA204A_WakeUp() {
  if (DriverRequest(kReqWake, nullptr) != 0) return kExecutionError;
  uint8_t wake[kStatusResponseSize] = {};
  const uint8_t received = ATSHA204A_RecieveResponse(sizeof wake, wake);
  if (received != kSuccess) return received;
  const uint8_t status = WakeResponseStatus(wake);
  if (status != kSuccess) usleep(kWrongWakePauseUs);
  return status;
}

uint8_t ATSHA204A_Sleep() { return PlainRequest(kReqSleep); }
uint8_t ATSHA204A_Idle() { return PlainRequest(kReqIdle); }
uint8_t ATSHA204A_ResetIO() { return PlainRequest(kReqResetIo); }

uint8_t ATSHA204A_Execute(uint8_t opcode, uint8_t param1, uint16_t param2, uint8_t data1_length,
                          const uint8_t* data1, uint8_t data2_length, const uint8_t* data2,
                          uint8_t data3_length, const uint8_t* data3, uint8_t tx_size,
                          uint8_t* packet_buffer, uint8_t rx_size, uint8_t* response_buffer) {
  const CommandTiming timing = LookUpCommand(opcode, param1, rx_size);
  const DataPart parts[] = {{data1_length, data1}, {data2_length, data2}, {data3_length, data3}};
  if (BuildPacket(opcode, param1, param2, parts, sizeof parts / sizeof parts[0], tx_size,
                  packet_buffer) == 0) {
    return kPacketTooLong;
  }
  return ATSHA204A_Send_and_Recieve(packet_buffer, timing.rx_size, response_buffer,
                                    timing.delay_ms);
}
