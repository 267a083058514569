#include "import.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>
#include <cstdio>
#include <cstring>

#include "commands.h"
#include "ledger.h"
#include "messages.h"
#include "record_format.h"

namespace station {
namespace {

// Records go to the store in batches: a large import never holds the writers' lock for long,
// and a failed import keeps what it stored (importing again skips it).
constexpr std::size_t kImportBatch = 10000;
// A tool writes a record in one write of at most this many bytes, its line feed included: a
// longer line is no record, and is never held whole.
constexpr std::size_t kLineMax = record::kRecordSize - 1;
constexpr std::size_t kReadChunk = 65536;
constexpr char kTakenSuffix[] = ".importing";
// Tools write a record under the lock of the file that still bears the record file's
// name, and look again after they have the lock: once the import has held the exclusive lock
// of a file taken over, no record will come into it. A file system without locks gets this
// time instead: tools open, write once and close, so what comes within it is read.
constexpr std::chrono::milliseconds kSettle(500);
constexpr std::chrono::milliseconds kLockWait(10000);
constexpr std::chrono::milliseconds kLockStep(5);
constexpr char kRejectedSuffix[] = ".rejected.";

// The lines of a file, each at most kLineMax bytes: memory stays the same for any input.
class LineReader {
 public:
  enum Result { kLine, kTooLong, kEnd, kFailed };

  explicit LineReader(int fd) : fd_(fd) {}

  // The next line, without its line feed (the last one may lack it). A line longer than
  // kLineMax is read past and reported as kTooLong; kFailed leaves errno set.
  Result Next(std::string& line) {
    line.clear();
    bool any = false, too_long = false;
    for (;;) {
      if (begin_ == end_ && !Fill()) {
        if (failed_) return kFailed;
        if (!any) return kEnd;
        return too_long ? kTooLong : kLine;
      }
      any = true;
      const char* start = buffer_ + begin_;
      const auto* feed = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
      const std::size_t length = feed != nullptr ? static_cast<std::size_t>(feed - start) : end_ - begin_;
      too_long = too_long || line.size() + length > kLineMax;
      if (!too_long) line.append(start, length);
      begin_ += length + (feed != nullptr ? 1 : 0);
      if (feed != nullptr) return too_long ? kTooLong : kLine;
    }
  }

 private:
  bool Fill() {
    ssize_t got;
    do {
      got = read(fd_, buffer_, sizeof buffer_);
    } while (got < 0 && errno == EINTR);
    failed_ = got < 0;
    begin_ = 0;
    end_ = got > 0 ? static_cast<std::size_t>(got) : 0;
    return got > 0;
  }

  int fd_;
  char buffer_[kReadChunk];
  std::size_t begin_ = 0, end_ = 0;
  bool failed_ = false;
};

struct Counts {
  long stored = 0, read = 0, skipped = 0;
};

class Batch {
 public:
  Batch(Store& store, Counts& counts) : store_(store), counts_(counts) {}
  void Add(RunRecord record) {
    ++counts_.read;
    records_.push_back(std::move(record));
    if (records_.size() == kImportBatch) Flush();
  }
  void Flush() {
    counts_.stored += StoreRecords(store_, records_);
    records_.clear();
  }

 private:
  Store& store_;
  Counts& counts_;
  std::vector<RunRecord> records_;
};

// `path` opened for reading when it is a regular file, else -1 after the line that says why.
// A FIFO, a device or a folder is refused before it is opened: opening a FIFO would wait, and
// reading a device would never end.
int OpenRecordFile(const std::string& path, struct stat& st) {
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, msg::kUnreadableFile, path.c_str(), std::strerror(errno));
    return -1;
  }
  if (S_ISREG(st.st_mode)) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
      std::fprintf(stderr, msg::kUnreadableFile, path.c_str(), std::strerror(errno));
      return -1;
    }
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) return fd;
    close(fd);
  }
  std::fprintf(stderr, S_ISDIR(st.st_mode) ? msg::kFolderNotFile : msg::kNotRegularFile, path.c_str());
  return -1;
}

bool SameFile(const std::string& path, const struct stat& opened) {
  struct stat now;
  return stat(path.c_str(), &now) == 0 && now.st_dev == opened.st_dev && now.st_ino == opened.st_ino;
}

