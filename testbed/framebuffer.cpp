// The framebuffer (/dev/fb0): a sandbox file that programs map as the framebuffer memory, the
// fixed and variable screen information, the panel driver's update-mode request and the pan.
// Every request is logged with what it handed over; any of them can be made to fail.
#include <linux/fb.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <type_traits>

#include "board_impl.h"

namespace testbed {

namespace fs = std::filesystem;

namespace {

// Where struct fb_fix_screeninfo keeps the fields the board fills in. Its `unsigned long`
// members (smem_start, mmio_start) make it differ between 64-bit programs and the device's
// 32-bit ones; this table is the one place that knows both.
struct FixLayout {
  size_t size;
  size_t smem_len;
  size_t type;
  size_t visual;
  size_t xpanstep;
  size_t ypanstep;
  size_t ywrapstep;
  size_t line_length;
};
constexpr FixLayout kFixLayout64 = {80, 24, 28, 36, 40, 42, 44, 48};
constexpr FixLayout kFixLayout32 = {68, 20, 24, 32, 36, 38, 40, 44};
constexpr size_t kFixIdSize = 16;  // id[16], at offset 0 in both

constexpr const FixLayout& FixLayoutFor(unsigned word_bits) {
  return word_bits == 32 ? kFixLayout32 : kFixLayout64;
}

// This build's own layout agrees with the kernel's header.
constexpr const FixLayout& kNativeLayout = FixLayoutFor(sizeof(unsigned long) * 8);
static_assert(kNativeLayout.size == sizeof(fb_fix_screeninfo));
static_assert(kNativeLayout.smem_len == offsetof(fb_fix_screeninfo, smem_len));
static_assert(kNativeLayout.type == offsetof(fb_fix_screeninfo, type));
static_assert(kNativeLayout.visual == offsetof(fb_fix_screeninfo, visual));
static_assert(kNativeLayout.xpanstep == offsetof(fb_fix_screeninfo, xpanstep));
static_assert(kNativeLayout.ypanstep == offsetof(fb_fix_screeninfo, ypanstep));
static_assert(kNativeLayout.ywrapstep == offsetof(fb_fix_screeninfo, ywrapstep));
static_assert(kNativeLayout.line_length == offsetof(fb_fix_screeninfo, line_length));

// The variable information is 40 words in every program, so it crosses as it is.
constexpr size_t kVarSize = 160;
static_assert(sizeof(FbVarInfo) == kVarSize && sizeof(fb_var_screeninfo) == kVarSize);
static_assert(std::is_trivially_copyable_v<FbVarInfo>);

void Put(Bytes& out, size_t offset, uint32_t value, size_t size) {
  for (size_t i = 0; i < size; ++i) out[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

// In the program's byte order: little-endian, as on the device.
Bytes EncodeFix(const FbFixInfo& fix, const FixLayout& layout) {
  Bytes out(layout.size, 0);
  std::memcpy(out.data(), fix.id.data(), std::min(fix.id.size(), kFixIdSize - 1));
  Put(out, layout.smem_len, fix.smem_len, 4);
  Put(out, layout.type, fix.type, 4);
  Put(out, layout.visual, fix.visual, 4);
  Put(out, layout.xpanstep, fix.xpanstep, 2);
  Put(out, layout.ypanstep, fix.ypanstep, 2);
  Put(out, layout.ywrapstep, fix.ywrapstep, 2);
  Put(out, layout.line_length, fix.line_length, 4);
  return out;
}

Bytes EncodeVar(const FbVarInfo& var) {
  Bytes out(kVarSize);
  std::memcpy(out.data(), &var, kVarSize);
  return out;
}

FbVarInfo DecodeVar(const Bytes& bytes) {
  FbVarInfo var;
  std::memcpy(&var, bytes.data(), kVarSize);
  return var;
}

bool Known(uint32_t request) {
  return request == Framebuffer::kGetFixInfo || request == Framebuffer::kGetVarInfo ||
         request == Framebuffer::kSetMode || request == Framebuffer::kPan;
}

DeviceAnswer Written(bool ok) { return ok ? DeviceAnswer{} : DeviceAnswer{-1, EFAULT}; }

}  // namespace

bool operator==(const FbVarInfo& a, const FbVarInfo& b) {
  return std::memcmp(&a, &b, kVarSize) == 0;
}

// ---- Framebuffer::Impl --------------------------------------------------------------------------

void Framebuffer::Impl::CreateNode() {
  { std::ofstream touch(node, std::ios::app); }
  std::error_code ignored;
  if (fs::file_size(node, ignored) < fix.smem_len) fs::resize_file(node, fix.smem_len, ignored);
}

DeviceAnswer Framebuffer::Impl::Serve(DeviceCall& call, FbRequest* entry,
                                      const std::function<void(std::string)>& violation) {
  if (!Known(entry->request)) {
    violation("ioctl " + std::to_string(entry->request) + " on /dev/fb0: unknown request");
    return {-1, EINVAL};
  }
  if (entry->request == Framebuffer::kSetMode) entry->value = call.arg_low();
  if (entry->request == Framebuffer::kPan) {
    const std::optional<Bytes> bytes = call.Read(0, kVarSize);
    if (!bytes) return {-1, EFAULT};
    entry->var = DecodeVar(*bytes);
  }
  std::unique_lock<std::mutex> lock(mu);
  const auto failure = failures.find(entry->request);
  if (failure != failures.end()) return {-1, failure->second};
  const FbFixInfo fix_now = fix;
  const FbVarInfo var_now = var;
  const FixLayout& layout = FixLayoutFor(program_word_bits);
  lock.unlock();  // the caller's memory is written without holding the lock
  switch (entry->request) {
    case Framebuffer::kGetFixInfo:
      return Written(call.Write(0, EncodeFix(fix_now, layout)));
    case Framebuffer::kGetVarInfo:
      return Written(call.Write(0, EncodeVar(var_now)));
    default:  // the mode and the pan change nothing the board keeps
      return {};
  }
}

DeviceAnswer Framebuffer::Impl::Handle(DeviceCall& call,
                                       const std::function<void(std::string)>& violation) {
  FbRequest entry;
  entry.request = call.request();
  const DeviceAnswer answer = Serve(call, &entry, violation);
  entry.result = answer.result;
  std::lock_guard<std::mutex> lock(mu);
  requests.push_back(std::move(entry));
  return answer;
}

// ---- Framebuffer --------------------------------------------------------------------------------

void Framebuffer::SetPresent(bool present) { SetNodePresent(impl_, present); }

void Framebuffer::SetFixInfo(const FbFixInfo& fix) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->fix = fix;
  if (impl_->present) impl_->CreateNode();
}

void Framebuffer::SetVarInfo(const FbVarInfo& var) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->var = var;
}

FbFixInfo Framebuffer::fix_info() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->fix;
}

FbVarInfo Framebuffer::var_info() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->var;
}

void Framebuffer::FailRequest(uint32_t request, int err) {
  std::lock_guard<std::mutex> lock(impl_->mu);
  impl_->failures[request] = err;
}

Bytes Framebuffer::Memory() const {
  std::ifstream in(impl_->node, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void Framebuffer::SetMemory(const Bytes& bytes) {
  std::ofstream out(impl_->node, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

std::vector<FbRequest> Framebuffer::requests() const {
  std::lock_guard<std::mutex> lock(impl_->mu);
  return impl_->requests;
}

}  // namespace testbed
