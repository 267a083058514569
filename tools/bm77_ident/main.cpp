// bm77_ident: brings the device identity into one state. The module's MAC wins (an unusable
// one is replaced from the crypto chip's random numbers), the device name follows the MAC, and
// both are written to the identity files; /opt/vcomdata wins over the module's VCOM, and the
// VCOM goes to the display power chip. The module is switched off at the end. Arguments are
// ignored.
//
// Exit status: 0 done; 2 the module's MAC could not be read, so nothing was written; 3 a
// command to the module failed on the way, a write was acknowledged with an odd status and
// so may not have been stored, or the module did not read back the identity the run settled
// (the run still went to its end); 4 everything else went
// through, but the VCOM did not reach the display power chip or the module was not switched
// off (a board I/O request failed); 5 the module's MAC is unusable and no six random bytes
// came to replace it, so the unit keeps no MAC of its own and needs provisioning (the rest of
// the run still went to its end; 5 wins over 3 and 4); 255 no serial port.
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "bm77link.h"
#include "identity_files.h"
#include "line_output.h"
#include "messages.h"
#include "run_record.h"
#include "serial_port.h"
#include "std_descriptors.h"

namespace {

constexpr int kStatusDone = 0;
constexpr int kStatusMacNotRead = 2;
constexpr int kStatusModuleFailed = 3;
constexpr int kStatusBoardIoFailed = 4;
constexpr int kStatusNoUsableMac = 5;
constexpr int kStatusPort = -1;  // 255 to the shell
constexpr record::Outcome kOutcomes[] = {{0, "ok"},       {2, "identity"}, {3, "module"},
                                         {4, "board-io"}, {5, "no-mac"},   {255, "port"}};

// Whether /opt/vcomdata gives a VCOM. A file that cannot be read, is too short or gives a
// negative value counts as no file: the module's VCOM (or the default) then creates it anew.
bool VcomFromFile(int* vcom) {
  if (access(ident::kVcomPath, F_OK) != 0) return false;
  int value = -1;
  if (ReadVcomFromFile(ident::kVcomPath, &value) != 0 || value < 0) return false;
  *vcom = value;
  return true;
}

// Settles the VCOM between /opt/vcomdata and the module; returns the value that holds. Clears
// `module_ok` when an exchange with the module failed.
int SettleVcom(int port, bool* module_ok) {
  int file_vcom = -1;
  const bool from_file = VcomFromFile(&file_vcom);
  bm77::ReadOutcome read;
  const int module_vcom = bm77::ReadVcom(port, /*print_line=*/true, &read);
  if (read != bm77::ReadOutcome::kData) *module_ok = false;
  if (read == bm77::ReadOutcome::kData) record::SetVcom(record::Moment::kBefore, module_vcom);

  const bool storable = ident::IsStorableVcom(module_vcom);
  record::SetVcomSource(from_file ? "file" : storable ? "module" : "default");
  if (from_file) {
    if (module_vcom != file_vcom && bm77::WriteVcom(port, file_vcom) != 0) *module_ok = false;
    return file_vcom;
  }
  // A value the file's three digits cannot hold (an erased record reads 65535) counts as one
  // that could not be read: the default goes to the file and the module.
  const int vcom = storable ? module_vcom : ident::kDefaultVcom;
  SaveVcomToFile(vcom, ident::kVcomPath);
  if (!storable && bm77::WriteVcom(port, vcom) != 0) *module_ok = false;
  return vcom;
}

// The identity the run settled counts as verified in the run record when the module confirmed
// every exchange of the run and read it back.
void RecordSettled(const uint8_t* mac, const uint8_t* name, int vcom) {
  if (bm77::UnconfirmedWrites() != 0) return;
  record::SetMac(record::Moment::kAfter, mac);
  record::SetName(record::Moment::kAfter, name, ident::kNameLength);
  record::SetVcom(record::Moment::kAfter, vcom);
}

// Whether the module holds the identity the run settled: MAC, name and VCOM read back. A write
// can be "confirmed" by a reply that was not its own (a copy of an earlier reply that came in
// late), so only reading back shows that the module holds what the run promises.
bool ModuleHolds(int port, const uint8_t* mac, const uint8_t* name, int vcom) {
  uint8_t held_mac[ident::kMacBytes] = {};
  uint8_t held_name[ident::kNameBufferSize] = {};
  bm77::ReadOutcome vcom_read;
  const bool mac_ok = bm77::ReadMac(port, held_mac, nullptr) == bm77::ReadOutcome::kData &&
                      memcmp(held_mac, mac, ident::kMacBytes) == 0;
  const bool name_ok = bm77::ReadDeviceName(port, held_name) == bm77::ReadOutcome::kData &&
                       memcmp(held_name, name, ident::kNameLength) == 0;
  const bool vcom_ok = bm77::ReadVcom(port, /*print_line=*/false, &vcom_read) == vcom &&
                       vcom_read == bm77::ReadOutcome::kData;
  if (mac_ok && name_ok && vcom_ok) return true;
  printf(bm77::msg::kIdentityCheckFailedFormat, mac_ok ? "" : " MAC",
         name_ok ? "" : " Device Name", vcom_ok ? "" : " VCOM");
  return false;
}

// Everything after the module's MAC was read. Returns whether every exchange went through;
// clears `io_ok` when the VCOM did not reach the display power chip or the module was not
// switched off.
bool Reconcile(int port, uint8_t* mac, bool* io_ok) {
  bool module_ok = CheckMac(port, mac) == 0;

  uint8_t name[ident::kNameBufferSize] = {};  // a name the module does not give is recomposed
  if (bm77::ReadDeviceName(port, name) == bm77::ReadOutcome::kData) {
    record::SetName(record::Moment::kBefore, name, ident::kNameLength);
  } else {
    module_ok = false;
  }
  if (CheckDeviceName(port, mac, name) != 0) module_ok = false;

  ident::SaveIdentityFiles(mac, name);
  if (SaveDeviceNameToBM77(port, name) != 0) module_ok = false;

  const int vcom = SettleVcom(port, &module_ok);
  if (module_ok && !ModuleHolds(port, mac, name, vcom)) module_ok = false;
  if (HandVcomTo9928(vcom) != 0) *io_ok = false;
  if (SetBM77Power(0) != 0) *io_ok = false;
  if (module_ok && !ident::IsUnusableMac(mac)) RecordSettled(mac, name, vcom);
  return module_ok;
}

int Run() {
  bm77::KeepStandardDescriptorsOpen();  // before anything is opened
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kLenient);
  puts(bm77::msg::kConfigurationBanner);

  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts(bm77::msg::kPortInitFail);
    return kStatusPort;
  }
  puts(bm77::msg::kPortInitSuccess);

  // A MAC that did not come from the module must not be taken for an unusable one: that would
  // replace a good identity with a random one. So it is confirmed: a reply that was not this
  // read's answer (a copy, another command's, a bit hit on the line) cannot pass for it.
  uint8_t mac[ident::kMacBytes] = {};
  if (bm77::ReadMac(port, mac, nullptr, bm77::Reads::kConfirmed) != bm77::ReadOutcome::kData) {
    puts(ident::msg::kMacNotRead);
    return kStatusMacNotRead;
  }
  printf(ident::msg::kModuleMacFormat, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  record::SetMac(record::Moment::kBefore, mac);

  bool io_ok = true;
  const bool module_ok = Reconcile(port, mac, &io_ok);
  close(port);
  if (ident::IsUnusableMac(mac)) {
    puts(ident::msg::kNoUsableMac);
    return kStatusNoUsableMac;
  }
  // A write the lenient policy let through without a response may not have been stored.
  if (!module_ok || bm77::UnconfirmedWrites() != 0) return kStatusModuleFailed;
  return io_ok ? kStatusDone : kStatusBoardIoFailed;
}

}  // namespace

int main(int argc, char** argv) {
  record::Start("bm77_ident", argc, argv);
  return record::Finish(Run(), kOutcomes);
}
