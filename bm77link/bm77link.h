// The link to the BM77 Bluetooth module: serial port and framing, EEPROM commands and
// identity records, board I/O control requests, and EEPROM table files.
#pragma once

#include "board_io.h"
#include "eeprom.h"
#include "identity.h"
#include "messages.h"
#include "port.h"
#include "stop.h"
#include "table_file.h"
