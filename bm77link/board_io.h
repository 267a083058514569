// Wrappers for the board I/O control driver: module power, boot mode, and the VCOM handed to
// the display power chip. Each opens the driver, issues one request and closes it again.
#pragma once

#include "board_io_requests.h"

// Selects the module's boot mode (bm77::BootMode). Returns 0, or -1 after one line.
int SetBM77Mode(int mode);
// Switches the module on (non-zero) or off (0). Returns 0, or -1 after one line.
int SetBM77Power(int on);
// Hands `vcom` to the display power chip.
void SetVcomTo9928(int vcom);
// SetVcomTo9928 that hands out the result: 0, or -1 after its lines.
int HandVcomTo9928(int vcom);

// Every wrapper prints, after the failure line of its own, one line that names the request
// that failed ("Board I/O request 220 failed: boot mode 2"), so a run's log tells which part
// of the job was left undone.
