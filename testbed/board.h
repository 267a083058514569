// The simulated board: a BM77 module behind a pseudo-terminal, the board I/O control device,
// the ATSHA204A crypto chip, and the runner that starts a real program from build/bin against
// them through the preload library. Hosted by the test process (or by devsim); one event-loop
// thread serves the pseudo-terminal and the board socket.
//
// This code shares nothing with bm77link or the tools: its framing, CRC and parsing are
// written here again from the protocol's description, so that a fault copied into both sides
// cannot hide itself.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace testbed {

using Bytes = std::vector<uint8_t>;

// ---- Wire ------------------------------------------------------------------------------------

// Terminal settings of the port as the module sees them (read from the master side).
struct PortSettings {
  unsigned ispeed = 0;  // baud, e.g. 115200 (0 when unknown)
  unsigned ospeed = 0;
  bool raw = false;            // no canonical mode, echo, signals, output processing, CR/NL
                               // translation, software flow control
  bool two_stop_bits = false;  // CSTOPB
  bool rtscts = false;         // CRTSCTS
  bool parity = false;         // PARENB (a pty always clears it)
  unsigned cflag = 0, iflag = 0, oflag = 0, lflag = 0;
  bool Proper115200() const { return ispeed == 115200 && ospeed == 115200 && raw && !rtscts; }
};

// One decoded element of the conversation on the line.
struct WireEvent {
  enum class Dir { kHostToModule, kModuleToHost };
  enum class Kind {
    kFrame,     // a command frame (host) or response frame (module), doubled 0x3C undone
    kAck,       // a two-byte acknowledgement; `status` is its second byte
    kRaw,       // bytes sent outside the framing (faults, or raw transfers)
    kGarbage,   // host bytes the module could not frame (logged, then the module resyncs)
    // The flash burst, sent raw by the host: the start "<f" 'S' and a 24-bit count (`payload`
    // holds the three count bytes), the data cut at every 256 bytes of the bank (`payload`:
    // one block), and the bank end: CRC high, CRC low, "<Z" (`payload`: the two CRC bytes).
    kBurstStart,
    kBurstData,
    kBankEnd,
  };
  Dir dir = Dir::kHostToModule;
  Kind kind = Kind::kFrame;
  uint8_t command = 0;  // host frames: the command byte
  Bytes payload;        // host frames: payload as meant (undoubled); module frames: body
  bool crc_ok = true;   // host frames: CRC over command + payload matched
  uint8_t status = 0;   // acks
  Bytes raw;            // bytes as they were on the line
  PortSettings settings;  // host events: the port settings when the event arrived
  // Host events: when the module took the event's last byte off the line. Module events: when
  // the module handed the event to the line.
  std::chrono::steady_clock::time_point at{};
};

// ---- The module --------------------------------------------------------------------------------

// What the module does with one command (before faults are applied).
struct CommandReply {
  uint8_t ack_status = 0x33;  // "<3" accepts
  bool send_response = true;  // response frame after an accepting ack
  Bytes body;                 // response body (the frame adds "<f", CRC and "<Z")
  std::chrono::milliseconds delay{0};  // the command's own time: the reply goes out this late
};

class Module;
using CommandHandler = std::function<CommandReply(Module&, const Bytes& payload)>;

// Faults, chosen per command occurrence.
struct Fault {
  enum class Kind {
    kAckStatus,       // acknowledge with `status` (and, unless it is 0x33, send nothing more)
    kAckBytes,        // acknowledge with the two bytes `bytes` (e.g. {0x00, 0x33})
    kNoHeader,        // response frame whose first two bytes are not "<f"
    kShortFrame,      // response of fewer than six bytes ("<f<Z")
    kSilence,         // no acknowledgement, no response: the module says nothing
    kSilentAfterAck,  // accepting acknowledgement, then nothing
    kByteByByte,      // ack and response delivered one byte at a time, `gap` apart
    kSplit,           // ack and response delivered in pieces cut at `cuts`, `gap` apart
    kOversize,        // response body of 300 bytes (longer than the host's 256-byte buffer)
    kRawReply,        // send `bytes` as they are instead of ack and response
    kNotStored,       // acknowledge and answer as usual, but leave the EEPROM as it was: a
                      // write the module confirms and then loses
    kHangUp,          // the module hangs up instead of answering: the line closes (the
                      // program's reads of the port end, its writes fail) and stays closed
                      // until the next run, which gets a fresh line
    kLate,            // the ordinary reply, `delay` late (a module still busy or restarting);
                      // like every reply it holds back each later one
    kStray,           // the ordinary reply, then the stray `bytes` `delay` after it
  };
  Kind kind = Kind::kAckStatus;
  int command = -1;    // command byte it applies to; -1: any command
  int occurrence = 0;  // 1-based occurrence of that command (counting all frames when -1);
                       // 0: every occurrence
  uint8_t status = 0x33;
  Bytes bytes;
  std::vector<size_t> cuts;  // kSplit: offsets into the reply byte stream (ack + response)
  std::chrono::milliseconds gap{2};
  std::chrono::milliseconds delay{0};  // kLate, kStray
};

