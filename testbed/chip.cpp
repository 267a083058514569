// The ATSHA204A crypto chip behind its driver /dev/ZR6083_S: wake, sleep, idle, I/O reset, and
// commands sent as packets whose responses are read back after their execution time. Every
// request is logged with its packet or response and the chip's state afterwards.
//
// The chip's CRC is computed here as the bit reversal of the reflected CRC-16 (polynomial
// 0xA001), not the way the tool computes it, so that a fault in one cannot hide in the other.
#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "board_impl.h"

namespace testbed {

namespace {

constexpr uint32_t kResetIo = 101;
constexpr uint32_t kSleep = 102;
constexpr uint32_t kIdle = 103;
constexpr uint32_t kSend = 104;
constexpr uint32_t kWake = 105;
constexpr uint32_t kReceive = 106;

constexpr char kNodeName[] = "/dev/ZR6083_S";

constexpr size_t kPacketOverhead = 7;  // count, opcode, param1, param2 (2), CRC (2)
constexpr size_t kOpcodeAt = 1;
constexpr size_t kParam1At = 2;

// Status bytes of the chip's short responses.
constexpr uint8_t kStatusOk = 0x00;
constexpr uint8_t kStatusParseError = 0x03;
constexpr uint8_t kStatusCommunicationError = 0xFF;

const Bytes kWakeResponse = {0x04, 0x11, 0x33, 0x43};

// CRC-16/ARC's polynomial 0x8005, reflected.
constexpr uint16_t kReflectedPolynomial = 0xA001;
constexpr size_t kCrcSize = 2;

// Response lengths: a status byte, a 4-byte word or a 32-byte block between count and CRC.
constexpr size_t kStatusOnly = 1;
constexpr size_t kWord = 4;
constexpr size_t kBlock = 32;

constexpr uint8_t kOpRead = 0x02;
constexpr uint8_t kOpNonce = 0x16;
constexpr uint8_t kOpRandom = 0x1B;
constexpr uint8_t kReadBlock = 0x80;     // Read param1 bit 7: 32 bytes instead of 4
constexpr uint8_t kNoncePassThrough = 3;  // Nonce mode 3 answers with a status only

struct ChipCommand {
  uint8_t opcode;
  int exec_ms;  // the longest execution time: the result is not ready before it has passed
  size_t data;  // bytes between count and CRC (Read and Nonce: see DataLength)
};

constexpr ChipCommand kCommands[] = {
    {0x01, 1, kStatusOnly},  {kOpRead, 1, kWord},      {0x08, 35, kBlock},
    {0x11, 1, kBlock},       {0x12, 4, kStatusOnly},   {0x15, 1, kStatusOnly},
    {kOpNonce, 22, kBlock},  {0x17, 10, kStatusOnly},  {kOpRandom, 50, kBlock},
    {0x1C, 14, kStatusOnly}, {0x20, 4, kStatusOnly},   {0x28, 12, kStatusOnly},
    {0x30, 1, kWord},
};

const ChipCommand* FindCommand(uint8_t opcode) {
  for (const ChipCommand& c : kCommands) {
    if (c.opcode == opcode) return &c;
  }
  return nullptr;
}

size_t DataLength(const ChipCommand& c, uint8_t param1) {
  if (c.opcode == kOpRead) return (param1 & kReadBlock) != 0 ? kBlock : kWord;
  if (c.opcode == kOpNonce) return param1 == kNoncePassThrough ? kStatusOnly : kBlock;
  return c.data;
}

uint16_t Reflected16(uint16_t v) {
  uint16_t r = 0;
  for (int i = 0; i < 16; ++i) {
    r = static_cast<uint16_t>(static_cast<unsigned>(r) << 1 | (v & 1u));
    v = static_cast<uint16_t>(v >> 1);
  }
  return r;
}

// CRC-16/ARC (reflected, starting at 0), bit-reversed: the chip's CRC.
uint16_t ChipCrc(const uint8_t* data, size_t length) {
  uint16_t reg = 0;
  for (size_t i = 0; i < length; ++i) {
    reg ^= data[i];
    for (int bit = 0; bit < 8; ++bit) {
      reg = (reg & 1u) != 0 ? static_cast<uint16_t>(reg >> 1 ^ kReflectedPolynomial)
                            : static_cast<uint16_t>(reg >> 1);
    }
  }
  return Reflected16(reg);
}

// Count byte, `data`, CRC (low byte first).
Bytes MakeResponse(const Bytes& data) {
  Bytes r{static_cast<uint8_t>(1 + data.size() + kCrcSize)};
  r.insert(r.end(), data.begin(), data.end());
  const uint16_t crc = ChipCrc(r.data(), r.size());
  r.push_back(static_cast<uint8_t>(crc & 0xFF));
  r.push_back(static_cast<uint8_t>(crc >> 8));
  return r;
}

Bytes StatusResponse(uint8_t status) { return MakeResponse({status}); }

bool PacketIntact(const Bytes& packet) {
  if (packet.size() < kPacketOverhead || packet[0] != packet.size()) return false;
  const size_t covered = packet.size() - kCrcSize;
  const uint16_t crc = ChipCrc(packet.data(), covered);
  return packet[covered] == (crc & 0xFF) && packet[covered + 1] == (crc >> 8);
}

bool Known(uint32_t request) { return request >= kResetIo && request <= kReceive; }

DeviceAnswer Failed(int32_t result) { return {result, result < 0 ? EIO : 0}; }

}  // namespace

Chip::Impl::Impl() : random(Chip::DefaultRandom()), wake_response(kWakeResponse) {}

void Chip::Impl::CreateNode() { std::ofstream touch(node, std::ios::app); }

// Counts this occurrence of `request`; the result it must fail with, if any. Caller holds
// `mu`.
std::optional<int32_t> Chip::Impl::FailureFor(uint32_t request) {
  const int occurrence = ++seen[request];
  for (const Failure& f : failing) {
    if (f.request == request && (f.occurrence == 0 || f.occurrence == occurrence)) return f.result;
  }
  return std::nullopt;
}

// What the chip will answer to `packet`, ready once its execution time has passed; caller
// holds `mu`.
void Chip::Impl::Execute(const Bytes& packet, Clock::time_point now) {
  ready_at = now;
  if (!PacketIntact(packet)) {
    pending = StatusResponse(kStatusCommunicationError);
    return;
  }
  const ChipCommand* command = FindCommand(packet[kOpcodeAt]);
  if (command == nullptr) {
    pending = StatusResponse(kStatusParseError);
    return;
  }
  ready_at = now + std::chrono::milliseconds(command->exec_ms);
  const size_t length = DataLength(*command, packet[kParam1At]);
  if (response) {
    pending = *response;
  } else if (status_byte) {
    pending = StatusResponse(*status_byte);
  } else if (length == kStatusOnly) {
    pending = StatusResponse(kStatusOk);
  } else {
    pending = MakeResponse(command->opcode == kOpRandom ? random : Bytes(length, 0));
  }
  if (bad_crc && !pending.empty()) pending.back() ^= 0xFF;
}

// Request 104: the driver reads the count byte, then the whole packet.
DeviceAnswer Chip::Impl::Send(DeviceCall& call, ChipRequest* entry) {
  const std::optional<Bytes> count = call.Read(0, 1);
  std::optional<Bytes> packet = count;
  if (count && (*count)[0] > 1) packet = call.Read(0, (*count)[0]);
  if (!packet) return {-1, EFAULT};
  entry->packet = *packet;
  std::lock_guard<std::mutex> lock(mu);
  if (const auto result = FailureFor(kSend)) return Failed(*result);
  if (state != ChipState::kAwake) return {-1, EIO};  // a sleeping chip does not answer
  Execute(*packet, entry->at);
  return {};
}

// Request 106: the driver reads the size from byte 0 of the buffer, then puts at most that
// many bytes of the response there.
DeviceAnswer Chip::Impl::Receive(DeviceCall& call, ChipRequest* entry) {
  const std::optional<Bytes> size = call.Read(0, 1);
  if (!size) return {-1, EFAULT};
  entry->size = (*size)[0];
  Bytes reply;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (const auto result = FailureFor(kReceive)) return Failed(*result);
    if (state != ChipState::kAwake || pending.empty() || entry->at < ready_at) {
      return {-1, EIO};  // asleep, nothing asked, or still busy: the chip does not answer
    }
    const size_t n = std::min<size_t>(pending.size(), *entry->size);
    reply.assign(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(n));
    pending.clear();
  }
  if (!call.Write(0, reply)) return {-1, EFAULT};
  entry->packet = reply;
  return {};
}

