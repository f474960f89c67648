// The final step of an installation: putting the new bundle in place by
// renames within the target's parent directory, with backup and rollback.
#pragma once

#include <expected>
#include <string>

namespace kelvoma {

// The renames of the final step, behind an interface so that tests can make
// any one of them fail. Each returns 0 or the errno of the failure.
class RenameOperations {
 public:
  virtual ~RenameOperations() = default;
  virtual int rename(const std::string& from, const std::string& to) const = 0;
  // Fails with EEXIST, changing nothing, when `to` exists.
  virtual int rename_exclusive(const std::string& from, const std::string& to) const = 0;
};

const RenameOperations& system_rename_operations();

// Moves an installed copy at `target` aside to `backup`, moves `new_bundle`
// in, and moves the backup back when that fails.
std::expected<void, std::string> replace_bundle(
    const std::string& new_bundle, const std::string& target, const std::string& backup,
    const RenameOperations& renames = system_rename_operations());

// Moves `new_bundle` to a free `target`, refusing atomically to replace
// anything that exists there.
std::expected<void, std::string> move_into_place(
    const std::string& new_bundle, const std::string& target,
    const RenameOperations& renames = system_rename_operations());

}  // namespace kelvoma
