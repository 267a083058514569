// Helpers of the preload self-tests: where the probe programs are, and how to start one by hand.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "board.h"
#include "sim_protocol.h"

namespace probe {

inline std::string ProbePath(const std::string& name) {
  return std::string(PROBE_DIR) + "/" + name;
}

// The probes of one kind this build made (PATH_PROBES, IOCTL_PROBES: names joined by ',').
inline std::vector<std::string> Builds(const std::string& joined) {
  std::vector<std::string> names;
  size_t start = 0;
  for (size_t comma; (comma = joined.find(',', start)) != std::string::npos; start = comma + 1) {
    names.push_back(joined.substr(start, comma - start));
  }
  names.push_back(joined.substr(start));
  return names;
}

// Starts `path` with exactly `env` (nothing inherited), output discarded; returns its exit
// status, or -1 when it did not exit normally. A probe built for the device starts under the
// emulator, its preload list (if any) handed to it alone.
inline int RunByHand(const std::string& path, const std::vector<std::string>& args,
                     std::map<std::string, std::string> env) {
  std::optional<std::string> preload;
  if (!testbed::Emulator().empty() && env.count(simwire::kPreloadVariable) != 0) {
    preload = env[simwire::kPreloadVariable];
    env.erase(simwire::kPreloadVariable);
  }
  std::vector<std::string> argv_s = testbed::EmulatorWords(preload);
  argv_s.push_back(path);
  argv_s.insert(argv_s.end(), args.begin(), args.end());
  std::vector<std::string> env_s;
  for (const auto& [name, value] : env) env_s.push_back(name + "=" + value);
  std::vector<char*> argv, envp;
  for (std::string& s : argv_s) argv.push_back(s.data());
  for (std::string& s : env_s) envp.push_back(s.data());
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    dup2(null, STDOUT_FILENO);
    dup2(null, STDERR_FILENO);
    execve(argv_s[0].c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace probe
