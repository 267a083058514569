// The run record: with BM77_RECORD=PATH in the environment, a program appends one JSON line
// to PATH at its end, whatever happened, so a factory station can keep per device what each
// run read, changed and verified without scraping the console. Without the variable nothing
// is written and nothing printed.
//
// Each program's main is the run between Start and Finish:
//
//   int main(int argc, char** argv) {
//     record::Start("bm77_ident", argc, argv);
//     return record::Finish(Run(argc, argv), kOutcomes);
//   }
//
// and the layers note what they learn on the way (the identity read and verified, every failed
// exchange, the firmware's banks, ...). The content lives in one process-wide record of fixed
// arrays (record_format.h): no heap. The notes cost nothing when no record is asked for beyond
// filling that record.
#pragma once

#include <cstddef>
#include <cstdint>

#include "record_format.h"

namespace record {

constexpr char kRecordVariable[] = "BM77_RECORD";
// The one line a record that cannot be written costs; the exit status stays as it was.
constexpr char kNotWrittenFormat[] = "Run record not written to %s\n";

// The short word for an exit status (as the shell sees it, 0 to 255).
struct Outcome {
  int status;
  const char* word;
};

enum class Moment { kBefore, kAfter };
enum class TableLine { kWritten, kHeldBack, kFailed };

// Takes the start time and keeps the arguments (argv must live to the end, as it does).
void Start(const char* tool, int argc, char** argv);

// Appends the record when BM77_RECORD names a file, and returns `status` unchanged. The word
// is the one listed for the shell's status, else `fallback`, unless SetOutcome chose one.
int Finish(int status, const Outcome* words, size_t count, const char* fallback);
template <size_t N>
int Finish(int status, const Outcome (&words)[N], const char* fallback = "failed") {
  return Finish(status, words, N, fallback);
}
// For an exit status that stands for more than one thing: the word for this run.
void SetOutcome(const char* word);

// Milliseconds since Start, for the timings inside a run.
long long ElapsedMs();

void SetMac(Moment moment, const uint8_t* mac);  // display order
// The name's bytes up to its first NUL, at most `length`.
void SetName(Moment moment, const uint8_t* name, size_t length);
void SetVcom(Moment moment, int vcom);  // one outside 0 to 999 stays null
// Where the identity came from: module, random, file, default, argument.
void SetMacSource(const char* source);
void SetVcomSource(const char* source);

// A failed exchange with the module; `step` is copied (shortened to kStepSize - 1).
void NoteFailure(const char* step, FailureKind kind);

void SetImage(uint32_t size, uint32_t crc32);
void SetFlashId(const uint8_t* id, size_t length);
void AddBank(uint32_t bytes, uint16_t crc);
void SetFlashMs(long long ms);

void SetTableFile(const char* path);
void CountTableLine(TableLine line);

void SetRandomBytes(int count);
void SetPicture(int32_t width, int32_t height);

// What has been noted so far (for the tests).
const Record& Current();

}  // namespace record
