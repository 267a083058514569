// bm77_tableupdate TABLE.txt: writes an EEPROM table file into the BM77 module and keeps the
// device identity under the identity guard (bm77link/identity.h): MAC, device name and VCOM
// are read before the table is written, table lines over a record that could not be read
// are held back, the records are put back afterwards and read once more to make sure they
// survived.
//
// Exit status: 0 every exchange went through and the identity read back equal; 1 table name
// or file; 2 a record could not be read before the update, a restore write failed, or a record
// did not read back equal;
// 3 the table is not wholly in the module (a write failed or was refused, or the file could not
// be read to its end; 2 wins over 3); 255 argument count or serial port; 128 + N stopped by
// signal N (SIGINT, SIGTERM, SIGHUP) after the records it wrote over were put back (stop.h).
#include <stdio.h>
#include <unistd.h>

#include "bm77link.h"
#include "line_output.h"
#include "run_record.h"
#include "serial_port.h"
#include "std_descriptors.h"

namespace {

namespace msg = bm77::msg;

constexpr int kStatusTableFile = 1;
constexpr int kStatusUsage = -1;  // 255 to the shell, as for a port that cannot be opened

constexpr record::Outcome kOutcomes[] = {
    {0, "ok"}, {1, "file"}, {2, "identity"}, {3, "table"}, {255, "port"}};

// Gives the module time to settle after whatever started this run.
constexpr unsigned kSettleSeconds = 1;

// Identity out, table in under the guard, identity back, identity checked.
int UpdateKeepingIdentity(int port, int table) {
  bm77::SavedIdentity identity;
  bm77::SaveIdentity(port, &identity);
  const bool whole = bm77::UpdateEEPROMGuarded(port, table, identity);
  bm77::HoldStopSignals(true);  // the restore is not cut short
  const int restored = bm77::RestoreIdentity(port, identity);
  const int status =
      bm77::GuardStatus(identity, restored, bm77::CheckIdentity(port, identity), whole);
  bm77::HoldStopSignals(false);
  return status;
}

int Run(int argc, char** argv) {
  bm77::KeepStandardDescriptorsOpen();  // before anything is opened
  bm77::UseLineBufferedOutput();
  bm77::SetAckPolicy(bm77::AckPolicy::kLenient);
  bm77::CatchStopSignals();
  puts(msg::kConfigurationBanner);
  if (argc != 2) {
    record::SetOutcome("usage");  // 255 stands for the port as well
    return kStatusUsage;
  }

  const char* table_path = argv[1];
  record::SetTableFile(table_path);
  if (check_tablefile(table_path) != 0) {
    puts(msg::kInvalidTableFile);
    return kStatusTableFile;
  }
  const int table = bm77::OpenInputFile(table_path);
  if (table < 0) {
    printf(msg::kOpenFileFailedFormat, table_path);
    return kStatusTableFile;
  }

  sleep(kSettleSeconds);
  const int port = com_init(bm77::kSerialPortPath);
  if (port <= 0) {
    puts(msg::kPortInitFail);
    return kStatusUsage;
  }
  puts(msg::kPortInitSuccess);

  const int status = UpdateKeepingIdentity(port, table);
  close(table);
  close(port);
  return bm77::StatusAfterStop(status);
}

}  // namespace

int main(int argc, char** argv) {
  record::Start("bm77_tableupdate", argc, argv);
  return record::Finish(Run(argc, argv), kOutcomes);
}
