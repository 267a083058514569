#include "run_record.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include "plain_file.h"

#ifndef BM77_VERSION
#error "BM77_VERSION is set by the build from the project's version"
#endif

namespace record {

namespace {

constexpr mode_t kRecordFileMode = 0644;
// The station takes a record file over by renaming it, then waits for its lock. A record is
// written under the lock of the file that still bears the record's name, so no record goes
// into a file the station has read to its end; and tools run side by side take turns, so the
// look for a torn line and the write after it are one step. The lock is waited for in steps,
// a few seconds at most (the station and a tool hold it for a moment only); without it the
// record is written all the same.
constexpr int kLockWaitStepMs = 5;
constexpr int kLockWaitSteps = 400;
// Opens of the record's name: one more each time the file was taken over between the open
// and the lock.
constexpr int kOpenTries = 4;

// The one record of this process, and when its run started.
Record current;
timespec started{};
timespec started_utc{};
const char* chosen_outcome = nullptr;

long long MsBetween(const timespec& from, const timespec& to) {
  return static_cast<long long>(to.tv_sec - from.tv_sec) * 1000 + (to.tv_nsec - from.tv_nsec) / 1000000;
}

// By hand rather than with strftime, which loads the time zone a UTC stamp does not need.
void FormatStart(const timespec& at, char* text) {
  tm utc{};
  gmtime_r(&at.tv_sec, &utc);
  snprintf(text, kTimeTextSize, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900,
           utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
           static_cast<int>(at.tv_nsec / 1000000));
}

Identity& At(Moment moment) { return moment == Moment::kBefore ? current.before : current.after; }

const char* WordFor(int status, const Outcome* words, size_t count, const char* fallback) {
  if (chosen_outcome != nullptr) return chosen_outcome;
  for (size_t i = 0; i < count; ++i) {
    if (words[i].status == status) return words[i].word;
  }
  return fallback;
}

// Linux 5.6's flag for bytes that do not wait for the pool (older headers lack it).
#ifndef GRND_INSECURE
#define GRND_INSECURE 0x0004
#endif

// 16 random bytes from the kernel (the getrandom system call: no device to open, which the
// board's sandbox would refuse), as hex into `text`; `text` stays empty when there are none to
// be had. A pool not yet ready right after boot is not waited for: bytes good enough to keep
// runs apart are taken where the kernel offers them.
void MakeRunId(char* text) {
  uint8_t bytes[kRunIdBytes];
  ssize_t got = -1;
  const unsigned kFlags[] = {GRND_NONBLOCK, GRND_INSECURE};
  for (unsigned flags : kFlags) {
    do {
      got = getrandom(bytes, sizeof bytes, flags);
    } while (got < 0 && errno == EINTR);
    if (got == static_cast<ssize_t>(sizeof bytes)) break;
  }
  if (got != static_cast<ssize_t>(sizeof bytes)) return;
  for (size_t i = 0; i < sizeof bytes; ++i) snprintf(text + 2 * i, 3, "%02x", bytes[i]);
}

// Whether the file's last byte ends a line: a record cut short (a full disk) leaves it open,
// and the next record glued onto it would spoil both.
bool EndsTorn(int fd) {
  struct stat st;
  char last = '\n';
  return fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 &&
         last != '\n';
}

// One write with O_APPEND: records of programs run side by side never interleave. A torn line
// before it gets its line end in the same write, so the record starts on a line of its own.
// The look must be under the lock: another tool's record, in the middle of its write, can end
// in mid-line for a moment, and a line end added after it would leave an empty line. The
// tools run as root and the record may lie in /tmp: like the identity files, a symbolic or
// second hard link there is refused, and so is anything but a regular file (a FIFO would
// hold the run).
bool Lock(int fd) {
  for (int step = 0; step < kLockWaitSteps; ++step) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) return true;
    if (errno != EWOULDBLOCK && errno != EINTR) return false;  // no locks on this file system
    poll(nullptr, 0, kLockWaitStepMs);
  }
  return false;
}

// Whether `fd` is still the file named `path`.
bool StillNamed(int fd, const char* path) {
  struct stat opened, named;
  return fstat(fd, &opened) == 0 && lstat(path, &named) == 0 && opened.st_dev == named.st_dev &&
         opened.st_ino == named.st_ino;
}

