// Where a release is put together before it is published: a work folder
// beside the output folder, so that the output receives the archive and
// release.json only once both have passed every check, by rename.
#pragma once

#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

// The folder ".kelvoma-release-XXXXXX" inside `output` (made when missing),
// so that the finished files reach the output by rename on one file system
// even when the output is a mount point. Removed with everything in it when
// the object goes, and the output with it when it was made for nothing.
//
// The folder is held locked (flock) for as long as a process of this
// release holds it open, so a work folder left by a release that is gone
// (killed with SIGKILL, a power loss) is told from a live one: unlocked, it
// is removed by the next release into the same output. The output itself is
// locked while it is searched and the new folder made and locked, so that
// no release takes another's fresh folder for an abandoned one.
class WorkFolder {
 public:
  // What happens to a release.json or an archive already in the output.
  enum class Earlier { refused, replaced };

  static std::expected<WorkFolder, std::string> create(const std::string& output);
  WorkFolder(WorkFolder&& other) noexcept;
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  WorkFolder& operator=(WorkFolder&&) = delete;
  ~WorkFolder();

  const std::string& path() const { return path_; }
  // The work folders of releases that are gone, removed when this one was
  // made (their paths).
  const std::vector<std::string>& abandoned() const { return abandoned_; }
  std::string entry(std::string_view name) const;

  // A new file NAME holding `bytes`, on disk when this returns (written as
  // every file of this tool, never through a link).
  std::expected<void, std::string> write(const std::string& name,
                                         std::span<const std::uint8_t> bytes) const;

  // A new, empty file NAME open for reading and writing (never through a
  // link, never over something that exists).
  std::expected<UniqueFd, std::string> create_file(const std::string& name) const;

  // Moves `first` (the archive, then the release notes if any) and then
  // release.json into the output, so that a release.json never names a
  // missing archive nor comes before its notes. An earlier release replaced
  // goes whole: its archive (named by its release.json) and its notes when
  // the new release has none; the names removed.
  std::expected<std::vector<std::string>, std::string> publish(
      const std::vector<std::string>& first, Earlier earlier);

 private:
  WorkFolder(std::string output, std::string path, bool made_output, UniqueFd lock);
  std::string output_;
  std::string path_;
  bool made_output_;
  UniqueFd lock_;  // the work folder, open and locked
  std::vector<std::string> abandoned_;
  bool published_ = false;
};

// Refuses, before any work is done, an output that exists and is no folder,
// and one that already holds a release (release.json or `archive_name`)
// unless `earlier` is Earlier::replaced.
std::expected<void, std::string> check_output_folder(const std::string& output,
                                                     const std::string& archive_name,
                                                     WorkFolder::Earlier earlier);

}  // namespace kelvoma::publish
