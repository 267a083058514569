// The board I/O control device (/dev/vrk_io): module power, boot mode and the VCOM handed to
// the display power chip. Every request is logged with its value and result.
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "board_impl.h"

namespace testbed {

namespace {

constexpr uint32_t kPowerOff = 216;
constexpr uint32_t kPowerOn = 217;
constexpr uint32_t kOperationLine = 218;
constexpr uint32_t kBootMode = 220;
constexpr uint32_t kVcom = 221;

constexpr int kModeApplication = 0;
constexpr int kModeFirmwareUpdate = 2;

bool TakesIntPointer(uint32_t request) {
  return request == kOperationLine || request == kBootMode || request == kVcom;
}

bool Known(uint32_t request) {
  return request == kPowerOff || request == kPowerOn || TakesIntPointer(request);
}

}  // namespace

void BoardIo::Impl::CreateNode() { std::ofstream touch(node, std::ios::app); }

// Carries out a known request whose value (if any) was read; caller holds `mu`.
DeviceAnswer BoardIo::Impl::Apply(const IoRequest& entry) {
  if (failing) return {-1, EIO};
  switch (entry.request) {
    case kPowerOff:
    case kPowerOn:
      power = entry.request == kPowerOn;
      break;
    case kBootMode:
      if (*entry.value < kModeApplication || *entry.value > kModeFirmwareUpdate) {
        return {-1, EINVAL};
      }
      mode = *entry.value;
      break;
    case kVcom:
      vcom = *entry.value;
      break;
    default:  // the operation line: nothing of the board follows it
      break;
  }
  return {};
}

DeviceAnswer BoardIo::Impl::Handle(DeviceCall& call, const Violation& violation) {
  IoRequest entry;
  entry.request = call.request();
  DeviceAnswer answer;
  if (!Known(entry.request)) {
    violation("ioctl " + std::to_string(entry.request) + " on /dev/vrk_io: unknown request");
    answer = {-1, EINVAL};
  } else {
    if (TakesIntPointer(entry.request)) entry.value = call.ReadInt();
    if (TakesIntPointer(entry.request) && !entry.value) {
      answer = {-1, EFAULT};
    } else {
      std::lock_guard<std::mutex> lock(mu);
      answer = Apply(entry);
    }
  }
  const bool switched =
      answer.result == 0 && (entry.request == kPowerOff || entry.request == kPowerOn);
  // Outside the lock: the module takes its own.
  if (switched) module->SetPowered(entry.request == kPowerOn);
  if (answer.result == 0 && entry.request == kBootMode) module->SetBootMode(*entry.value);
  entry.result = answer.result;
  std::lock_guard<std::mutex> lock(mu);
  requests.push_back(std::move(entry));
  return answer;
}

void BoardIo::SetPresent(bool present) { SetNodePresent(impl_, present); }

void BoardIo::SetFailing(bool failing) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->failing = failing;
}

bool BoardIo::power() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->power;
}

int BoardIo::mode() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->mode;
}

std::optional<int> BoardIo::vcom() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->vcom;
}

void BoardIo::Restore(bool power, int mode, std::optional<int> vcom) {
  {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->power = power;
    impl_->mode = mode;
    impl_->vcom = vcom;
  }
  // Outside the lock: the module takes its own.
  impl_->module->SetPowered(power);
  impl_->module->SetBootMode(mode);
}

std::vector<IoRequest> BoardIo::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

}  // namespace testbed
