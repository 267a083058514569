// bm77_station: the station computer's ledger of MAC blocks and run records.
//   bm77_station --db STORE COMMAND ...
#include <cstdio>
#include <string>
#include <vector>

#include "commands.h"
#include "messages.h"
#include "serve_command.h"

using namespace station;

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() < 3 || args[0] != "--db") {
    std::fputs(msg::kUsage, stderr);
    return kUsageError;
  }
  const std::string where = args[1];
  args.erase(args.begin(), args.begin() + 2);
  if (args[0] == "serve") return ServeCommand(where, {args.begin() + 1, args.end()});
  return RunCommand(where, args);
}
