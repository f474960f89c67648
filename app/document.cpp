#include "document.h"

namespace kelvoma::app {
namespace {

const Document* member(const Document& document, std::string_view key) {
  if (!document.is_object()) {
    return nullptr;
  }
  const auto found = document.find(key);
  return found == document.end() ? nullptr : &*found;
}

}  // namespace

std::optional<std::string> textOf(const Document& document, std::string_view key) {
  const Document* value = member(document, key);
  if (value == nullptr || !value->is_string()) {
    return std::nullopt;
  }
  return value->get<std::string>();
}

bool boolOf(const Document& document, std::string_view key) {
  const Document* value = member(document, key);
  return value != nullptr && value->is_boolean() && value->get<bool>();
}

std::uint64_t unsignedOf(const Document& document, std::string_view key) {
  const Document* value = member(document, key);
  if (value == nullptr) {
    return 0;
  }
  if (value->is_number_unsigned()) {
    return value->get<std::uint64_t>();
  }
  if (value->is_number_integer()) {
    return static_cast<std::uint64_t>(value->get<std::int64_t>());
  }
  if (value->is_number_float()) {
    const double number = value->get<double>();
    // Out-of-range fractions have no meaningful build; read them as none.
    if (!(number >= 0.0) || number >= 18446744073709551616.0) {
      return 0;
    }
    return static_cast<std::uint64_t>(number);
  }
  return 0;
}

std::optional<std::string> describedOf(const Document& document, std::string_view key) {
  const Document* value = member(document, key);
  if (value == nullptr) {
    return std::nullopt;
  }
  if (value->is_string()) {
    return value->get<std::string>();
  }
  if (value->is_number()) {
    return value->dump();
  }
  return std::nullopt;
}

}  // namespace kelvoma::app
