// The text under which failures of the operating system reach the user.
#pragma once

#include <string>

namespace kelvoma {

// "{system description} (os error {errnum})", e.g.
// "No such file or directory (os error 2)".
std::string system_error_text(int errnum);

}  // namespace kelvoma
