// The commands of bm77_station: each reads its arguments, works on the ledger and prints.
#pragma once

#include <string>
#include <vector>

namespace station {

// Exit statuses.
constexpr int kDone = 0;
constexpr int kRefused = 1;     // a block refused, the ledger exhausted, lines or files skipped
constexpr int kUsageError = 2;  // wrong command line (nothing opened)
constexpr int kStoreFailed = 3; // the store could not be opened or refused a statement

// Runs `args` (a command and its arguments) on the ledger at `where`.
int RunCommand(const std::string& where, const std::vector<std::string>& args);

}  // namespace station
