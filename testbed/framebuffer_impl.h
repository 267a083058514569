// Inside the board: the framebuffer device (framebuffer.cpp).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "board.h"

namespace testbed {

class DeviceCall;
struct DeviceAnswer;

struct Framebuffer::Impl {
  // Serves one request of a program (loop thread), shaped like the other devices' handlers.
  DeviceAnswer Handle(DeviceCall& call, const std::function<void(std::string)>& violation);
  // Makes the memory file if it is missing and grows it to smem_len bytes; keeps its content.
  void CreateNode();

  mutable std::mutex mu;
  std::string node;  // the sandbox file that stands for /dev/fb0: the framebuffer memory
  // Word size of the programs served: struct fb_fix_screeninfo is laid out differently for
  // 64-bit and 32-bit programs. A runner of 32-bit programs sets 32.
  unsigned program_word_bits = sizeof(unsigned long) * 8;
  bool present = true;
  FbFixInfo fix;
  FbVarInfo var;
  std::map<uint32_t, int> failures;  // request -> errno
  std::vector<FbRequest> requests;

 private:
  DeviceAnswer Serve(DeviceCall& call, FbRequest* entry,
                     const std::function<void(std::string)>& violation);
};

}  // namespace testbed
