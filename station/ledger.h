// The ledger: blocks of MACs, the MACs handed out and seen, and the runs of every unit.
// Operations over a Store; they print nothing.
#pragma once

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
  enum Kind { kAdded, kBackwards, kHoldsUnusable, kOverlaps } kind = kAdded;
  Mac other_first = 0;  // kOverlaps: the block already registered; kHoldsUnusable: the MAC
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

// Rows for the listings, every column as text.
Rows Units(Store& store);         // mac, runs, start, tool, status, outcome, name, vcom (last run)
Rows UnitRuns(Store& store, Mac unit);  // start, tool, status, outcome, seconds, before, after, failures
struct Report {
  long runs = 0;
  long without_unit = 0;
  Rows per_tool;         // tool, runs, runs that failed
  Rows per_step;         // step, kind, failures
  Rows never_handed;     // mac
  Rows provisioned_again;  // mac, times
};
Report MakeReport(Store& store);

}  // namespace station
