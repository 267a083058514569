#include "serve_command.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "commands.h"
#include "serve_module.h"
#include "web_messages.h"

namespace station {
namespace {

std::string ProgramFolder() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return ".";
  const std::string program(path, static_cast<std::size_t>(length));
  return program.substr(0, program.rfind('/'));
}

}  // namespace

int ServeCommand(const std::string& where, const std::vector<std::string>& args) {
  const std::string module = ProgramFolder() + "/" BM77_SERVE_MODULE;
  void* library = dlopen(module.c_str(), RTLD_NOW | RTLD_LOCAL);
  const auto serve =
      library == nullptr ? nullptr : reinterpret_cast<Bm77StationServe>(dlsym(library, BM77_SERVE_ENTRY));
  if (serve == nullptr) {
    std::fprintf(stderr, web::msg::kNoModule, module.c_str(), dlerror());
    return kStoreFailed;
  }
  std::vector<const char*> argv;
  for (const std::string& arg : args) argv.push_back(arg.c_str());
  return serve(where.c_str(), static_cast<int>(argv.size()), argv.data());
}

}  // namespace station
