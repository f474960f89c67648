/* Which program of an application bundle runs on a processor: one rule for
 * the core (the ticket's check of the program) and the application (the
 * switch, the tool's desktop entry, finding a running tool), so that what
 * was checked is what is started. Header-only C++, beside the C interface,
 * so that the application reads it without linking the core.
 *
 * A bundle carries either one program,
 *   Contents/MacOS/<CFBundleExecutable>
 * or one program per processor (a universal bundle),
 *   Contents/MacOS/<processor>/<CFBundleExecutable>
 * with the processor named as release manifests name it: "x86_64", "arm64".
 * A bundle holding Contents/MacOS/<CFBundleExecutable> (any kind of entry)
 * is of the first kind, whatever else it holds; every other bundle is of the
 * second. */
#ifndef KELVOMA_BUNDLE_PROGRAM_H
#define KELVOMA_BUNDLE_PROGRAM_H

#include <fcntl.h>
#include <sys/stat.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>

namespace kelvoma::bundle_program {

/* The folder of programs, below the bundle. */
inline constexpr std::string_view programs_folder = "Contents/MacOS";

/* Every processor a universal bundle may carry a program for, in the order
 * a release lists them (by their bytes). */
inline constexpr std::array<std::string_view, 2> processors = {"arm64", "x86_64"};

/* The processor this program was built for. */
#if defined(__x86_64__)
inline constexpr std::string_view this_processor = "x86_64";
#elif defined(__aarch64__)
inline constexpr std::string_view this_processor = "arm64";
#else
#error "Kelvoma is built for x86-64 and AArch64 only: no release names another processor"
#endif

inline bool is_processor(std::string_view name) {
  for (const std::string_view known : processors) {
    if (known == name) {
      return true;
    }
  }
  return false;
}

/* Whether CFBundleExecutable can name a program at all: one file name. */
inline bool is_program_name(std::string_view executable) {
  return !executable.empty() && executable != "." && executable != ".." &&
         executable.find('/') == std::string_view::npos &&
         executable.find('\0') == std::string_view::npos;
}

/* The place below the bundle of the single program (no processor) or of
 * the program for `processor` in a universal bundle. */
inline std::string place(std::string_view executable, std::string_view processor = {}) {
  std::string path(programs_folder);
  path += '/';
  if (!processor.empty()) {
    path += processor;
    path += '/';
  }
  path += executable;
  return path;
}

/* The place of the program that runs on `processor`, in the bundle at
 * `bundle` (relative to `at_fd`, which may be AT_FDCWD; "" for the folder
 * `at_fd` itself). Only whether the single program's place is taken is
 * looked up, with no link followed at its end; the caller opens and checks
 * the program. */
inline std::string place_for(int at_fd, const std::string& bundle, std::string_view executable,
                             std::string_view processor) {
  const std::string single = place(executable);
  const std::string looked_up = bundle.empty() ? single : bundle + "/" + single;
  struct stat status {};
  if (::fstatat(at_fd, looked_up.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0) {
    return single;
  }
  return place(executable, processor);
}

/* The bundle (the path before "/Contents/MacOS/", ending in ".app") whose
 * program `path` is: a file directly in Contents/MacOS or in a processor's
 * folder there. Nothing for any other path. */
inline std::optional<std::string> bundle_of(std::string_view path) {
  const std::string marker = "/" + std::string(programs_folder) + "/";
  const std::size_t at = path.rfind(marker);
  if (at == std::string_view::npos || at < 4 || !path.substr(0, at).ends_with(".app")) {
    return std::nullopt;
  }
  std::string_view file = path.substr(at + marker.size());
  if (const std::size_t slash = file.find('/'); slash != std::string_view::npos) {
    if (!is_processor(file.substr(0, slash))) {
      return std::nullopt;
    }
    file.remove_prefix(slash + 1);
  }
  if (file.empty() || file.find('/') != std::string_view::npos) {
    return std::nullopt;
  }
  return std::string(path.substr(0, at));
}

}  // namespace kelvoma::bundle_program

#endif
