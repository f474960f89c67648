// mini_recover: start-up recovery across the C interface.
#include <cstdlib>

#include "exports/result_document.h"
#include "install/install_recovery.h"
#include "kelvoma/kelvoma.h"

namespace kelvoma {
namespace {

nlohmann::json recover_document(const char* id) {
  // The environment is read here, as mini_install reads it.
  const auto recovered = recover_tool(id, std::getenv("HOME"));
  if (!recovered) {
    return error_document(recovered.error());
  }
  return {{"ok", true}, {"recovered", *recovered}};
}

}  // namespace
}  // namespace kelvoma

extern "C" char* mini_recover(const char* id) noexcept {
  return kelvoma::json_to_c_string(kelvoma::recover_document(id));
}
