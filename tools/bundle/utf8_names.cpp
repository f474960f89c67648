#include "bundle/utf8_names.h"

#include <fcntl.h>

#include <cstdio>

#include "install/bundle/seal_list.h"
#include "support/refusal.h"
#include "verify/util/text_argument.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

constexpr std::string_view rename_it =
    "Instalace čte názvy souborů a cíle odkazů jako UTF-8 a balíček s jiným názvem odmítne; "
    "přejmenuj ho.";

// The length of the well-formed UTF-8 sequence at the start of `text`, or 0.
std::size_t sequence_at(std::string_view text) {
  for (std::size_t length = 1; length <= 4 && length <= text.size(); ++length) {
    if (is_valid_utf8(text.substr(0, length))) {
      return length;
    }
  }
  return 0;
}

}  // namespace

std::string shown_name(std::string_view path) {
  std::string shown;
  while (!path.empty()) {
    const std::size_t length = sequence_at(path);
    if (length == 0) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(path[0]));
      shown += escaped;
      path.remove_prefix(1);
    } else {
      shown += path.substr(0, length);
      path.remove_prefix(length);
    }
  }
  return shown;
}

std::expected<void, std::string> check_utf8_name(std::string_view path) {
  if (is_valid_utf8(path)) {
    return {};
  }
  return std::unexpected(
      refusal(shown_name(path), "název, který není platné UTF-8", "název v UTF-8", rename_it));
}

std::expected<void, std::string> check_utf8_target(std::string_view path, std::string_view target) {
  if (is_valid_utf8(target)) {
    return {};
  }
  return std::unexpected(
      refusal("Cíl odkazu " + shown_name(path), shown_name(target), "cíl v UTF-8", rename_it));
}

std::expected<void, std::string> check_utf8_names(const std::string& bundle) {
  const UniqueFd bundle_fd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  const auto entries =
      bundle_fd ? list_bundle_entries(bundle_fd.get()) : std::unexpected(std::string());
  if (!entries) {
    return {};
  }
  for (const kelvoma::BundleEntry& entry : *entries) {
    const std::string path = bundle + "/" + entry.path;
    if (auto name = check_utf8_name(path); !name) {
      return name;
    }
    if (auto target = check_utf8_target(path, entry.target); !target) {
      return target;
    }
  }
  return {};
}

}  // namespace kelvoma::publish
