#include "releases/unpack_rules.h"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <span>

namespace kelvoma {
namespace {

constexpr std::array<char, 4> local_header_signature = {'P', 'K', 3, 4};
constexpr std::array<char, 4> end_record_signature = {'P', 'K', 5, 6};
constexpr std::uint64_t end_record_size = 22;
constexpr std::uint64_t max_comment_size = 0xffff;

bool read_exactly(int fd, std::uint64_t offset, std::span<char> bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t got =
        ::pread(fd, bytes.data() + done, bytes.size() - done, static_cast<off_t>(offset + done));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return false;
    }
    done += static_cast<std::size_t>(got);
  }
  return true;
}

bool has_signature(const char* at, const std::array<char, 4>& signature) {
  return std::memcmp(at, signature.data(), signature.size()) == 0;
}

// Offset of the last end record whose comment length reaches the end of the
// file, if there is one.
std::optional<std::uint64_t> find_end_record(int fd, std::uint64_t file_size) {
  if (file_size < end_record_size) {
    return std::nullopt;
  }
  const std::uint64_t tail_size = std::min(file_size, end_record_size + max_comment_size);
  std::vector<char> tail(tail_size);
  const std::uint64_t tail_offset = file_size - tail_size;
  if (!read_exactly(fd, tail_offset, tail)) {
    return std::nullopt;
  }
  for (std::size_t at = tail.size() - end_record_size + 1; at-- > 0;) {
    const auto* record = reinterpret_cast<const unsigned char*>(tail.data() + at);
    const std::size_t comment_size = record[20] | (record[21] << 8);
    if (has_signature(tail.data() + at, end_record_signature) &&
        comment_size == tail.size() - at - end_record_size) {
      return tail_offset + at;
    }
  }
  return std::nullopt;
}

}  // namespace

bool is_contained_name(std::string_view name) {
  if (name.empty() || name.find('\0') != std::string_view::npos) {
    return false;
  }
  if (name.front() == '/' || name.front() == '\\') {
    return false;
  }
  if (name.size() >= 2 && name[1] == ':') {
    return false;
  }
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = name.find_first_of("/\\", start);
    if (name.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start) ==
        "..") {
      return false;
    }
    if (end == std::string_view::npos) {
      return true;
    }
    start = end + 1;
  }
}

std::string normalized_name(std::string_view name) {
  std::string result;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('/', start);
    if (end == std::string_view::npos) {
      end = name.size();
    }
    const std::string_view component = name.substr(start, end - start);
    if (!component.empty() && component != ".") {
      if (!result.empty()) {
        result += '/';
      }
      result += component;
    }
    start = end + 1;
  }
  return result;
}

bool EntryPlan::add(EntryHeader header) {
  if (!is_contained_name(header.name)) {
    return false;
  }
  if (header.kind == EntryKind::symbolic_link) {
    symbolic_links_.insert(normalized_name(header.name));
  }
  entries_.push_back(std::move(header));
  return true;
}

bool EntryPlan::writes_through_links() const {
  if (symbolic_links_.empty()) {
    return false;
  }
  std::set<std::string> seen_links;
  for (const EntryHeader& entry : entries_) {
    const std::string name = normalized_name(entry.name);
    for (std::size_t slash = name.find('/'); slash != std::string::npos;
         slash = name.find('/', slash + 1)) {
      if (symbolic_links_.contains(name.substr(0, slash))) {
        return true;
      }
    }
    if (symbolic_links_.contains(name) && !seen_links.insert(name).second) {
      return true;
    }
  }
  return false;
}

bool has_plain_zip_layout(int fd, std::uint64_t file_size) {
  std::array<char, 4> start{};
  if (!read_exactly(fd, 0, start)) {
    return false;
  }
  return has_signature(start.data(), local_header_signature) &&
         find_end_record(fd, file_size).has_value();
}

}  // namespace kelvoma
