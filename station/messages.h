// Every text bm77_station prints, in one place. Results go to standard output; what went
// wrong goes to standard error, so that `$(bm77_station --db ... next-mac)` holds a MAC or
// nothing.
#pragma once

namespace station::msg {

inline constexpr char kUsage[] =
    "usage: bm77_station --db STORE COMMAND ...\n"
    "  STORE: an SQLite file, or a PostgreSQL connection (postgresql://... or host=... dbname=...)\n"
    "         for a ledger shared by several stations\n"
    "  block add FIRST LAST   register a block of MACs (00:1A:2B:3C:4D:5E)\n"
    "  next-mac               hand out the lowest free MAC and print it\n"
    "  import FILE...         take the files over and store their run records (JSON lines)\n"
    "  units                  every unit and its last run\n"
    "  runs MAC               one unit's runs, in order\n"
    "  report                 runs and failures per tool and step, MACs to look at\n"
    "  serve [--listen ADDR:PORT]  the line's web page, read-only (default 127.0.0.1:8077)\n"
    "exit status: 0 done; 1 refused or incomplete; 2 wrong command line; 3 store failed\n";
inline constexpr char kNotAMac[] = "Not a MAC: %s (six hex pairs separated by ':')\n";
inline constexpr char kStoreFailed[] = "Ledger store failed: %s\n";
inline constexpr char kStoreRefused[] = "Ledger store refused: %s\n";
inline constexpr char kOutputFailed[] = "Standard output could not be written: %s\n";

// Why a store name cannot hold a shared, lasting ledger.
inline constexpr char kStoreNameEmpty[] =
    "the store name is empty (is the variable that should hold it set?)";
inline constexpr char kStoreNameMemory[] =
    ":memory: is a throwaway database; give a file path or a PostgreSQL connection";
inline constexpr char kStoreNameSqliteUri[] =
    "SQLite URI names (file:...) are not taken; give the file's plain path";
inline constexpr char kStoreNameScheme[] =
    "neither a PostgreSQL URI (postgresql://...) nor a plain file path";

// What a store holds, when it is not this program's ledger (the store's name comes first).
inline constexpr char kNoLedgerYet[] =
    "holds no ledger yet (block add, next-mac or import makes one)";
inline constexpr char kNotALedger[] = "is not a ledger: it holds tables of another program";
inline constexpr char kNotALedgerMeta[] = "is not a ledger: its table meta is another program's";
inline constexpr char kSchemaVersion[] = "the ledger's schema version is %s, this program knows version %d";
inline constexpr char kNoSuchFile[] = "no ledger there (%s)";
inline constexpr char kReadOnlyFile[] = "cannot be written (a read-only file or folder)";
inline constexpr char kNoWal[] =
    "the write-ahead log could not be switched on (%s); the ledger needs it";
inline constexpr char kWriterLockHeld[] =
    "another station held the ledger's lock longer than %d s (%s)";

inline constexpr char kBlockAdded[] = "Block %s to %s added: %lld MACs\n";
inline constexpr char kBlockBackwards[] = "Block refused: %s is above %s\n";
inline constexpr char kBlockUnusable[] = "Block refused: it holds %s, which the module may not keep\n";
inline constexpr char kBlockGroup[] = "Block refused: it holds %s, a group (multicast) address no unit may carry\n";
inline constexpr char kBlockOverlaps[] = "Block refused: it overlaps the block %s to %s\n";

inline constexpr char kExhausted[] = "Ledger exhausted: every MAC of its blocks is taken\n";
inline constexpr char kNoBlocks[] = "Ledger exhausted: it has no blocks (block add registers one)\n";

inline constexpr char kUnreadableFile[] = "%s: cannot be read: %s\n";
inline constexpr char kFolderNotFile[] = "%s: cannot be read: a folder, not a file of records\n";
inline constexpr char kNotRegularFile[] = "%s: refused: not a regular file (a FIFO or a device)\n";
inline constexpr char kNotTakenOver[] = "%s: cannot be taken over (renamed to %s): %s\n";
inline constexpr char kWritersHoldOn[] =
    "%s: a tool still holds it after 10 s: read as it stands and kept, for the next import to take up\n";
inline constexpr char kTakingUp[] = "%s: left by an import that did not finish: taken up first\n";
inline constexpr char kKeptRejected[] = "%s: kept as %s, for the lines skipped\n";
inline constexpr char kNotKept[] = "%s: lines skipped, and it cannot be kept aside: %s\n";
inline constexpr char kMalformedLine[] = "%s:%ld: skipped: %s\n";
inline constexpr char kLineTooLong[] = "%s:%ld: skipped: longer than a record can be (%zu bytes)\n";
inline constexpr char kImported[] = "Imported %ld records (%ld already in the ledger, %ld lines skipped)\n";

inline constexpr char kNoRuns[] = "No runs of %s in the ledger\n";
inline constexpr char kUnitsHeader[] = "%-17s  %4s  %-24s  %-16s  %6s  %-10s  %-12s  %s\n";
inline constexpr char kUnitLine[] = "%-17s  %4s  %-24s  %-16s  %6s  %-10s  %-12s  %s\n";
inline constexpr char kRunsHeader[] = "%-24s  %-16s  %6s  %-10s  %8s  %-17s  %-17s  %s\n";
inline constexpr char kRunLine[] = "%-24s  %-16s  %6s  %-10s  %8.3f  %-17s  %-17s  %s\n";

inline constexpr char kReportRuns[] = "Runs: %ld (%ld without a unit)\n";
inline constexpr char kReportToolsHeader[] = "%-18s  %6s  %6s\n";
inline constexpr char kReportTool[] = "  %-16s  %6s  %6s\n";
inline constexpr char kReportStepsHeader[] = "%-40s  %8s\n";
inline constexpr char kReportStep[] = "  %-16s  %-20s  %8s\n";
inline constexpr char kReportList[] = "%s: %ld\n";
inline constexpr char kReportHandedNotProvisioned[] = "MACs handed out and never provisioned";
inline constexpr char kReportTypedInBlock[] = "MACs of a block in records, never handed out (typed by hand)";
inline constexpr char kReportOutsideBlocks[] = "MACs in records outside every block";
inline constexpr char kReportRandom[] = "MACs drawn at random by bm77_ident";
inline constexpr char kReportProvisionedAgain[] = "MACs provisioned more than once";
inline constexpr char kReportSharedNames[] = "Device names that more than one unit carried";
inline constexpr char kReportNameUnits[] = "  %-16s  %s units\n";
inline constexpr char kReportMac[] = "  %s\n";
inline constexpr char kReportMacTimes[] = "  %s  %s times\n";

}  // namespace station::msg
