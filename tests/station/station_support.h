// bm77_station run as a program, and a throwaway PostgreSQL server for the ledger's tests and
// benchmark. The server comes from Debian's postgresql package; without it the tests fail.
#pragma once

#include <fcntl.h>
#include <glob.h>
#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace station_test {

struct Output {
  int status = -1;
  std::string out, err;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// Starts `argv` with standard output and error into the files named; in the child, as `user`
// when this process is root (with `death`, the signal it gets when this process dies).
inline pid_t Spawn(const std::vector<std::string>& argv, const std::string& out, const std::string& err,
                   const char* user = nullptr, int death = 0) {
  const pid_t pid = fork();
  if (pid != 0) return pid;
  const int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (o < 0 || e < 0 || dup2(o, 1) < 0 || dup2(e, 2) < 0) _exit(127);
  if (user != nullptr && getuid() == 0) {
    const passwd* pw = getpwnam(user);
    if (pw == nullptr || initgroups(user, pw->pw_gid) != 0 || setgid(pw->pw_gid) != 0 || setuid(pw->pw_uid) != 0) _exit(126);
  }
  if (death != 0) prctl(PR_SET_PDEATHSIG, death);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

inline int Wait(pid_t pid) {
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {}
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// bm77_station --db `db` ARGS..., its outputs kept in `scratch`.out and .err (as `user`, when
// given).
// With `user`, the program runs as that user: `program` then names a copy it can reach (the
// build folder may lie in a folder only root may enter, as a checkout under mktemp -d does).
inline Output Station(const std::string& db, const std::vector<std::string>& args, const std::string& scratch,
                      const char* user = nullptr, const std::string& program = BM77_STATION) {
  std::vector<std::string> argv = {program, "--db", db};
  argv.insert(argv.end(), args.begin(), args.end());
  Output output;
  output.status = Wait(Spawn(argv, scratch + ".out", scratch + ".err", user));
  output.out = ReadFile(scratch + ".out");
  output.err = ReadFile(scratch + ".err");
  return output;
}

inline std::string MakeTempDir() {
  char name[] = "/tmp/bm77-station-XXXXXX";
  if (mkdtemp(name) == nullptr) throw std::runtime_error("mkdtemp");
  return name;
}

// A PostgreSQL server on a Unix socket in its own folder, run as the package's `postgres`
// user (initdb refuses root); stopped with the object, and killed with this process.
class PostgresServer {
 public:
  PostgresServer() : dir_(MakeTempDir()) {
    const std::string bin = ServerBin();
    if (getuid() == 0 && chown(dir_.c_str(), getpwnam("postgres")->pw_uid, 0) != 0) throw std::runtime_error("chown");
    const std::string log = dir_ + "/server.log";
    if (Wait(Spawn({bin + "/initdb", "-D", dir_ + "/data", "-U", "postgres", "--auth=trust", "-N"}, log, log,
                   "postgres", SIGKILL)) != 0) {
      throw std::runtime_error("initdb failed: " + ReadFile(log));
    }
    port_ = FreePort();
    pid_ = Spawn({bin + "/postgres", "-D", dir_ + "/data", "-k", dir_, "-p", std::to_string(port_), "-c",
                  "listen_addresses=", "-c", "fsync=off"},
                 log, log, "postgres", SIGQUIT);
    WaitReady(log);
  }
  ~PostgresServer() {
    kill(pid_, SIGQUIT);  // immediate shutdown: nothing of it is kept
    Wait(pid_);
    std::system(("rm -rf " + dir_).c_str());
  }
  const std::string& SocketDir() const { return dir_; }
  int Port() const { return port_; }
  std::string Uri(const std::string& database) const {
    return "postgresql:///" + database + "?host=" + dir_ + "&port=" + std::to_string(port_) + "&user=postgres";
  }
  // A new, empty database on the server; its URI.
  std::string NewDatabase() {
    const std::string name = "ledger" + std::to_string(++databases_);
    const std::string log = dir_ + "/createdb.log";
    if (Wait(Spawn({ServerBin() + "/createdb", "-h", dir_, "-p", std::to_string(port_), "-U", "postgres", name},
                   log, log)) != 0) {
      throw std::runtime_error("createdb failed: " + ReadFile(log));
    }
    return Uri(name);
  }

 private:
  static std::string ServerBin() {
    glob_t found{};
    glob("/usr/lib/postgresql/*/bin/initdb", 0, nullptr, &found);
    const std::string initdb = found.gl_pathc > 0 ? found.gl_pathv[found.gl_pathc - 1] : "";
    globfree(&found);
    if (initdb.empty()) throw std::runtime_error("no PostgreSQL server: scripts/install-deps installs postgresql");
    return initdb.substr(0, initdb.rfind('/'));
  }
  // The port only names the socket; one no one listens on keeps logs and tools unconfused.
  static int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(s, reinterpret_cast<sockaddr*>(&address), &length);
    close(s);
    return ntohs(address.sin_port);
  }
  // Up to 30 s for the server to take connections (it takes well under one here).
  void WaitReady(const std::string& log) {
    for (int tries = 0; tries < 300; ++tries) {
      const std::string out = dir_ + "/ready.log";
      if (Wait(Spawn({ServerBin() + "/pg_isready", "-q", "-h", dir_, "-p", std::to_string(port_)}, out, out)) == 0) return;
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    throw std::runtime_error("PostgreSQL did not start: " + ReadFile(log));
  }

  std::string dir_;
  int port_ = 0;
  pid_t pid_ = -1;
  int databases_ = 0;
};

// A ledger on the store the test's parameter names: "sqlite" (a file in the test's own folder)
// or "postgresql" (a new database on one throwaway server shared by the test program).
class StoreTest : public testing::TestWithParam<std::string> {
 protected:
  static std::unique_ptr<PostgresServer>& Server() {
    static std::unique_ptr<PostgresServer> server;
    return server;
  }
  void SetUp() override {
    dir_ = MakeTempDir();
    if (GetParam() == "sqlite") {
      db_ = dir_ + "/ledger.db";
      return;
    }
    try {
      if (!Server()) Server() = std::make_unique<PostgresServer>();
      db_ = Server()->NewDatabase();
    } catch (const std::exception& error) {
      FAIL() << error.what();
    }
  }
  void TearDown() override { std::system(("rm -rf " + dir_).c_str()); }

  std::string dir_, db_;
};

}  // namespace station_test
