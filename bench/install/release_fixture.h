// A published update of the fixture tool "orbit-action-dial" on the local
// HTTPS server (fixture port), an installed older copy, and a way to tell
// what an interrupted installation left behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/test_server.h"

namespace kelvoma::bench {

inline constexpr const char* tool_id = "orbit-action-dial";
inline constexpr const char* os_version = "14.0.0";

class UpdateFixture {
 public:
  // Serves build 2 (marker "new") with `payload_bytes` of random content
  // and `small_files` files of a few hundred bytes each in
  // Contents/Resources/many (a hundred to a folder); HOME points at a fresh
  // directory.
  explicit UpdateFixture(std::uint64_t payload_bytes, int small_files = 0);

  bool ready() const { return ready_; }
  const std::string& failure() const { return failure_; }

  const std::string& home() const { return home_.path(); }
  const std::string& applications() const { return applications_; }
  const std::string& target() const { return target_; }
  const std::string& archive_url() const { return archive_url_; }
  const std::string& manifest_url() const { return manifest_url_; }
  std::uint64_t archive_size() const { return archive_size_; }

  // Puts build 1 (marker "old") at the target, removing whatever was there
  // and every install directory.
  void install_old() const;

  // Removes the install directories next to the target.
  void remove_install_directories() const;

 private:
  testing::TestServer server_;
  testing::TempDir home_;
  testing::TempDir sources_;
  std::string applications_;
  std::string target_;
  std::string old_template_;
  std::string archive_url_;
  std::string manifest_url_;
  std::uint64_t archive_size_ = 0;
  bool ready_ = false;
  std::string failure_;
};

// What a target directory holds after an installation was interrupted.
enum class Outcome {
  old_copy,     // the complete installed build 1
  new_copy,     // the complete build 2
  backup_only,  // nothing at the target, the complete build 1 as previous.app
  lost,         // anything else: the installed copy is gone or damaged
};

// Judges the target and the install directories next to it. `detail` says
// what was found when the outcome is `lost`.
Outcome judge_target(const std::string& target, std::uint64_t new_payload_bytes,
                     std::string& detail);

// Which install-directory entries exist right now (for the phase reached).
std::vector<std::string> install_directory_entries(const std::string& applications);

// How many ".kelvoma-install-" folders there are in `applications`.
std::size_t install_directory_count(const std::string& applications);

}  // namespace kelvoma::bench
