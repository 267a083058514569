// The simulated module's flash: the four flash commands, registered in the module's command
// table, and the burst transfer that the parser hands over raw. Everything is answered only
// in boot mode 2 (firmware update), so a program that forgets to select it fails.
#include "module_flash.h"

#include <algorithm>
#include <stdexcept>

#include "module_chaos.h"
#include "module_framing.h"
#include "module_impl.h"

namespace testbed {
namespace flash {
namespace {

constexpr unsigned kBitsPerByte = 8;
constexpr size_t kCrcHigh = 0;
constexpr size_t kCrcLow = 1;
constexpr size_t kTrailerMark = 2;
constexpr size_t kTrailerEnd = 3;

bool BlockFault(BurstFault::Kind kind) {
  return kind != BurstFault::Kind::kFinishReply && kind != BurstFault::Kind::kLateFinish;
}

}  // namespace

Bytes OldFirmware(size_t size) {
  // A pattern that never reaches 0xFF and does not repeat with the bank or block size.
  constexpr unsigned kStep = 7;
  constexpr unsigned kValues = 251;
  Bytes bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * kStep % kValues);
  return bytes;
}

void Program(Bytes& memory, size_t address, const Bytes& data) {
  for (size_t i = 0; i < data.size() && address + i < memory.size(); ++i) {
    memory[address + i] &= data[i];
  }
}

uint16_t BankCrc(uint16_t crc, const Bytes& data) {
  for (uint8_t byte : data) crc = framing::CrcUpdate(crc, byte);
  return crc;
}

const BurstFault* MatchBurstFault(const std::vector<BurstFault>& faults, BurstFault::Kind kind,
                                  int bank, int block) {
  for (const BurstFault& fault : faults) {
    if (fault.kind != kind || fault.bank != bank) continue;
    if (!BlockFault(kind)) return &fault;
    const bool from_here_on = kind == BurstFault::Kind::kSilence;
    if (from_here_on ? block >= fault.block : block == fault.block) return &fault;
  }
  return nullptr;
}

}  // namespace flash

// ---- Flash commands ----------------------------------------------------------------------------

void Module::Impl::RegisterFlashCommands() {
  for (uint8_t command : {flash::kInit, flash::kErase, flash::kSwitchBank, flash::kWrite}) {
    handlers_[command] = [this, command](Module&, const Bytes& payload) {
      return FlashCommand(command, payload);
    };
  }
}

CommandReply Module::Impl::FlashCommand(uint8_t command, const Bytes& payload) {
  const CommandReply refused{framing::kRefused, false, {}};
  std::lock_guard<std::mutex> lock(mu);
  if (boot_mode_ != flash::kFirmwareUpdateMode) return refused;
  switch (command) {
    case flash::kInit:
      if (!payload.empty()) return refused;
      return CommandReply{framing::kAccept, true, {flash::kInit, flash::kIdHigh, flash::kIdLow}};
    case flash::kErase:
      if (!payload.empty()) return refused;
      std::fill(flash_.memory.begin(), flash_.memory.end(), flash::kErased);
      return CommandReply{framing::kAccept, true, {flash::kErase, 0x00}, flash_.erase_time};
    case flash::kSwitchBank:
      if (payload.size() != 1 || payload[0] >= kFlashBanks) return refused;
      flash_.bank = payload[0];
      return CommandReply{framing::kAccept, true, {flash::kSwitchBank, payload[0]}};
    default:  // flash::kWrite
      return CommandReply{framing::kAccept, true, {flash::kWrite, 0x00}};
  }
}

// ---- The burst ---------------------------------------------------------------------------------

void Module::Impl::HandleBurstEvent(const WireEvent& event) {
  switch (event.kind) {
    case WireEvent::Kind::kBurstStart:
      StartBurst(event.payload);
      return;
    case WireEvent::Kind::kBurstData:
      TakeBlock(event.payload);
      return;
    default:  // kBankEnd
      EndBank(event.raw);
      return;
  }
}

void Module::Impl::StartBurst(const Bytes& count) {
  flash_.burst.reset();
  flash_.resumes_due.clear();
  const size_t expected =
      static_cast<size_t>(count[0]) << 16 | static_cast<size_t>(count[1]) << 8 | count[2];
  // Outside the firmware-update mode, before a bank was selected, or for more than a bank, the
  // burst is not taken: the module says nothing, and the host waits in vain.
  if (boot_mode_ != flash::kFirmwareUpdateMode || flash_.bank < 0 || expected > kFlashBankSize) {
    return;
  }
  flash::Burst burst;
  burst.bank = flash_.bank;
  flash_.burst = burst;
}

