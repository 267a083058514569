#include "identity.h"

#include <stdio.h>
#include <string.h>

#include "messages.h"

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
  bool SavedIdentity::*read;
};
constexpr RecordSpan kRecordSpans[] = {
    {kMacRecord, kMacAddress, kMacLength, &SavedIdentity::has_mac},
    {kNameRecord, kNameAddress, kNameReadLength, &SavedIdentity::has_name},
    {kVcomRecord, kVcomAddress, kVcomLength, &SavedIdentity::has_vcom},
};

bool Overlaps(const RecordSpan& record, uint16_t address, size_t count) {
  const size_t from = address;
  return from < record.address + record.length && record.address < from + count;
}

bool HitsUnread(const SavedIdentity& identity, const RecordSpan& record, uint16_t address,
                size_t count) {
  return !(identity.*record.read) && Overlaps(record, address, count);
}

void ReportNotRestored(const char* record) { printf(msg::kRecordNotRestoredFormat, record); }

}  // namespace

void SaveIdentity(int port, SavedIdentity* identity) {
  identity->has_mac = ReadMac(port, identity->mac, nullptr) == ReadOutcome::kData;
  identity->has_name = ReadDeviceName(port, identity->name) == ReadOutcome::kData;
  ReadOutcome vcom_outcome;
  identity->vcom = ReadVcom(port, /*print_line=*/true, &vcom_outcome);
  identity->has_vcom = vcom_outcome == ReadOutcome::kData;
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
  if (identity.has_mac) {
    if (SaveMacToBM77(port, identity.mac) != 0) all_taken = false;
  } else {
    ReportNotRestored(kMacRecord);
  }
  if (identity.has_name) {
    if (SaveDeviceNameToBM77(port, identity.name) != 0) all_taken = false;
  } else {
    ReportNotRestored(kNameRecord);
  }
  if (identity.has_vcom) {
    if (WriteVcom(port, identity.vcom) != 0) all_taken = false;
  } else {
    ReportNotRestored(kVcomRecord);
  }
  return all_taken ? 0 : -1;
}

int CheckIdentity(int port, const SavedIdentity& identity) {
  bool mac_ok = true, name_ok = true, vcom_ok = true;
  if (identity.has_mac) {
    uint8_t mac[kMacLength];
    mac_ok = ReadMac(port, mac, nullptr) == ReadOutcome::kData &&
             memcmp(mac, identity.mac, kMacLength) == 0;
  }
  if (identity.has_name) {
    uint8_t name[kNameReadLength];
    name_ok = ReadDeviceName(port, name) == ReadOutcome::kData &&
              memcmp(name, identity.name, kNameLength) == 0;
  }
  if (identity.has_vcom) {
    ReadOutcome outcome;
    const int vcom = ReadVcom(port, /*print_line=*/false, &outcome);
    vcom_ok = outcome == ReadOutcome::kData && vcom == identity.vcom;
  }
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
