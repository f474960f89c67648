#include "exports/result_document.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace kelvoma {

char* json_to_c_string(const nlohmann::json& document) {
  // Objects are ordered maps keyed by std::string, whose comparison is by
  // unsigned bytes: members come out in ascending byte order of their keys.
  const std::string text =
      document.dump(-1, ' ', /*ensure_ascii=*/false, nlohmann::json::error_handler_t::replace);
  auto* result = static_cast<char*>(std::malloc(text.size() + 1));
  if (result == nullptr) {
    throw std::bad_alloc();
  }
  std::memcpy(result, text.c_str(), text.size() + 1);
  return result;
}

nlohmann::json error_document(std::string_view message) {
  return {{"error", std::string(message)}, {"ok", false}};
}

}  // namespace kelvoma
