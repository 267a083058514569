// Every text bm77_station serve prints, in one place (the pages' own words are in web_pages.cpp).
#pragma once

namespace station::web::msg {

inline constexpr char kServeUsage[] =
    "usage: bm77_station --db STORE serve [--listen ADDR:PORT]   (default 127.0.0.1:8077)\n";
inline constexpr char kServing[] = "The line's page: http://%s:%d/ (open it in a browser; Ctrl-C stops)\n";
inline constexpr char kCannotListen[] = "Cannot listen on %s:%d\n";
inline constexpr char kPageFailed[] = "%s %s failed: %s\n";
inline constexpr char kMethodNotAllowed[] = "Only GET and HEAD: the page never changes the ledger\n";
inline constexpr char kInternalError[] = "The ledger could not be read; the server's log says why\n";
inline constexpr char kNoUnit[] = "No runs of this MAC in the ledger";
inline constexpr char kNoPage[] = "No such page";
inline constexpr char kNoModule[] = "The web server module %s could not be loaded: %s\n";

}  // namespace station::web::msg