// Requests without data; caller holds `mu`.
DeviceAnswer Chip::Impl::Plain(const ChipRequest& entry) {
  if (const auto result = FailureFor(entry.request)) return Failed(*result);
  pending.clear();
  switch (entry.request) {
    case kSleep:
      state = ChipState::kAsleep;
      break;
    case kIdle:
      state = ChipState::kIdle;
      break;
    case kWake:
      state = ChipState::kAwake;
      pending = wake_response;
      ready_at = entry.at;
      break;
    default:  // the I/O reset leaves the chip as it is
      break;
  }
  return {};
}

DeviceAnswer Chip::Impl::Handle(DeviceCall& call, const Violation& violation) {
  ChipRequest entry;
  entry.request = call.request();
  entry.at = Clock::now();
  DeviceAnswer answer;
  const std::string what = "ioctl " + std::to_string(entry.request) + " on " + kNodeName;
  if (!Known(entry.request)) {
    violation(what + ": unknown request");
    answer = {-1, EINVAL};
  } else if (entry.request == kSend) {
    answer = Send(call, &entry);
  } else if (entry.request == kReceive) {
    answer = Receive(call, &entry);
  } else {
    entry.arg = call.arg_low();
    if (entry.arg != 0) violation(what + ": the driver takes the argument 0");
    std::lock_guard<std::mutex> lock(mu);
    answer = Plain(entry);
  }
  entry.result = answer.result;
  std::lock_guard<std::mutex> lock(mu);
  entry.state = state;
  requests.push_back(std::move(entry));
  return answer;
}

// ---- Chip ---------------------------------------------------------------------------------------

Bytes Chip::DefaultRandom() {
  Bytes bytes(kRandomSize);
  for (size_t i = 0; i < kRandomSize; ++i) bytes[i] = static_cast<uint8_t>(0x3F + i * 0x9D);
  return bytes;
}

void Chip::SetPresent(bool present) { SetNodePresent(impl_, present); }

void Chip::SetRandom(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->random = bytes;
  impl_->random.resize(kRandomSize);
}

void Chip::SetWakeResponse(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wake_response = bytes;
}

void Chip::SetStatusByte(std::optional<uint8_t> status) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->status_byte = status;
}

void Chip::SetResponse(std::optional<Bytes> bytes) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->response = std::move(bytes);
}

void Chip::SetBadCrc(bool bad) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->bad_crc = bad;
}

void Chip::FailRequest(uint32_t request, int32_t result, int occurrence) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->failing.push_back({request, result, occurrence});
}

void Chip::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->wake_response = kWakeResponse;
  impl_->status_byte.reset();
  impl_->response.reset();
  impl_->bad_crc = false;
  impl_->failing.clear();
}

ChipState Chip::state() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->state;
}

void Chip::SetState(ChipState state) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->state = state;
}

std::vector<ChipRequest> Chip::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

}  // namespace testbed
