// The board's side of the socket (sim_protocol.h). Each connection is one exchange, served to
// the end in the loop thread; every wait on the client is short, so a program that dies in the
// middle of an exchange cannot stall the board.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "board_impl.h"

namespace testbed {

namespace {

constexpr int kClientTimeoutMs = 1000;
constexpr const char* kNoisewellCommand =
    simwire::FirstBoardPath(simwire::BoardPathKind::kProgram);

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  int r;
  do {
    r = poll(&p, 1, kClientTimeoutMs);
  } while (r < 0 && errno == EINTR);
  return r == 1 && (p.revents & POLLIN) != 0;
}

bool SendAll(int fd, const void* data, size_t size) {
  return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

bool SendReply(int fd, uint32_t kind, uint32_t offset, uint32_t length, int32_t result = 0,
               int32_t err = 0) {
  const simwire::Reply reply{simwire::kMagic, kind, offset, length, result, err};
  return SendAll(fd, &reply, sizeof reply);
}

// One message of at most `size` bytes; -1 when none came in time.
ssize_t ReceiveMessage(int fd, void* buffer, size_t size) {
  if (!WaitReadable(fd)) return -1;
  return recv(fd, buffer, size, 0);
}

std::string DeviceName(uint32_t device) {
  switch (device) {
    case simwire::kDevVrkIo:
      return "/dev/vrk_io";
    case simwire::kDevSha204:
      return "/dev/ZR6083_S";
    case simwire::kDevFb0:
      return "/dev/fb0";
    default:
      return "device " + std::to_string(device);
  }
}

}  // namespace

// ---- DeviceCall ---------------------------------------------------------------------------------

std::optional<Bytes> DeviceCall::Read(uint32_t offset, uint32_t length) {
  if (length > simwire::kMemChunkMax) return std::nullopt;
  if (!SendReply(fd_, simwire::kMemRead, offset, length)) return std::nullopt;
  Bytes message(sizeof(uint32_t) + length);
  const ssize_t n = ReceiveMessage(fd_, message.data(), message.size());
  if (n < static_cast<ssize_t>(sizeof(uint32_t))) return std::nullopt;
  uint32_t status;
  std::memcpy(&status, message.data(), sizeof status);
  if (status != simwire::kMemOk || n != static_cast<ssize_t>(message.size())) return std::nullopt;
  return Bytes(message.begin() + sizeof status, message.end());
}

bool DeviceCall::Write(uint32_t offset, const Bytes& bytes) {
  const auto length = static_cast<uint32_t>(bytes.size());
  if (length > simwire::kMemChunkMax) return false;
  if (!SendReply(fd_, simwire::kMemWrite, offset, length) ||
      !SendAll(fd_, bytes.data(), bytes.size())) {
    return false;
  }
  uint32_t status = simwire::kMemFault;
  return ReceiveMessage(fd_, &status, sizeof status) == static_cast<ssize_t>(sizeof status) &&
         status == simwire::kMemOk;
}

std::optional<int32_t> DeviceCall::ReadInt() {
  const std::optional<Bytes> bytes = Read(0, sizeof(int32_t));
  if (!bytes) return std::nullopt;
  int32_t value;
  std::memcpy(&value, bytes->data(), sizeof value);  // the program's own byte order
  return value;
}

// ---- Serving ------------------------------------------------------------------------------------

void Board::Impl::Serve(int fd) {
  simwire::Request req;
  if (ReceiveMessage(fd, &req, sizeof req) != static_cast<ssize_t>(sizeof req) ||
      req.magic != simwire::kMagic) {
    return;
  }
  req.text[simwire::kTextMax - 1] = '\0';
  const std::string text = req.text;
  DeviceAnswer answer;
  switch (req.kind) {
    case simwire::kHello: {
      std::lock_guard<std::mutex> lock(mu);
      greeted.insert(req.pid);
      break;
    }
    case simwire::kViolation:
      AddViolation(text);
      break;
    case simwire::kSystem:
      answer.result = OnSystem(text);
      if (answer.result == -1) answer.err = EACCES;
      break;
    case simwire::kIoctl: {
      DeviceCall call(fd, req);
      answer = Dispatch(call, req.device);
      break;
    }
    default:
      AddViolation("unknown message " + std::to_string(req.kind) + " on the board socket");
      answer = {-1, EINVAL};
  }
  SendReply(fd, simwire::kDone, 0, 0, answer.result, answer.err);
}

namespace {

// One entry of the board's table of devices: the device id the preload library names, and the
// device's Impl, which serves the request (any Impl with Handle(DeviceCall&, const Violation&)).
struct DeviceEntry {
  uint32_t device;
  std::function<DeviceAnswer(DeviceCall&, const Violation&)> handle;
};

template <typename DeviceImpl>
DeviceEntry Serves(uint32_t device, DeviceImpl& impl) {
  return {device, [&impl](DeviceCall& call, const Violation& violation) {
            return impl.Handle(call, violation);
          }};
}

}  // namespace

DeviceAnswer Board::Impl::Dispatch(DeviceCall& call, uint32_t device) {
  const DeviceEntry devices[] = {
      Serves(simwire::kDevVrkIo, io_impl),
      Serves(simwire::kDevSha204, chip_impl),
      Serves(simwire::kDevFb0, fb_impl),
  };
  const Violation violation = [this](std::string text) { AddViolation(std::move(text)); };
  for (const DeviceEntry& d : devices) {
    if (d.device == device) return d.handle(call, violation);
  }
  AddViolation("ioctl " + std::to_string(call.request()) + " on " + DeviceName(device) +
               ": the board has no such device");
  return {-1, ENOTTY};
}

int32_t Board::Impl::OnSystem(const std::string& command) {
  std::lock_guard<std::mutex> lock(mu);
  system_calls.push_back(command);
  if (command == kNoisewellCommand && !noisewell.empty()) return simwire::kSystemRun;
  violations.push_back("system(\"" + command + "\"): not a program the board runs");
  return -1;
}

}  // namespace testbed
