// Every line the identity files and bm77_ident print (the banner and the port lines are the
// library's).
#pragma once

namespace ident::msg {

// Identity files
constexpr const char kOpenCreateFailedFormat[] = "Failed to open/create file: %s\n";
// The device-name file reports a short write with this line too.
constexpr const char kSaveToFileFailedFormat[] = "Save Mac to File %s Failed\n";
constexpr const char kSaveVcomFormat[] = "Save Vcom=%d To %s\n";
constexpr const char kReadVcomFormat[] = "Read Vcom From OPT: %c-%c-%c=%d\n";
constexpr const char kVcomFileShortFormat[] = "Read Vcom From File %s Failed\n";

// A new MAC from the random file
constexpr const char kCheckMac[] = "**************Check MAC!**************";
constexpr const char kCreateNewMac[] = "**************Create new MAC!**************";
constexpr const char kNoisewellFailed[] = "ERROR!ERROR!ERROR!";
constexpr const char kNoRandomFile[] = "no /opt/random exited";
constexpr const char kReadMacFromFileFailedFormat[] = "Read Mac From File %s Failed\n";

// The device name
constexpr const char kDeviceNameFormat[] = "Device Name: %s\n";

// bm77_ident
constexpr const char kModuleMacFormat[] = "MAc:%x:%x:%x:%x:%x:%x\n";
constexpr const char kMacNotRead[] = "MAC not read from BM77, nothing written";
constexpr const char kNoUsableMac[] = "no usable MAC: the unit needs provisioning";

}  // namespace ident::msg
