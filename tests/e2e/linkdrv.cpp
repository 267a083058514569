// A small driver of the link library for end-to-end tests: opens the port and runs the steps
// named on the command line, printing each result as one line.
//   strict | lenient                set the acknowledgement policy
//   read AAAA N                     BM77_EEPROM_Read   -> "read=R data=HEX" (data when R == 0)
//   write AAAA HEX                  BM77_EEPROM_Write  -> "write=R"
//   send CC HEX | ack | resp | hostack   the exchange steps one by one
//   mac-save HEX | mac-read | name-save TEXT | name-read |
//   vcom-save N | vcom-read              the identity records
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "driver_support.h"

namespace {

using drv::ParseHex;

void PrintHex(const char* label, const uint8_t* bytes, size_t count) {
  printf("%s", label);
  for (size_t i = 0; i < count; ++i) printf("%02X", bytes[i]);
  printf("\n");
}

uint16_t Address(const char* text) { return static_cast<uint16_t>(strtoul(text, nullptr, 16)); }

// The identity record steps; false when `argv[*i]` is none of them.
bool IdentityStep(int port, char** argv, int argc, int* i) {
  const char* step = argv[*i];
  const bool has_arg = *i + 1 < argc;
  uint8_t bytes[16] = {};
  if (strcmp(step, "mac-save") == 0 && has_arg) {
    ParseHex(argv[++*i], bytes, 6);
    printf("mac-save=%d\n", SaveMacToBM77(port, bytes));
  } else if (strcmp(step, "mac-read") == 0) {
    const int r = ReadMacFromBM77(port, bytes);
    printf("mac-read=%d", r);
    PrintHex(" mac=", bytes, 6);
  } else if (strcmp(step, "name-save") == 0 && has_arg) {
    strncpy(reinterpret_cast<char*>(bytes), argv[++*i], 12);
    printf("name-save=%d\n", SaveDeviceNameToBM77(port, bytes));
  } else if (strcmp(step, "name-read") == 0) {
    ReadDeviceNameFromBM77(port, bytes);
    PrintHex("name=", bytes, 14);
  } else if (strcmp(step, "vcom-save") == 0 && has_arg) {
    SaveVcomToBM77(port, atoi(argv[++*i]));
  } else if (strcmp(step, "vcom-read") == 0) {
    printf("vcom-read=%d\n", ReadVcomFromBM77(port));
  } else {
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int port = drv::OpenPort();
  if (port < 0) return 1;
  for (int i = 1; i < argc; ++i) {
    const char* step = argv[i];
    if (strcmp(step, "strict") == 0) {
      bm77::SetAckPolicy(bm77::AckPolicy::kStrict);
    } else if (strcmp(step, "lenient") == 0) {
      bm77::SetAckPolicy(bm77::AckPolicy::kLenient);
    } else if (strcmp(step, "read") == 0 && i + 2 < argc) {
      const uint16_t address = Address(argv[++i]);
      const uint8_t count = static_cast<uint8_t>(atoi(argv[++i]));
      uint8_t buffer[3 + 255] = {static_cast<uint8_t>(address >> 8),
                                 static_cast<uint8_t>(address), count};
      bm77::ReadOutcome outcome;
      const int r = bm77::EepromRead(port, buffer, &outcome);
      printf("read=%d", r);
      if (outcome == bm77::ReadOutcome::kData) PrintHex(" data=", buffer + 3, count);
      else printf(outcome == bm77::ReadOutcome::kNoData ? " nodata\n" : "\n");
    } else if (strcmp(step, "write") == 0 && i + 2 < argc) {
      const uint16_t address = Address(argv[++i]);
      uint8_t payload[255] = {static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address)};
      const size_t n = ParseHex(argv[++i], payload + 2, sizeof payload - 2);
      printf("write=%d\n", BM77_EEPROM_Write(port, payload, static_cast<int>(2 + n)));
    } else if (strcmp(step, "send") == 0 && i + 2 < argc) {
      const uint8_t command = static_cast<uint8_t>(strtoul(argv[++i], nullptr, 16));
      uint8_t payload[255];
      const size_t n = ParseHex(argv[++i], payload, sizeof payload);
      printf("send=%d\n", Send_Command(port, command, static_cast<uint8_t>(n), payload));
    } else if (strcmp(step, "ack") == 0) {
      printf("ack=%d\n", Recieve_Ack(port));
    } else if (strcmp(step, "resp") == 0) {
      uint8_t body[bm77::kResponseBodyMax];
      const int r = Recieve_Response(port, body);
      printf("resp=%d", r);
      if (r > 0) PrintHex(" body=", body, static_cast<size_t>(r));
      else printf("\n");
    } else if (strcmp(step, "hostack") == 0) {
      Send_Ack(port);
    } else if (!IdentityStep(port, argv, argc, &i)) {
      printf("unknown step %s\n", step);
      return 2;
    }
  }
  close(port);
  return 0;
}

