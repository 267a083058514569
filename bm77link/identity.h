// Keeping the device identity across an update that rewrites the module's EEPROM: read it
// before, write back what was read afterwards, and check that it survived.
#pragma once

#include <cstdint>

#include "eeprom.h"

namespace bm77 {

struct SavedIdentity {
  uint8_t mac[kMacLength] = {};
  uint8_t name[16] = {};  // the 14 bytes read, and room to spare
  int vcom = -1;
  bool has_mac = false;
  bool has_name = false;
  bool has_vcom = false;
};

// Reads MAC, device name and VCOM, in this order (the VCOM line is printed as usual).
void SaveIdentity(int port, SavedIdentity* identity);

// Writes back MAC, device name and VCOM, in this order. A record that was not read is never
// written: it is left as the update made it, and named in one line.
void RestoreIdentity(int port, const SavedIdentity& identity);

// Reads the restored records back without printing their values and compares them. Returns
// 0 when every record that was saved is in the module again; else prints one line naming the
// records that differ or could not be read back, and returns -1.
int CheckIdentity(int port, const SavedIdentity& identity);

}  // namespace bm77
