// Lexical path handling for the mapping: no file system access, so that "//tmp/./x" and
// "/opt/missing/../mac" are judged by what they spell, before anything is touched.
#include <string.h>

#include "preload.h"

namespace bm77sim {

namespace {

// Drops the last component of out[0..len) and returns the new length ("/a/b" -> "/a").
size_t DropLastComponent(const char* out, size_t len) {
  while (len > 1 && out[len - 1] != '/') --len;
  return len > 1 ? len - 1 : 1;
}

}  // namespace

bool NormalisePath(const char* in, char* out, size_t out_size) {
  if (in == nullptr || in[0] != '/' || out_size < 2) return false;
  size_t len = 1;
  out[0] = '/';
  const char* p = in;
  while (*p != '\0') {
    while (*p == '/') ++p;
    const char* end = p;
    while (*end != '\0' && *end != '/') ++end;
    const size_t part = static_cast<size_t>(end - p);
    if (part == 0 || (part == 1 && p[0] == '.')) {
      // nothing to add
    } else if (part == 2 && p[0] == '.' && p[1] == '.') {
      len = DropLastComponent(out, len);
    } else {
      const size_t sep = len > 1 ? 1 : 0;
      if (len + sep + part + 1 > out_size) return false;
      if (sep != 0) out[len++] = '/';
      memcpy(out + len, p, part);
      len += part;
    }
    p = end;
  }
  out[len] = '\0';
  return true;
}

bool PathUnder(const char* path, const char* dir) {
  const size_t n = strlen(dir);
  if (strncmp(path, dir, n) != 0) return false;
  if (n > 0 && dir[n - 1] == '/') return true;  // dir "/" holds everything
  return path[n] == '\0' || path[n] == '/';
}

bool JoinPath(const char* base, const char* rel, char* out, size_t out_size) {
  const size_t b = strlen(base);
  const size_t r = strlen(rel);
  if (b + 1 + r + 1 > out_size) return false;
  memcpy(out, base, b);
  out[b] = '/';
  memcpy(out + b + 1, rel, r + 1);
  return true;
}

}  // namespace bm77sim
