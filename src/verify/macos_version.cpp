#include "verify/macos_version.h"

#include <array>
#include <optional>

#include "verify/trust_sentences.h"

namespace kelvoma {
namespace {

// One part: an optional "+", then one or more decimal digits, at most
// 4294967295.
std::optional<std::uint32_t> parse_part(std::string_view part) {
  if (part.starts_with('+')) {
    part.remove_prefix(1);
  }
  if (part.empty()) {
    return std::nullopt;
  }
  std::uint64_t value = 0;
  for (const char c : part) {
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > UINT32_MAX) {
      return std::nullopt;
    }
  }
  return static_cast<std::uint32_t>(value);
}

}  // namespace

std::expected<MacosVersion, std::string> parse_macos_version(std::string_view text,
                                                             CodeTrust trust) {
  std::array<std::uint32_t, 3> numbers{};
  std::size_t count = 0;
  while (true) {
    const std::size_t dot = text.find('.');
    const auto number = parse_part(text.substr(0, dot));
    if (!number || count == numbers.size()) {
      return std::unexpected(std::string(sentences_of(trust).invalid_system_version));
    }
    numbers[count++] = *number;
    if (dot == std::string_view::npos) {
      break;
    }
    text.remove_prefix(dot + 1);
  }
  return MacosVersion{numbers[0], numbers[1], numbers[2]};
}

std::expected<void, std::string> require_minimum_macos(std::string_view minimum,
                                                       std::string_view os_version,
                                                       CodeTrust trust) {
  const auto running = parse_macos_version(os_version, trust);
  if (!running) {
    return std::unexpected(running.error());
  }
  const auto required = parse_macos_version(minimum, trust);
  if (!required) {
    return std::unexpected(required.error());
  }
  if (*running < *required) {
    const TrustSentences& words = sentences_of(trust);
    return std::unexpected(std::string(words.requires_system_before) + std::string(minimum) +
                           std::string(words.requires_system_after));
  }
  return {};
}

}  // namespace kelvoma