// Faults of the flash burst, chosen per bank and full block.
struct BurstFault {
  enum class Kind {
    kResumeReply,  // the resume reply of full block `block` is `bytes` instead of 3C 88
    kFinishReply,  // the bank's finish reply is `bytes` instead of 3C 33
    kSilence,      // from full block `block` on, the module says nothing more in this bank
    kHangUp,       // at full block `block` the module hangs up, as Fault::Kind::kHangUp
    kLateResume,   // the resume reply of full block `block` goes out `delay` late, and every
                   // later reply of the bank after it
    kLateFinish,   // the bank's finish reply goes out `delay` late
  };
  Kind kind = Kind::kResumeReply;
  int bank = 0;   // the bank (as selected by 0x63) it applies to
  int block = 1;  // 1-based full block within the bank
  Bytes bytes;
  std::chrono::milliseconds delay{0};  // kLateResume, kLateFinish
};

// A module that misbehaves at random. At each host frame and each reply of the flash burst,
// with `per_mille` chances in a thousand, one mischief drawn from `seed` and the reply's place
// in the run: the reply late (inside or past the host's 3 s limit), twice (a copy shortly
// after, into the host's next exchange), trickled (one byte every second or more), split, with
// one bit flipped, with another command's reply, with stray bytes before or after it, not at
// all, or no reply to anything from then on. The draw depends only on the seed and the reply's
// index, so a seed replays.
struct Chaos {
  uint64_t seed = 0;
  unsigned per_mille = 150;
};

// The chaos a seed stands for: how often an exchange goes wrong is drawn from the seed too
// (between 4 and 30 in a hundred), so one number replays a run, in a test or in devsim.
Chaos ChaosForSeed(uint64_t seed);

// What chaos does to one frame (kNone: the ordinary reply).
enum class Mischief {
  kNone, kLateInside, kLatePast, kTwice, kTrickle, kSplit, kFlip, kOtherReply, kStrayBefore,
  kStrayAfter, kSilent, kDead,
};
const char* NameOf(Mischief mischief);

class Module {
 public:
  static constexpr size_t kEepromSize = 8192;
  static constexpr size_t kFlashBankSize = 65536;
  static constexpr size_t kFlashBanks = 8;
  static constexpr size_t kFlashSize = kFlashBankSize * kFlashBanks;

  // Command table: later features add their commands here (e.g. flash).
  void SetHandler(uint8_t command, CommandHandler handler);

  void AddFault(const Fault& fault);
  void ClearFaults();
  // Chaos for every later frame that no fault above applies to (nullopt: none, the default).
  void SetChaos(std::optional<Chaos> chaos);
  // The mischief chaos did so far, one entry per reply it touched: the frame's index (1-based
  // over the run's frames) and command byte, or for a reply of the flash burst -1, -2, ... (over
  // the run's burst replies) and the reply's status byte; what it did.
  struct ChaosEvent {
    int frame = 0;
    uint8_t command = 0;
    Mischief mischief = Mischief::kNone;
  };
  std::vector<ChaosEvent> chaos_log() const;

  // EEPROM image (initially all 0xFF). Read 0x73 and write 0x74 work on it.
  std::array<uint8_t, kEepromSize> eeprom() const;
  void SetEeprom(size_t address, const Bytes& bytes);
  Bytes Eeprom(size_t address, size_t count) const;
  // Every EEPROM write the module accepted: (address, data), in order.
  std::vector<std::pair<uint16_t, Bytes>> eeprom_writes() const;

  // Decoded conversation, in order.
  std::vector<WireEvent> wire_log() const;
  // Host frames only (shortcut over wire_log).
  std::vector<WireEvent> host_frames() const;
  // The latest port settings seen (polled by the event loop), and every distinct one.
  PortSettings last_settings() const;
  std::vector<PortSettings> settings_seen() const;

  // Bytes the module sends unprompted (e.g. for a receive monitor), delivered in pieces of
  // `piece` bytes, `gap` apart.
  void Chatter(size_t count, size_t piece, std::chrono::milliseconds gap);

  // Whether the module answers at all (it is silent while the board has its power off).
  bool powered() const;

