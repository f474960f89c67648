#include "install/unpack/unpack_rules.h"

#include <limits.h>

#include <algorithm>

namespace kelvoma {

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
  // A name that normalises to nothing names the destination itself.
  const std::string normalized = normalized_name(header.name);
  if (!is_contained_name(header.name) || normalized.empty() ||
      root_size_ + 1 + header.name.size() >= PATH_MAX ||
      static_cast<std::size_t>(std::ranges::count(normalized, '/')) >= max_name_components) {
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

}  // namespace kelvoma
