// The web server as a module that bm77_station loads for `serve` only: the HTTP library and
// what it links (TLS, compression) are never loaded by next-mac, which a station runs once per
// unit and which starts in a few milliseconds.
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "serve.h"
#include "serve_module.h"
#include "web_messages.h"

extern "C" __attribute__((visibility("default"))) int bm77_station_serve(const char* where, int argc,
                                                                         const char* const* argv) {
  const std::vector<std::string> args(argv, argv + argc);
  const std::optional<station::web::Listen> listen = station::web::ParseServeArgs(args);
  if (!listen) {
    std::fputs(station::web::msg::kServeUsage, stderr);
    return station::kUsageError;
  }
  return station::web::Serve(where, *listen);
}
