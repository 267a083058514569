#include "module_reply.h"

#include <algorithm>
#include <utility>

#include "module_framing.h"

namespace testbed {
namespace reply {
namespace {

using Kind = Fault::Kind;
constexpr size_t kAckLength = 2;
constexpr unsigned kByteValues = 256;

// The status byte the host judges: the second byte of the acknowledgement.
std::optional<uint8_t> AckStatus(const Fault& fault) {
  switch (fault.kind) {
    case Kind::kAckStatus:
      return fault.status;
    case Kind::kAckBytes:
      if (fault.bytes.size() >= kAckLength) return fault.bytes[1];
      return std::nullopt;
    case Kind::kSilence:
    case Kind::kRawReply:
    case Kind::kHangUp:
      return std::nullopt;
    default:
      return framing::kAccept;
  }
}

WireEvent ModuleEvent(WireEvent::Kind kind, Bytes raw) {
  WireEvent event;
  event.dir = WireEvent::Dir::kModuleToHost;
  event.kind = kind;
  event.raw = std::move(raw);
  return event;
}

void AddAck(Plan& plan, Bytes raw, uint8_t status) {
  WireEvent event = ModuleEvent(WireEvent::Kind::kAck, raw);
  event.status = status;
  plan.bytes.insert(plan.bytes.end(), raw.begin(), raw.end());
  plan.events.push_back(std::move(event));
}

void AddFrame(Plan& plan, const Bytes& body) {
  const Bytes raw = framing::EncodeResponse(body);
  WireEvent event = ModuleEvent(WireEvent::Kind::kFrame, raw);
  event.payload = body;
  plan.bytes.insert(plan.bytes.end(), raw.begin(), raw.end());
  plan.events.push_back(std::move(event));
}

void AddRaw(Plan& plan, const Bytes& raw) {
  if (raw.empty()) return;
  plan.bytes.insert(plan.bytes.end(), raw.begin(), raw.end());
  plan.events.push_back(ModuleEvent(WireEvent::Kind::kRaw, raw));
}

// Acknowledgement with `status`, then the response if the status accepts and there is one.
void AddOrdinary(Plan& plan, uint8_t status, const std::optional<CommandReply>& reply) {
  AddAck(plan, framing::EncodeAck(status), status);
  if (status == framing::kAccept && reply && reply->send_response) AddFrame(plan, reply->body);
}

Bytes BodyOf(const std::optional<CommandReply>& reply) { return reply ? reply->body : Bytes{}; }

void AddFaulty(Plan& plan, const Fault& fault, const std::optional<CommandReply>& reply) {
  const Bytes shortest{framing::kSync, framing::kFrameStart, framing::kSync, framing::kFrameEnd};
  switch (fault.kind) {
    case Kind::kAckStatus:
      AddOrdinary(plan, fault.status, reply);
      return;
    case Kind::kAckBytes: {
      const uint8_t status = fault.bytes.size() >= kAckLength ? fault.bytes[1] : 0;
      AddAck(plan, fault.bytes, status);
      if (status == framing::kAccept && reply && reply->send_response) {
        AddFrame(plan, reply->body);
      }
      return;
    }
    case Kind::kNoHeader:
      AddAck(plan, framing::EncodeAck(framing::kAccept), framing::kAccept);
      AddRaw(plan, framing::EncodeResponseWithHeader(kWrongHeader, BodyOf(reply)));
      return;
    case Kind::kShortFrame:
      AddAck(plan, framing::EncodeAck(framing::kAccept), framing::kAccept);
      AddRaw(plan, shortest);
      return;
    case Kind::kSilence:
    case Kind::kHangUp:
      return;
    case Kind::kSilentAfterAck:
      AddAck(plan, framing::EncodeAck(framing::kAccept), framing::kAccept);
      return;
    case Kind::kByteByByte:
    case Kind::kSplit:
    case Kind::kNotStored:
    case Kind::kLate:
      AddOrdinary(plan, reply ? reply->ack_status : framing::kAccept, reply);
      return;
    case Kind::kOversize: {
      Bytes body = BodyOf(reply);
      body.resize(std::max(body.size(), kOversizeBody), 0);
      AddAck(plan, framing::EncodeAck(framing::kAccept), framing::kAccept);
      AddFrame(plan, body);
      return;
    }
    case Kind::kRawReply:
      AddRaw(plan, fault.bytes);
      return;
    case Kind::kStray:
      AddOrdinary(plan, reply ? reply->ack_status : framing::kAccept, reply);
      AddRaw(plan, fault.bytes);
      return;
  }
}

std::vector<Bytes> CutAt(const Bytes& bytes, std::vector<size_t> cuts) {
  std::sort(cuts.begin(), cuts.end());
  std::vector<Bytes> pieces;
  size_t from = 0;
  for (size_t cut : cuts) {
    if (cut <= from || cut >= bytes.size()) continue;
    pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                        bytes.begin() + static_cast<std::ptrdiff_t>(cut));
    from = cut;
  }
  pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from), bytes.end());
  return pieces;
}

}  // namespace

const Fault* MatchFault(const std::vector<Fault>& faults, uint8_t command, int nth_of_command,
                        int nth_overall) {
  for (const Fault& fault : faults) {
    const bool any_command = fault.command < 0;
    if (!any_command && fault.command != command) continue;
    const int nth = any_command ? nth_overall : nth_of_command;
    if (fault.occurrence == 0 || fault.occurrence == nth) return &fault;
  }
  return nullptr;
}

bool CommandRuns(const Fault* fault) {
  return fault == nullptr || AckStatus(*fault) == framing::kAccept;
}

Plan PlanReply(const Fault* fault, const std::optional<CommandReply>& reply) {
  Plan plan;
  if (fault == nullptr) {
    AddOrdinary(plan, reply ? reply->ack_status : framing::kRefused, reply);
  } else {
    AddFaulty(plan, *fault, reply);
  }
  return plan;
}

std::vector<Bytes> Pieces(const Fault* fault, const Bytes& bytes) {
  if (bytes.empty()) return {};
  if (fault != nullptr && fault->kind == Kind::kByteByByte) return CutEvery(bytes, 1);
  if (fault != nullptr && fault->kind == Kind::kSplit) return CutAt(bytes, fault->cuts);
  if (fault != nullptr && fault->kind == Kind::kStray) {
    return CutAt(bytes, {bytes.size() - fault->bytes.size()});  // the stray bytes on their own
  }
  return {bytes};
}

std::chrono::milliseconds PieceGap(const Fault* fault) {
  if (fault == nullptr) return std::chrono::milliseconds{};
  return fault->kind == Kind::kStray ? fault->delay : fault->gap;
}

std::vector<Bytes> CutEvery(const Bytes& bytes, size_t piece) {
  if (piece == 0) piece = bytes.size();
  std::vector<Bytes> pieces;
  for (size_t from = 0; from < bytes.size(); from += piece) {
    const size_t to = std::min(bytes.size(), from + piece);
    pieces.emplace_back(bytes.begin() + static_cast<std::ptrdiff_t>(from),
                        bytes.begin() + static_cast<std::ptrdiff_t>(to));
  }
  return pieces;
}

Bytes ChatterBytes(size_t count) {
  Bytes bytes(count);
  for (size_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(i % kByteValues);
  return bytes;
}

}  // namespace reply
}  // namespace testbed
