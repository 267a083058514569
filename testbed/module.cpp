// The simulated BM77 module: the master side of a pseudo-terminal whose slave stands for the
// board's serial port. Host bytes are decoded as they arrive; replies are queued with due times
// and written by OnTick, so faults can pace them.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "module_chaos.h"
#include "module_impl.h"
#include "module_port.h"
#include "module_reply.h"

namespace testbed {
namespace {

constexpr uint8_t kEepromRead = 0x73;   // 's': address high, address low, count
constexpr uint8_t kEepromWrite = 0x74;  // 't': address high, address low, data...
constexpr size_t kReadPayload = 3;
constexpr size_t kAddressBytes = 2;
constexpr unsigned kBitsPerByte = 8;
constexpr uint8_t kErasedByte = 0xFF;
constexpr size_t kReadChunk = 4096;
constexpr size_t kPtyNameMax = 128;
// A full pty is retried this much later, so the loop does not spin on EAGAIN.
constexpr std::chrono::milliseconds kWriteRetry{1};
constexpr std::chrono::milliseconds kFlushSettle{1};
constexpr unsigned kLineBitsPerByte = 10;  // start bit, 8 data bits, stop bit

[[noreturn]] void ThrowErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

void SetCloseOnExec(int fd) {
  // Programs started by the board must not inherit the module's end of the line.
  const int flags = fcntl(fd, F_GETFD);
  if (flags < 0 || fcntl(fd, F_SETFD, flags | FD_CLOEXEC) < 0) ThrowErrno("fcntl");
}

size_t AddressOf(const Bytes& payload) {
  return static_cast<size_t>(payload[0]) << kBitsPerByte | payload[1];
}

CommandReply Refusal() { return CommandReply{framing::kRefused, false, {}}; }

Bytes ReadEverything(int fd) {
  Bytes input;
  uint8_t buffer[kReadChunk];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0) {
      input.insert(input.end(), buffer, buffer + n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    return input;  // EAGAIN: all read; other errors: nothing more to be had now
  }
}

// Whether the host's bytes are on the line now, waiting for the module.
bool HostBytesWaiting(int fd) {
  int count = 0;
  return ioctl(fd, FIONREAD, &count) == 0 && count > 0;
}

}  // namespace

// ---- Life of the line ------------------------------------------------------------------------

Module::Impl::Impl() {
  eeprom_.fill(kErasedByte);
  flash_.memory = flash::OldFirmware(kFlashSize);
  try {
    OpenPty();
  } catch (...) {
    CloseFds();
    throw;
  }
  RegisterEepromCommands();
  RegisterFlashCommands();
  std::lock_guard<std::mutex> lock(mu);
  SampleSettings();
}

Module::Impl::~Impl() { CloseFds(); }

void Module::Impl::CloseFds() {
  if (slave_ >= 0) close(slave_);
  if (master_ >= 0) close(master_);
  slave_ = master_ = -1;
}

void Module::Impl::OpenPty() {
  master_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (master_ < 0) ThrowErrno("posix_openpt");
  SetCloseOnExec(master_);
  char name[kPtyNameMax];
  if (grantpt(master_) != 0 || unlockpt(master_) != 0 ||
      ptsname_r(master_, name, sizeof name) != 0) {
    ThrowErrno("pty slave");
  }
  slave_path_ = name;
  slave_ = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (slave_ < 0) ThrowErrno("open pty slave");
  if (tcgetattr(slave_, &initial_termios_) != 0) ThrowErrno("tcgetattr");
}

void Module::Impl::HangUp() {
  // Closing the master hangs up every open descriptor of the slave, the program's included.
  CloseFds();
  outbox_.clear();
  write_blocked_until_ = {};
  rx_waiting_ = false;
}

int Module::Impl::master_fd() const {
  std::lock_guard<std::mutex> lock(mu);
  return master_;  // -1 while hung up: poll ignores it
}
const std::string& Module::Impl::slave_path() const { return slave_path_; }

void Module::Impl::ResetPort() {
  std::lock_guard<std::mutex> lock(mu);
  if (master_ < 0) OpenPty();  // the last run ended with the module hanging up
  tcsetattr(slave_, TCSANOW, &initial_termios_);
  outbox_.clear();
  write_blocked_until_ = {};
  rx_waiting_ = false;
  FlushLine();
  ResetParser();
  flash_.burst.reset();
  chaos_frames_ = 0;
  chaos_burst_replies_ = 0;
  chaos_dead_ = false;
  SampleSettings();
}

void Module::Impl::FlushLine() {
  // Each end flushes only its own input: the slave's holds what the module sent and no program
  // took, the master's what a program sent and the module has not read yet. The pty carries
  // bytes across in the background, so whatever was under way gets a moment to land and is
  // flushed in a second pass.
  for (int pass = 0; pass < 2; ++pass) {
    if (pass > 0) std::this_thread::sleep_for(kFlushSettle);
    tcflush(slave_, TCIOFLUSH);
    tcflush(master_, TCIOFLUSH);
  }
}

void Module::Impl::ResetParser() {
  if (auto leftover = parser_.Reset()) {
    leftover->settings = last_settings_;
    Log(std::move(*leftover));
  }
}

void Module::Impl::SetPowered(bool powered) {
  std::lock_guard<std::mutex> lock(mu);
  powered_ = powered;
  // A module losing power stops talking at once.
  if (!powered) outbox_.clear();
}

void Module::Impl::SetBootMode(int mode) {
  std::lock_guard<std::mutex> lock(mu);
  boot_mode_ = mode;
}

// ---- Event-loop hooks ------------------------------------------------------------------------

void Module::Impl::OnReadable() {
  Bytes input;
  {
    std::lock_guard<std::mutex> lock(mu);
    if (!rx_pacer_.paced()) {
      input = ReadEverything(master_);
    } else {
      const Clock::time_point now = Clock::now();
      // Bytes wait from the moment they are seen on the line, never from before: time the line
      // stood idle (a loop that came late on a loaded machine) lends them nothing.
      if (!rx_waiting_ && HostBytesWaiting(master_)) {
        rx_waiting_ = true;
        rx_ready_ = now;
      }
      if (rx_waiting_) input = TakePacedInput(now);
    }
  }
  Decode(input);
}

void Module::Impl::Drain() {
  Bytes input;
  {
    std::lock_guard<std::mutex> lock(mu);
    input = ReadEverything(master_);
    rx_waiting_ = false;
  }
  Decode(input);
}

void Module::Impl::Decode(const Bytes& input) {
  if (input.empty()) return;
  std::vector<WireEvent> events;
  {
    std::lock_guard<std::mutex> lock(mu);
    events = parser_.Feed(input);
    if (auto junk = parser_.FlushGarbage()) events.push_back(std::move(*junk));
  }
  for (WireEvent& event : events) HandleHostEvent(std::move(event));
}

Bytes Module::Impl::TakePacedInput(Clock::time_point now) {
  const size_t allowed = std::min(rx_pacer_.Allowed(now, rx_ready_), kReadChunk);
  if (allowed == 0) return {};
  Bytes input(allowed);
  ssize_t n;
  do {
    n = read(master_, input.data(), allowed);
  } while (n < 0 && errno == EINTR);
  const size_t got = n > 0 ? static_cast<size_t>(n) : 0;
  input.resize(got);
  rx_pacer_.Sent(rx_ready_, got);
  // Fewer than the line could have carried, or the last that waited: it has gone quiet until
  // the host sends again, and what comes next waits from when it is seen.
  if (got < allowed || !HostBytesWaiting(master_)) rx_waiting_ = false;
  return input;
}

void Module::Impl::OnTick(Clock::time_point now) {
  Bytes input;
  {
    std::lock_guard<std::mutex> lock(mu);
    SampleSettings();
    if (rx_waiting_) input = TakePacedInput(now);
    WriteDue(now);
  }
  Decode(input);
}

void Module::Impl::WriteDue(Clock::time_point now) {
  if (now < write_blocked_until_) return;
  while (!outbox_.empty() && outbox_.front().due <= now) {
    Pending& next = outbox_.front();
    size_t want = std::min(next.bytes.size() - next.sent, tx_pacer_.Allowed(now, next.due));
    if (trickle_) want = std::min<size_t>(want, 1);
    if (want == 0) return;  // the line is still busy with what went before
    const ssize_t n = write(master_, next.bytes.data() + next.sent, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN) {
      outbox_.pop_front();  // the line is gone; keeping the bytes would only spin the loop
      continue;
    }
    const size_t written = n > 0 ? static_cast<size_t>(n) : 0;
    next.sent += written;
    tx_pacer_.Sent(next.due, written);
    if (written < want) {
      write_blocked_until_ = now + kWriteRetry;
      return;
    }
    if (next.sent < next.bytes.size()) return;  // the rest when the line has carried this
    if (trickle_) {  // each byte a write of its own, the next on a later tick
      outbox_.pop_front();
      return;
    }
    outbox_.pop_front();
  }
}

std::optional<Clock::time_point> Module::Impl::NextDeadline() const {
  std::lock_guard<std::mutex> lock(mu);
  std::optional<Clock::time_point> next;
  if (!outbox_.empty()) {
    const Pending& front = outbox_.front();
    Clock::time_point due = std::max(front.due, write_blocked_until_);
    if (tx_pacer_.paced()) due = std::max(due, tx_pacer_.NextAt(front.due));
    next = due;
  }
  if (rx_waiting_) {
    const Clock::time_point due = rx_pacer_.NextAt(rx_ready_);
    next = next ? std::min(*next, due) : due;
  }
  return next;
}

bool Module::Impl::ListensToLine() const {
  std::lock_guard<std::mutex> lock(mu);
  return !rx_waiting_;
}

// ---- Host events -----------------------------------------------------------------------------

void Module::Impl::HandleHostEvent(WireEvent event) {
  std::unique_lock<std::mutex> lock(mu);
  SampleSettings();
  event.settings = last_settings_;
  Log(event);
  // Without power, or once it has hung up, the module hears nothing; the log still shows what
  // the program sent.
  if (!powered_ || master_ < 0) return;
  if (event.kind == WireEvent::Kind::kBurstStart || event.kind == WireEvent::Kind::kBurstData ||
      event.kind == WireEvent::Kind::kBankEnd) {
    HandleBurstEvent(event);
    return;
  }
  if (event.kind != WireEvent::Kind::kFrame) return;
  const int nth_of_command = ++occurrences_[event.command];
  const int nth_overall = ++frames_seen_;
  const Fault* matched = reply::MatchFault(faults_, event.command, nth_of_command, nth_overall);
  // The fault list may change while a handler runs unlocked.
  const std::optional<Fault> fault =
      matched ? std::optional<Fault>(*matched) : std::optional<Fault>();
  const Fault* applied = fault ? &*fault : nullptr;
  if (applied == nullptr && chaos_) {
    HandleUnderChaos(event, lock);
    return;
  }
  std::optional<CommandReply> outcome;
  if (reply::CommandRuns(applied)) {
    const bool forget = applied != nullptr && applied->kind == Fault::Kind::kNotStored;
    const auto eeprom_before = eeprom_;
    const size_t writes_before = eeprom_writes_.size();
    outcome = Execute(event, lock);
    if (forget) {
      eeprom_ = eeprom_before;
      eeprom_writes_.resize(writes_before);
    }
  }
  reply::Plan plan = reply::PlanReply(applied, outcome);
  std::chrono::milliseconds delay = outcome ? outcome->delay : std::chrono::milliseconds{};
  if (applied != nullptr && applied->kind == Fault::Kind::kLate) delay += applied->delay;
  for (WireEvent& sent : plan.events) {
    sent.at = Clock::now() + delay;
    Log(std::move(sent));
  }
  Queue(reply::Pieces(applied, plan.bytes), reply::PieceGap(applied), delay);
  if (applied != nullptr && applied->kind == Fault::Kind::kHangUp) HangUp();
}

void Module::Impl::HandleUnderChaos(const WireEvent& event, std::unique_lock<std::mutex>& lock) {
  const int frame = ++chaos_frames_;
  if (chaos_dead_) return;
  const chaos::Draw draw = chaos::DrawFor(*chaos_, frame);
  if (draw.mischief != Mischief::kNone) {
    chaos_log_.push_back({frame, event.command, draw.mischief});
  }
  if (draw.mischief == Mischief::kDead) chaos_dead_ = true;
  std::optional<CommandReply> outcome;
  if (chaos::CommandRuns(draw)) outcome = Execute(event, lock);
  const reply::Plan plan = reply::PlanReply(nullptr, outcome);
  const std::chrono::milliseconds delay = outcome ? outcome->delay : std::chrono::milliseconds{};
  const Clock::time_point start = Clock::now() + delay;
  const std::vector<chaos::Piece> pieces = chaos::Shape(draw, plan.bytes, OtherReplyBody());
  if (draw.mischief == Mischief::kNone) {
    for (WireEvent sent : plan.events) {
      sent.at = start;
      Log(std::move(sent));
    }
  }
  for (const chaos::Piece& piece : pieces) {
    if (draw.mischief != Mischief::kNone) {  // the log shows what the line carried
      WireEvent sent;
      sent.dir = WireEvent::Dir::kModuleToHost;
      sent.kind = WireEvent::Kind::kRaw;
      sent.raw = piece.bytes;
      sent.at = start + piece.at;
      Log(std::move(sent));
    }
    outbox_.push_back(Pending{piece.bytes, 0, start + piece.at});
  }
  if (outcome && outcome->send_response) last_body_ = outcome->body;
}

// Another command's response body for chaos to send: the last one sent, or a write's.
Bytes Module::Impl::OtherReplyBody() const {
  return last_body_.empty() ? Bytes{kEepromWrite, 0x00} : last_body_;
}

std::optional<CommandReply> Module::Impl::Execute(const WireEvent& frame,
                                                  std::unique_lock<std::mutex>& lock) {
  if (!frame.crc_ok) return CommandReply{framing::kBadCrc, false, {}};
  const auto found = handlers_.find(frame.command);
  if (found == handlers_.end()) return Refusal();
  const CommandHandler handler = found->second;
  // Handlers may call the public Module methods, which take the lock themselves.
  lock.unlock();
  Module module(this);
  CommandReply result = handler(module, frame.payload);
  lock.lock();
  return result;
}

void Module::Impl::Queue(const std::vector<Bytes>& pieces, std::chrono::milliseconds gap,
                         Clock::duration delay) {
  const Clock::time_point start = Clock::now() + delay;
  Clock::duration offset{};
  for (const Bytes& piece : pieces) {
    outbox_.push_back(Pending{piece, 0, start + offset});
    offset += gap;
  }
}

void Module::Impl::Log(WireEvent event) {
  if (event.at == Clock::time_point{}) event.at = Clock::now();
  log_.push_back(std::move(event));
}

void Module::Impl::SampleSettings() {
  termios now{};
  if (tcgetattr(master_, &now) != 0) return;
  last_settings_ = ToPortSettings(now);
  for (const PortSettings& seen : settings_seen_) {
    if (SameSettings(seen, last_settings_)) return;
  }
  settings_seen_.push_back(last_settings_);
}

// ---- EEPROM commands -------------------------------------------------------------------------

void Module::Impl::RegisterEepromCommands() {
  handlers_[kEepromRead] = [this](Module&, const Bytes& payload) { return EepromRead(payload); };
  handlers_[kEepromWrite] = [this](Module&, const Bytes& payload) {
    return EepromWrite(payload);
  };
}

CommandReply Module::Impl::EepromRead(const Bytes& payload) {
  if (payload.size() != kReadPayload) return Refusal();
  const size_t address = AddressOf(payload);
  const uint8_t count = payload[kAddressBytes];
  if (address + count > kEepromSize) return Refusal();
  std::lock_guard<std::mutex> lock(mu);
  // Three leading bytes the host skips: the command, a zero and the count.
  Bytes body{kEepromRead, 0x00, count};
  const auto from = eeprom_.begin() + static_cast<std::ptrdiff_t>(address);
  body.insert(body.end(), from, from + count);
  return CommandReply{framing::kAccept, true, std::move(body)};
}

CommandReply Module::Impl::EepromWrite(const Bytes& payload) {
  if (payload.size() <= kAddressBytes) return Refusal();
  const size_t address = AddressOf(payload);
  const Bytes data(payload.begin() + static_cast<std::ptrdiff_t>(kAddressBytes), payload.end());
  if (address + data.size() > kEepromSize) return Refusal();
  std::lock_guard<std::mutex> lock(mu);
  std::copy(data.begin(), data.end(), eeprom_.begin() + static_cast<std::ptrdiff_t>(address));
  eeprom_writes_.emplace_back(static_cast<uint16_t>(address), data);
  return CommandReply{framing::kAccept, true, Bytes{kEepromWrite, 0x00}};
}

// ---- Module: the tests' view -----------------------------------------------------------------

void Module::SetHandler(uint8_t command, CommandHandler handler) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (handler) {
    impl_->handlers_[command] = std::move(handler);
  } else {
    impl_->handlers_.erase(command);
  }
}

