// A program that ends before the preload library can greet the board: a function in its
// pre-initialisation array runs before any library's constructor, and ends the process there.
// The board must not count such a run, whatever its exit status.
#include <sys/syscall.h>
#include <unistd.h>

namespace {

void EndAtOnce(int, char**, char**) { syscall(SYS_exit_group, 0); }

}  // namespace

__attribute__((section(".preinit_array"), used)) static void (*const kEndAtOnce)(int, char**,
                                                                                 char**) =
    EndAtOnce;

int main() { return 1; }  // never reached
