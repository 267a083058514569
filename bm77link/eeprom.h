// The module's EEPROM commands and the identity records kept in its EEPROM: MAC address
// (0x0000, stored reversed), device name (0x000B) and display VCOM (0x0019).
#pragma once

#include <cstddef>
#include <cstdint>

namespace bm77 {

constexpr uint8_t kCmdEepromRead = 0x73;   // 's'
constexpr uint8_t kCmdEepromWrite = 0x74;  // 't'
constexpr uint8_t kAckRefusedU = 0x55;     // 'U'
constexpr uint8_t kAckRefused88 = 0x88;

// A read's response body: three bytes the host does not examine, then the data.
constexpr size_t kReadBodyLead = 3;
constexpr size_t kEepromWriteMax = 253;  // data bytes in one write: payload 2 + n <= 255

constexpr uint16_t kMacAddress = 0x0000;
constexpr uint16_t kNameAddress = 0x000B;
constexpr uint16_t kVcomAddress = 0x0019;
constexpr size_t kMacLength = 6;
constexpr size_t kNameLength = 12;      // written
constexpr size_t kNameReadLength = 14;  // read: the name and the two bytes after it
constexpr size_t kVcomLength = 2;

// The run record's name of a step on the EEPROM at `address` into `step` (record::kStepSize
// bytes): the verb and the identity record it is for ("read-mac", "write-vcom"), or the
// address in four hex digits ("write-0040").
void StepName(const char* verb, uint16_t address, char* step);

// How a tool takes the module's acknowledgement of an EEPROM command. Fixed per tool.
enum class AckPolicy {
  kStrict,   // only "<3" accepts
  kLenient,  // "<3" accepts; 0x55 and 0x88 refuse; any other status ends the command as a
             // success at once, without a response (and so without data)
};

enum class AckVerdict { kAccepted, kRefused, kSuccessWithoutResponse };

// Pure judgement of a Recieve_Ack result. No acknowledgement at all (kNoAck, kNotAnAck) is a
// refusal under both policies.
AckVerdict JudgeAck(AckPolicy policy, int status);

void SetAckPolicy(AckPolicy policy);
AckPolicy CurrentAckPolicy();
// How many writes so far the lenient policy ended as a success without a response: nothing
// says the module stored them, so a tool that reports every exchange in its exit status must
// not end with 0 when this is above 0.
int UnconfirmedWrites();

// Whether a write of this run was sent for any of `count` bytes at `address` (only the first
// 32 bytes of the EEPROM, where the identity records lie, are watched).
bool RunWroteOver(uint16_t address, size_t count);

// What a read brought back, for callers that must not take a lenient success for data.
enum class ReadOutcome { kData, kNoData, kFailed };

// BM77_EEPROM_Read, telling whether data arrived. `outcome` may be null. The response is read
// whole even when its data hold 3C 5A: the read knows how long its reply frame must be.
int EepromRead(int port, uint8_t* buffer, ReadOutcome* outcome);

// What became of a write, for callers that must not take a lenient success for a stored one.
enum class WriteOutcome {
  kTaken,        // accepted, and the module's response arrived
  kUnconfirmed,  // the lenient policy ended it as a success on an odd status: nothing says
                 // the module stored it
  kFailed,       // not sent, refused, or a malformed response
};

// BM77_EEPROM_Write, telling what became of the write. `outcome` may be null.
int EepromWrite(int port, const uint8_t* payload, int length, WriteOutcome* outcome);

// How a record is read. A reply can come whole and still not answer this command (a copy of
// an earlier reply, another command's reply, a bit hit on the line): nothing in the reply tells,
// so a record the run relies on is confirmed: read twice, the line drained and quiet before the
// second, and taken only when both agree byte for byte. Otherwise it counts as not read
// (kFailed), with one line.
enum class Reads { kOnce, kConfirmed };

// The identity reads, telling whether data arrived. On anything but kData the caller's bytes
// are left as they were.
ReadOutcome ReadMac(int port, uint8_t* mac, int* result, Reads reads = Reads::kOnce);
ReadOutcome ReadDeviceName(int port, uint8_t* name, Reads reads = Reads::kOnce);
// `print_line`: the "Read Vcom From BM77" line. Returns the value, or -1 without data.
int ReadVcom(int port, bool print_line, ReadOutcome* outcome, Reads reads = Reads::kOnce);
// SaveVcomToBM77 (the "SaveVcomToBM77" line included) that hands out the write's result, for
// tools whose exit status tells whether every exchange with the module went through.
int WriteVcom(int port, int vcom);

}  // namespace bm77

// Both return 0 on success, a negative value when the frame could not be sent or the module
// refused (-1), a positive value when the response was malformed.
//
// `payload`: address high, address low, data; `length` is used modulo 256.
int BM77_EEPROM_Write(int port, const uint8_t* payload, int length);
// `buffer` holds address high, address low and count, and receives the response body over
// them: the data starts at buffer[3]. Nothing is written past buffer[3 + count - 1]; a
// response that carries fewer bytes than asked for counts as malformed.
int BM77_EEPROM_Read(int port, uint8_t* buffer);

int SaveMacToBM77(int port, const uint8_t* mac);
int ReadMacFromBM77(int port, uint8_t* mac);
int SaveDeviceNameToBM77(int port, const uint8_t* name);
void ReadDeviceNameFromBM77(int port, uint8_t* name);
void SaveVcomToBM77(int port, int vcom);
int ReadVcomFromBM77(int port);