void Module::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults_.push_back(fault);
}

void Module::SetChaos(std::optional<Chaos> chaos) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->chaos_ = chaos;
}

std::vector<Module::ChaosEvent> Module::chaos_log() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->chaos_log_;
}

void Module::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->faults_.clear();
  impl_->flash_.faults.clear();
  // Occurrences count from here, so a new set of faults starts at the first frame again.
  impl_->occurrences_.clear();
  impl_->frames_seen_ = 0;
}

std::array<uint8_t, Module::kEepromSize> Module::eeprom() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->eeprom_;
}

void Module::SetEeprom(size_t address, const Bytes& bytes) {
  if (address > kEepromSize || bytes.size() > kEepromSize - address) {
    throw std::out_of_range("SetEeprom past the end of the EEPROM");
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::copy(bytes.begin(), bytes.end(),
            impl_->eeprom_.begin() + static_cast<std::ptrdiff_t>(address));
}

Bytes Module::Eeprom(size_t address, size_t count) const {
  if (address > kEepromSize || count > kEepromSize - address) {
    throw std::out_of_range("Eeprom past the end of the EEPROM");
  }
  std::lock_guard<std::mutex> lock(impl_->mu);
  const auto from = impl_->eeprom_.begin() + static_cast<std::ptrdiff_t>(address);
  return Bytes(from, from + static_cast<std::ptrdiff_t>(count));
}

std::vector<std::pair<uint16_t, Bytes>> Module::eeprom_writes() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->eeprom_writes_;
}

