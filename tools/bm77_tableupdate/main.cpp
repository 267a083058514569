// bm77_tableupdate TABLE.txt: writes an EEPROM table file into the BM77 module and keeps the
// device identity: MAC, device name and VCOM are read before the table is written and put
// back afterwards, then read once more to make sure they survived.
//
// Exit status: 0 done; 1 table name or file; 2 the identity did not survive; 255 argument
// count or serial port.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include "bm77link.h"
#include "line_output.h"
#include "serial_port.h"

namespace {

constexpr const char kBanner[] = "BM77 Configuration Update";
constexpr const char kInvalidTable[] = "Invalid Table File.";
constexpr const char kOpenFailedFormat[] = "Failed to open file: %s\n";

constexpr int kStatusDone = 0;
constexpr int kStatusTableFile = 1;
constexpr int kStatusIdentityNotKept = 2;
constexpr int kStatusUsage = -1;  // 255 to the shell, as for a port that cannot be opened

// Gives the module time to settle after whatever started this run.
constexpr unsigned kSettleSeconds = 1;

// Identity out, table in, identity back, identity checked.
int UpdateKeepingIdentity(int port, int table) {
  bm77::SavedIdentity identity;
  bm77::SaveIdentity(port, &identity);
  UpdateEEPROM(port, table);
  bm77::RestoreIdentity(port, identity);
  return bm77::CheckIdentity(port, identity) == 0 ? kStatusDone : kStatusIdentityNotKept;
}

}  // namespace

int main(int argc, char** argv) {
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kLenient);
  puts(kBanner);
  if (argc != 2) return kStatusUsage;

  const char* table_path = argv[1];
  if (check_tablefile(table_path) != 0) {
    puts(kInvalidTable);
    return kStatusTableFile;
  }
  const int table = open(table_path, O_RDONLY);
  if (table < 0) {
    printf(kOpenFailedFormat, table_path);
    return kStatusTableFile;
  }

  sleep(kSettleSeconds);
  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts(bm77::msg::kPortInitFail);
    return kStatusUsage;
  }
  puts(bm77::msg::kPortInitSuccess);

  const int status = UpdateKeepingIdentity(port, table);
  close(table);
  close(port);
  return status;
}
