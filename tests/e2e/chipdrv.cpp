// A small driver of the chip transport for end-to-end tests: opens /dev/ZR6083_S and runs the
// steps named on the command line, printing each status as one line ("wake=00").
//   wake | sleep | idle | reset               the requests without data
//   exec:OP:P1:P2:RX:TX[:D1[:D2[:D3]]]        ATSHA204A_Execute; fields in hex, the data
//                                             parts as hex bytes (empty: none)
//                                             -> "exec=XX resp=HEX after=HEX": the response
//                                                as far as its count byte reaches, and the
//                                                four bytes behind it (the buffer starts
//                                                filled with EE)
// Exit status 0, 3 when the device cannot be opened, 2 for a step it does not know.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ATSHA204A.h"
#include "line_output.h"

namespace {

constexpr int kNoDevice = 3;
constexpr int kUnknownStep = 2;
constexpr uint8_t kFill = 0xEE;
constexpr unsigned kAfter = 4;

std::vector<std::string> Fields(const std::string& step) {
  std::vector<std::string> fields;
  size_t start = 0;
  for (;;) {
    const size_t colon = step.find(':', start);
    fields.push_back(step.substr(start, colon - start));
    if (colon == std::string::npos) return fields;
    start = colon + 1;
  }
}

unsigned Number(const std::string& hex) {
  return static_cast<unsigned>(strtoul(hex.c_str(), nullptr, 16));
}

std::vector<uint8_t> HexBytes(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(Number(hex.substr(i, 2))));
  }
  return bytes;
}

bool Execute(const std::string& step) {
  const std::vector<std::string> f = Fields(step);
  if (f.size() < 6 || f.size() > 9) return false;
  std::vector<uint8_t> data[3];
  for (size_t i = 6; i < f.size(); ++i) data[i - 6] = HexBytes(f[i]);
  uint8_t packet[128];
  uint8_t response[256 + kAfter];
  memset(response, kFill, sizeof response);
  const uint8_t status = ATSHA204A_Execute(
      static_cast<uint8_t>(Number(f[1])), static_cast<uint8_t>(Number(f[2])),
      static_cast<uint16_t>(Number(f[3])), static_cast<uint8_t>(data[0].size()), data[0].data(),
      static_cast<uint8_t>(data[1].size()), data[1].data(), static_cast<uint8_t>(data[2].size()),
      data[2].data(), static_cast<uint8_t>(Number(f[5])), packet,
      static_cast<uint8_t>(Number(f[4])), response);
  printf("exec=%02X resp=", status);
  const unsigned count = response[0] == kFill ? 0 : response[0];
  for (unsigned i = 0; i < count; ++i) printf("%02X", response[i]);
  printf(" after=");
  for (unsigned i = count; i < count + kAfter; ++i) printf("%02X", response[i]);
  printf("\n");
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  bm77::UseLineBufferedOutput();
  fd = open(atsha204a::kDevicePath, O_RDWR);
  if (fd < 0) {
    puts("open=fail");
    return kNoDevice;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string step = argv[i];
    if (step == "wake") {
      printf("wake=%02X\n", SHA204A_WakeUp());
    } else if (step == "sleep") {
      printf("sleep=%02X\n", ATSHA204A_Sleep());
    } else if (step == "idle") {
      printf("idle=%02X\n", ATSHA204A_Idle());
    } else if (step == "reset") {
      printf("reset=%02X\n", ATSHA204A_ResetIO());
    } else if (step.rfind("exec:", 0) != 0 || !Execute(step)) {
      printf("unknown step %s\n", step.c_str());
      return kUnknownStep;
    }
  }
  close(fd);
  return 0;
}
