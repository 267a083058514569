// bm77_fwupdate IMAGE.bin [TABLE.txt]: replaces the BM77 module's firmware with the image,
// optionally writes a default EEPROM table, and keeps the device identity under the identity
// guard (bm77link/identity.h): MAC, device name and VCOM are read before anything is changed,
// table lines over a record that could not be read are held back, the records are written
// back afterwards and read once more to make sure they survived.
//
// Exit status: 0 done; 2 a record could not be read before the update, a restore write failed,
// or a record did not read back equal; 3 the table is not wholly in the module (its name was
// refused, a line could not be read, a write failed, was refused or did not read back as
// written, or the MAC it left could not be read back; 2 wins over 3); 4 everything else went
// through, but the boot mode request failed; 252 serial port; 253 image name; 254 image or
// table file (missing, not a regular file, or an image that is empty or larger than the
// flash), the module untouched; 255 flash programming, or not started because the module
// did not answer an identity read (then nothing was changed); 128 + N stopped by signal N
// (SIGINT, SIGTERM, SIGHUP) after the records it wrote over were put back (stop.h).
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "bm77link.h"
#include "flash.h"
#include "line_output.h"
#include "messages.h"
#include "run_record.h"
#include "serial_port.h"
#include "std_descriptors.h"

namespace {

namespace fwmsg = fwupdate::msg;

using bm77::kStatusDone;
constexpr int kStatusFlashFailed = -1;   // 255 to the shell
constexpr int kStatusFileFailed = -2;    // 254
constexpr int kStatusBadImageName = -3;  // 253
constexpr int kStatusPortFailed = -4;    // 252
constexpr int kStatusBoardIoFailed = 4;

constexpr record::Outcome kOutcomes[] = {
    {0, "ok"},     {2, "identity"}, {3, "table"}, {4, "board-io"},
    {252, "port"}, {253, "usage"},  {254, "file"}, {255, "flash"}};

// The module restarts in its firmware-update mode before it can answer.
constexpr unsigned kModeSettleSeconds = 1;
// A pause after the identity reads, before the flash is touched.
constexpr unsigned kBannerSeconds = 2;
constexpr int kNotOpen = -1;

struct Arguments {
  const char* image = nullptr;
  const char* table = nullptr;  // optional
};

struct Files {
  int image = kNotOpen;
  int table = kNotOpen;
  bool table_refused = false;  // named, but not a .txt file: skipped
};

int OpenFailed(const char* path) {
  printf(bm77::msg::kOpenFileFailedFormat, path);
  return kStatusFileFailed;
}

// Checks the names and opens the files before the module is changed, so that a bad image or
// a missing table leaves the module as it was.
int OpenFiles(const Arguments& args, Files* files) {
  if (args.image == nullptr || check_binfile(args.image) != 0) {
    puts(fwmsg::kInvalidBinFile);
    return kStatusBadImageName;
  }
  files->image = bm77::OpenInputFile(args.image);
  if (files->image < 0) return OpenFailed(args.image);
  const long long size = lseek(files->image, 0, SEEK_END);
  if (!bm77::ImageSizeFits(size)) {
    printf(fwmsg::kBinFileSizeFormat, size);
    return kStatusFileFailed;
  }
  if (args.table == nullptr) return kStatusDone;
  if (check_tablefile(args.table) != 0) {
    files->table_refused = true;
    return kStatusDone;
  }
  files->table = bm77::OpenInputFile(args.table);
  if (files->table < 0) return OpenFailed(args.table);
  return kStatusDone;
}

// The default table goes in through the identity guard, like any table file. True when it is
// wholly in the module.
bool UpdateDefaultEEPROM(int port, int table, const bm77::SavedIdentity& identity) {
  return bm77::UpdateEEPROMGuarded(port, table, identity);
}

// Writes the default table when one was given, and shows the MAC the table left. True when
// every exchange of the step went through.
bool ApplyTable(int port, const Files& files, const bm77::SavedIdentity& identity) {
  if (files.table == kNotOpen) {
    if (files.table_refused) puts(fwmsg::kInvalidTableFile);
    puts(fwmsg::kSkipEepromUpgrade);
    // A table the operator named and the tool refused is not in the module either.
    return !files.table_refused;
  }
  puts(fwmsg::kEepromUpdate);
  const bool whole = UpdateDefaultEEPROM(port, files.table, identity);
  uint8_t mac[bm77::kMacLength];
  if (bm77::ReadMac(port, mac, nullptr) != bm77::ReadOutcome::kData) return false;
  printf(fwmsg::kDefaultMacFormat, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return whole;
}

// Snapshot before anything changes; then files, flash and table under the guard; restore and
// verify once the flash went through. A negative status: the run stopped before the module's
// EEPROM was touched, and the identity is not written back.
int UpdateKeepingIdentity(int port, const Arguments& args, Files* files) {
  bm77::SavedIdentity identity;
  bm77::SaveIdentity(port, &identity);
  puts(fwmsg::kBanner);
  sleep(kBannerSeconds);
  const int opened = OpenFiles(args, files);
  if (opened != kStatusDone) return opened;
  // A snapshot read without a reply leaves the line out of step: nothing is changed then.
  if (!bm77::LineInStep()) {
    puts(fwmsg::kFlashNotStarted);
    return kStatusFlashFailed;
  }
  // Stopped before the flash was touched: it is left as it is, not erased for nothing.
  if (bm77::StopRequested()) return kStatusFlashFailed;
  if (UpdateFlashCode(port, files->image) != 0) return kStatusFlashFailed;
  bm77::NoteFlashChanges(port, &identity);
  const bool table_whole = ApplyTable(port, *files, identity);
  bm77::HoldStopSignals(true);  // the restore is not cut short
  const int restored = bm77::RestoreIdentity(port, identity);
  const int status =
      bm77::GuardStatus(identity, restored, bm77::CheckIdentity(port, identity), table_whole);
  bm77::HoldStopSignals(false);
  return status;
}

void CloseIfOpen(int fd) {
  if (fd != kNotOpen) close(fd);
}

int Run(int argc, char** argv) {
  bm77::KeepStandardDescriptorsOpen();
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kStrict);
  bm77::CatchStopSignals();
  Arguments args;
  if (argc > 1) args.image = argv[1];
  if (argc > 2) args.table = argv[2];
  record::SetTableFile(args.table);

  // It says so itself when it fails; the run goes on, the module may be in that mode already.
  const bool mode_set = SetBM77Mode(bm77::kModeFirmwareUpdate) == 0;
  sleep(kModeSettleSeconds);
  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts(bm77::msg::kPortInitFail);
    return kStatusPortFailed;
  }
  puts(bm77::msg::kPortInitSuccess);

  Files files;
  const int status = UpdateKeepingIdentity(port, args, &files);
  close(port);
  CloseIfOpen(files.image);
  CloseIfOpen(files.table);
  return bm77::StatusAfterStop(status == kStatusDone && !mode_set ? kStatusBoardIoFailed : status);
}

}  // namespace

int main(int argc, char** argv) {
  record::Start("bm77_fwupdate", argc, argv);
  return record::Finish(Run(argc, argv), kOutcomes);
}
