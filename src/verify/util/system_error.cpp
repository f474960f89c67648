#include "verify/util/system_error.h"

#include <cstring>

namespace kelvoma {

std::string system_error_text(int errnum) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in `buffer`.
  const char* description = strerror_r(errnum, buffer, sizeof buffer);
  return std::string(description) + " (os error " + std::to_string(errnum) + ")";
}

}  // namespace kelvoma