std::vector<WireEvent> Module::wire_log() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->log_;
}

std::vector<WireEvent> Module::host_frames() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  std::vector<WireEvent> frames;
  for (const WireEvent& event : impl_->log_) {
    if (event.dir == WireEvent::Dir::kHostToModule && event.kind == WireEvent::Kind::kFrame) {
      frames.push_back(event);
    }
  }
  return frames;
}

PortSettings Module::last_settings() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->last_settings_;
}

std::vector<PortSettings> Module::settings_seen() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->settings_seen_;
}

void Module::Chatter(size_t count, size_t piece, std::chrono::milliseconds gap) {
  const Bytes bytes = reply::ChatterBytes(count);
  if (bytes.empty()) return;
  WireEvent event;
  event.dir = WireEvent::Dir::kModuleToHost;
  event.kind = WireEvent::Kind::kRaw;
  event.raw = bytes;
  std::lock_guard<std::mutex> lock(impl_->mu);
  if (!impl_->powered_) return;  // a module without power sends nothing
  impl_->Log(std::move(event));
  impl_->Queue(reply::CutEvery(bytes, piece), gap);
}

bool Module::powered() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->powered_;
}

void Module::TrickleReplies(bool on) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->trickle_ = on;
}

void Module::PaceLine(unsigned baud) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  const auto byte_time = LinePacer::ByteTime(baud, kLineBitsPerByte);
  impl_->rx_pacer_ = LinePacer{byte_time, {}};
  impl_->tx_pacer_ = LinePacer{byte_time, {}};
  impl_->rx_waiting_ = false;
}

}  // namespace testbed
