// Plays /bin/Noisewell for the identity tests while the board has no crypto chip. It behaves
// as Noisewell does seen from outside:
//   NOISEWELL_STANDIN_RANDOM=<64 hex digits>  prints the bytes as Noisewell's dump, writes them
//                                            at the start of /opt/random (created 0600, not
//                                            truncated) and ends with 0;
//   NOISEWELL_STANDIN_FAIL=<code>            prints the wake-up failure line with that code and
//                                            ends with it, /opt/random untouched.
// Outside a board run it does nothing: it must never write the machine's own /opt/random.
#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int kNotUnderBoard = 2;
constexpr int kBadSetting = 3;
constexpr size_t kRandomBytes = 32;
constexpr size_t kValuesPerLine = 8;
constexpr mode_t kRandomMode = 0600;

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool ParseRandom(const char* hex, unsigned char* bytes) {
  if (std::strlen(hex) != 2 * kRandomBytes) return false;
  for (size_t i = 0; i < kRandomBytes; ++i) {
    const int high = HexValue(hex[2 * i]);
    const int low = HexValue(hex[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

int Succeed(const char* hex) {
  unsigned char bytes[kRandomBytes];
  if (!ParseRandom(hex, bytes)) return kBadSetting;
  std::printf("\nRandom:");
  for (size_t i = 0; i < kRandomBytes; ++i) {
    if (i % kValuesPerLine == 0) std::printf("\n");
    std::printf("0x%02x, ", bytes[i]);
  }
  std::printf("\n");
  const int fd = open("/opt/random", O_RDWR | O_CREAT | O_NOFOLLOW, kRandomMode);
  if (fd < 0) return EXIT_FAILURE;
  const bool written = write(fd, bytes, sizeof bytes) == static_cast<ssize_t>(sizeof bytes);
  return close(fd) == 0 && written ? 0 : EXIT_FAILURE;
}

int Fail(const char* code) {
  const int status = std::atoi(code);
  std::printf("SHA204A Wake Up Failure! ret_code=0x%02x\n", status);
  return status;
}

}  // namespace

int main() {
  if (dlsym(RTLD_DEFAULT, "bm77sim_active") == nullptr) return kNotUnderBoard;
  if (const char* code = std::getenv("NOISEWELL_STANDIN_FAIL")) return Fail(code);
  if (const char* hex = std::getenv("NOISEWELL_STANDIN_RANDOM")) return Succeed(hex);
  return kBadSetting;
}
