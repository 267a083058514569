// A small driver of the flash programming for end-to-end tests: opens the port and runs the
// steps named on the command line, printing each result as one line.
//   mode N          SetBM77Mode(N) through the board I/O device
//   update PATH     UpdateFlashCode with the image at PATH  -> "update=R"
//   init | erase | bank N | write HEX                        -> "init=R", "erase=R", ...
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "driver_support.h"
#include "flash.h"

namespace {

using drv::ParseHex;

}  // namespace

int main(int argc, char** argv) {
  const int port = drv::OpenPort();
  if (port < 0) return 1;
  for (int i = 1; i < argc; ++i) {
    const char* step = argv[i];
    const bool has_arg = i + 1 < argc;
    if (strcmp(step, "mode") == 0 && has_arg) {
      SetBM77Mode(atoi(argv[++i]));
    } else if (strcmp(step, "update") == 0 && has_arg) {
      const int image = open(argv[++i], O_RDONLY);
      if (image < 0) {
        puts("update=noimage");
        return 1;
      }
      printf("update=%d\n", UpdateFlashCode(port, image));
      close(image);
    } else if (strcmp(step, "init") == 0) {
      printf("init=%d\n", Flash_Init(port));
    } else if (strcmp(step, "erase") == 0) {
      printf("erase=%d\n", Flash_Erase(port));
    } else if (strcmp(step, "bank") == 0 && has_arg) {
      printf("bank=%d\n", Flash_SwitchSBank(port, atoi(argv[++i])));
    } else if (strcmp(step, "write") == 0 && has_arg) {
      uint8_t payload[255];
      const size_t n = ParseHex(argv[++i], payload, sizeof payload);
      printf("write=%d\n", BM77_Flash_Write(port, payload, static_cast<int>(n)));
    } else {
      printf("unknown step %s\n", step);
      return 2;
    }
  }
  close(port);
  return 0;
}
