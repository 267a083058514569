#include "progress.h"

#include <stdio.h>
#include <unistd.h>

namespace {

constexpr int kBarWidth = 40;
constexpr int kFullPercent = 100;
constexpr char kDone = '#';
constexpr char kToDo = '.';

struct Progress {
  bool shown = false;
  long total = 0;
  long done = 0;
  int percent = -1;  // last drawn
};
Progress progress;

// One write per redraw: standard error is unbuffered.
void Draw(int percent) {
  char line[kBarWidth + 16];
  int at = snprintf(line, sizeof line, "\r[");
  const int filled = percent * kBarWidth / kFullPercent;
  for (int i = 0; i < kBarWidth; ++i) line[at++] = i < filled ? kDone : kToDo;
  at += snprintf(line + at, sizeof line - static_cast<size_t>(at), "] %3d%%", percent);
  (void)!write(STDERR_FILENO, line, static_cast<size_t>(at));
}

}  // namespace

void ProgressStart(long total) {
  progress = Progress{};
  progress.shown = total > 0 && isatty(STDERR_FILENO) == 1;
  progress.total = total;
  if (progress.shown) ProgressAdvance(0);
}

void ProgressAdvance(long bytes) {
  if (!progress.shown) return;
  progress.done += bytes;
  const int percent = static_cast<int>(progress.done * kFullPercent / progress.total);
  if (percent == progress.percent) return;
  progress.percent = percent;
  Draw(percent);
}

void ProgressEnd() {
  if (progress.shown) (void)!write(STDERR_FILENO, "\n", 1);
  progress.shown = false;
}
