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

// The entries of one archive, gathered header by header.
class EntryPlan {
 public:
  // False when the name is not contained.
  bool add(EntryHeader header);

  // No entry lies below a symbolic link of the archive, and no link is named
  // twice: either would write through the link.
  bool writes_through_links() const;

  const std::vector<EntryHeader>& entries() const { return entries_; }

 private:
  std::vector<EntryHeader> entries_;
  std::set<std::string> symbolic_links_;  // normalized
};

// A zip file with nothing around it: it starts with its first entry's local
// header and its last end record, with its comment, reaches exactly to the
// end of the file. An archive without entries is refused: no publisher
// ships one. Reads through `fd`
// with positioned reads.
bool has_plain_zip_layout(int fd, std::uint64_t file_size);

}  // namespace kelvoma
