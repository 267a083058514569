// bm77_station serve: the line's web page over the ledger, read-only.
//   bm77_station --db STORE serve [--listen ADDR:PORT]
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace station::web {

constexpr char kDefaultHost[] = "127.0.0.1";
constexpr int kDefaultPort = 8077;

struct Listen {
  std::string host = kDefaultHost;
  int port = kDefaultPort;  // 0: any free port (the address printed says which)
};

// The arguments after "serve"; nullopt when they are wrong.
std::optional<Listen> ParseServeArgs(const std::vector<std::string>& args);

// Serves the ledger at `where` until SIGINT or SIGTERM; the exit status (commands.h).
int Serve(const std::string& where, const Listen& listen);

// The web server itself, for the program and its tests.
class WebServer {
 public:
  // Opens the ledger for reading and reads its tally (StoreError when it cannot).
  explicit WebServer(const std::string& where);
  ~WebServer();
  WebServer(const WebServer&) = delete;
  WebServer& operator=(const WebServer&) = delete;
  // The port bound (the one asked for, or a free one for 0); -1 when it cannot be bound.
  int Bind(const std::string& host, int port);
  // Answers requests until Stop.
  void Run();
  void Stop();

 private:
  struct Site;
  std::unique_ptr<Site> site_;
};

}  // namespace station::web
