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

namespace kelvoma::publish {

// The folder ".kelvoma-release-XXXXXX" beside `output`; removed with
// everything in it when the object goes.
class WorkFolder {
 public:
  static std::expected<WorkFolder, std::string> create(const std::string& output);
  WorkFolder(WorkFolder&& other) noexcept;
  WorkFolder(const WorkFolder&) = delete;
  WorkFolder& operator=(const WorkFolder&) = delete;
  WorkFolder& operator=(WorkFolder&&) = delete;
  ~WorkFolder();

  const std::string& path() const { return path_; }
  std::string entry(std::string_view name) const;

  // A new file NAME holding `bytes`, on disk when this returns (written as
  // every file of this tool, never through a link).
  std::expected<void, std::string> write(const std::string& name,
                                         std::span<const std::uint8_t> bytes) const;

  // Moves `first` (the archive, then the release notes if any) and then
  // release.json into `output` (made when missing), so that a release.json
  // never names a missing archive nor comes before its notes.
  std::expected<void, std::string> publish_into(const std::string& output,
                                                const std::vector<std::string>& first) const;

 private:
  WorkFolder(std::string parent, std::string path);
  std::string parent_;
  std::string path_;
};

// Refuses an output that exists and is no folder, before any work is done.
std::expected<void, std::string> check_output_folder(const std::string& output);

}  // namespace kelvoma::publish
