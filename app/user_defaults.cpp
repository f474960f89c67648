#include "user_defaults.h"

#include <algorithm>
#include <cctype>

namespace kelvoma::app {
namespace {

std::string lowered(std::string text) {
  std::ranges::transform(text, text.begin(),
                         [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

struct Truth {
  bool operator()(bool value) const { return value; }
  bool operator()(double value) const { return value != 0.0; }
  bool operator()(const std::string& value) const {
    const std::string text = lowered(value);
    return text == "true" || text == "yes" || text == "1";
  }
};

}  // namespace

bool UserDefaults::hasObject(std::string_view key) const {
  return settings_.readSetting(kApplicationDomain, key).has_value();
}

bool UserDefaults::boolForKey(std::string_view key) const {
  const auto value = settings_.readSetting(kApplicationDomain, key);
  return value && std::visit(Truth{}, *value);
}

std::optional<std::string> UserDefaults::stringForKey(std::string_view key) const {
  const auto value = settings_.readSetting(kApplicationDomain, key);
  if (!value || !std::holds_alternative<std::string>(*value)) {
    return std::nullopt;
  }
  return std::get<std::string>(*value);
}

void UserDefaults::setBool(std::string_view key, bool value) {
  settings_.writeSetting(kApplicationDomain, key, value);
}

void UserDefaults::setDouble(std::string_view key, double value) {
  settings_.writeSetting(kApplicationDomain, key, value);
}

void UserDefaults::setString(std::string_view key, const std::string& value) {
  settings_.writeSetting(kApplicationDomain, key, value);
}

}  // namespace kelvoma::app
