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

void RestoreIdentity(int port, const SavedIdentity& identity) {
  if (identity.has_mac) {
    SaveMacToBM77(port, identity.mac);
  } else {
    ReportNotRestored(kMacRecord);
  }
  if (identity.has_name) {
    SaveDeviceNameToBM77(port, identity.name);
  } else {
    ReportNotRestored(kNameRecord);
  }
  if (identity.has_vcom) {
    SaveVcomToBM77(port, identity.vcom);
  } else {
    ReportNotRestored(kVcomRecord);
  }
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

int GuardStatus(const SavedIdentity& identity, int check_result, bool table_whole) {
  if (!IdentityComplete(identity) || check_result != 0) return kStatusIdentityNotKept;
  return table_whole ? kStatusDone : kStatusTableIncomplete;
}

}  // namespace bm77