  // ---- Flash (module_flash.cpp): answered only in boot mode 2, firmware update ----
  // Flash memory, kFlashBanks banks of kFlashBankSize bytes. A fresh module holds an old
  // firmware (no 0xFF bytes), and programming only clears bits, as in a real flash: a program
  // that skips the erase leaves a mix of both.
  Bytes Flash(size_t address, size_t count) const;
  void SetFlash(size_t address, const Bytes& bytes);
  // How long the erase takes before the module answers it (default 0).
  void SetEraseTime(std::chrono::milliseconds time);
  // Each resume reply goes out this long after its block arrived (default 0).
  void HoldResumes(std::chrono::milliseconds delay);
  // The most full blocks of a bank whose resume reply had not yet gone out when another
  // block of that bank arrived, over all banks so far.
  size_t max_unconfirmed_blocks() const;
  void AddBurstFault(const BurstFault& fault);  // cleared by ClearFaults

  // ---- The line ----
  // Paces both directions of the line at `baud`, 10 bits a byte, as a real UART does: the
  // module takes the host's bytes and sends its own no faster. 0 (the default): unpaced.
  void PaceLine(unsigned baud);
  // Hands every byte the module sends to the line on its own, as a UART without a FIFO (or
  // some USB adapters) does: on a paced line the host finds one byte at a time.
  void TrickleReplies(bool on);

  // Implementation details live in board.cpp.
  struct Impl;
  explicit Module(Impl* impl) : impl_(impl) {}

 private:
  Impl* impl_;
};

// ---- The board I/O control device -------------------------------------------------------------

struct IoRequest {
  uint32_t request = 0;  // 216, 217, 218, 220, 221, or anything a program tried
  std::optional<int32_t> value;  // the int behind the pointer (218, 220, 221)
  int32_t result = 0;
};

class BoardIo {
 public:
  // Device node present in the sandbox (default true). Missing: the open fails with ENOENT.
  void SetPresent(bool present);
  // Every request fails with -1 / EIO (default false).
  void SetFailing(bool failing);

  bool power() const;  // initially true
  int mode() const;    // initially 0 (application)
  std::optional<int> vcom() const;  // VCOM handed to the display power chip, if any
  std::vector<IoRequest> requests() const;
  // Puts the board back into a state an earlier run left (a board kept in a folder): power,
  // boot mode and VCOM, the module told as by the requests themselves; nothing is logged.
  void Restore(bool power, int mode, std::optional<int> vcom);

  struct Impl;
  explicit BoardIo(Impl* impl) : impl_(impl) {}

 private:
  Impl* impl_;
};

// ---- The framebuffer ------------------------------------------------------------------------

// The fixed screen information the driver reports (the fields a program may look at; the
// others read as 0). Defaults: the device's panel, 800 x 480 at 16 bits a pixel.
struct FbFixInfo {
  std::string id = "epd-sim";  // at most 15 characters reach the program
  uint32_t smem_len = 768000;  // bytes a program maps; the memory file holds at least these
  uint32_t type = 0;           // FB_TYPE_PACKED_PIXELS
  uint32_t visual = 2;         // FB_VISUAL_TRUECOLOR
  uint16_t xpanstep = 0;
  uint16_t ypanstep = 1;
  uint16_t ywrapstep = 0;
  uint32_t line_length = 1600;
};

struct FbBitfield {
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t msb_right = 0;
};

// The variable screen information, field for field as the kernel declares it (40 words, the
// same for 32-bit and 64-bit programs).
struct FbVarInfo {
  uint32_t xres = 800, yres = 480, xres_virtual = 800, yres_virtual = 480;
  uint32_t xoffset = 0, yoffset = 0;
  uint32_t bits_per_pixel = 16, grayscale = 0;
  FbBitfield red{11, 5, 0}, green{5, 6, 0}, blue{0, 5, 0}, transp{};
  uint32_t nonstd = 0, activate = 0, height = 0, width = 0, accel_flags = 0;
  uint32_t pixclock = 0, left_margin = 0, right_margin = 0, upper_margin = 0, lower_margin = 0;
  uint32_t hsync_len = 0, vsync_len = 0, sync = 0, vmode = 0, rotate = 0, colorspace = 0;
  std::array<uint32_t, 4> reserved{};
};
bool operator==(const FbVarInfo& a, const FbVarInfo& b);

struct FbRequest {
  uint32_t request = 0;           // one of Framebuffer::kGet..., or anything a program tried
  std::optional<uint32_t> value;  // the mode request's integer argument
  std::optional<FbVarInfo> var;   // what a pan request handed over
  int32_t result = 0;
};

