// Serial port and packet framing: the bottom layer of the link to the BM77 module.
//
// A command goes out as one frame "<f" cmd payload CRC "<Z" (payload and CRC bytes 0x3C are
// sent twice); the module answers with a two-byte acknowledgement ("<3" accepts) and, when it
// accepted, a response frame "<f" body CRC "<Z"; the host closes the exchange with "<3".
//
// Every wait on the module is bounded: the port is polled, and an exchange's reply must be whole
// within kReplySilenceMs of its command (or raw block), however its bytes trickle in. One process drives one module through one port: the
// transfer buffers are process-wide, so nothing here is reentrant.
#pragma once

#include <cstddef>
#include <array>
#include <cstdint>

#include "record_format.h"

namespace bm77 {

constexpr size_t kTxBufferSize = 256;
constexpr size_t kRxBufferSize = 256;
// Header, two CRC bytes and trailer around a response body.
constexpr int kResponseOverhead = 6;
// The longest body a response can carry in the receive buffer.
constexpr size_t kResponseBodyMax = kRxBufferSize - kResponseOverhead;

// How long one exchange may take, from its command to the last byte of its reply. Replies to
// ordinary commands come whole within milliseconds; the limit only has to tell a module that
// answers from one that never will, or that hands its reply over a byte every few seconds.
constexpr int kReplySilenceMs = 3000;
// How long the erase may take, from its command to its reply: it answers the erase only once
// the whole flash is blank, which takes a real module a few seconds. A slow part gets several
// times that; and a module that never answers still lets a tool end within half a minute (the
// firmware tool spends 3 s in fixed pauses and sends the erase right after the flash ID).
constexpr int kEraseReplySilenceMs = 20000;
// How long a frame may wait for room in the port's output buffer.
constexpr int kWriteStallMs = 3000;
// A read reply can carry 3C 5A among its data. When a trailer arrives before the reply is as
// long as the caller knows it must be, the receive waits this long for more bytes before it
// takes the trailer for the frame's end: a busy module or a USB serial adapter pauses up to
// some tens of milliseconds inside a frame (a loaded host may see more), and a frame that
// truly ends early then ends after this gap, not after the silence limit.
constexpr int kEarlyTrailerGapMs = 200;

// Set in the environment (to anything but "" or "0"), it makes the programs write every byte
// sent and received on the port to standard error, time-stamped, for service engineers.
constexpr char kTraceVariable[] = "BM77_TRACE";

constexpr uint8_t kFrameMark = 0x3C;   // '<': first byte of headers, trailers and acks
constexpr uint8_t kFrameStart = 0x66;  // 'f'
constexpr uint8_t kFrameEnd = 0x5A;    // 'Z'
constexpr uint8_t kAckAccepted = 0x33; // '3'

// Result of Send_Command and Send_Raw for a frame held back because the line is out of step
// (see LineState); nothing was sent and nothing printed.
constexpr int kHeldBack = -2;

// Result of Recieve_Ack when no acknowledgement arrived (silence or a port error). Never a
// status byte, so no acknowledgement policy can take it for acceptance.
constexpr int kNoAck = -1;
// Result of Recieve_Ack for two bytes that are no acknowledgement: neither an acceptance nor
// a '<' and a status other than '<'. They belong to another reply, one sent late or trickling
// in, so the line is out of step.
constexpr int kNotAnAck = -3;
// Result of Recieve_Response for a frame that does not start with "<f", and for a response
// that never completed (silence, port error, or longer than the receive buffer).
constexpr int kBadResponse = -1;

}  // namespace bm77

extern uint8_t tx_buffer[bm77::kTxBufferSize];
extern uint8_t rx_buffer[bm77::kRxBufferSize];
// MSB-first table of the CRC-16-CCITT polynomial 0x1021.
extern const std::array<uint16_t, 256> crc_table;

// One step of the frame and burst CRC: the byte enters at the bottom of the register, the
// byte that leaves at the top selects the table entry.
inline uint16_t CrcStep(uint16_t crc, uint8_t byte) {
  return static_cast<uint16_t>(((crc & 0xFFu) << 8 | byte) ^ crc_table[crc >> 8]);
}

// CRC over the command byte followed by `length` payload bytes (payload untouched when 0).
uint16_t CalculateCRC16(uint8_t command, const uint8_t* payload, size_t length);

// Builds the frame for `command` and `payload` into `frame` (room `capacity`). Returns the
// frame length, or -1 when it does not fit. Pure: no I/O.
int BuildCommandFrame(uint8_t command, const uint8_t* payload, uint8_t length, uint8_t* frame,
                      size_t capacity);

// Opens and configures the port (115200 8N1, raw, non-blocking). Returns the descriptor, or
// the negative result of the open.
int com_init(const char* path);

