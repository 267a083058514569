// `bm77_station --db STORE serve ...`: loads the web server module and runs it.
#pragma once

#include <string>
#include <vector>

namespace station {

// `args`: the arguments after "serve". Returns the exit status.
int ServeCommand(const std::string& where, const std::vector<std::string>& args);

}  // namespace station
