// Every line the library and the module tools print, in one place.
#pragma once

namespace bm77::msg {

// Port and framing
constexpr const char kSendCommandFailed[] = "Send Command Failed!";
constexpr const char kBadResponseHeader[] = "Error Response Packet Header";
constexpr const char kReplyTimeout[] = "BM77 Reply Timeout";
constexpr const char kPortReadError[] = "BM77 Port Read Error";
constexpr const char kFrameTooLong[] = "Command Frame Too Long";
constexpr const char kResponseTooLong[] = "Response Frame Too Long";
constexpr const char kPortInitFail[] = "BT Com Port Init Fail.";
constexpr const char kPortInitSuccess[] = "BT Com Port Init Success.";

// EEPROM and identity records
constexpr const char kWriteEepromFailed[] = "Write EEPROM Failed";
constexpr const char kReadEepromFailed[] = "Read EEPROM Failed";
constexpr const char kResponseError[] = "Response Error!";
constexpr const char kSaveVcom[] = "SaveVcomToBM77";
constexpr const char kReadVcomFormat[] = "Read Vcom From BM77: %d-%d-%d\n";
// Two reads of a record that disagree: a reply that was not this command's answer came in.
constexpr const char kReadNotConfirmedFormat[] = "EEPROM %04X read twice, not the same\n";
constexpr const char kRecordNotRestoredFormat[] = "%s not read from BM77, left unchanged\n";
constexpr const char kIdentityCheckFailedFormat[] = "Identity Check Failed:%s%s%s\n";
constexpr const char kTableLineHeldBackFormat[] =
    "%s not read from BM77, table line %04X not written\n";
// After an exchange without a complete reply the run only puts back what it wrote over.
constexpr const char kIdentityNotChecked[] = "BM77 not answering, identity not checked";
constexpr const char kRecordNotRestoredSilentFormat[] = "BM77 not answering, %s not restored\n";
constexpr const char kTableStopped[] = "BM77 not answering, rest of table not written";
constexpr const char kTableInterrupted[] = "Interrupted, rest of table not written";

// Board I/O control device
constexpr const char kOpenFailFormat[] = "Open %s Fail.\n";
constexpr const char kChangeModeFailed[] = "BM77 Failed to Change mode";
// Request number, what it was for, and the value handed over (requests that take one).
constexpr const char kRequestFailedFormat[] = "Board I/O request %lu failed: %s\n";
constexpr const char kRequestValueFailedFormat[] = "Board I/O request %lu failed: %s %d\n";
constexpr const char kRequestPowerOff[] = "module power off";
constexpr const char kRequestPowerOn[] = "module power on";
constexpr const char kRequestBootMode[] = "boot mode";
constexpr const char kRequestVcom[] = "VCOM to the display power chip";

// Tools that update or reconcile the module
constexpr const char kConfigurationBanner[] = "BM77 Configuration Update";
constexpr const char kOpenFileFailedFormat[] = "Failed to open file: %s\n";
constexpr const char kInvalidTableFile[] = "Invalid Table File.";

// Table files
constexpr const char kParseTableFile[] = "Parse Table File";
constexpr const char kTableDone[] = "OK";
constexpr const char kTableLineTooLong[] = "Table line too long, skipped";
constexpr const char kTableReadError[] = "Table File Read Error";
constexpr const char kTableLineUnreadableFormat[] = "Table line %d cannot be read, not written\n";
constexpr const char kTableLineNotReadBackFormat[] =
    "Table line %d not read back as written at %04X\n";

}  // namespace bm77::msg
