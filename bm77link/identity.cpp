#include "identity.h"

#include <stdio.h>
#include <string.h>

#include "messages.h"
#include "port.h"
#include "run_record.h"

namespace bm77 {

namespace {

constexpr const char kMacRecord[] = "MAC";
constexpr const char kNameRecord[] = "Device Name";
constexpr const char kVcomRecord[] = "VCOM";

// Where each record lies, as far as the run may not touch it unread: the name with the two
// bytes its read returns.
struct RecordSpan {
  const char* name;
  uint16_t address;
  size_t length;
  size_t written;  // what its restore writes
  bool SavedIdentity::*read;
  bool SavedIdentity::*flash_changed;
};
constexpr RecordSpan kRecordSpans[] = {
    {kMacRecord, kMacAddress, kMacLength, kMacLength, &SavedIdentity::has_mac,
     &SavedIdentity::flash_changed_mac},
    {kNameRecord, kNameAddress, kNameReadLength, kNameLength, &SavedIdentity::has_name,
     &SavedIdentity::flash_changed_name},
    {kVcomRecord, kVcomAddress, kVcomLength, kVcomLength, &SavedIdentity::has_vcom,
     &SavedIdentity::flash_changed_vcom},
};

bool Overlaps(const RecordSpan& record, uint16_t address, size_t count) {
  const size_t from = address;
  return from < record.address + record.length && record.address < from + count;
}

bool HitsUnread(const SavedIdentity& identity, const RecordSpan& record, uint16_t address,
                size_t count) {
  return !(identity.*record.read) && Overlaps(record, address, count);
}

// The identity as the run found it, for the run record; `moment` says which side.
void RecordIdentity(record::Moment moment, const SavedIdentity& identity, bool mac, bool name,
                    bool vcom) {
  if (mac) record::SetMac(moment, identity.mac);
  if (name) record::SetName(moment, identity.name, kNameLength);
  if (vcom) record::SetVcom(moment, identity.vcom);
}

// Whether a record read back (`got` data) as `saved`; data that differ are a failure of the
// run record's own kind (a read without data is noted by the link).
bool ReadsBackEqual(ReadOutcome got, bool equal, uint16_t address) {
  if (got != ReadOutcome::kData) return false;
  if (!equal) {
    char step[record::kStepSize];
    StepName("read-back", address, step);
    record::NoteFailure(step, record::FailureKind::kReadBackDifferent);
  }
  return equal;
}

void ReportNotRestored(const char* record) { printf(msg::kRecordNotRestoredFormat, record); }

// One record back from the snapshot. Returns whether the write went through: sent, and
// confirmed by the module's response.
bool RestoreRecord(int port, const RecordSpan& record, const SavedIdentity& identity) {
  const int unconfirmed_before = UnconfirmedWrites();
  LetRestoreWritesOut(true);
  int result = -1;
  if (record.read == &SavedIdentity::has_mac) {
    result = SaveMacToBM77(port, identity.mac);
  } else if (record.read == &SavedIdentity::has_name) {
    result = SaveDeviceNameToBM77(port, identity.name);
  } else {
    result = WriteVcom(port, identity.vcom);
  }
  LetRestoreWritesOut(false);
  // A write the lenient policy took on an odd status may not have been stored.
  return result == 0 && UnconfirmedWrites() == unconfirmed_before;
}

}  // namespace

void SaveIdentity(int port, SavedIdentity* identity) {
  identity->has_mac =
      ReadMac(port, identity->mac, nullptr, Reads::kConfirmed) == ReadOutcome::kData;
  identity->has_name =
      ReadDeviceName(port, identity->name, Reads::kConfirmed) == ReadOutcome::kData;
  ReadOutcome vcom_outcome;
  identity->vcom = ReadVcom(port, /*print_line=*/true, &vcom_outcome, Reads::kConfirmed);
  identity->has_vcom = vcom_outcome == ReadOutcome::kData;
  RecordIdentity(record::Moment::kBefore, *identity, identity->has_mac, identity->has_name,
                 identity->has_vcom);
}

void NoteFlashChanges(int port, SavedIdentity* identity) {
  if (identity->has_mac) {
    uint8_t mac[kMacLength] = {};
    identity->flash_changed_mac =
        ReadMac(port, mac, nullptr, Reads::kConfirmed) != ReadOutcome::kData ||
        memcmp(mac, identity->mac, kMacLength) != 0;
  }
  if (identity->has_name) {
    uint8_t name[kNameReadLength] = {};
    identity->flash_changed_name =
        ReadDeviceName(port, name, Reads::kConfirmed) != ReadOutcome::kData ||
        memcmp(name, identity->name, kNameLength) != 0;
  }
  if (identity->has_vcom) {
    ReadOutcome got;
    const int vcom = ReadVcom(port, /*print_line=*/false, &got, Reads::kConfirmed);
    identity->flash_changed_vcom = got != ReadOutcome::kData || vcom != identity->vcom;
  }
}

bool IdentityComplete(const SavedIdentity& identity) {
  return identity.has_mac && identity.has_name && identity.has_vcom;
}

bool ProtectIdentity(const SavedIdentity& identity, uint16_t line_address,
                     const TableWrite* writes, int count) {
  bool may = true;
  for (const RecordSpan& record : kRecordSpans) {
    bool hit = false;
    for (int i = 0; i < count && !hit; ++i) {
      hit = HitsUnread(identity, record, writes[i].address, writes[i].count);
    }
    if (hit) printf(msg::kTableLineHeldBackFormat, record.name, line_address);
    may = may && !hit;
  }
  return may;
}

int RestoreIdentity(int port, const SavedIdentity& identity) {
  bool all_taken = true;
  for (const RecordSpan& record : kRecordSpans) {
    if (!(identity.*record.read)) {
      ReportNotRestored(record.name);
      continue;
    }
    // A record the run never wrote over is as it was, unless the flash changed it; out of step
    // the flash is not trusted either way (nothing read there is).
    const bool wrote_over = RunWroteOver(record.address, record.written);
    if (!wrote_over && (!LineInStep() || !(identity.*record.flash_changed))) {
      // The VCOM's restore step says its line all the same: the record is as it was saved.
      if (LineInStep() && record.read == &SavedIdentity::has_vcom) puts(msg::kSaveVcom);
      continue;
    }
    if (CurrentLineState() == LineState::kClosed) {
      printf(msg::kRecordNotRestoredSilentFormat, record.name);
      all_taken = false;
      continue;
    }
    if (!RestoreRecord(port, record, identity)) all_taken = false;
  }
  return all_taken ? 0 : -1;
}

int CheckIdentity(int port, const SavedIdentity& identity) {
  // A read on a line out of step could take a late reply for the record.
  if (!LineInStep()) {
    puts(msg::kIdentityNotChecked);
    return -1;
  }
  bool mac_ok = true, name_ok = true, vcom_ok = true;
  if (identity.has_mac) {
    uint8_t mac[kMacLength] = {};
    const ReadOutcome got = ReadMac(port, mac, nullptr);
    mac_ok = ReadsBackEqual(got, memcmp(mac, identity.mac, kMacLength) == 0, kMacAddress);
  }
  if (identity.has_name) {
    uint8_t name[kNameReadLength] = {};
    const ReadOutcome got = ReadDeviceName(port, name);
    name_ok = ReadsBackEqual(got, memcmp(name, identity.name, kNameLength) == 0, kNameAddress);
  }
  if (identity.has_vcom) {
    ReadOutcome got;
    const int vcom = ReadVcom(port, /*print_line=*/false, &got);
    vcom_ok = ReadsBackEqual(got, vcom == identity.vcom, kVcomAddress);
  }
  // What read back equal is what the run verified.
  RecordIdentity(record::Moment::kAfter, identity, identity.has_mac && mac_ok,
                 identity.has_name && name_ok, identity.has_vcom && vcom_ok);
  if (mac_ok && name_ok && vcom_ok) return 0;
  printf(msg::kIdentityCheckFailedFormat, mac_ok ? "" : " MAC", name_ok ? "" : " Device Name",
         vcom_ok ? "" : " VCOM");
  return -1;
}

int GuardStatus(const SavedIdentity& identity, int restore_result, int check_result,
                bool table_whole) {
  // A restore write that failed counts even when the record reads back equal: the module may
  // have stored it and then garbled its answer, and 0 promises that every exchange went through.
  if (!IdentityComplete(identity) || restore_result != 0 || check_result != 0) {
    return kStatusIdentityNotKept;
  }
  return table_whole ? kStatusDone : kStatusTableIncomplete;
}

}  // namespace bm77
