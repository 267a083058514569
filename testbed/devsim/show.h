// The board's state in a few lines a person can read.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "board.h"

namespace devsim {

// Identity records as the tools read them, VCOM in the module and in the display power chip,
// power and boot mode, the chip, each flash bank's programmed size and CRC, the identity files
// and the faults set.
void ShowBoard(testbed::Board& board, const std::vector<std::string>& faults, std::ostream& out);

}  // namespace devsim
