// An ordered stop. SIGINT, SIGTERM and SIGHUP (Ctrl-C, a kill, a closed terminal) do not end a
// tool where it stands, which could leave the identity written over by a table: the handler
// only notes the signal. The tool sends no further table line or flash block, puts back what it
// wrote over (with the signals held, so a second Ctrl-C cannot cut the restore short), writes
// its run record with the outcome kStopOutcome and ends with 128 + the signal's number, as the
// shell reports a program the signal ended.
#pragma once

namespace bm77 {

constexpr char kStopOutcome[] = "interrupted";
constexpr int kSignalStatusBase = 128;

// Installs the handlers. Waits are not restarted, so a stop is seen within one exchange.
void CatchStopSignals();
// The first stop signal caught, or 0.
int StopSignal();
inline bool StopRequested() { return StopSignal() != 0; }
// While held, the stop signals wait; when let go, any that came is noted.
void HoldStopSignals(bool hold);
// The run's exit status: `status`, or after a stop 128 + the signal, with the run record's
// outcome kStopOutcome.
int StatusAfterStop(int status);

}  // namespace bm77
