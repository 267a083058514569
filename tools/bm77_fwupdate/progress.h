// A progress bar on standard error while the flash is programmed, drawn only when standard
// error is a terminal: an operator at the bench sees the update move, while logs and scripts
// read standard output alone, line by line and unchanged.
#pragma once

// Starts a bar for `total` bytes (nothing is drawn when standard error is no terminal).
void ProgressStart(long total);
// `bytes` more have been sent.
void ProgressAdvance(long bytes);
// Ends the bar's line, whether the update went through or not.
void ProgressEnd();
