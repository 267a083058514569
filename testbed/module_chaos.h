// Chaos: the module's random mischief (board.h, Chaos). Pure code: the draw for a frame and the
// bytes with their times that a mischief makes of the ordinary reply; the module queues them.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "board.h"

namespace testbed {
namespace chaos {

// One frame's lot: the mischief, and further random bits for its details.
struct Draw {
  Mischief mischief = Mischief::kNone;
  uint64_t bits = 0;
};
Draw DrawFor(const Chaos& chaos, int frame);

// Whether the command runs under the mischief: a reply that never comes may still have been
// preceded by the command's effect, so silence runs it on half the draws.
bool CommandRuns(const Draw& draw);

// Bytes going out `at` after the frame was taken.
struct Piece {
  Bytes bytes;
  std::chrono::milliseconds at{0};
};
// What goes on the line for the ordinary reply `ordinary` (acknowledgement and response) under
// `draw`; `other_body` is another command's response body, for kOtherReply.
std::vector<Piece> Shape(const Draw& draw, const Bytes& ordinary, const Bytes& other_body);

}  // namespace chaos
}  // namespace testbed