class Framebuffer {
 public:
  static constexpr uint32_t kGetVarInfo = 0x4600;  // FBIOGET_VSCREENINFO
  static constexpr uint32_t kGetFixInfo = 0x4602;  // FBIOGET_FSCREENINFO
  static constexpr uint32_t kPan = 0x4606;         // FBIOPAN_DISPLAY
  static constexpr uint32_t kSetMode = 0x6003;     // the panel driver's update mode

  // Device node present in the sandbox (default true). Missing: the open fails with ENOENT.
  void SetPresent(bool present);
  // The memory file grows to the new smem_len if it is shorter; it never shrinks, so a test
  // can see whether a program writes past smem_len.
  void SetFixInfo(const FbFixInfo& fix);
  void SetVarInfo(const FbVarInfo& var);
  FbFixInfo fix_info() const;
  FbVarInfo var_info() const;
  // Every later request with this number fails with -1 and `err` (the request is still logged,
  // with what it handed over).
  void FailRequest(uint32_t request, int err);

  // The framebuffer memory: the bytes of the file that programs map.
  Bytes Memory() const;
  void SetMemory(const Bytes& bytes);

  std::vector<FbRequest> requests() const;

  struct Impl;
  explicit Framebuffer(Impl* impl) : impl_(impl) {}

 private:
  Impl* impl_;
};

// ---- The ATSHA204A crypto chip behind /dev/ZR6083_S --------------------------------------------

enum class ChipState { kAsleep, kAwake, kIdle };

struct ChipRequest {
  uint32_t request = 0;  // 101 reset I/O, 102 sleep, 103 idle, 104 send, 105 wake, 106 receive,
                         // or anything a program tried
  uint32_t arg = 0;      // the plain argument of 101, 102, 103 and 105 (low 32 bits)
  Bytes packet;          // 104: the packet as the program handed it (count byte first);
                         // 106: the bytes the driver put into the program's buffer
  std::optional<uint8_t> size;  // 106: the number of bytes asked for (the buffer's byte 0)
  int32_t result = 0;
  ChipState state = ChipState::kAsleep;     // the chip's state after the request
  std::chrono::steady_clock::time_point at;  // when the request arrived
};

// The chip answers a wake with 04 11 33 43 and each command of its command table with a
// response of the table's size after the command's execution time: Random with the chosen
// bytes, status-only commands with status 0x00, other data with zeros. A packet with a wrong
// count or CRC gets status 0xFF, an unknown opcode status 0x03. While asleep or idle the chip
// takes no command (the send fails with -1); a receive before the command's execution time
// has passed, or with nothing to read, fails with -1.
class Chip {
 public:
  static constexpr size_t kRandomSize = 32;

  // Device node present in the sandbox (default true). Missing: the open fails with ENOENT.
  void SetPresent(bool present);
  // The 32 bytes every Random command answers with (default: a fixed pattern, DefaultRandom).
  void SetRandom(const Bytes& bytes);
  static Bytes DefaultRandom();

  // Faults, in force until changed or cleared:
  // the answer to a wake, as given (default 04 11 33 43);
  void SetWakeResponse(const Bytes& bytes);
  // every command answered with a status response carrying `status` (0x03 parse error, 0x0F
  // execution error, 0xFF communication error, ...), valid CRC;
  void SetStatusByte(std::optional<uint8_t> status);
  // every command answered with exactly these bytes (count byte and CRC as given);
  void SetResponse(std::optional<Bytes> bytes);
  // the CRC of every command response spoilt;
  void SetBadCrc(bool bad);
  // request `request` not served: it returns `result` (errno EIO when negative); every time,
  // or only its `occurrence`-th time (1-based, counted over the board's life).
  void FailRequest(uint32_t request, int32_t result = -1, int occurrence = 0);
  void ClearFaults();

  ChipState state() const;  // initially asleep
  void SetState(ChipState state);  // as an earlier run left it (a board kept in a folder)
  std::vector<ChipRequest> requests() const;

  struct Impl;
  explicit Chip(Impl* impl) : impl_(impl) {}

 private:
  Impl* impl_;
};

// ---- Running a program -------------------------------------------------------------------------

