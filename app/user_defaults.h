// The application's user defaults: the settings store of its own domain, read
// with the lenient rules of a defaults lookup.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform.h"

namespace kelvoma::app {

inline constexpr std::string_view kApplicationDomain = "cz.tobranix.tools-manager";

class UserDefaults {
 public:
  explicit UserDefaults(Settings& settings) : settings_(settings) {}

  bool hasObject(std::string_view key) const;
  // A boolean, a number other than 0, or the texts "true", "yes" and "1" (any
  // case) read as true; anything else, and nothing, as false.
  bool boolForKey(std::string_view key) const;
  // Only a stored text; other kinds read as nothing.
  std::optional<std::string> stringForKey(std::string_view key) const;

  void setBool(std::string_view key, bool value);
  void setDouble(std::string_view key, double value);
  void setString(std::string_view key, const std::string& value);

 private:
  Settings& settings_;
};

}  // namespace kelvoma::app
