// A leak, for checking LeakSanitizer's suppressions (scripts/lsan-suppressions.txt):
//   kelvoma_leak_check own       a document of the C interface never freed:
//                                Kelvoma's own leak, which must be reported
//   kelvoma_leak_check wayland   memory libwayland-client allocates and
//                                nobody frees, which must not be
#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include "kelvoma/kelvoma.h"

namespace {

// libwayland-client's growable array, as its header declares it.
struct WaylandArray {
  std::size_t size;
  std::size_t alloc;
  void* data;
};

// Loaded at run time: the test needs the library, not its headers.
bool leak_in_wayland() {
  void* library = ::dlopen("libwayland-client.so.0", RTLD_NOW);
  if (library == nullptr) {
    std::fprintf(stderr, "libwayland-client: %s\n", ::dlerror());
    return false;
  }
  using Add = void* (*)(WaylandArray*, std::size_t);
  const auto add = reinterpret_cast<Add>(::dlsym(library, "wl_array_add"));
  WaylandArray array{};
  if (add == nullptr || add(&array, 64) == nullptr) {
    return false;
  }
  std::memset(static_cast<void*>(&array), 0, sizeof array);
  return true;
}

// The catalog document is read and never given back to mini_free.
__attribute__((noinline)) bool leak_own() {
  const char* document = mini_catalog();
  return document != nullptr && document[0] == '[';
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "own") == 0) {
    return leak_own() ? 0 : 2;
  }
  if (argc == 2 && std::strcmp(argv[1], "wayland") == 0) {
    return leak_in_wayland() ? 0 : 2;
  }
  std::fprintf(stderr, "usage: %s own|wayland\n", argv[0]);
  return 2;
}
