// The command transport of the ATSHA204A crypto authentication chip, above its kernel driver
// "/dev/ZR6083_S".
//
// A command goes to the driver as one packet: count, opcode, param1, param2 (low byte first),
// data, CRC-16 (low byte first), count being the length of the whole packet. After the
// command's execution time the response is read back: count, one status byte or the data,
// CRC-16. Every operation returns an 8-bit status, 0 for success. Nothing is retried and
// nothing is printed here: the first failure goes back to the caller as its status.
//
// Single-threaded: the driver descriptor is process-wide and one process uses the chip.
#pragma once

#include <stddef.h>
#include <stdint.h>

// The driver's descriptor: the tool opens the device into it and closes it (-1 while closed).
extern int fd;

namespace atsha204a {

constexpr const char kDevicePath[] = "/dev/ZR6083_S";

// ---- Status codes ------------------------------------------------------------------------------
// Besides these, a failed send or receive request passes the low 8 bits of the driver's
// result up unchanged (a result of -1 gives 0xFF).
constexpr uint8_t kSuccess = 0x00;
constexpr uint8_t kParseError = 0xD2;          // the chip answered status byte 0x03
constexpr uint8_t kExecutionError = 0xD3;      // status byte 0x0F; also a failed wake, sleep,
                                               // idle or I/O-reset request
constexpr uint8_t kCommunicationError = 0xD4;  // status byte 0xFF (the chip saw a bad CRC)
constexpr uint8_t kBadWakeCount = 0xE4;        // the wake response's count byte is not 4
constexpr uint8_t kBadCrc = 0xE5;              // response CRC mismatch, a count byte outside
                                               // 4 .. the size asked for, or a wrong wake CRC
constexpr uint8_t kPacketTooLong = 0xE7;       // the packet would not fit the declared capacity;
                                               // nothing was sent
constexpr uint8_t kBadWakeStatus = 0xF0;       // the wake response's status byte is not 0x11

// ---- Packets -----------------------------------------------------------------------------------
constexpr uint8_t kPacketOverhead = 7;        // count, opcode, param1, param2 (2), CRC (2)
constexpr uint8_t kCrcSize = 2;
constexpr uint8_t kStatusResponseSize = 4;    // count, status byte, CRC (2)
constexpr uint8_t kDataResponseSize = 35;     // count, 32 data bytes, CRC (2)

// Opcodes: the chip's published command codes.
constexpr uint8_t kOpPause = 0x01;
constexpr uint8_t kOpRead = 0x02;
constexpr uint8_t kOpMac = 0x08;
constexpr uint8_t kOpHmac = 0x11;
constexpr uint8_t kOpWrite = 0x12;
constexpr uint8_t kOpGenDig = 0x15;
constexpr uint8_t kOpNonce = 0x16;
constexpr uint8_t kOpLock = 0x17;
constexpr uint8_t kOpRandom = 0x1B;
constexpr uint8_t kOpDeriveKey = 0x1C;
constexpr uint8_t kOpUpdateExtra = 0x20;
constexpr uint8_t kOpCheckMac = 0x28;
constexpr uint8_t kOpDevRev = 0x30;

// What Execute takes from the command table: the execution time to wait after sending, and
// the number of response bytes to read.
struct CommandTiming {
  uint8_t delay_ms;
  uint8_t rx_size;
};

// Looks `opcode` up in the command table. An opcode outside it waits nothing and reads the
// caller's `rx_size`.
CommandTiming LookUpCommand(uint8_t opcode, uint8_t param1, uint8_t rx_size);

// One of the up to three data parts of a command; `bytes` is not touched when `length` is 0.
struct DataPart {
  uint8_t length;
  const uint8_t* bytes;
};

// Builds the packet for a command into `packet`, CRC included. Returns its count (7 + the
// data length), or 0 when it would be longer than `capacity` (then `packet` is untouched).
// Pure: no I/O.
uint8_t BuildPacket(uint8_t opcode, uint8_t param1, uint16_t param2, const DataPart* parts,
                    size_t part_count, uint8_t capacity, uint8_t* packet);

// Judges a response of which at most `size` bytes were read: its count byte and CRC, then the
// status byte a short response carries (0x03 -> kParseError, 0x0F -> kExecutionError,
// 0xFF -> kCommunicationError, anything else -> kSuccess). A response with data is kSuccess.
// Reads nothing outside response[0 .. size-1].
uint8_t ResponseStatus(const uint8_t* response, uint8_t size);

}  // namespace atsha204a

// The chip's CRC-16: polynomial 0x8005, register starting at `initial`, data bits taken least
// significant first, no final reflection or XOR. Writes the register low byte first into
// crc[0], crc[1]. Every caller in the system starts at 0.
void Calculate_CRC16(uint8_t length, const uint8_t* data, uint8_t* crc, uint16_t initial);

// Checks the CRC in the last two bytes of a response against the bytes before them. The count
// byte must lie between 4 and `size`, the number of bytes read; anything else is a bad
// response too, so nothing outside the response is read. Returns 0 or kBadCrc.
uint8_t ATSHA204A_CheckResponseCRC(const uint8_t* response, uint8_t size);

// Wakes the chip and checks its wake response 04 11 33 43. Returns 0, kExecutionError when
// the wake request failed, the receive request's failure, or kBadWakeCount, kBadWakeStatus,
// kBadCrc for a wrong response (after a 69 ms pause).
uint8_t SHA204A_WakeUp();

// Driver requests without data: 0, or kExecutionError when the driver refused.
uint8_t ATSHA204A_Sleep();
uint8_t ATSHA204A_Idle();
uint8_t ATSHA204A_ResetIO();

// Builds a command in packet_buffer (whose capacity the caller declares as tx_size), sends it,
// waits its execution time and reads its response into response_buffer. The response size
// comes from the command table; rx_size is used for opcodes outside it. Data pointers may be
// null where their length is 0. Returns a status.
uint8_t ATSHA204A_Execute(uint8_t opcode, uint8_t param1, uint16_t param2, uint8_t data1_length,
                          const uint8_t* data1, uint8_t data2_length, const uint8_t* data2,
                          uint8_t data3_length, const uint8_t* data3, uint8_t tx_size,
                          uint8_t* packet_buffer, uint8_t rx_size, uint8_t* response_buffer);
