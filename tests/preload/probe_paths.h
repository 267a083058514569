// What path_probe does with the fixed paths, shared by the probe and the test that checks
// where everything landed. Every name starts with the run's tag, so runs never collide and a
// file that escaped into the real /tmp or /opt can be found and removed.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace probe {

// Files the probe creates, one per way of creating a file: "<dir>/<tag>-<way>".
struct Created {
  const char* dir;  // "/tmp" or "/opt"
  const char* way;
};
inline const std::vector<Created>& CreatedFiles() {
  static const std::vector<Created> files = {
      {"/tmp", "open"},         {"/opt", "open"},   {"/tmp", "openat-cwd"}, {"/tmp", "openat-root"},
      {"/opt", "creat"},        {"/tmp", "fopen"},  {"/opt", "freopen"},    {"/tmp", "ofstream"},
      {"/tmp", "noncanonical"}, {"/opt", "dotdot"}, {"/tmp", "mkdir"},      {"/tmp", "renamed"},
      {"/opt", "renamed"},
  };
  return files;
}

// Files the test puts into the sandbox first: the probe reads this one in every way...
constexpr const char kPresetDir[] = "/opt";
constexpr const char kPresetWay[] = "preset";
constexpr const char kPresetText[] = "preset";
// ...and removes these.
inline const std::vector<Created>& RemovedFiles() {
  static const std::vector<Created> files = {
      {"/tmp", "remove"}, {"/opt", "unlink"}, {"/tmp", "unlinkat"}};
  return files;
}
// The probe creates this one in /tmp and in /opt and renames it to "renamed".
constexpr const char kRenameFromWay[] = "rename-from";

inline std::string FixedPath(const char* dir, const std::string& tag, const char* way) {
  return std::string(dir) + "/" + tag + "-" + way;
}

// The frame the probe writes to /dev/ttyS0: an EEPROM read of 6 bytes at `address`.
constexpr uint8_t kFrameCommand = 0x73;
constexpr uint8_t kFrameCount = 6;

}  // namespace probe
