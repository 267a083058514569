// bm77_fwupdate IMAGE.bin [TABLE.txt]: replaces the BM77 module's firmware with the image,
// optionally writes a default EEPROM table, and keeps the device identity: MAC, device name
// and VCOM are read before anything is changed, written back afterwards and read once more to
// make sure they survived.
//
// Exit status: 0 done; 2 the identity could not be read or did not survive; 3 the table's
// MAC could not be read back; 252 serial port; 253 image name; 254 image or table file
// (missing, or an image that is empty or larger than the flash), the module untouched;
// 255 flash programming.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "bm77link.h"
#include "flash.h"
#include "line_output.h"
#include "messages.h"
#include "serial_port.h"

namespace {

namespace fwmsg = fwupdate::msg;

constexpr int kStatusDone = 0;
constexpr int kStatusIdentityNotKept = 2;
constexpr int kStatusTableFailed = 3;
constexpr int kStatusFlashFailed = -1;   // 255 to the shell
constexpr int kStatusFileFailed = -2;    // 254
constexpr int kStatusBadImageName = -3;  // 253
constexpr int kStatusPortFailed = -4;    // 252

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
  printf(fwmsg::kOpenFailedFormat, path);
  return kStatusFileFailed;
}

// Checks the names and opens the files before the module is changed, so that a bad image or
// a missing table leaves the module as it was.
int OpenFiles(const Arguments& args, Files* files) {
  if (args.image == nullptr || check_binfile(args.image) != 0) {
    puts(fwmsg::kInvalidBinFile);
    return kStatusBadImageName;
  }
  files->image = open(args.image, O_RDONLY);
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
  files->table = open(args.table, O_RDONLY);
  if (files->table < 0) return OpenFailed(args.table);
  return kStatusDone;
}

// The default table is written like any table file.
void UpdateDefaultEEPROM(int port, int table) { UpdateEEPROM(port, table); }

// Writes the default table when one was given, and shows the MAC the table left.
int ApplyTable(int port, const Files& files) {
  if (files.table == kNotOpen) {
    if (files.table_refused) puts(fwmsg::kInvalidTableFile);
    puts(fwmsg::kSkipEepromUpgrade);
    return kStatusDone;
  }
  puts(fwmsg::kEepromUpdate);
  UpdateDefaultEEPROM(port, files.table);
  uint8_t mac[bm77::kMacLength];
  if (bm77::ReadMac(port, mac, nullptr) != bm77::ReadOutcome::kData) return kStatusTableFailed;
  printf(fwmsg::kDefaultMacFormat, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
  return kStatusDone;
}

// Files, flash, table. Returns a negative status when the run stopped before the module's
// EEPROM was touched.
int UpdateModule(int port, const Arguments& args, Files* files) {
  puts(fwmsg::kBanner);
  sleep(kBannerSeconds);
  const int opened = OpenFiles(args, files);
  if (opened != kStatusDone) return opened;
  if (UpdateFlashCode(port, files->image) != 0) return kStatusFlashFailed;
  return ApplyTable(port, *files);
}

// Identity out before anything changes; back in and checked once the update went through.
int UpdateKeepingIdentity(int port, const Arguments& args, Files* files) {
  bm77::SavedIdentity identity;
  bm77::SaveIdentity(port, &identity);
  const int status = UpdateModule(port, args, files);
  if (status < 0) return status;
  bm77::RestoreIdentity(port, identity);
  const bool all_read = identity.has_mac && identity.has_name && identity.has_vcom;
  const bool survived = bm77::CheckIdentity(port, identity) == 0;
  return all_read && survived ? status : kStatusIdentityNotKept;
}

void CloseIfOpen(int fd) {
  if (fd != kNotOpen) close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kStrict);
  Arguments args;
  if (argc > 1) args.image = argv[1];
  if (argc > 2) args.table = argv[2];

  SetBM77Mode(bm77::kModeFirmwareUpdate);  // it says so itself when it fails
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
  return status;
}
