// bm77_provision MAC [VCOM]: gives the device the identity an operator chose. The MAC (17
// characters, hex pairs with any separator, either case) and the device name derived from it
// go to the module and the identity files; the VCOM (three digits, used only when it is the
// one argument after the MAC) goes to /opt/vcomdata, the module and the display power chip.
// The module is held in its firmware-update boot mode while this runs, then put back in
// application mode and switched off.
//
// The MAC record is written the way every tool reads it (the last pair of the text at the
// lowest address), so the module keeps the MAC the operator typed and bm77_ident keeps the name
// derived from it.
//
// What the operator typed is checked before anything is touched: the MAC must hold two hex
// digits at each of its six places and be usable by bm77_ident's rule, the VCOM must be three
// decimal digits. What was written to the module is read back at the end.
//
// Exit status: 0 done, or no argument at all (then nothing is written); 1 a bad or unusable MAC
// or a VCOM that is not three digits, nothing touched (no boot mode, no port); 3 a command to
// the module failed on the way, a write was acknowledged with an odd status, or a record did
// not read back as written (the run still went to its end); 4 everything else went through,
// but a board I/O request failed (boot mode, VCOM to the display power chip, power off), so
// the job is not wholly done; 255 no serial port.
#include <stdio.h>
#include <unistd.h>

#include "bm77_ident/identity_files.h"
#include "bm77link.h"
#include "line_output.h"
#include "messages.h"
#include "run_record.h"
#include "serial_port.h"
#include "std_descriptors.h"

namespace {

constexpr int kStatusDone = 0;
constexpr int kStatusBadArgument = 1;
constexpr int kStatusModuleFailed = 3;
constexpr int kStatusBoardIoFailed = 4;
constexpr int kStatusPort = -1;  // 255 to the shell
constexpr record::Outcome kOutcomes[] = {
    {0, "ok"}, {1, "input"}, {3, "module"}, {4, "board-io"}, {255, "port"}};
constexpr char kFromArgument[] = "argument";

// The module needs a moment in its new boot mode before it answers.
constexpr unsigned kModeSettleSeconds = 1;
// Program name and MAC; the VCOM is taken only when it is the single argument after the MAC.
constexpr int kArgcWithMac = 2;
constexpr int kArgcWithVcom = 3;

// The operator's arguments; 0, or 1 after the line that refuses one.
int ParseArguments(int argc, char** argv, uint8_t* mac, int* vcom, bool* with_vcom) {
  if (ident::MacFromText(argv[1], mac) != 0 || ident::IsUnusableMac(mac)) {
    puts(provision::msg::kInvalidMac);
    return kStatusBadArgument;
  }
  *with_vcom = argc == kArgcWithVcom;
  if (*with_vcom && ident::VcomFromText(argv[2], vcom) != 0) {
    puts(provision::msg::kInvalidVcom);
    return kStatusBadArgument;
  }
  record::SetMacSource(kFromArgument);
  if (*with_vcom) record::SetVcomSource(kFromArgument);
  return kStatusDone;
}

// Whether the module holds `count` bytes at `address` as written; a difference costs one line.
bool ReadsBack(int port, const char* record, uint16_t address, const uint8_t* bytes,
               size_t count) {
  if (bm77::EepromHolds(port, address, bytes, count)) return true;
  printf(provision::msg::kNotReadBackFormat, record);
  return false;
}

// The three records as this run wrote them: the MAC (stored last pair first), the name, the
// VCOM. What reads back as written is what the run record calls verified.
bool ReadBack(int port, const uint8_t* mac, const uint8_t* name, const int* vcom) {
  uint8_t stored[bm77::kMacLength];
  for (size_t i = 0; i < bm77::kMacLength; ++i) stored[i] = mac[bm77::kMacLength - 1 - i];
  const bool mac_same = ReadsBack(port, "MAC", bm77::kMacAddress, stored, sizeof stored);
  if (mac_same) record::SetMac(record::Moment::kAfter, mac);
  const bool name_same =
      ReadsBack(port, "Device name", bm77::kNameAddress, name, bm77::kNameLength);
  if (name_same) record::SetName(record::Moment::kAfter, name, bm77::kNameLength);
  if (vcom == nullptr) return mac_same && name_same;
  const uint8_t value[bm77::kVcomLength] = {static_cast<uint8_t>(*vcom >> 8),
                                            static_cast<uint8_t>(*vcom & 0xFF)};
  const bool vcom_same = ReadsBack(port, "VCOM", bm77::kVcomAddress, value, sizeof value);
  if (vcom_same) record::SetVcom(record::Moment::kAfter, *vcom);
  return mac_same && name_same && vcom_same;
}

// Writes name, files, MAC and (when given) VCOM, and reads the records back. Returns whether
// every exchange went through; clears `io_ok` when the VCOM did not reach the chip.
bool Provision(int port, const uint8_t* mac, const int* vcom, bool* io_ok) {
  uint8_t name[ident::kNameBufferSize] = {};  // never a name: always composed from the MAC
  bool module_ok = CheckDeviceNameAndMac(port, mac, name) == 0;
  ident::SaveIdentityFiles(mac, name);
  if (SaveDeviceNameToBM77(port, name) != 0) module_ok = false;
  if (SaveMacToBM77(port, mac) != 0) module_ok = false;
  if (vcom != nullptr) {
    SaveVcomToFile(*vcom, ident::kVcomPath);
    if (bm77::WriteVcom(port, *vcom) != 0) module_ok = false;
    if (HandVcomTo9928(*vcom) != 0) *io_ok = false;
  }
  return ReadBack(port, mac, name, vcom) && module_ok;
}

int Run(int argc, char** argv) {
  bm77::KeepStandardDescriptorsOpen();  // before anything is opened
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kLenient);
  puts(bm77::msg::kConfigurationBanner);
  uint8_t mac[ident::kMacBytes] = {};
  int vcom = 0;
  bool with_vcom = false;
  if (argc >= kArgcWithMac && ParseArguments(argc, argv, mac, &vcom, &with_vcom) != 0) {
    return kStatusBadArgument;
  }

  bool io_ok = SetBM77Mode(bm77::kModeFirmwareUpdate) == 0;
  sleep(kModeSettleSeconds);
  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts(bm77::msg::kPortInitFail);
    return kStatusPort;
  }
  puts(bm77::msg::kPortInitSuccess);
  if (argc < kArgcWithMac) return kStatusDone;

  printf(provision::msg::kMacArgumentFormat, argv[1]);
  printf(provision::msg::kVcomArgumentFormat, argc > kArgcWithMac ? argv[2] : "");
  const bool module_ok = Provision(port, mac, with_vcom ? &vcom : nullptr, &io_ok);
  if (SetBM77Mode(bm77::kModeApplication) != 0) io_ok = false;
  if (SetBM77Power(0) != 0) io_ok = false;
  close(port);
  // A write the lenient policy let through without a response may not have been stored.
  if (!module_ok || bm77::UnconfirmedWrites() != 0) return kStatusModuleFailed;
  return io_ok ? kStatusDone : kStatusBoardIoFailed;
}

}  // namespace

int main(int argc, char** argv) {
  record::Start("bm77_provision", argc, argv);
  return record::Finish(Run(argc, argv), kOutcomes);
}
