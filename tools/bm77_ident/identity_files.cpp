#include "identity_files.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "bm77link.h"
#include "messages.h"
#include "plain_file.h"
#include "run_record.h"

using namespace ident;

namespace {

constexpr char kNamePrefix[] = "Tavrine-";
constexpr size_t kNamePrefixLength = sizeof kNamePrefix - 1;
constexpr char kMacSeparator = ':';
constexpr uint8_t kDigitZero = '0';
constexpr uint8_t kHexDigitMax = 15;

// Where the four name digits stand in the MAC text form: the pairs of mac[4] and mac[5].
constexpr size_t kNameDigitsInMacText[] = {12, 13, 15, 16};

// The module's factory default and the two erased patterns.
constexpr uint8_t kUnusableMacs[][kMacBytes] = {
    {0x00, 0x11, 0x67, 0x50, 0x00, 0x00},
    {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    {0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
};

bool AllDecimalDigits(const uint8_t* bytes, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (bytes[i] < '0' || bytes[i] > '9') return false;
  }
  return true;
}

uint8_t DigitByte(int value) { return static_cast<uint8_t>((kDigitZero + value) & 0xFF); }

// Opens `path` for writing in place, or prints the open-failure line and returns -1.
int OpenForWriting(const char* path, int access_mode) {
  const int fd = bm77::OpenPlainFile(path, access_mode | O_CREAT, kFileMode, bm77::FileOwner::kTool);
  if (fd < 0) printf(msg::kOpenCreateFailedFormat, path);
  return fd;
}

// One write of `count` bytes to a file opened read-write; a short write costs one line.
void WriteWhole(const void* bytes, size_t count, const char* path) {
  const int fd = OpenForWriting(path, O_RDWR);
  if (fd < 0) return;
  if (write(fd, bytes, count) != static_cast<ssize_t>(count)) {
    printf(msg::kSaveToFileFailedFormat, path);
  }
  close(fd);
}

}  // namespace

namespace ident {

void MacToText(const uint8_t* mac, char* text) {
  for (size_t i = 0; i < kMacBytes; ++i) {
    text[3 * i] = static_cast<char>(hex2char(static_cast<uint8_t>(mac[i] >> 4)));
    text[3 * i + 1] = static_cast<char>(hex2char(static_cast<uint8_t>(mac[i] & 0x0F)));
    if (i + 1 < kMacBytes) text[3 * i + 2] = kMacSeparator;
  }
  text[kMacTextLength] = '\0';
}

int MacFromText(const char* text, uint8_t* mac) {
  if (strnlen(text, kMacTextLength) < kMacTextLength) return -1;
  for (size_t i = 0; i < kMacBytes; ++i) {
    const uint8_t high = char2hex(text[3 * i]);
    const uint8_t low = char2hex(text[3 * i + 1]);
    if (high > kHexDigitMax || low > kHexDigitMax) return -1;
    mac[i] = static_cast<uint8_t>(high << 4 | low);
  }
  return 0;
}

int VcomFromDigits(uint8_t hundreds, uint8_t tens, uint8_t units) {
  return (hundreds - kDigitZero) * 100 + (tens - kDigitZero) * 10 + (units - kDigitZero);
}

int VcomFromText(const char* text, int* vcom) {
  if (strnlen(text, kVcomDigits + 1) != kVcomDigits) return -1;
  for (size_t i = 0; i < kVcomDigits; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
  }
  *vcom = VcomFromDigits(static_cast<uint8_t>(text[0]), static_cast<uint8_t>(text[1]),
                         static_cast<uint8_t>(text[2]));
  return 0;
}

bool IsUnusableMac(const uint8_t* mac) {
  for (const auto& unusable : kUnusableMacs) {
    if (memcmp(mac, unusable, kMacBytes) == 0) return true;
  }
  return false;
}

void ComposeDeviceName(const uint8_t* mac, uint8_t* name) {
  char text[kMacTextBufferSize];
  MacToText(mac, text);
  memcpy(name, kNamePrefix, kNamePrefixLength);
  size_t at = kNamePrefixLength;
  for (size_t position : kNameDigitsInMacText) name[at++] = static_cast<uint8_t>(text[position]);
  name[kNameLength] = '\0';
}

void SaveIdentityFiles(const uint8_t* mac, const uint8_t* name) {
  SaveDeviceNameToFile(name, kOptNamePath);
  SaveMacToFile(mac, kOptMacPath);
  SaveDeviceNameToFile(name, kTmpNamePath);
  SaveMacToFile(mac, kTmpMacPath);
}

}  // namespace ident

void SaveMacToFile(const uint8_t* mac, const char* path) {
  char text[kMacTextBufferSize];
  MacToText(mac, text);
  WriteWhole(text, kMacTextLength, path);  // the NUL stays out of the file
}

void SaveDeviceNameToFile(const uint8_t* name, const char* path) {
  WriteWhole(name, kNameLength, path);
}

void SaveVcomToFile(int vcom, const char* path) {
  const int fd = OpenForWriting(path, O_WRONLY);
  if (fd < 0) return;
  const uint8_t digits[kVcomDigits] = {DigitByte(vcom / 100), DigitByte(vcom / 10 % 10),
                                       DigitByte(vcom % 10)};
  // A short write goes unreported: the line below is printed all the same.
  const ssize_t written = write(fd, digits, sizeof digits);
  (void)written;
  printf(msg::kSaveVcomFormat, vcom, path);
  close(fd);
}

int ReadVcomFromFile(const char* path, int* vcom) {
  const int fd = bm77::OpenPlainFile(path, O_RDONLY, 0, bm77::FileOwner::kTool);
  if (fd < 0) {
    printf(msg::kOpenCreateFailedFormat, path);
    return -1;
  }
  uint8_t digits[kVcomDigits];
  const ssize_t n = read(fd, digits, sizeof digits);
  close(fd);
  // A value made partly of bytes that were never read, or of bytes that are no digits ("25\n"
  // would be 212), is no VCOM at all.
  if (n != static_cast<ssize_t>(sizeof digits) || !AllDecimalDigits(digits, sizeof digits)) {
    printf(msg::kVcomFileShortFormat, path);
    return -1;
  }
  *vcom = VcomFromDigits(digits[0], digits[1], digits[2]);
  printf(msg::kReadVcomFormat, digits[0], digits[1], digits[2], *vcom);
  return 0;
}

int ReadMacFromRandom(const char* path, uint8_t* mac) {
  const int fd = bm77::OpenPlainFile(path, O_RDWR, 0, bm77::FileOwner::kTool);
  if (fd < 0) {
    printf(bm77::msg::kOpenFileFailedFormat, path);
    return -1;
  }
  const ssize_t n = read(fd, mac, kMacBytes);
  close(fd);
  if (n != static_cast<ssize_t>(kMacBytes)) {
    printf(msg::kReadMacFromFileFailedFormat, path);
    return -1;
  }
  return 0;
}

int CheckMac(int fd, uint8_t* mac) {
  puts(msg::kCheckMac);
  record::SetMacSource("module");  // unless random bytes replace it below
  if (!IsUnusableMac(mac)) return 0;
  puts(msg::kCreateNewMac);
  // Its exit status decides nothing: an older random file serves as well as a new one.
  if (system(kNoisewellCommand) != 0) puts(msg::kNoisewellFailed);
  if (access(kRandomPath, F_OK) != 0) {
    puts(msg::kNoRandomFile);
    return 0;
  }
  // A MAC made partly of random bytes and partly of the unusable one would be the same on
  // every unit whose random file came short: it stays unusable instead.
  uint8_t random[kMacBytes];
  const bool whole = ReadMacFromRandom(kRandomPath, random) == 0;
  int result = 0;
  if (whole) {
    memcpy(mac, random, kMacBytes);
    record::SetMacSource("random");
    result = SaveMacToBM77(fd, mac);
  }
  // Random bytes serve one MAC only.
  remove(kRandomPath);
  return result;
}

int CheckDeviceName(int fd, const uint8_t* mac, uint8_t* name) {
  uint8_t wanted[kNameBufferSize];
  ComposeDeviceName(mac, wanted);
  if (memcmp(name, wanted, kNameLength) == 0) return 0;
  memcpy(name, wanted, kNameLength + 1);
  printf(msg::kDeviceNameFormat, reinterpret_cast<const char*>(name));
  return SaveDeviceNameToBM77(fd, name);
}
