// The entry of the web server module (serve_module.cpp), loaded by bm77_station for `serve`.
#pragma once

// The module's file, from the folder of the bm77_station program.
#define BM77_SERVE_MODULE "../lib/bm77_station_web.so"
#define BM77_SERVE_ENTRY "bm77_station_serve"

extern "C" {
// Serves the ledger at `where`; argv holds the arguments after "serve". Returns the exit status.
typedef int (*Bm77StationServe)(const char* where, int argc, const char* const* argv);
}
