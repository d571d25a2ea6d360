// regcomp: registers or unregisters component libraries by calling their
// DllRegisterServer or DllUnregisterServer entry point.
//
//   regcomp [-u] [-s] <library>...
//     -u  unregister instead of register
//     -s  silent: print nothing on success
//
// Exit status: 0 when every library succeeded, 1 when one failed, 2 for a
// usage error. The registry is the one chosen by QUORVEL_REGISTRY.
#include <dlfcn.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/base/base.h"
#include "platform/registry/registry.h"

namespace {

using EntryPoint = HRESULT (*)();

void Usage() { fprintf(stderr, "usage: regcomp [-u] [-s] <library>...\n"); }

bool Process(const std::string& library, bool unregister, bool silent) {
  // dlopen searches the library path for bare names; a name given here means
  // the file of that name.
  const std::string path = library.find('/') == std::string::npos ? "./" + library : library;
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle) {
    const char* why = dlerror();
    fprintf(stderr, "regcomp: %s: cannot load: %s\n", library.c_str(), why ? why : "unknown");
    return false;
  }
  const char* entry_name = unregister ? "DllUnregisterServer" : "DllRegisterServer";
  auto entry = reinterpret_cast<EntryPoint>(dlsym(handle, entry_name));
  bool ok = false;
  if (!entry) {
    fprintf(stderr, "regcomp: %s: no %s entry point\n", library.c_str(), entry_name);
  } else if (const HRESULT hr = entry(); FAILED(hr)) {
    fprintf(stderr, "regcomp: %s: %s failed: 0x%08X\n", library.c_str(), entry_name,
            static_cast<unsigned>(hr));
  } else {
    ok = true;
    if (!silent) {
      printf("regcomp: %s %s in %s\n", unregister ? "unregistered" : "registered",
             library.c_str(), registry::FilePath().c_str());
    }
  }
  // Not unloaded: the program ends soon after.
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  bool unregister = false;
  bool silent = false;
  std::vector<std::string> libraries;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "-u") == 0) {
      unregister = true;
    } else if (strcmp(argv[i], "-s") == 0) {
      silent = true;
    } else if (argv[i][0] == '-') {
      Usage();
      return 2;
    } else {
      libraries.emplace_back(argv[i]);
    }
  }
  if (libraries.empty()) {
    Usage();
    return 2;
  }
  bool all_ok = true;
  for (const std::string& library : libraries) {
    all_ok = Process(library, unregister, silent) && all_ok;
  }
  return all_ok ? 0 : 1;
}
