// A statically linked program ignores LD_PRELOAD: the board must refuse to start it. If it
// ever ran, it would leave the marker file named on its command line.
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  std::FILE* marker = std::fopen(argv[1], "w");
  if (marker == nullptr) return 1;
  std::fputs("ran\n", marker);
  return std::fclose(marker) == 0 ? 0 : 1;
}
