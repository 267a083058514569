// Every line the firmware tool and its flash programming print, in one place. The lines of the
// link library (port, EEPROM, identity, table files) are in bm77link/messages.h.
#pragma once

namespace fwupdate::msg {

// Flash commands
constexpr const char kInitializeFlash[] = "Initialize Flash ...";
constexpr const char kFlashIdFormat[] = "FLASH ID: [0x%2x%02x]\n";
constexpr const char kFlashIdGetFailed[] = "Flash ID Get Failed";
constexpr const char kReadFlashIdFailed[] = "READ Flash ID Failed";
constexpr const char kErasingFlash[] = "Erasing Flash ... ";
constexpr const char kReadEraseFailed[] = "READ Erase Failed";
constexpr const char kInvalidBankId[] = "Invalide Bank ID";
constexpr const char kSwitchBankIdFailed[] = "Switch BankID Failed";
constexpr const char kSwitchBankIdFormat[] = "Switch Bank ID : %d\n";
constexpr const char kWriteFlashFailed[] = "Write Flash Failed";

// Burst transfer
constexpr const char kBurstStartFormat[] = "Busrt Start ---- 0x%x\n";
constexpr const char kSendBurstDataFailed[] = "Send Burst Data Failed!";
constexpr const char kRecieveResumeFailedFormat[] = "Recieve Resume Failed -- 0x%02x%02x\n";
constexpr const char kRecieveFinishFailedFormat[] = "Recieve Finish Failed -- 0x%02x%02x\n";

// Programming an image
constexpr const char kParseBinFile[] = "Parse Bin File";
constexpr const char kFlashInitializeError[] = "Flash Initialize Error";
constexpr const char kFlashNotStarted[] = "BM77 not answering, firmware not updated";
constexpr const char kFlashEraseFailed[] = "Flash Erase Failed";
constexpr const char kFlashSwitchBankFailed[] = "Flash Switch Bank Failed";
constexpr const char kBankStartFailed[] = "Flash Burst Write Bank Start Failed";
constexpr const char kReadFwFileFailed[] = "Read FW File Failed";
constexpr const char kBlockFailed[] = "Flash Burst Write 1 Block Failed";
constexpr const char kFlashInterrupted[] = "Interrupted, rest of the firmware not written";
constexpr const char kFlashDone[] = "OK";

// The tool
constexpr const char kBanner[] = "BM77 Flash Code Update";
constexpr const char kInvalidBinFile[] = "Invalid Bin File.";
constexpr const char kBinFileSizeFormat[] = "Invalid Bin File Size: %lld bytes\n";
constexpr const char kSkipEepromUpgrade[] = "Skip EEPROM Upgrade";
constexpr const char kInvalidTableFile[] = "Invalid EEPROM Table File.";
constexpr const char kEepromUpdate[] = "BM77 EEPROM Update to default table";
constexpr const char kDefaultMacFormat[] = "default MAc:%x:%x:%x:%x:%x:%x\n";

}  // namespace fwupdate::msg
