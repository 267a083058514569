// Inside the board: what board.cpp, board_server.cpp, board_run.cpp and the device files
// (board_io.cpp, chip.cpp) share.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "board.h"
#include "framebuffer_impl.h"
#include "module_impl.h"
#include "sim_protocol.h"

namespace testbed {

// One ioctl forwarded by a program's preload library, with access to the caller's memory
// (board_server.cpp). Only the loop thread uses it, while the connection is open.
class DeviceCall {
 public:
  DeviceCall(int fd, const simwire::Request& request) : fd_(fd), request_(request) {}
  uint32_t request() const { return request_.request; }
  uint32_t arg_low() const { return request_.arg_low; }
  // Reads `length` bytes at the argument pointer + offset. nullopt: the caller's memory was
  // bad (EFAULT) or the connection broke.
  std::optional<Bytes> Read(uint32_t offset, uint32_t length);
  // Writes into the caller's memory; false when it was bad or the connection broke.
  bool Write(uint32_t offset, const Bytes& bytes);
  std::optional<int32_t> ReadInt();

 private:
  int fd_;
  const simwire::Request& request_;
};

// Puts a device's node into the sandbox, or takes it away so that opening it fails with
// ENOENT. `Impl` is a device's Impl with `mu`, `present`, `node` and CreateNode().
template <typename Impl>
void SetNodePresent(Impl* impl, bool present) {
  std::lock_guard<std::mutex> lock(impl->mu);
  impl->present = present;
  if (present) {
    impl->CreateNode();
  } else {
    std::error_code ignored;
    std::filesystem::remove(impl->node, ignored);
  }
}

// What a device answers to one request: ioctl's result, and errno when it is negative.
struct DeviceAnswer {
  int32_t result = 0;
  int32_t err = 0;
};

// Records a fault of the program (something a real driver would not have taken).
using Violation = std::function<void(std::string)>;

// Each simulated device behind a fixed device path has an Impl with
//   DeviceAnswer Handle(DeviceCall& call, const Violation& violation);
// that serves one request of a program (loop thread); the board's table of devices
// (Board::Impl::Dispatch) routes each forwarded ioctl to it.

struct BoardIo::Impl {
  DeviceAnswer Handle(DeviceCall& call, const Violation& violation);
  DeviceAnswer Apply(const IoRequest& entry);
  void CreateNode();

  mutable std::mutex mu;
  std::string node;                // the sandbox file that stands for /dev/vrk_io
  Module::Impl* module = nullptr;  // told when the power changes
  bool present = true;
  bool failing = false;
  bool power = true;
  int mode = 0;
  std::optional<int> vcom;
  std::vector<IoRequest> requests;
};

struct Chip::Impl {
  Impl();  // a working chip, asleep
  DeviceAnswer Handle(DeviceCall& call, const Violation& violation);
  void CreateNode();

  mutable std::mutex mu;
  std::string node;  // the sandbox file that stands for /dev/ZR6083_S
  bool present = true;
  ChipState state = ChipState::kAsleep;
  Bytes random;
  Bytes wake_response;
  std::optional<uint8_t> status_byte;
  std::optional<Bytes> response;
  bool bad_crc = false;
  struct Failure {
    uint32_t request;
    int32_t result;
    int occurrence;  // 0: every time
  };
  std::vector<Failure> failing;
  std::map<uint32_t, int> seen;  // occurrences so far, per request number
  Bytes pending;                 // what the next receive reads
  Clock::time_point ready_at;    // when the last command's result is ready
  std::vector<ChipRequest> requests;

 private:
  DeviceAnswer Send(DeviceCall& call, ChipRequest* entry);
  DeviceAnswer Receive(DeviceCall& call, ChipRequest* entry);
  DeviceAnswer Plain(const ChipRequest& entry);
  std::optional<int32_t> FailureFor(uint32_t request);
  void Execute(const Bytes& packet, Clock::time_point now);
};

struct Board::Impl {
  explicit Impl(BoardOptions board_options);
  ~Impl();

  void Loop();
  void Serve(int fd);
  void AcceptAll();
  DeviceAnswer Dispatch(DeviceCall& call, uint32_t device);
  int32_t OnSystem(const std::string& command);
  void AddViolation(std::string text);
  void Wake();
  // Returns once the loop has read and decoded every byte waiting on the line.
  void Settle();

  BoardOptions options;
  std::string sandbox;
  bool keep_sandbox = false;
  std::string socket_name;  // "@..." (abstract)
  int listen_fd = -1;
  int wake_read = -1;
  int wake_write = -1;

  std::unique_ptr<Module::Impl> module_impl;
  Module module;
  BoardIo::Impl io_impl;
  BoardIo io;
  Framebuffer::Impl fb_impl;
  Framebuffer fb;
  Chip::Impl chip_impl;
  Chip chip;

  std::atomic<bool> stop{false};
  std::thread loop;

  // Guards everything below.
  mutable std::mutex mu;
  std::condition_variable settled;
  uint64_t settle_wanted = 0;
  uint64_t settle_done = 0;
  std::vector<std::string> violations;
  std::vector<std::string> system_calls;
  std::set<pid_t> greeted;  // pids whose preload library said hello (this run)
  std::string noisewell;    // BM77SIM_NOISEWELL of the current run ("" = refuse)
};

}  // namespace testbed
