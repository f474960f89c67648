// Putting a new bundle in place with renames inside the target's parent
// directory: each step is atomic, and the installed copy is never deleted,
// only moved aside and, when needed, moved back.
#include "install/replace.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

#include "install/files/file_io.h"
#include "verify/util/system_error.h"

namespace kelvoma {
namespace {

class SystemRenameOperations final : public RenameOperations {
 public:
  int rename(const std::string& from, const std::string& to) const override {
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
  }

  // RENAME_NOREPLACE is the Linux counterpart of an exclusive rename: the
  // kernel refuses with EEXIST, atomically, when `to` exists (a dangling
  // symbolic link included).
  int rename_exclusive(const std::string& from, const std::string& to) const override {
    return ::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0 ? 0
                                                                                            : errno;
  }
};

std::string preserved_message(int error) {
  return "Instalace selhala, původní aplikace zůstala zachovaná: " + system_error_text(error);
}

}  // namespace

const RenameOperations& system_rename_operations() {
  static const SystemRenameOperations operations;
  return operations;
}

std::expected<void, std::string> replace_bundle(const std::string& new_bundle,
                                                const std::string& target,
                                                const std::string& backup,
                                                const RenameOperations& renames) {
  if (!exists_following_links(target)) {
    if (const int error = renames.rename(new_bundle, target); error != 0) {
      return std::unexpected(preserved_message(error));
    }
    return {};
  }
  if (const int error = renames.rename(target, backup); error != 0) {
    return std::unexpected("Původní aplikaci nelze připravit: " + system_error_text(error));
  }
  const int move_error = renames.rename(new_bundle, target);
  if (move_error == 0) {
    return {};
  }
  if (const int restore_error = renames.rename(backup, target); restore_error != 0) {
    return std::unexpected("Instalace selhala: " + system_error_text(move_error) +
                           ". Obnovení selhalo: " + system_error_text(restore_error) +
                           ". Původní aplikace je v " + backup + ".");
  }
  return std::unexpected(preserved_message(move_error));
}

std::expected<void, std::string> move_into_place(const std::string& new_bundle,
                                                 const std::string& target,
                                                 const RenameOperations& renames) {
  if (const int error = renames.rename_exclusive(new_bundle, target); error != 0) {
    return std::unexpected("Aplikaci nelze nainstalovat: " + system_error_text(error));
  }
  return {};
}

}  // namespace kelvoma
