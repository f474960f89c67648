// What an archive must look like before anything of it is unpacked: the
// layout of the file and the names and kinds of its entries. Pure checks,
// no writes.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace kelvoma {

// A name that stays below the destination: not empty, not absolute (also in
// the DOS forms "\x" and "C:"), and no ".." component whichever separator is
// used.
bool is_contained_name(std::string_view name);

// "a//./b/" and "a/b" name the same place.
std::string normalized_name(std::string_view name);

enum class EntryKind { file, directory, symbolic_link };

// One entry as its header declares it.
struct EntryHeader {
  std::string name;  // as the archive spells it
  EntryKind kind;
  std::uint64_t size;  // bytes of data (files) or of the link target (links)

  bool operator==(const EntryHeader&) const = default;
};

// At most this many components in one name: no bundle of ours nests that
// deep, and walking deeper trees costs time for nothing.
inline constexpr std::size_t max_name_components = 256;

// The entries of one archive, gathered header by header, to be unpacked
// into a folder whose resolved path is `root_size` bytes long.
class EntryPlan {
 public:
  explicit EntryPlan(std::size_t root_size) : root_size_(root_size) {}

  // False when the name is not contained, names the destination itself
  // ("." or "./"), has more than max_name_components components, or makes
  // a path below the destination of PATH_MAX bytes or more (the checks and
  // tools that follow name files by their full paths).
  bool add(EntryHeader header);

  // No entry lies below a symbolic link of the archive, and no link is named
  // twice: either would write through the link.
  bool writes_through_links() const;

  const std::vector<EntryHeader>& entries() const { return entries_; }

 private:
  std::size_t root_size_;
  std::vector<EntryHeader> entries_;
  std::set<std::string> symbolic_links_;  // normalized
};

// A zip file with nothing around it: it starts with its first entry's local
// header and its last end record, with its comment, reaches exactly to the
// end of the file; that record is the one libarchive chooses, and its
// central directory ends exactly where the record (or its zip64 record)
// begins. Every name as stored, in each central-directory record and the
// local header it points to (a Unicode path field included), is free of
// NUL bytes. An archive without entries is refused: no publisher ships
// one. Reads through `fd` with positioned reads (unpack_layout.cpp).
bool has_plain_zip_layout(int fd, std::uint64_t file_size);

}  // namespace kelvoma
