// The simulated module's side of the framed protocol: the CRC, the encoding of what the module
// sends, and the parser that turns the host's byte stream into frames, acknowledgements and
// garbage. Pure code over byte buffers, no I/O, so the tests can drive it byte by byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "board.h"

namespace testbed {
namespace framing {

constexpr uint8_t kSync = 0x3C;        // '<': starts every frame, acknowledgement and trailer
constexpr uint8_t kFrameStart = 0x66;  // 'f': "<f" opens a frame
constexpr uint8_t kFrameEnd = 0x5A;    // 'Z': "<Z" closes a frame
constexpr uint8_t kAccept = 0x33;      // '3': "<3" accepts (both directions)
constexpr uint8_t kRefused = 0x55;     // 'U': bad arguments or unknown command
constexpr uint8_t kBadCrc = 0x88;      // the frame's CRC did not match
// The host sends at most 255 payload bytes; with the command and the two CRC bytes this is the
// most a frame can carry once the doubling is undone.
constexpr size_t kMaxPayload = 255;
constexpr size_t kMaxFrameContent = 1 + kMaxPayload + 2;

// The flash burst leaves the framing: "<f" and this byte open a burst start, which carries a
// 24-bit byte count and no trailer. The data follow raw (nothing doubled), then the bank end:
// two CRC bytes and "<Z".
constexpr uint8_t kBurstStart = 0x53;  // 'S'
constexpr size_t kBurstCountBytes = 3;
constexpr size_t kBurstBlock = 256;    // the data are handed out in blocks of this size
constexpr size_t kBankEndBytes = 4;

// MSB-first CRC-16-CCITT table of the polynomial 0x1021: entry i is i * x^16 mod the polynomial.
const std::array<uint16_t, 256>& CrcTable();
// The register step the host uses: no augmentation, no final XOR, register starts at 0.
uint16_t CrcUpdate(uint16_t reg, uint8_t byte);
// CRC of a command frame: the command byte, then the payload as meant (undoubled).
uint16_t CommandCrc(uint8_t command, const Bytes& payload);
// CRC of a response frame: the body alone.
uint16_t BodyCrc(const Bytes& body);

Bytes EncodeAck(uint8_t status);
// "<f" + body + CRC high, CRC low + "<Z". Nothing is doubled: the host reads response data at
// fixed offsets and never undoes doubling.
Bytes EncodeResponse(const Bytes& body);
// Like EncodeResponse, but with `second` in place of 'f' (a frame the host must reject).
Bytes EncodeResponseWithHeader(uint8_t second, const Bytes& body);

// Splits the host's byte stream into WireEvents (direction host to module). Bytes may arrive in
// any pieces; an element is handed out when its last byte has arrived. After a burst start the
// parser takes the bytes raw: the count's worth of data, handed out block by block, then the
// bank end; then it frames again.
class FrameParser {
 public:
  std::vector<WireEvent> Feed(const Bytes& bytes);
  // Bytes that fit no frame are held until the next element starts, so that one run of junk
  // gives one event; this hands them out now (only while no frame is in progress).
  std::optional<WireEvent> FlushGarbage();
  // Forgets any partial element; its bytes come back as garbage (nullopt when there are none).
  std::optional<WireEvent> Reset();

 private:
  enum class State {
    kIdle,     // between elements: waiting for '<'
    kSeenSync, // seen '<', waiting for 'f' or '3'
    kCommand,  // seen "<f", the next byte is the command (never doubled)
    kBody,     // payload and CRC bytes
    kEscape,   // seen '<' inside a frame: '<' again or 'Z' must follow
    kBurstCount,  // "<fS" seen: the 24-bit count follows
    kBurstData,   // raw data of the burst
    kBankEnd,     // the four bytes that end the bank
  };
  void Step(uint8_t byte, std::vector<WireEvent>& out);
  void StepSync(uint8_t byte, std::vector<WireEvent>& out);
  void StepEscape(uint8_t byte, std::vector<WireEvent>& out);
  void FinishFrame(std::vector<WireEvent>& out);
  void StepBurst(uint8_t byte, std::vector<WireEvent>& out);
  // Hands out the raw bytes collected so far as one event of `kind`; back to framing unless
  // `next` says otherwise.
  void EmitRaw(WireEvent::Kind kind, State next, std::vector<WireEvent>& out);
  void Abandon();  // the element in progress becomes garbage; back to kIdle
  void EmitGarbage(std::vector<WireEvent>& out);

  State state_ = State::kIdle;
  Bytes raw_;      // bytes of the element in progress, as they came
  Bytes content_;  // command, payload and CRC of the frame in progress, undoubled
  Bytes garbage_;  // junk not yet handed out
  size_t burst_left_ = 0;  // data bytes of the burst still to come
};

}  // namespace framing
}  // namespace testbed
