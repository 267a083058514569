// Where a board's folder may lie. The preload library lets a program reach the board's folder
// by its own name, and the board makes its files and device nodes there: a folder that is,
// holds or lies inside one of the board's paths (simwire::kBoardPaths) would hand the program
// the machine's own file or device under the board's name. A board in /tmp would write the
// machine's /tmp/mac; one in /dev would open the machine's /dev/ttyS0 wherever the second seal
// is not built. Links count the way the kernel follows them, so neither a link nor a relative
// name hides such a folder.
#pragma once

#include <string>

namespace testbed {

// "" when `folder` (a relative one from the current folder) may hold a board; else one line
// that names the board's path it clashes with. It only looks: nothing is made or opened.
std::string BoardFolderClash(const std::string& folder);

}  // namespace testbed