// The taken file, whose lines were skipped, kept under the first free FILE.rejected.N; a link
// never replaces a file already there.
bool KeepRejected(const std::string& file, const std::string& taken) {
  for (int n = 1;; ++n) {
    const std::string kept = file + kRejectedSuffix + std::to_string(n);
    if (link(taken.c_str(), kept.c_str()) == 0) {
      unlink(taken.c_str());
      std::fprintf(stderr, msg::kKeptRejected, file.c_str(), kept.c_str());
      return true;
    }
    if (errno != EEXIST) {
      std::fprintf(stderr, msg::kNotKept, taken.c_str(), std::strerror(errno));
      return false;
    }
  }
}

enum class Writers { kDone, kNoLocks, kHoldOn };

// Waits until no tool writes into the file open at `fd` any more (tools in the middle of
// their write finish first).
Writers WaitForWriters(int fd, const std::string& taken) {
  const auto until = std::chrono::steady_clock::now() + kLockWait;
  for (;;) {
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      flock(fd, LOCK_UN);
      return Writers::kDone;
    }
    if (errno != EWOULDBLOCK && errno != EINTR) return Writers::kNoLocks;
    if (std::chrono::steady_clock::now() >= until) {
      std::fprintf(stderr, msg::kWritersHoldOn, taken.c_str());
      return Writers::kHoldOn;
    }
    std::this_thread::sleep_for(kLockStep);
  }
}

// Reads the taken file open at `fd` into the store; whether it was read whole. Its records are
// stored before it goes: a failure on the way leaves it, to be taken up again, and so does a
// tool that still holds it.
bool ReadTaken(Batch& batch, Counts& counts, const std::string& file, const std::string& taken, int fd,
               const struct stat& st) {
  const auto taken_at = std::chrono::steady_clock::now();
  const Writers writers = WaitForWriters(fd, taken);
  bool settled = writers != Writers::kNoLocks;
  LineReader reader(fd);
  long skipped = 0;
  std::string line, why;
  for (long number = 1;; ++number) {
    const LineReader::Result result = reader.Next(line);
    if (result == LineReader::kEnd && !settled) {
      // The end for now: what a late writer adds is read on.
      std::this_thread::sleep_until(taken_at + kSettle);
      settled = true;
      --number;
      continue;
    }
    if (result == LineReader::kEnd) break;
    if (result == LineReader::kFailed) {
      std::fprintf(stderr, msg::kUnreadableFile, taken.c_str(), std::strerror(errno));
      close(fd);
      return false;
    }
    if (result == LineReader::kTooLong) {
      std::fprintf(stderr, msg::kLineTooLong, file.c_str(), number, record::kRecordSize);
      ++skipped;
      continue;
    }
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    std::optional<RunRecord> record = ReadRunRecord(line, &why);
    if (!record) {
      std::fprintf(stderr, msg::kMalformedLine, file.c_str(), number, why.c_str());
      ++skipped;
      continue;
    }
    batch.Add(std::move(*record));
  }
  close(fd);
  batch.Flush();
  counts.skipped += skipped;
  // Another import of the same file may have taken it up meanwhile, and a new one taken over.
  if (!SameFile(taken, st)) return true;
  if (skipped > 0) return KeepRejected(file, taken);
  if (writers == Writers::kHoldOn) return true;  // taken up again by the next import
  unlink(taken.c_str());
  return true;
}

// Imports one file: first what an unfinished import left of it, then the file itself, taken
// over. Whether all of it was read.
bool ImportFile(Batch& batch, Counts& counts, const std::string& file) {
  const std::string taken = file + kTakenSuffix;
  struct stat st;
  if (access(taken.c_str(), F_OK) == 0) {
    std::fprintf(stderr, msg::kTakingUp, taken.c_str());
    const int fd = OpenRecordFile(taken, st);
    if (fd < 0 || !ReadTaken(batch, counts, file, taken, fd, st)) return false;
    // A tool that never appended since leaves nothing more to take.
    if (access(file.c_str(), F_OK) != 0 && errno == ENOENT) return true;
  }
  const int fd = OpenRecordFile(file, st);
  if (fd < 0) return false;
  if (rename(file.c_str(), taken.c_str()) != 0) {
    std::fprintf(stderr, msg::kNotTakenOver, file.c_str(), taken.c_str(), std::strerror(errno));
    close(fd);
    return false;
  }
  return ReadTaken(batch, counts, file, taken, fd, st);
}

}  // namespace

int Import(Store& store, const std::vector<std::string>& files) {
  Counts counts;
  Batch batch(store, counts);
  bool whole = true;
  for (const std::string& file : files) whole = ImportFile(batch, counts, file) && whole;
  batch.Flush();
  std::printf(msg::kImported, counts.stored, counts.read - counts.stored, counts.skipped);
  return whole && counts.skipped == 0 ? kDone : kRefused;
}

}  // namespace station
