#include "stop.h"

#include <signal.h>

#include "run_record.h"

namespace bm77 {
namespace {

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
volatile sig_atomic_t caught = 0;

void NoteStop(int signal_number) {
  if (caught == 0) caught = signal_number;
}

sigset_t StopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) sigaddset(&set, s);
  return set;
}

}  // namespace

void CatchStopSignals() {
  struct sigaction action {};
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a wait returns, and the stop is seen
  for (int s : kStopSignals) sigaction(s, &action, nullptr);
}

int StopSignal() { return caught; }

void HoldStopSignals(bool hold) {
  const sigset_t set = StopSet();
  sigprocmask(hold ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

int StatusAfterStop(int status) {
  if (caught == 0) return status;
  record::SetOutcome(kStopOutcome);
  return kSignalStatusBase + caught;
}

}  // namespace bm77