// Frames the command in tx_buffer and writes all of it. Returns the frame length, or a
// negative value (after "Send Command Failed!") when the port failed or stayed full; a frame
// that does not fit tx_buffer is refused before anything is sent, and one held back by the
// line's state returns kHeldBack without a line. Bytes already waiting on the port belong to
// no exchange of this run (a module that started late, chatter, the tail of a reply given up
// on): they are read and dropped before the frame goes out.
int Send_Command(int port, uint8_t command, uint8_t length, const uint8_t* payload);

// Waits for the two-byte acknowledgement and returns its second byte (0..255; an acceptance
// whatever the first), kNoAck after one line when the module stayed silent or the port failed,
// or kNotAnAck (no line; the line is then out of step) when the two bytes are no
// acknowledgement. Reads only the two bytes, so a response that follows stays on the line.
int Recieve_Ack(int port);

// Sends the host's acknowledgement "<3".
void Send_Ack(int port);

// Collects a response frame up to a read that ends with "<Z". Returns the body length
// (frame length - 6; negative for a frame shorter than six bytes) and copies the body to
// `body` when given (it must hold kResponseBodyMax bytes), or kBadResponse after one line for
// a frame without "<f", silence, a port error or a response longer than rx_buffer.
int Recieve_Response(int port, uint8_t* body);

// Recieve_Ack and Recieve_Response with a limit of their own on the exchange's whole time, for
// the exchanges a module takes longer than kReplySilenceMs to answer (the flash erase).
int Recieve_AckWithin(int port, int limit_ms);
int Recieve_ResponseWithin(int port, uint8_t* body, int limit_ms);

// Writes `length` bytes as they are, outside the framing (the flash burst); a write the port
// takes in part is completed like a command frame. Nothing waiting is dropped: the burst's
// replies overlap its blocks. Returns `length`, -1 when the port failed or stayed full, or
// kHeldBack on a line out of step (nothing printed).
int Send_Raw(int port, const uint8_t* data, size_t length);

// Collects exactly `count` bytes (at most kRxBufferSize) into rx_buffer from its start, asking
// each time only for the bytes still missing, so whatever follows stays on the line. Returns
// `count`, or -1 after one line when the module stayed silent or the port failed.
int Recieve_Raw(int port, size_t count);

namespace bm77 {

// Whether the host and the module are in step. An exchange that got no complete reply within
// its limit (silence, a line that hung up, a reply longer than the buffer) leaves the line out
// of step: its reply may still be on its way, and whatever the host reads next could be that
// late reply taken for another command's answer. From then on a frame goes out only while
// the identity guard lets its restore writes out, and the first exchange that goes silent
// again closes the line for good. A new port (com_init) starts in step.
enum class LineState { kInStep, kOutOfStep, kClosed };
LineState CurrentLineState();
inline bool LineInStep() { return CurrentLineState() == LineState::kInStep; }
// While on, command frames go out, and their replies are waited for, on a line that is out of
// step (never on a closed one): the restore writes, which carry the run's own snapshot and
// take no data from the module. Otherwise a receive on a line out of step fails at once.
void LetRestoreWritesOut(bool on);

// How long the line must stay quiet before a record is read a second time: a reply sent twice
// sends its copy within some tens of milliseconds.
constexpr int kQuietBeforeConfirmMs = 100;
// Reads and drops whatever the module sends until the line has been quiet for `quiet_ms`
// (within kReplySilenceMs at most). Changes nothing of the line's state.
void DrainUntilQuiet(int port, int quiet_ms);

// Recieve_Response for a reply whose frame is at least `least_frame_length` bytes long (a
// read's: header, lead bytes, the data asked for, CRC and trailer). A trailer seen before
// that length is taken for data while more bytes follow within kEarlyTrailerGapMs; once the
// frame is that long, a read that ends with "<Z" ends it as usual. 0: the plain rule.
int ReceiveResponseAtLeast(int port, uint8_t* body, size_t least_frame_length);

// How the run record names a reply that failed. An acknowledgement: silent when none came
// (kNoAck), malformed when what came was none (kNotAnAck), else refused. A response: silent
// when it did not come whole in time, which left the line less in step than `before` (the
// state when it was waited for), else malformed.
inline record::FailureKind AckFailure(int ack) {
  return ack == kNoAck      ? record::FailureKind::kSilent
         : ack == kNotAnAck ? record::FailureKind::kMalformed
                            : record::FailureKind::kRefused;
}
inline record::FailureKind ResponseFailure(LineState before) {
  return CurrentLineState() != before ? record::FailureKind::kSilent
                                      : record::FailureKind::kMalformed;
}

}  // namespace bm77
