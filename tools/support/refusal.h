// How the publisher tool refuses a release: the field, the value it found,
// the value it expected, and what to do about it, on one line.
#pragma once

#include <string>
#include <string_view>

namespace kelvoma::publish {

inline std::string refusal(std::string_view field, std::string_view found,
                           std::string_view expected, std::string_view todo) {
  return std::string(field) + " je „" + std::string(found) + "“, čeká se „" +
         std::string(expected) + "“. " + std::string(todo);
}

}  // namespace kelvoma::publish
