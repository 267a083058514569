// Helpers of the preload self-tests: where the probe programs are, and how to start one by hand.
#pragma once

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

namespace probe {

inline std::string ProbePath(const std::string& name) {
  return std::string(PROBE_DIR) + "/" + name;
}

// Starts `path` with exactly `env` (nothing inherited), output discarded; returns its exit
// status, or -1 when it did not exit normally.
inline int RunByHand(const std::string& path, const std::vector<std::string>& args,
                     const std::map<std::string, std::string>& env) {
  std::vector<std::string> argv_s{path};
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
    execve(path.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace probe
