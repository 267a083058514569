// Which imported libc names the preload library must wrap: every name that takes a path,
// reaches a device or starts another program. Names that only work on an open descriptor, or
// touch no file at all, are left to libc.
#pragma once

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace symbols {

// Fragments that mark a name as path-taking or program-starting.
inline const std::vector<std::string>& Fragments() {
  static const std::vector<std::string> f = {"open",     "stat",     "access",
                                             "exec",     "spawn",    "popen",
                                             "system",   "unlink",   "remove",
                                             "rename",   "mkdir",    "chmod",
                                             "chown",    "truncate", "link",
                                             "dir",      "ioctl",    "mknod",
                                             "mkfifo",   "creat",    "utime",
                                             "realpath", "mkstemp",  "mkostemp",
                                             "mkdtemp",  "tmpfile",  "canonicalize_file_name"};
  return f;
}

// Names that match a fragment but take a descriptor, a stream or no file at all.
inline const std::set<std::string>& Harmless() {
  static const std::set<std::string> h = {
      "fstat",    "fstat64",    "__fxstat",       "__fxstat64",      "fstatfs",     "fstatfs64",
      "fstatvfs", "fstatvfs64", "fchmod",         "fchown",          "ftruncate",   "ftruncate64",
      "fchdir",   "fdopendir",  "readdir",        "readdir64",       "readdir_r",   "readdir64_r",
      "closedir", "rewinddir",  "seekdir",        "telldir",         "dirfd",       "dirname",
      "fdopen",   "fmemopen",   "open_memstream", "open_wmemstream", "fopencookie", "dlopen",
      "futimens", "futimes",    "setstate",       "initstate",       "setstate_r",  "initstate_r",
      // the same, with 64-bit time on a 32-bit device
      "__fstat64_time64", "__futimens64", "__futimes64"};
  return h;
}

// posix_spawn's attribute and file-action helpers only fill in structures.
inline const std::vector<std::string>& HarmlessPrefixes() {
  static const std::vector<std::string> p = {"posix_spawn_file_actions_", "posix_spawnattr_"};
  return p;
}

inline bool NeedsWrapper(const std::string& name) {
  // C++ names (mangled, "_Z...") are library internals; the files they open go through the
  // libc names, which are judged on their own.
  if (name.rfind("_Z", 0) == 0) return false;
  if (Harmless().count(name) != 0) return false;
  for (const std::string& prefix : HarmlessPrefixes()) {
    if (name.rfind(prefix, 0) == 0) return false;
  }
  return std::any_of(Fragments().begin(), Fragments().end(),
                     [&](const std::string& f) { return name.find(f) != std::string::npos; });
}

}  // namespace symbols
