#include "module_framing.h"

#include <utility>

namespace testbed {
namespace framing {
namespace {

constexpr uint16_t kPolynomial = 0x1021;
constexpr uint16_t kTopBit = 0x8000;
constexpr unsigned kBitsPerByte = 8;
constexpr uint16_t kLowByte = 0xFF;
constexpr size_t kCrcBytes = 2;

constexpr std::array<uint16_t, 256> MakeCrcTable() {
  std::array<uint16_t, 256> table{};
  for (unsigned i = 0; i < table.size(); ++i) {
    auto reg = static_cast<uint16_t>(i << kBitsPerByte);
    for (unsigned bit = 0; bit < kBitsPerByte; ++bit) {
      const bool carry = (reg & kTopBit) != 0;
      reg = static_cast<uint16_t>(reg << 1);
      if (carry) reg = static_cast<uint16_t>(reg ^ kPolynomial);
    }
    table[i] = reg;
  }
  return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

uint8_t High(uint16_t value) { return static_cast<uint8_t>(value >> kBitsPerByte); }
uint8_t Low(uint16_t value) { return static_cast<uint8_t>(value & kLowByte); }

}  // namespace

const std::array<uint16_t, 256>& CrcTable() { return kCrcTable; }

uint16_t CrcUpdate(uint16_t reg, uint8_t byte) {
  const auto shifted = static_cast<uint16_t>(((reg & kLowByte) << kBitsPerByte) | byte);
  return static_cast<uint16_t>(shifted ^ kCrcTable[reg >> kBitsPerByte]);
}

uint16_t CommandCrc(uint8_t command, const Bytes& payload) {
  uint16_t reg = CrcUpdate(0, command);
  for (uint8_t byte : payload) reg = CrcUpdate(reg, byte);
  return reg;
}

uint16_t BodyCrc(const Bytes& body) {
  uint16_t reg = 0;
  for (uint8_t byte : body) reg = CrcUpdate(reg, byte);
  return reg;
}

Bytes EncodeAck(uint8_t status) { return {kSync, status}; }

Bytes EncodeResponseWithHeader(uint8_t second, const Bytes& body) {
  const uint16_t crc = BodyCrc(body);
  Bytes frame{kSync, second};
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(High(crc));
  frame.push_back(Low(crc));
  frame.push_back(kSync);
  frame.push_back(kFrameEnd);
  return frame;
}

Bytes EncodeResponse(const Bytes& body) { return EncodeResponseWithHeader(kFrameStart, body); }

// ---- FrameParser ---------------------------------------------------------------------------

std::vector<WireEvent> FrameParser::Feed(const Bytes& bytes) {
  std::vector<WireEvent> out;
  for (uint8_t byte : bytes) Step(byte, out);
  return out;
}

std::optional<WireEvent> FrameParser::FlushGarbage() {
  if (state_ != State::kIdle || garbage_.empty()) return std::nullopt;
  std::vector<WireEvent> out;
  EmitGarbage(out);
  return out.front();
}

std::optional<WireEvent> FrameParser::Reset() {
  if (state_ != State::kIdle) Abandon();
  std::vector<WireEvent> out;
  EmitGarbage(out);
  if (out.empty()) return std::nullopt;
  return out.front();
}

void FrameParser::Step(uint8_t byte, std::vector<WireEvent>& out) {
  switch (state_) {
    case State::kIdle:
      if (byte == kSync) {
        raw_ = {byte};
        state_ = State::kSeenSync;
      } else {
        garbage_.push_back(byte);
      }
      return;
    case State::kSeenSync:
      StepSync(byte, out);
      return;
    case State::kCommand:
      raw_.push_back(byte);
      content_ = {byte};
      state_ = byte == kBurstStart ? State::kBurstCount : State::kBody;
      return;
    case State::kBody:
      raw_.push_back(byte);
      if (byte == kSync) {
        state_ = State::kEscape;
        return;
      }
      content_.push_back(byte);
      // A frame that never ends would swallow everything after it.
      if (content_.size() > kMaxFrameContent) Abandon();
      return;
    case State::kEscape:
      StepEscape(byte, out);
      return;
    case State::kBurstCount:
    case State::kBurstData:
    case State::kBankEnd:
      StepBurst(byte, out);
      return;
  }
}

void FrameParser::StepBurst(uint8_t byte, std::vector<WireEvent>& out) {
  raw_.push_back(byte);
  switch (state_) {
    case State::kBurstCount:
      if (raw_.size() < 3 + kBurstCountBytes) return;  // "<fS" and the count
      burst_left_ = static_cast<size_t>(raw_[3]) << 16 | static_cast<size_t>(raw_[4]) << 8 | raw_[5];
      content_.assign(raw_.begin() + 3, raw_.end());
      EmitRaw(WireEvent::Kind::kBurstStart, burst_left_ > 0 ? State::kBurstData : State::kBankEnd,
              out);
      return;
    case State::kBurstData:
      content_.push_back(byte);
      --burst_left_;
      if (burst_left_ == 0) {
        EmitRaw(WireEvent::Kind::kBurstData, State::kBankEnd, out);
      } else if (raw_.size() == kBurstBlock) {
        EmitRaw(WireEvent::Kind::kBurstData, State::kBurstData, out);
      }
      return;
    default:  // kBankEnd
      if (raw_.size() < kBankEndBytes) return;
      content_.assign(raw_.begin(), raw_.begin() + 2);
      EmitRaw(WireEvent::Kind::kBankEnd, State::kIdle, out);
      return;
  }
}

void FrameParser::EmitRaw(WireEvent::Kind kind, State next, std::vector<WireEvent>& out) {
  EmitGarbage(out);
  WireEvent event;
  event.kind = kind;
  if (kind == WireEvent::Kind::kBurstStart) event.command = kBurstStart;
  event.payload = std::move(content_);
  event.raw = std::move(raw_);
  out.push_back(std::move(event));
  raw_.clear();
  content_.clear();
  state_ = next;
}

void FrameParser::StepSync(uint8_t byte, std::vector<WireEvent>& out) {
  if (byte == kFrameStart) {
    raw_.push_back(byte);
    state_ = State::kCommand;
    return;
  }
  if (byte == kAccept) {
    EmitGarbage(out);
    WireEvent ack;
    ack.kind = WireEvent::Kind::kAck;
    ack.status = byte;
    ack.raw = EncodeAck(byte);
    out.push_back(std::move(ack));
    raw_.clear();
    state_ = State::kIdle;
    return;
  }
  if (byte == kSync) {
    // The earlier '<' led nowhere; the new one may still start an element.
    garbage_.push_back(kSync);
    return;
  }
  raw_.push_back(byte);
  Abandon();
}

void FrameParser::StepEscape(uint8_t byte, std::vector<WireEvent>& out) {
  if (byte == kSync) {
    raw_.push_back(byte);
    content_.push_back(kSync);
    state_ = State::kBody;
    if (content_.size() > kMaxFrameContent) Abandon();
    return;
  }
  if (byte == kFrameEnd) {
    raw_.push_back(byte);
    FinishFrame(out);
    return;
  }
  // A broken frame: the host may have given up on it and started over, so the '<' that broke
  // it is looked at again as the start of the next element.
  raw_.pop_back();
  Abandon();
  raw_ = {kSync};
  state_ = State::kSeenSync;
  StepSync(byte, out);
}

void FrameParser::FinishFrame(std::vector<WireEvent>& out) {
  if (content_.size() < 1 + kCrcBytes) {  // no room for a command and its CRC
    Abandon();
    return;
  }
  EmitGarbage(out);
  WireEvent frame;
  frame.kind = WireEvent::Kind::kFrame;
  frame.command = content_.front();
  const auto crc_at = content_.end() - static_cast<std::ptrdiff_t>(kCrcBytes);
  frame.payload.assign(content_.begin() + 1, crc_at);
  const auto received = static_cast<uint16_t>((crc_at[0] << kBitsPerByte) | crc_at[1]);
  frame.crc_ok = CommandCrc(frame.command, frame.payload) == received;
  frame.raw = std::move(raw_);
  out.push_back(std::move(frame));
  raw_.clear();
  content_.clear();
  state_ = State::kIdle;
}

void FrameParser::Abandon() {
  garbage_.insert(garbage_.end(), raw_.begin(), raw_.end());
  raw_.clear();
  content_.clear();
  state_ = State::kIdle;
}

void FrameParser::EmitGarbage(std::vector<WireEvent>& out) {
  if (garbage_.empty()) return;
  WireEvent junk;
  junk.kind = WireEvent::Kind::kGarbage;
  junk.raw = std::move(garbage_);
  out.push_back(std::move(junk));
  garbage_.clear();
}

}  // namespace framing
}  // namespace testbed
