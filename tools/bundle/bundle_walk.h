// A bundle read once: its tree walked through folder descriptors, links
// never followed, so that the release archive is made from one consistent
// reading and no path is opened twice.
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

enum class EntryType { folder, file, link };

struct BundleEntry {
  std::string name;  // below the bundle, "" for the bundle itself
  EntryType type = EntryType::folder;
  bool executable = false;  // a file its owner may execute
  std::uint64_t size = 0;   // of a file
  std::string target;       // of a link
  std::size_t folder = 0;   // index of the folder descriptor that holds it
  std::string leaf;         // its name in that folder
  dev_t device = 0;
  ino_t inode = 0;
};

// Every entry of the bundle and the folders that hold them, open.
struct BundleTree {
  std::vector<UniqueFd> folders;  // [0] is the bundle itself
  std::vector<BundleEntry> entries;
  std::uint64_t file_bytes = 0;

  // The file of `entry` opened from its folder, refused when something else
  // took its place since the walk (another inode, a link, another size).
  std::expected<UniqueFd, std::string> open_file(const BundleEntry& entry,
                                                 const std::string& shown_as) const;
};

// Walks the folder `bundle` (named `bundle` in messages): folders, regular
// files and links, each folder's names in byte order, parents before their
// contents. Anything else is refused.
std::expected<BundleTree, std::string> walk_bundle(const std::string& bundle);

}  // namespace kelvoma::publish
