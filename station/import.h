// bm77_station import: the run record files of the line, taken over and stored.
//
// A file is taken over before it is read: renamed aside to FILE.importing, so that a tool that
// appends a record at that moment makes a new FILE and nothing it writes is lost. The taken
// file is removed once its records are stored; when lines were skipped it is kept as
// FILE.rejected.N, where the line numbers of the messages lead. A taken file left by an import
// that did not finish is taken up first: the records it stored are known by their keys and
// never stored twice.
#pragma once

#include <string>
#include <vector>

#include "store.h"

namespace station {

// Imports the files in order; the command's exit status.
int Import(Store& store, const std::vector<std::string>& files);

}  // namespace station
