// The ledger: blocks of MACs, the MACs handed out and seen, and the runs of every unit.
// Operations over a Store; they print nothing.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "mac.h"
#include "run_record.h"
#include "store.h"

namespace station {

constexpr int kSchemaVersion = 1;

// Checks that the store holds this program's ledger (StoreError when not: another program's
// tables, another schema version). A writer makes the schema in a store that holds nothing
// yet; a reader never makes nor changes anything, and is refused there.
void OpenLedger(Store& store, Access access);
// The store a name names, opened and checked: what the commands and the web page start from.
std::unique_ptr<Store> OpenLedger(const std::string& where, Access access);

struct BlockVerdict {
  enum Kind { kAdded, kBackwards, kHoldsUnusable, kHoldsGroup, kOverlaps } kind = kAdded;
  Mac other_first = 0;  // kOverlaps: the block already registered; kHolds...: the MAC
  Mac other_last = 0;
};
BlockVerdict AddBlock(Store& store, Mac first, Mac last);

// The lowest MAC of the blocks that was neither handed out nor seen in a record, recorded as
// handed out (committed) before it is returned; nullopt when every one is taken.
std::optional<Mac> NextMac(Store& store);
// Whether any block was registered (an exhausted ledger, or an empty one).
bool HasBlocks(Store& store);

// Stores the records that are not in the ledger yet, in one transaction, and marks every MAC
// they name as seen. Returns how many were new. Rows go in many to a statement, and the
// transaction runs beside next-mac and block add: a MAC is seen from the commit on.
long StoreRecords(Store& store, const std::vector<RunRecord>& records);

// The listings hand their rows to `each` a page at a time: no listing is ever held whole,
// whatever the size of the ledger. Every column comes as text.
using RowSink = std::function<void(const Row&)>;
void Units(Store& store, const RowSink& each);  // mac, runs, start, tool, status, outcome, name, vcom (last run)
// start, tool, status, outcome, seconds, before, after, failures (step/kind,...); the number
// of runs.
long UnitRuns(Store& store, Mac unit, const RowSink& each);

struct RunTotals {
  long runs = 0;
  long without_unit = 0;
};
RunTotals Totals(Store& store);
void PerTool(Store& store, const RowSink& each);  // tool, runs, runs that failed
void PerStep(Store& store, const RowSink& each);  // step, kind, failures

// The report's lists of MACs and names, each with its count.
enum class ReportList {
  kHandedNeverProvisioned,  // mac: handed out, no bm77_provision run kept it
  kTypedInBlock,            // mac: named by a record, inside a block, never handed out
  kOutsideBlocks,           // mac: named by a record, in no block
  kRandom,                  // mac: drawn at random by bm77_ident
  kProvisionedAgain,        // mac, times
  kSharedNames,             // name, units
};
long CountList(Store& store, ReportList list);
void List(Store& store, ReportList list, const RowSink& each);

}  // namespace station
