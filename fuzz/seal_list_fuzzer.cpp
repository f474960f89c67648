// The comparison of a seal's list with a bundle's tree, over untrusted lists
// against one small bundle made at start (folders, an executable, names that
// need escaping, a link, and a seal folder the list leaves out). A list
// matches exactly when it is that bundle's own list, byte for byte.
//   first byte even: the rest is the list, as given;
//   first byte odd: the next two bytes give an offset into the bundle's own
//     list, where the rest overwrites it (extending it past its end), so the
//     fuzzer reaches lists that match for a long way.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>

#include "install/bundle/seal_list.h"
#include "verify/util/unique_fd.h"

namespace {

namespace fs = std::filesystem;

constexpr std::string_view identifier = "cz.tobranix.orbit-action-dial";
constexpr std::string_view team = "TESTTEAM42";

void write(const fs::path& path, std::string_view bytes, fs::perms mode = fs::perms(0644)) {
  std::ofstream(path, std::ios::binary) << bytes;
  fs::permissions(path, mode);
}

struct FixedBundle {
  fs::path root;
  kelvoma::UniqueFd fd;
  std::string list;

  FixedBundle() {
    std::string name = (fs::temp_directory_path() / "kelvoma-fuzz-seal-XXXXXX").string();
    if (::mkdtemp(name.data()) == nullptr) {
      __builtin_trap();
    }
    root = name;
    const fs::path contents = root / "Contents";
    fs::create_directories(contents / "MacOS");
    fs::create_directories(contents / "Resources/deeper");
    fs::create_directories(contents / "_CodeSignature");
    write(contents / "Info.plist", "<plist/>");
    write(contents / "MacOS/tool",
          "\x7f"
          "ELF",
          fs::perms(0755));
    write(contents / "Resources/a\tb\\c\x01", "escaped");
    write(contents / "Resources/deeper/empty", "");
    write(contents / "_CodeSignature/CodeSeal", "not listed");
    fs::create_symlink("../Info.plist", contents / "Resources/link");
    fd = kelvoma::UniqueFd(::open(name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    const auto made = kelvoma::seal_list(name, identifier, team);
    if (!fd || !made) {
      __builtin_trap();
    }
    list = *made;
  }
  FixedBundle(const FixedBundle&) = delete;
  FixedBundle& operator=(const FixedBundle&) = delete;
  ~FixedBundle() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FixedBundle bundle;
  if (size == 0) {
    return 0;
  }
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  std::string list(rest);
  if (data[0] % 2 == 1 && rest.size() >= 2) {
    const std::size_t offset =
        (static_cast<unsigned char>(rest[0]) << 8 | static_cast<unsigned char>(rest[1])) %
        (bundle.list.size() + 1);
    list = bundle.list;
    list.replace(offset, rest.size() - 2, rest.substr(2));
  }
  if (kelvoma::seal_list_matches(bundle.fd.get(), list, identifier, team) !=
      (list == bundle.list)) {
    __builtin_trap();
  }
  return 0;
}
