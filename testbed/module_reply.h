// What the module puts on the line for one host frame: the ordinary acknowledgement and
// response, or what an injected fault makes of them, and the pieces they are paced in.
// Pure code; the module queues the pieces and logs the events.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "board.h"

namespace testbed {
namespace reply {

// Body length of the kOversize response: more than the host's 256-byte receive buffer holds.
constexpr size_t kOversizeBody = 300;
// Second header byte of the kNoHeader response ("<x" instead of "<f").
constexpr uint8_t kWrongHeader = 0x78;

// The first fault that applies to this frame, or null. `nth_of_command` counts frames of this
// command byte, `nth_overall` every frame (both 1-based, this frame included).
const Fault* MatchFault(const std::vector<Fault>& faults, uint8_t command, int nth_of_command,
                        int nth_overall);

// Whether the module carries the command out under `fault` (null: no fault). It does whenever
// it acknowledges with acceptance; a refusal, silence or a raw reply leaves its state alone.
bool CommandRuns(const Fault* fault);

struct Plan {
  Bytes bytes;                     // everything, in the order it goes out
  std::vector<WireEvent> events;   // the same, as module-to-host log entries
};

// `reply` is the command's outcome, nullopt when the command did not run.
Plan PlanReply(const Fault* fault, const std::optional<CommandReply>& reply);

// The pieces a plan goes out in: one piece normally, single bytes or cuts when paced.
std::vector<Bytes> Pieces(const Fault* fault, const Bytes& bytes);
// How far apart the pieces go out.
std::chrono::milliseconds PieceGap(const Fault* fault);
// `bytes` cut into pieces of at most `piece` bytes (0: one piece).
std::vector<Bytes> CutEvery(const Bytes& bytes, size_t piece);
// Unprompted bytes for a receive monitor: 0x00, 0x01, ... wrapping at 0xFF.
Bytes ChatterBytes(size_t count);

}  // namespace reply
}  // namespace testbed
