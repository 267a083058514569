// The device identity outside the module: the MAC text form in /opt/mac and /tmp/mac, the
// device name in /opt/device_name and /tmp/device_name, the VCOM in /opt/vcomdata. Also the
// rule that judges a MAC unusable, a new MAC from the random bytes Noisewell leaves in
// /opt/random, and the device name derived from the MAC. Linked by bm77_ident and
// bm77_provision.
//
// A MAC is six bytes in display order: mac[0] is the first pair of its text form.
//
// Files are written in place: opened without truncation (a longer old tail stays behind the
// new bytes), created with kFileMode when missing, written with one write, never through a
// symbolic link. A file that cannot be opened or written costs one line and nothing else.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace ident {

constexpr const char kOptMacPath[] = "/opt/mac";
constexpr const char kTmpMacPath[] = "/tmp/mac";
constexpr const char kOptNamePath[] = "/opt/device_name";
constexpr const char kTmpNamePath[] = "/tmp/device_name";
constexpr const char kVcomPath[] = "/opt/vcomdata";
constexpr const char kRandomPath[] = "/opt/random";
constexpr const char kNoisewellCommand[] = "/bin/Noisewell";

constexpr mode_t kFileMode = 0644;

constexpr size_t kMacBytes = 6;
constexpr size_t kMacTextLength = 17;  // "00:1A:2B:3C:4D:5E"
constexpr size_t kMacTextBufferSize = kMacTextLength + 1;
constexpr size_t kNameLength = 12;     // "Tavrine-4D5E"
// A name buffer: the 14 bytes the module's name read gives, and room for a NUL.
constexpr size_t kNameBufferSize = 16;
constexpr size_t kVcomDigits = 3;
constexpr int kDefaultVcom = 256;
constexpr int kVcomMax = 999;  // the most three decimal digits hold

// Whether `vcom` can be kept in /opt/vcomdata as three decimal digits.
inline bool IsStorableVcom(int vcom) { return vcom >= 0 && vcom <= kVcomMax; }

// The text form into `text` (kMacTextBufferSize bytes, NUL-terminated): upper-case hex pairs
// separated by ':'.
void MacToText(const uint8_t* mac, char* text);

// Six bytes from the pairs at 0-1, 3-4, ... 15-16 of `text`, each two hex digits in either
// case; the characters between the pairs, and any after the 17th, are not looked at. Returns -1
// without reading past the text when it is shorter than kMacTextLength or a pair holds anything
// but hex digits ("zz" is no 0xFF), else 0.
int MacFromText(const char* text, uint8_t* mac);

// The value of three digit bytes, each taken as '0' + value; nothing is checked, so ':' is 10.
int VcomFromDigits(uint8_t hundreds, uint8_t tens, uint8_t units);

// The VCOM from a text of exactly three decimal digits ("007", "256"). Returns -1 without
// reading past the text for anything else ("45", "0256", "-5", "abc"), else 0.
int VcomFromText(const char* text, int* vcom);

// Whether the module may not keep `mac` (the module's factory default, all ones, all zeros).
bool IsUnusableMac(const uint8_t* mac);

// "Tavrine-" and the upper-case hex digits of mac[4] and mac[5], NUL at position 12.
void ComposeDeviceName(const uint8_t* mac, uint8_t* name);

// The name and the MAC to /opt/device_name, /opt/mac, /tmp/device_name, /tmp/mac, in this
// order.
void SaveIdentityFiles(const uint8_t* mac, const uint8_t* name);

}  // namespace ident

// Writes the 17 characters of the MAC text form to `path`.
void SaveMacToFile(const uint8_t* mac, const char* path);
// Writes the first 12 bytes of `name` to `path` as they stand.
void SaveDeviceNameToFile(const uint8_t* name, const char* path);
// Writes `vcom` as three bytes '0' + vcom / 100, '0' + the tens, '0' + the units (so 1000 is
// ":00"), then prints the "Save Vcom" line whatever the write did.
void SaveVcomToFile(int vcom, const char* path);
// Reads the first three bytes of `path` into `vcom`. Returns 0, or -1 (after one line) when the
// file cannot be opened, holds fewer than three bytes or bytes that are not decimal digits:
// then `vcom` is left as it was.
int ReadVcomFromFile(const char* path, int* vcom);
// Reads the first six bytes of `path` into `mac`, as they stand. Returns 0, or -1 after one
// line when the file cannot be opened or holds fewer than six bytes; the bytes that were read
// have replaced the leading bytes of `mac` all the same.
int ReadMacFromRandom(const char* path, uint8_t* mac);

// Leaves a usable `mac` as it is. An unusable one is replaced by the first six bytes of the
// random file that /bin/Noisewell leaves behind and written to the module; without a random
// file, or with one of fewer than six bytes, it stays as it was (still unusable). The random
// file is removed once read. Returns the module write's result (0 when nothing was written).
int CheckMac(int fd, uint8_t* mac);
// Makes `name` (kNameBufferSize bytes) "Tavrine-" and the last four hex digits of `mac`, and
// writes a name that had to change to the module. Returns the module write's result (0 when
// the name stood).
int CheckDeviceName(int fd, const uint8_t* mac, uint8_t* name);
// The provisioning tool's name for the same operation.
inline int CheckDeviceNameAndMac(int fd, const uint8_t* mac, uint8_t* name) {
  return CheckDeviceName(fd, mac, name);
}