struct RunOptions {
  std::chrono::milliseconds time_limit{20000};  // then SIGKILL; `timed_out` tells
  std::map<std::string, std::string> env;       // extra environment (e.g. port faults)
  std::string stdin_text;                       // fed to standard input, then closed
  bool stdin_closed = false;                    // start it with descriptor 0 closed
  bool stderr_terminal = false;  // standard error is a pseudo-terminal (collected into `err`)
  // The program sees the caller's environment (devsim: a service engineer's BM77_TRACE and the
  // like). Otherwise, as in the tests, it sees only a fixed search path, the sanitizers'
  // settings, the board's settings and `env`: a run never depends on who started it.
  bool caller_environment = false;
  // The program's standard input, output and error are the caller's own (devsim): its output
  // reaches the caller as it is written, and a terminal stays a terminal. `out` and `err` of
  // the result stay empty; `stdin_text`, `stdin_closed` and `stderr_terminal` do not apply.
  bool callers_streams = false;
  std::string folder;  // where the program starts; empty: the board folder
  // Called once the program has started, with its process id: a test that signals it mid-run.
  std::function<void(int pid)> started;
};

struct RunResult {
  bool started = false;      // false: the program was refused before it ran (see `refusal`)
  std::string refusal;       // why it was not run (missing, static, setuid, file capabilities,
                             // the seal could not be made), or why a run that started does not
                             // count (the program did not greet the board)
  bool handshake = false;    // the preload library inside the program greeted the board
  bool sealed = false;       // it ran in a private mount namespace (the second seal)
  bool timed_out = false;    // killed at the time limit
  int exit_status = -1;      // 0..255 when it exited
  int signal = 0;            // the signal that ended it, if any
  std::string out;           // standard output
  std::string err;           // standard error
  double cpu_seconds = 0;    // user + system time of the program
  double wall_seconds = 0;
  std::vector<std::string> OutLines() const;  // `out` split at '\n' (no trailing empty line)
};

struct BoardOptions {
  bool port_present = true;  // false: /dev/ttyS0 does not exist
  // Where the sandbox folder is made. Empty: a fresh folder under the build tree's
  // test-runs folder (never under /tmp, which the sandbox itself stands in for). One that
  // clashes with the board's paths (board_folder.h) throws std::invalid_argument before
  // anything is made.
  std::string sandbox;
  // Run each program in a private mount namespace where this process may make one (root, or
  // open user namespaces). false: the preload library guards alone, as it must elsewhere.
  bool seal = true;
};

class Board {
 public:
  explicit Board(BoardOptions options = {});
  ~Board();
  Board(const Board&) = delete;
  Board& operator=(const Board&) = delete;

  Module& module();
  BoardIo& io();
  Framebuffer& framebuffer();
  Chip& chip();

  // Sandbox folder; SandboxPath("/opt/mac") is where the program's /opt/mac lands.
  const std::string& sandbox() const;
  std::string SandboxPath(const std::string& fixed_path) const;
  void WriteFile(const std::string& fixed_path, const Bytes& bytes, unsigned mode = 0644);
  std::optional<Bytes> ReadFile(const std::string& fixed_path) const;

  // Runs build/bin/<program> (or a path; a relative one is taken from the caller's folder)
  // with `args`, against this board, in the board folder. The file is opened once, checked and
  // executed from that descriptor: it must be a dynamically linked executable without setuid,
  // setgid or file capabilities (such a one would ignore the preload library). Where allowed,
  // it runs under the second seal. After it ends, the board settles: every byte the program
  // sent has been read and decoded. A program that did not greet the board gets a `refusal`.
  RunResult Run(const std::string& program, const std::vector<std::string>& args,
                const RunOptions& options = {});

  // Everything the preload library refused or could not map, over all runs.
  std::vector<std::string> violations() const;
  // system() commands that programs asked for.
  std::vector<std::string> system_calls() const;

  // Environment a program needs to run against this board (sandbox, socket, tty, preload).
  std::map<std::string, std::string> ProgramEnvironment() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// build/bin of this build, and the preload library (set at build time). Under the armhf
// preset both come from the device tree (build-armhf/device), built for the device.
std::string BinDir();
std::string PreloadLibrary();
// When the programs of BinDir() are built for the device's processor: the emulator that runs
// them, the device's dynamic loader and the folder of the device's libraries. All "" when the
// programs run natively.
std::string Emulator();
std::string EmulatorLoader();
std::string EmulatorLibraries();
// The words before a program's own path that start it on this machine: none natively. Under
// the emulator: the emulator with the preload list `preload` for the emulated program only
// (when given; the emulator is a program of this machine and must not get it), then the
// device's loader with the library folder and the name the program sees as its own (when not
// empty).
std::vector<std::string> EmulatorWords(const std::optional<std::string>& preload,
                                       const std::string& name = "");
// How many times the processor time a program needs to start grows here: 1 natively, more
// under the emulator, which translates the program as it runs. Tests scale the allowance they
// make for a program's start with it, and nothing else.
double StartCostScale();

}  // namespace testbed
