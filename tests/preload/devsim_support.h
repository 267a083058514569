// Running devsim as a person does: a command line in a fresh folder of the test's own, with
// standard output and standard error collected.
#pragma once

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace devsim_test {

namespace fs = std::filesystem;

struct DevsimRun {
  int status = -1;
  std::string out;
  std::string err;
};

inline std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs a shell command line, standard error into a file.
inline DevsimRun Shell(const std::string& command_line, const fs::path& err_file) {
  const std::string command = command_line + " 2>'" + err_file.string() + "'";
  DevsimRun run;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[256];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.out.append(buffer, n);
  const int status = pclose(pipe);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.err = ReadText(err_file);
  return run;
}

// A fresh folder per test, where devsim runs and keeps its board; removed at the end.
class Devsim : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info->name();
    for (char& c : name) c = c == '/' ? '-' : c;
    dir_ = fs::path(DEVSIM_TEST_DIR) / ("devsim-" + name + "-" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Runs `devsim ARGS` (shell words) in the test's folder.
  DevsimRun Run(const std::string& args) {
    return Shell("cd '" + dir_.string() + "' && '" + DEVSIM_PATH + "' " + args,
                 dir_ / "stderr.txt");
  }

  fs::path dir_;
};

}  // namespace devsim_test
