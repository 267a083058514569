// bm77_provision MAC [VCOM]: gives the device the identity an operator chose. The MAC (17
// characters, hex pairs with any separator, either case) and the device name derived from it
// go to the module and the identity files; the VCOM (three digits, used only when it is the
// one argument after the MAC) goes to /opt/vcomdata, the module and the display power chip.
// The module is held in its firmware-update boot mode while this runs, then put back in
// application mode and switched off.
//
// The MAC record is written in text order (the first pair at the lowest address), so
// bm77_ident reads a MAC provisioned here back with its bytes reversed.
//
// Exit status: 0 done, or no argument at all (then nothing is written); 1 a MAC shorter than 17
// characters or a VCOM shorter than 2, nothing written; 3 a command to the module failed on the
// way, or a write was acknowledged with an odd status and so may not have been stored (the run
// still went to its end); 255 no serial port.
#include <stdio.h>
#include <unistd.h>

#include "bm77_ident/identity_files.h"
#include "bm77link.h"
#include "line_output.h"
#include "messages.h"
#include "serial_port.h"
#include "std_descriptors.h"

namespace {

constexpr int kStatusDone = 0;
constexpr int kStatusBadArgument = 1;
constexpr int kStatusModuleFailed = 3;
constexpr int kStatusPort = -1;  // 255 to the shell

// The module needs a moment in its new boot mode before it answers.
constexpr unsigned kModeSettleSeconds = 1;
// Program name and MAC; the VCOM is taken only when it is the single argument after the MAC.
constexpr int kArgcWithMac = 2;
constexpr int kArgcWithVcom = 3;

// Writes name, files, MAC and (when given) VCOM. Returns whether every exchange went through.
bool Provision(int port, const uint8_t* mac, const int* vcom) {
  uint8_t name[ident::kNameBufferSize] = {};  // never a name: always composed from the MAC
  bool module_ok = CheckDeviceNameAndMac(port, mac, name) == 0;
  ident::SaveIdentityFiles(mac, name);
  if (SaveDeviceNameToBM77(port, name) != 0) module_ok = false;
  if (SaveMacToBM77TextOrder(port, mac) != 0) module_ok = false;
  if (vcom != nullptr) {
    SaveVcomToFile(*vcom, ident::kVcomPath);
    if (bm77::WriteVcom(port, *vcom) != 0) module_ok = false;
    SetVcomTo9928(*vcom);
  }
  return module_ok;
}

}  // namespace

int main(int argc, char** argv) {
  bm77::KeepStandardDescriptorsOpen();  // before anything is opened
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kLenient);
  SetBM77Mode(bm77::kModeFirmwareUpdate);
  sleep(kModeSettleSeconds);
  puts(bm77::msg::kConfigurationBanner);

  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts(bm77::msg::kPortInitFail);
    return kStatusPort;
  }
  puts(bm77::msg::kPortInitSuccess);
  if (argc < kArgcWithMac) return kStatusDone;

  const bool with_vcom = argc == kArgcWithVcom;
  uint8_t mac[ident::kMacBytes];
  int vcom = 0;
  if (ident::MacFromText(argv[1], mac) != 0) {
    puts(provision::msg::kInvalidMac);
    return kStatusBadArgument;
  }
  if (with_vcom && ident::VcomFromText(argv[2], &vcom) != 0) {
    puts(provision::msg::kInvalidVcom);
    return kStatusBadArgument;
  }
  printf(provision::msg::kMacArgumentFormat, argv[1]);
  printf(provision::msg::kVcomArgumentFormat, argc > kArgcWithMac ? argv[2] : "");

  const bool module_ok = Provision(port, mac, with_vcom ? &vcom : nullptr);
  SetBM77Mode(bm77::kModeApplication);
  SetBM77Power(0);
  close(port);
  // A write the lenient policy let through without a response may not have been stored.
  return module_ok && bm77::UnconfirmedWrites() == 0 ? kStatusDone : kStatusModuleFailed;
}