void Module::Impl::TakeBlock(const Bytes& data) {
  if (!flash_.burst) return;
  flash::Burst& burst = *flash_.burst;
  flash::Program(flash_.memory, static_cast<size_t>(burst.bank) * kFlashBankSize + burst.received,
                 data);
  burst.crc = flash::BankCrc(burst.crc, data);
  burst.received += data.size();
  if (data.size() != framing::kBurstBlock) return;  // a short block earns no resume reply
  ++burst.full_blocks;
  if (flash::MatchBurstFault(flash_.faults, BurstFault::Kind::kHangUp, burst.bank,
                             burst.full_blocks)) {
    flash_.burst.reset();
    HangUp();
    return;
  }
  if (burst.silent || flash::MatchBurstFault(flash_.faults, BurstFault::Kind::kSilence, burst.bank,
                                             burst.full_blocks)) {
    burst.silent = true;
    return;
  }
  const Clock::time_point now = Clock::now();
  while (!flash_.resumes_due.empty() && flash_.resumes_due.front() <= now) {
    flash_.resumes_due.pop_front();
  }
  flash_.max_unconfirmed = std::max(flash_.max_unconfirmed, flash_.resumes_due.size());
  const BurstFault* late = flash::MatchBurstFault(flash_.faults, BurstFault::Kind::kLateResume,
                                                  burst.bank, burst.full_blocks);
  Clock::time_point due = now + flash_.resume_hold + (late ? late->delay : Clock::duration{});
  // Replies go out in order: one held back holds back every later one.
  if (!flash_.resumes_due.empty()) due = std::max(due, flash_.resumes_due.back());
  flash_.resumes_due.push_back(due);
  const BurstFault* fault = flash::MatchBurstFault(flash_.faults, BurstFault::Kind::kResumeReply,
                                                   burst.bank, burst.full_blocks);
  SendBurstReply(fault ? fault->bytes : framing::EncodeAck(flash::kResume), due);
}

void Module::Impl::EndBank(const Bytes& bank_end) {
  if (!flash_.burst) return;
  const flash::Burst burst = *flash_.burst;
  flash_.burst.reset();
  if (burst.silent) return;
  const auto crc = static_cast<uint16_t>(bank_end[flash::kCrcHigh] << flash::kBitsPerByte |
                                         bank_end[flash::kCrcLow]);
  // The parser hands the bank end over only once the count's worth of data has come.
  const bool accepted = bank_end[flash::kTrailerMark] == framing::kSync &&
                        bank_end[flash::kTrailerEnd] == framing::kFrameEnd && crc == burst.crc;
  const BurstFault* fault =
      flash::MatchBurstFault(flash_.faults, BurstFault::Kind::kFinishReply, burst.bank, 0);
  Clock::time_point due = Clock::now();
  // The finish reply comes after every resume reply still held back.
  if (!flash_.resumes_due.empty()) due = std::max(due, flash_.resumes_due.back());
  const BurstFault* late =
      flash::MatchBurstFault(flash_.faults, BurstFault::Kind::kLateFinish, burst.bank, 0);
  if (late != nullptr) due += late->delay;
  SendBurstReply(
      fault ? fault->bytes : framing::EncodeAck(accepted ? framing::kAccept : flash::kBankRefused),
      due);
}

// Under chaos a burst reply meets mischief like a reply to a frame. Its draw is numbered apart
// (-1, -2, ...), so the frames' draws, and a seed's replay, do not move with the bank's blocks.
void Module::Impl::SendBurstReply(const Bytes& bytes, Clock::time_point due) {
  if (bytes.empty()) return;
  if (!chaos_) {
    PutBurstBytes(bytes, due);
    return;
  }
  const int reply = -++chaos_burst_replies_;
  if (chaos_dead_) return;
  const chaos::Draw draw = chaos::DrawFor(*chaos_, reply);
  if (draw.mischief != Mischief::kNone) chaos_log_.push_back({reply, bytes.back(), draw.mischief});
  if (draw.mischief == Mischief::kDead) chaos_dead_ = true;
  for (const chaos::Piece& piece : chaos::Shape(draw, bytes, OtherReplyBody())) {
    PutBurstBytes(piece.bytes, due + piece.at);
  }
}

void Module::Impl::PutBurstBytes(const Bytes& bytes, Clock::time_point due) {
  WireEvent event;
  event.dir = WireEvent::Dir::kModuleToHost;
  const bool two_byte_reply = bytes.size() == 2 && bytes[0] == framing::kSync;
  event.kind = two_byte_reply ? WireEvent::Kind::kAck : WireEvent::Kind::kRaw;
  if (two_byte_reply) event.status = bytes[1];
  event.raw = bytes;
  event.at = due;
  Log(std::move(event));
  outbox_.push_back(Pending{bytes, 0, due});
}

// ---- Module: the tests' view -------------------------------------------------------------------

Bytes Module::Flash(size_t address, size_t count) const {
  if (address > kFlashSize || count > kFlashSize - address) {
    throw std::out_of_range("Flash past the end of the flash");
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  const auto from = impl_->flash_.memory.begin() + static_cast<std::ptrdiff_t>(address);
  return Bytes(from, from + static_cast<std::ptrdiff_t>(count));
}

void Module::SetFlash(size_t address, const Bytes& bytes) {
  if (address > kFlashSize || bytes.size() > kFlashSize - address) {
    throw std::out_of_range("SetFlash past the end of the flash");
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::copy(bytes.begin(), bytes.end(),
            impl_->flash_.memory.begin() + static_cast<std::ptrdiff_t>(address));
}

void Module::SetEraseTime(std::chrono::milliseconds time) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->flash_.erase_time = time;
}

void Module::HoldResumes(std::chrono::milliseconds delay) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->flash_.resume_hold = delay;
}

size_t Module::max_unconfirmed_blocks() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->flash_.max_unconfirmed;
}

void Module::AddBurstFault(const BurstFault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->flash_.faults.push_back(fault);
}

}  // namespace testbed
