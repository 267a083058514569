// Helpers of the flash tests: images, the expected progress lines, and the bursts read back
// from the module's wire log.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "board_test.h"

namespace e2e {

using testbed::WireEvent;

constexpr size_t kBank = testbed::Module::kFlashBankSize;
constexpr size_t kFlashSize = testbed::Module::kFlashSize;
constexpr uint8_t kFlashInit = 0x50;
constexpr uint8_t kFlashErase = 0x51;
constexpr uint8_t kSwitchBank = 0x63;

// A recognisable image: pseudo-random bytes (mark and trailer bytes among them), no two banks
// alike.
inline Bytes ImageBytes(size_t size) {
  Bytes bytes(size);
  uint32_t state = 0x12345678u;
  for (size_t i = 0; i < size; ++i) {
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    bytes[i] = static_cast<uint8_t>(state >> 24);
  }
  return bytes;
}

// Writes `bytes` into the sandbox folder (outside the fixed paths); returns the path.
inline std::string WriteImage(testbed::Board& board, const Bytes& bytes,
                              const std::string& name = "fw.bin") {
  const std::string path = board.sandbox() + "/" + name;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), f);
  std::fclose(f);
  return path;
}

// The lines of a programming run whose bursts carry `counts` bytes, bank by bank.
inline Lines ProgrammingLines(const std::vector<uint32_t>& counts) {
  Lines out{"Parse Bin File", "Initialize Flash ...", "FLASH ID: [0xbf41]", "Erasing Flash ... ",
            "Switch Bank ID : 0"};
  for (size_t i = 0; i < counts.size(); ++i) {
    if (i > 0) out.push_back("Switch Bank ID : " + std::to_string(i));
    char line[64];
    std::snprintf(line, sizeof line, "Busrt Start ---- 0x%x", counts[i]);
    out.push_back(line);
  }
  return out;
}

inline Lines Joined(Lines head, const Lines& tail) {
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// One bank's burst as the wire log shows it.
struct Burst {
  uint32_t count = 0;
  std::vector<size_t> blocks;  // sizes of the data blocks
  std::vector<testbed::WireEvent> data;
  int resumes = 0;             // resume replies the module sent
  Bytes bank_end;
  int finish = -1;             // status of the finish reply (-1: none)
};

inline std::vector<Burst> Bursts(const std::vector<WireEvent>& log) {
  std::vector<Burst> bursts;
  bool open = false;
  for (const WireEvent& e : log) {
    const bool host = e.dir == WireEvent::Dir::kHostToModule;
    if (host && e.kind == WireEvent::Kind::kBurstStart) {
      bursts.emplace_back();
      bursts.back().count = static_cast<uint32_t>(e.payload[0] << 16 | e.payload[1] << 8 |
                                                  e.payload[2]);
      open = true;
    } else if (!open) {
      continue;
    } else if (host && e.kind == WireEvent::Kind::kBurstData) {
      bursts.back().blocks.push_back(e.payload.size());
      bursts.back().data.push_back(e);
    } else if (host && e.kind == WireEvent::Kind::kBankEnd) {
      bursts.back().bank_end = e.raw;
    } else if (!host && e.kind == WireEvent::Kind::kAck && e.status == 0x88) {
      ++bursts.back().resumes;
    } else if (!host && !bursts.back().bank_end.empty()) {
      bursts.back().finish = e.status;
      open = false;
    }
  }
  return bursts;
}

// Index of the first byte where `a` and `b` differ, or -1 when they are equal (a readable
// failure for images of half a megabyte).
inline long FirstDifference(const Bytes& a, const Bytes& b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<long>(i);
  }
  return a.size() == b.size() ? -1 : static_cast<long>(n);
}

// Whether the flash holds `image` from address 0 and is erased after it.
inline void ExpectFlashHolds(testbed::Module& module, const Bytes& image) {
  EXPECT_EQ(FirstDifference(module.Flash(0, image.size()), image), -1);
  const Bytes rest = module.Flash(image.size(), kFlashSize - image.size());
  EXPECT_EQ(FirstDifference(rest, Bytes(rest.size(), 0xFF)), -1);
}

// Commands of the host's frames, in order.
inline std::vector<int> FrameCommands(testbed::Module& module) {
  std::vector<int> out;
  for (const WireEvent& e : module.host_frames()) out.push_back(e.command);
  return out;
}

}  // namespace e2e
