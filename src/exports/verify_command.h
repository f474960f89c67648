// The command-line verifier: "--verify-release MANIFEST [ARCHIVE]".
#pragma once

#include <cstdio>
#include <span>
#include <string_view>

namespace kelvoma {

// Whether the process arguments ask for the verifier: argument 1 is exactly
// "--verify-release".
bool is_verify_release(std::span<const char* const> arguments);

// Verifies the manifest (and archive) named by arguments 2 (and 3) against
// the catalog tool "orbit-action-dial". Writes exactly one line, to `out` on
// success and to `err` on failure, and returns the exit status (0 or 1). A
// success line that cannot be written (`out` full or closed) is a failure:
// the system error text goes to `err`.
int run_verify_release(std::span<const char* const> arguments, std::FILE* out, std::FILE* err);

}  // namespace kelvoma