// The record file open for appending, locked where locks are had.
int OpenLocked(const char* path) {
  for (int tries = 1;; ++tries) {
    const int fd = bm77::OpenPlainFile(path, O_RDWR | O_APPEND | O_CREAT, kRecordFileMode,
                                       bm77::FileOwner::kTool);
    // A file taken over and already gone between the open and its check has no link left
    // and is refused like a linked one: the name leads to a new file now.
    if (fd < 0 && errno == EINVAL && tries < kOpenTries) continue;
    if (fd < 0) return fd;
    if (!Lock(fd) || StillNamed(fd, path) || tries == kOpenTries) return fd;
    close(fd);  // taken over between the open and the lock: the name leads to a new file now
  }
}

bool Append(const char* path, const char* line, size_t length) {
  const int fd = OpenLocked(path);
  if (fd < 0) return false;
  char line_end = '\n';
  const iovec parts[] = {{&line_end, 1}, {const_cast<char*>(line), length}};
  const int skip = EndsTorn(fd) ? 0 : 1;  // the line end goes only after a torn line
  const ssize_t total = static_cast<ssize_t>(length) + 1 - skip;
  const bool whole = writev(fd, parts + skip, 2 - skip) == total;
  return close(fd) == 0 && whole;
}

}  // namespace

void Start(const char* tool, int argc, char** argv) {
  clock_gettime(CLOCK_MONOTONIC, &started);
  clock_gettime(CLOCK_REALTIME, &started_utc);
  current.tool = tool;
  current.version = BM77_VERSION;
  current.args = argc > 1 ? argv + 1 : nullptr;
  current.arg_count = argc > 1 ? static_cast<size_t>(argc - 1) : 0;
  const char* path = getenv(kRecordVariable);
  if (path != nullptr && path[0] != '\0') MakeRunId(current.run);
}

long long ElapsedMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return MsBetween(started, now);
}

int Finish(int status, const Outcome* words, size_t count, const char* fallback) {
  const char* path = getenv(kRecordVariable);
  if (path == nullptr || path[0] == '\0') return status;
  current.ms = ElapsedMs();
  FormatStart(started_utc, current.start);
  current.status = status & 0xFF;
  current.outcome = WordFor(current.status, words, count, fallback);
  static char line[kRecordSize];
  const size_t length = FormatRecord(current, line, sizeof line);
  if (length == 0 || !Append(path, line, length)) {
    printf(kNotWrittenFormat, path);
    fflush(stdout);
  }
  return status;
}

void SetOutcome(const char* word) { chosen_outcome = word; }

void SetMac(Moment moment, const uint8_t* mac) {
  Identity& id = At(moment);
  memcpy(id.mac, mac, kMacBytes);
  id.has_mac = true;
}

void SetName(Moment moment, const uint8_t* name, size_t length) {
  Identity& id = At(moment);
  const size_t kept = length < kNameBytes ? length : kNameBytes;
  const void* nul = memchr(name, 0, kept);
  id.name_length = nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - name) : kept;
  memcpy(id.name, name, id.name_length);
  id.has_name = true;
}

void SetVcom(Moment moment, int vcom) {
  Identity& id = At(moment);
  id.vcom = vcom;
  id.has_vcom = vcom >= 0 && vcom <= kVcomMax;
}

void SetMacSource(const char* source) { current.mac_source = source; }
void SetVcomSource(const char* source) { current.vcom_source = source; }

void NoteFailure(const char* step, FailureKind kind) {
  if (current.failure_count < kFailuresMax) {
    Failure& f = current.failures[current.failure_count];
    snprintf(f.step, sizeof f.step, "%s", step);
    f.kind = kind;
  }
  ++current.failure_count;
}

void SetImage(uint32_t size, uint32_t crc32) {
  current.firmware.known = true;
  current.firmware.size = size;
  current.firmware.crc32 = crc32;
}

void SetFlashId(const uint8_t* id, size_t length) {
  Firmware& f = current.firmware;
  f.flash_id_length = length < kFlashIdMax ? length : kFlashIdMax;
  memcpy(f.flash_id, id, f.flash_id_length);
  f.has_flash_id = true;
}

void AddBank(uint32_t bytes, uint16_t crc) {
  Firmware& f = current.firmware;
  if (f.bank_count < kBanksMax) f.banks[f.bank_count++] = {bytes, crc};
}

void SetFlashMs(long long ms) { current.firmware.ms = ms; }

void SetTableFile(const char* path) { current.table.file = path; }

void CountTableLine(TableLine line) {
  switch (line) {
    case TableLine::kWritten: ++current.table.written; break;
    case TableLine::kHeldBack: ++current.table.held_back; break;
    case TableLine::kFailed: ++current.table.failed; break;
  }
}

void SetRandomBytes(int count) { current.random_bytes = count; }

void SetPicture(int32_t width, int32_t height) {
  current.has_picture = true;
  current.width = width;
  current.height = height;
}

const Record& Current() { return current; }

}  // namespace record
