#include "install/install_paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <span>
#include <vector>

#include "verify/util/system_error.h"

namespace kelvoma {
namespace {

// A path as the list of its components: "/" first for an absolute path,
// then every name; empty names (repeated or trailing separators) and "."
// are left out, ".." is kept as a name.
std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  if (path.starts_with('/')) {
    components.emplace_back("/");
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    const std::string_view name = path.substr(start, end - start);
    if (!name.empty() && name != ".") {
      components.push_back(name);
    }
    start = end + 1;
  }
  return components;
}

std::string path_text(std::span<const std::string_view> components) {
  std::string text;
  for (const std::string_view component : components) {
    if (component == "/") {
      text = "/";
      continue;
    }
    if (!text.empty() && !text.ends_with('/')) {
      text += '/';
    }
    text += component;
  }
  return text;
}

bool names_something(const std::vector<std::string_view>& components) {
  return !components.empty() && !(components.size() == 1 && components.front() == "/");
}

}  // namespace

bool is_permitted_target(std::string_view target, std::string_view bundle_name,
                         std::string_view home) {
  const auto components = path_components(target);
  return components == path_components(join_path("/Applications", bundle_name)) ||
         components == path_components(join_path(join_path(home, "Applications"), bundle_name));
}

std::string join_path(std::string_view left, std::string_view right) {
  std::string joined(left);
  if (!joined.ends_with('/')) {
    joined += '/';
  }
  joined += right;
  return joined;
}

std::string normalized_path(std::string_view path) { return path_text(path_components(path)); }

std::optional<std::string> parent_directory(std::string_view path) {
  const auto components = path_components(path);
  if (!names_something(components)) {
    return std::nullopt;
  }
  const auto parent = std::span(components).first(components.size() - 1);
  if (parent.empty()) {
    return ".";
  }
  return path_text(parent);
}

std::optional<std::string> base_name(std::string_view path) {
  const auto components = path_components(path);
  if (!names_something(components)) {
    return std::nullopt;
  }
  return std::string(components.back());
}

std::expected<void, std::string> create_directories(const std::string& directory) {
  const auto components = path_components(directory);
  for (std::size_t count = 1; count <= components.size(); ++count) {
    if (components[count - 1] == "/") {
      continue;
    }
    const std::string prefix = path_text(std::span(components).first(count));
    if (::mkdir(prefix.c_str(), 0777) == 0) {
      continue;
    }
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      continue;
    }
    return std::unexpected(system_error_text(error));
  }
  return {};
}

}  // namespace kelvoma
