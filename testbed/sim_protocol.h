// The contract between the preload library (inside the program under test) and the simulated
// board (inside the test process or devsim). Both sides include this header and nothing else
// of each other. Plain C-compatible layout: the preload library does not use libstdc++.
#pragma once

#include <stdint.h>

namespace simwire {

// ---- Environment of a program run against the board ------------------------------------------
// Absolute path of the run's sandbox folder. The board's files and devices (kBoardPaths) lead
// into it ($SANDBOX/opt/mac, $SANDBOX/tmp/mac, $SANDBOX/dev/vrk_io, ...).
constexpr const char kEnvSandbox[] = "BM77SIM_SANDBOX";
// Path of the board's Unix socket (SOCK_SEQPACKET).
constexpr const char kEnvSocket[] = "BM77SIM_SOCKET";
// Path of the pseudo-terminal slave that stands for /dev/ttyS0. Empty or unset: the port is
// missing, and opening /dev/ttyS0 fails with ENOENT.
constexpr const char kEnvTty[] = "BM77SIM_TTY";
// Port faults, applied by the preload library to writes on the port descriptor:
//   BM77SIM_PORT_WRITE_MAX=N     every write to the port passes at most N bytes (partial write)
//   BM77SIM_PORT_WRITE_EAGAIN=1  every other write to the port fails with EAGAIN, first one too
//   BM77SIM_PORT_WRITE_FAIL=K    the K-th write to the port (1-based) and every later one fail
//                                with EIO
//   BM77SIM_PORT_WRITE_STALL=N   the port takes N bytes in all, then every write fails with
//                                EAGAIN though the port still polls writable
constexpr const char kEnvPortWriteMax[] = "BM77SIM_PORT_WRITE_MAX";
constexpr const char kEnvPortWriteEagain[] = "BM77SIM_PORT_WRITE_EAGAIN";
constexpr const char kEnvPortWriteFail[] = "BM77SIM_PORT_WRITE_FAIL";
constexpr const char kEnvPortWriteStall[] = "BM77SIM_PORT_WRITE_STALL";
// Scripted reads on the port, for counting tests of programs that poll the port in a loop:
//   BM77SIM_PORT_READ_SCRIPT="i:n,i:n,..."  read number i (1-based) returns n bytes (zeros)
//                                           instead of reading the port; never more than
//                                           the read asked for (the buffer holds no more)
//   BM77SIM_PORT_READ_LIMIT=K               after the K-th read of the port the process ends
//                                           with _exit(0), standard output flushed: the K
//                                           reads complete, the next read ends the process
// Reads not named in the script go to the real port.
constexpr const char kEnvPortReadScript[] = "BM77SIM_PORT_READ_SCRIPT";
constexpr const char kEnvPortReadLimit[] = "BM77SIM_PORT_READ_LIMIT";
// Deliberate pauses fast-forwarded, for runs that test something else than timing:
//   BM77SIM_SKIP_PAUSES_MS=N  sleep(), usleep() and nanosleep() of N ms or longer return at
//                             once, as if the time had passed; shorter ones take their time
//                             (the chip's execution times stay real). Unset or 0: all real.
// Waits with a time limit (poll) are never shortened: the tools' silence limits stay real.
constexpr const char kEnvSkipPausesMs[] = "BM77SIM_SKIP_PAUSES_MS";
// Program that system("/bin/Noisewell") runs (with the same environment). Unset: refused.
constexpr const char kEnvNoisewell[] = "BM77SIM_NOISEWELL";
// Set when the programs are built for the device's processor and run under an emulator
// (qemu-user): the emulator, the device's dynamic loader and the folder of the device's
// libraries. The emulator runs the loader, which loads the program. A program of the device
// cannot start another by itself there, so the program behind system("/bin/Noisewell") starts
// the same way, like the board started the first. Unset: programs run natively.
constexpr const char kEnvEmulator[] = "BM77SIM_EMULATOR";
constexpr const char kEnvEmulatorLoader[] = "BM77SIM_EMULATOR_LOADER";
constexpr const char kEnvEmulatorLibraries[] = "BM77SIM_EMULATOR_LIBRARIES";
// The emulator's option that sets one variable of the emulated program's environment: the
// preload list travels this way, so that the emulator, a program of this machine, never gets
// it. The loader's options: where the device's libraries are, and the program's own name.
constexpr const char kEmulatorEnvOption[] = "-E";
constexpr const char kLoaderLibrariesOption[] = "--library-path";
constexpr const char kLoaderNameOption[] = "--argv0";
constexpr const char kPreloadVariable[] = "LD_PRELOAD";

// Exit status of a program whose preload library found no sandbox settings, or could not
// complete the handshake with the board. Chosen to stand out from every tool's own statuses.
constexpr int kRefusedExitStatus = 113;

// ---- Messages on the socket ---------------------------------------------------------------------
constexpr uint32_t kMagic = 0x42373753u;  // "B77S"

// Every exchange is one connection: the client (preload library) connects, sends one Request,
// then follows the server's Replies until kDone, then closes.
enum RequestKind : uint32_t {
  kHello = 1,      // text: the program's path (from /proc/self/exe). Server answers kDone, 0.
  kIoctl = 2,      // device, request, arg_low, arg_ptr. Server may ask for memory, then kDone.
  kViolation = 3,  // text: what was refused. Server answers kDone, 0.
  kSystem = 4,     // text: the command given to system(). Server answers kDone with the
                   // wait status system() should return, -1 to refuse, or kSystemRun.
};

// kSystem answer: the preload library runs the program named by BM77SIM_NOISEWELL itself
// (same environment, so it runs against the same board) and returns its wait status.
constexpr int32_t kSystemRun = 0x7fffffff;

enum Device : uint32_t {
  kDevNone = 0,
  kDevVrkIo = 1,   // /dev/vrk_io, the board I/O control driver
  kDevSha204 = 2,  // /dev/ZR6083_S, the ATSHA204A driver
  kDevFb0 = 3,     // /dev/fb0, the framebuffer
};

// ---- The board's paths -------------------------------------------------------------------------
// The device's own paths, and only these (with whatever lies below them), are the board's;
// every other path is the machine's, as it would be for these programs on the device.
enum class BoardPathKind : uint32_t {
  kPort,     // the serial port: the board's pseudo-terminal
  kDevice,   // a driver served over the board's socket, its file in the sandbox
  kFile,     // a file of the device, kept in the sandbox
  kProgram,  // a program that system() starts on the board
};
struct BoardPath {
  const char* path;
  BoardPathKind kind;
  Device device;  // for kDevice
};
constexpr BoardPath kBoardPaths[] = {
    {"/dev/ttyS0", BoardPathKind::kPort, kDevNone},
    {"/dev/vrk_io", BoardPathKind::kDevice, kDevVrkIo},
    {"/dev/ZR6083_S", BoardPathKind::kDevice, kDevSha204},
    {"/dev/fb0", BoardPathKind::kDevice, kDevFb0},
    {"/opt/mac", BoardPathKind::kFile, kDevNone},  // the files in the order devsim shows them
    {"/tmp/mac", BoardPathKind::kFile, kDevNone},
    {"/opt/device_name", BoardPathKind::kFile, kDevNone},
    {"/tmp/device_name", BoardPathKind::kFile, kDevNone},
    {"/opt/vcomdata", BoardPathKind::kFile, kDevNone},
    {"/opt/random", BoardPathKind::kFile, kDevNone},
    {"/bin/Noisewell", BoardPathKind::kProgram, kDevNone},
};
// The first board path of a kind: the port, and the program system() may start.
constexpr const char* FirstBoardPath(BoardPathKind kind) {
  for (const BoardPath& b : kBoardPaths) {
    if (b.kind == kind) return b.path;
  }
  return "";
}

constexpr unsigned kTextMax = 512;

struct Request {
  uint32_t magic;
  uint32_t kind;     // RequestKind
  int32_t pid;
  uint32_t device;   // Device, for kIoctl
  uint32_t request;  // ioctl request number, low 32 bits
  uint32_t arg_low;  // low 32 bits of the third ioctl argument (for integer arguments)
  uint64_t arg_ptr;  // the third argument as a pointer value (informative)
  char text[kTextMax];  // NUL-terminated
};

enum ReplyKind : uint32_t {
  // The client sends one message: a uint32_t status (kMemOk or kMemFault) followed, when
  // kMemOk, by `length` bytes read from arg_ptr + offset (sendmsg with two iovecs; if the
  // caller's memory is bad the send fails with EFAULT and the client sends kMemFault alone).
  kMemRead = 1,
  // The server sends one more message with `length` bytes; the client receives them into
  // arg_ptr + offset and answers with a uint32_t status (kMemOk or kMemFault).
  kMemWrite = 2,
  // End of the exchange: result is what ioctl/system returns, err the errno when result < 0.
  kDone = 3,
};

constexpr uint32_t kMemOk = 0;
constexpr uint32_t kMemFault = 1;

struct Reply {
  uint32_t magic;
  uint32_t kind;  // ReplyKind
  uint32_t offset;
  uint32_t length;
  int32_t result;
  int32_t err;
};

// Largest single memory transfer the server asks for.
constexpr uint32_t kMemChunkMax = 65536;

}  // namespace simwire
