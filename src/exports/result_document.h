// The result documents handed across the C interface.
#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace kelvoma {

// Compact JSON (keys in ascending byte order, lower-case \u00xx escapes for
// control characters, other characters as plain UTF-8) in a NUL-terminated
// heap text for mini_free.
char* json_to_c_string(const nlohmann::json& document);

// {"error": message, "ok": false}
nlohmann::json error_document(std::string_view message);

}  // namespace kelvoma
