// The list a bundle's seal signs: the bundle identifier, the developer team,
// then every entry of the bundle, so that two bundles print the same list
// only when a user would find nothing different between them.
//
//   kelvoma-seal 1
//   identifier<TAB>cz.tobranix.orbit-action-dial
//   team<TAB>TESTTEAM42
//   directory<TAB>Contents
//   file<TAB>x<TAB><sha-256, lower-case hex><TAB>Contents/MacOS/orbit
//   file<TAB>-<TAB><sha-256><TAB>Contents/Info.plist
//   link<TAB>Contents/Resources/current<TAB>marker.txt
//
// One line per entry, sorted by the path's bytes; "x" when the owner may
// execute the file, "-" otherwise (other mode bits follow the installing
// user's umask and are not sealed). Contents/_CodeSignature, where the seal
// and the ticket live, is never listed. In names, link targets, the
// identifier and the team, a tab is written "\t", a backslash "\\" and any
// other byte below 0x20 as "\ooo" (three octal digits).
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma {

// The folder below the bundle root that holds the seal and the ticket.
inline constexpr std::string_view seal_folder = "Contents/_CodeSignature";

std::string escape_seal_text(std::string_view text);

// The first three lines.
std::string seal_header(std::string_view identifier, std::string_view team);

// One entry of a bundle, as the seal's walk finds it.
struct BundleEntry {
  enum class Kind { directory, file, link };
  std::string path;  // relative to the bundle, unescaped
  Kind kind = Kind::file;
  std::string target;  // of a link
};

// Every entry of the bundle open as `bundle_fd` but the seal's folder, in
// path order, found as write_seal_entries walks (nothing followed), or
// "PATH: system error text".
std::expected<std::vector<BundleEntry>, std::string> list_bundle_entries(int bundle_fd);

// Gets each entry's line (with its newline) in order; returns false to stop
// the walk early.
using SealLineSink = std::function<bool(std::string_view line)>;

// Walks the bundle open as `bundle_fd`. Nothing is followed: every folder
// and file is opened below the bundle with symbolic links refused anywhere
// on the way, and one folder descriptor is held at a time, however deep the
// tree. Returns whether the sink took every line, or "PATH: system error
// text" for an entry that cannot be read or is neither a folder, a regular
// file nor a symbolic link.
std::expected<bool, std::string> write_seal_entries(int bundle_fd, const SealLineSink& sink);

// Whether `list` is exactly the list of the bundle open as `bundle_fd` for
// `identifier` and `team`. The walk stops at the first line that differs,
// before hashing any more files.
bool seal_list_matches(int bundle_fd, std::string_view list, std::string_view identifier,
                       std::string_view team);

// The whole list of the bundle at `bundle`, as the publisher signs it.
std::expected<std::string, std::string> seal_list(const std::string& bundle,
                                                  std::string_view identifier,
                                                  std::string_view team);

}  // namespace kelvoma
