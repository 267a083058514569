// The marker program: if it ever runs, it leaves the file named on its command line. Built
// static (which ignores LD_PRELOAD, so the board must refuse to start it) and dynamic (for the
// other programs that must not start, and to see which file a relative name started).
#include <cstdio>

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  std::FILE* marker = std::fopen(argv[1], "w");
  if (marker == nullptr) return 1;
  std::fputs("ran\n", marker);
  return std::fclose(marker) == 0 ? 0 : 1;
}
