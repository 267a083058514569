// The identity guard: keeps the device identity (MAC, device name, VCOM) across a run that
// rewrites the module's EEPROM. One rule for every tool that does so: a record that was not
// read is never changed by the run, and the exit status says whether the identity and the
// table came through.
//
// A tool that rewrites the module (the table tool, the firmware tool) runs, in this order:
//
//   bm77::SavedIdentity identity;
//   bm77::SaveIdentity(port, &identity);                          // snapshot
//   ... the update; a table goes in through the guard:
//   const bool whole = bm77::UpdateEEPROMGuarded(port, table, identity);   // protect
//   const int restored = bm77::RestoreIdentity(port, identity);   // restore
//   const int checked = bm77::CheckIdentity(port, identity);      // verify
//   return bm77::GuardStatus(identity, restored, checked, whole); // 0, 2 or 3
//
// A run without a table passes `whole` = true. Any other EEPROM write of the run must ask
// ProtectIdentity first.
#pragma once

#include <cstddef>
#include <cstdint>

#include "eeprom.h"
#include "table_file.h"

namespace bm77 {

struct SavedIdentity {
  uint8_t mac[kMacLength] = {};
  uint8_t name[16] = {};  // the 14 bytes read, and room to spare
  int vcom = -1;
  bool has_mac = false;   // each true only when its read brought data: a refusal, a malformed
  bool has_name = false;  // response and the lenient "success" without a response all leave
  bool has_vcom = false;  // the record unread
  // Each true when the record, read again after the flash was programmed, was not as saved
  // (or could not be confirmed): the restore writes it back although no table line touched it.
  bool flash_changed_mac = false;
  bool flash_changed_name = false;
  bool flash_changed_vcom = false;
};

// Exit statuses of the guard, shared by the tools that use it.
constexpr int kStatusDone = 0;
// A record could not be read before the update (so it could not be protected and checked),
// or a restored record did not read back equal.
constexpr int kStatusIdentityNotKept = 2;
// A table write failed or was refused: the table is not wholly in the module.
constexpr int kStatusTableIncomplete = 3;

// Snapshot: reads MAC, device name and VCOM, in this order, each confirmed (Reads::kConfirmed:
// a record whose two reads disagree counts as not read). The VCOM line is printed as usual.
void SaveIdentity(int port, SavedIdentity* identity);

// After the flash was programmed: reads each saved record again (confirmed) and marks the ones
// that are not as saved, for the restore.
void NoteFlashChanges(int port, SavedIdentity* identity);

// Whether every record was read, so the run can protect and check the whole identity.
bool IdentityComplete(const SavedIdentity& identity);

// Protect, for one table line: whether its writes may go out. Not when any of them overlaps
// a record that was not read (MAC 0x0000-0x0005, name 0x000B-0x0018 with the two bytes its
// read returns, VCOM 0x0019-0x001A): then none does, and one line per such record names it
// and `line_address`.
bool ProtectIdentity(const SavedIdentity& identity, uint16_t line_address,
                     const TableWrite* writes, int count);

// Restore: writes back MAC, device name and VCOM, in this order, each only when this run wrote
// over it or the flash changed it (NoteFlashChanges): a record the run never touched is never
// rewritten. A record that was not read is never written: the run has left it alone, and one
// line names it. On a line out of step
// (port.h) only the records a write of this run went out for are written back, with the
// snapshot's bytes; on a closed line none is, and one line names each. Returns 0 when every
// write went through and was confirmed, else -1.
int RestoreIdentity(int port, const SavedIdentity& identity);

// Verify: reads the restored records back without printing their values and compares them
// (the name over its 12 written bytes). Not on a line out of step, where a late reply could
// pass for a record: one line says the identity was not checked, and the result is -1. Returns 0 when every record that was saved is in the
// module again; else prints one line naming the records that differ or could not be read
// back, and returns -1.
int CheckIdentity(int port, const SavedIdentity& identity);

// The run's exit status from its facts: kStatusIdentityNotKept when a record was not read or
// `restore_result` (from RestoreIdentity) or `check_result` (from CheckIdentity) is not 0; else kStatusTableIncomplete when the table
// did not go in whole; else kStatusDone.
int GuardStatus(const SavedIdentity& identity, int restore_result, int check_result,
                bool table_whole);

}  // namespace bm77
