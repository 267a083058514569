// What path_probe does with the board's files, shared by the probe and the test that checks
// where everything landed. Every file the probe writes holds "<tag>-<way>", so what one run
// left can be told from another run's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// The test puts these into the sandbox first: the probe reads the preset file in every way...
constexpr const char kPresetPath[] = "/opt/vcomdata";
constexpr const char kPresetText[] = "preset";
// ...and removes these, one way each: remove, unlink, unlinkat.
inline const std::vector<const char*>& RemovedFiles() {
  static const std::vector<const char*> files = {"/tmp/mac", "/opt/mac", "/tmp/device_name"};
  return files;
}

// A board file after the run: the way that wrote it last, or nullptr when it must be gone.
struct Left {
  const char* path;
  const char* way;
};
inline const std::vector<Left>& LeftFiles() {
  static const std::vector<Left> files = {
      {"/tmp/mac", "noncanonical"}, {"/opt/mac", "dotdot"},        {"/opt/device_name", "ofstream"},
      {"/tmp/device_name", nullptr}, {"/opt/vcomdata", "creat"},   {"/opt/random", "freopen"},
  };
  return files;
}

inline std::string Written(const std::string& tag, const char* way) { return tag + "-" + way; }

// The frame the probe writes to /dev/ttyS0: an EEPROM read of 6 bytes at `address`.
constexpr uint8_t kFrameCommand = 0x73;
constexpr uint8_t kFrameCount = 6;

}  // namespace probe
