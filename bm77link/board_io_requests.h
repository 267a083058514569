// Requests of the board I/O control driver. Header only: the bench tools issue these
// requests themselves and link nothing of the library.
#pragma once

namespace bm77 {

constexpr const char kBoardIoPath[] = "/dev/vrk_io";

// Plain-numbered requests; a result of 0 means done.
constexpr unsigned long kReqPowerOff = 216;      // third argument: the value 0
constexpr unsigned long kReqPowerOn = 217;       // third argument: the value 0
constexpr unsigned long kReqOperationLine = 218; // pointer to an int; not issued by any tool
constexpr unsigned long kReqBootMode = 220;      // pointer to an int holding a BootMode
constexpr unsigned long kReqVcomTo9928 = 221;    // pointer to an int holding the VCOM value

enum BootMode : int {
  kModeApplication = 0,
  kModeConfiguration = 1,
  kModeFirmwareUpdate = 2,
};

}  // namespace bm77
