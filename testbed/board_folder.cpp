#include "board_folder.h"

#include <filesystem>
#include <iterator>
#include <optional>
#include <system_error>
#include <vector>

#include "sim_protocol.h"

namespace testbed {

namespace {

namespace fs = std::filesystem;

// As many links as the kernel follows in one path before it gives up with ELOOP.
constexpr int kMaxLinks = 40;

// Where `path` leads: each part resolved through its links as the kernel resolves it, and a
// part that does not exist taken as it stands (the board would make a folder there), a link
// whose target does not exist yet included. Nothing when the links loop.
std::optional<fs::path> Resolve(const fs::path& path) {
  std::vector<fs::path> parts;  // still to walk, the next one last
  const auto walk_next = [&parts](const fs::path& p) {
    const std::vector<fs::path> in_order(p.begin(), p.end());
    parts.insert(parts.end(), in_order.rbegin(), in_order.rend());
  };
  std::error_code error;
  walk_next(fs::absolute(path, error).relative_path());
  if (error) return std::nullopt;
  fs::path at = "/";
  for (int links = 0; !parts.empty();) {
    const fs::path name = parts.back();
    parts.pop_back();
    if (name.empty() || name == ".") continue;
    if (name == "..") {
      at = at.parent_path();
      continue;
    }
    const fs::path next = at / name;
    if (!fs::is_symlink(fs::symlink_status(next, error))) {
      at = next;
      continue;
    }
    const fs::path target = fs::read_symlink(next, error);
    if (error || ++links > kMaxLinks) return std::nullopt;
    if (target.is_absolute()) at = "/";
    walk_next(target.relative_path());
  }
  return at;
}

size_t Depth(const fs::path& p) { return static_cast<size_t>(std::distance(p.begin(), p.end())); }

// How `folder` stands to `own`: "is", "holds", "lies inside", or nothing when apart.
const char* Relation(const fs::path& folder, const fs::path& own) {
  auto f = folder.begin();
  auto o = own.begin();
  for (; f != folder.end() && o != own.end(); ++f, ++o) {
    if (*f != *o) return nullptr;
  }
  const size_t fd = Depth(folder);
  const size_t od = Depth(own);
  return fd == od ? "is" : fd < od ? "holds" : "lies inside";
}

}  // namespace

std::string BoardFolderClash(const std::string& folder) {
  const std::string loop = "the board folder " + folder + " leads through a loop of links";
  const std::optional<fs::path> at = Resolve(folder);
  if (!at) return loop;
  for (const simwire::BoardPath& b : simwire::kBoardPaths) {
    const fs::path own = b.path;
    // The machine's file or device under the name, wherever the machine's links take it
    // (/bin is /usr/bin on many systems).
    const fs::path machine = Resolve(own).value_or(own);
    // The board's stand-in: a link inside the folder could lead it back out.
    const std::optional<fs::path> stand_in = Resolve(*at / own.relative_path());
    if (!stand_in) return loop;
    for (const fs::path& path : {own, machine}) {
      if (const char* how = Relation(*at, path)) {
        return "the board folder " + at->string() + " " + how + " " + path.string() +
               ", one of the board's own paths: choose another folder";
      }
      if (Relation(*stand_in, path) != nullptr) {
        return "the board folder " + at->string() + " leads the board's " + own.string() +
               " to the machine's " + stand_in->string() + ": choose another folder";
      }
    }
  }
  return "";
}

}  // namespace testbed
