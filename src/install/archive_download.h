// Where a downloaded archive waits for its verdict. It gets no name on disk
// before then: it goes into an unnamed file (O_TMPFILE) on the target's file
// system, in the target's parent folder or, while that does not exist yet,
// in its nearest existing ancestor, and is linked into the install
// directory only by save_as(). Where no such file can be had (a file system
// without them, a read-only one, a parent that is no folder), it is kept in
// memory and written by save_as(). A crash meanwhile leaves nothing behind.
#pragma once

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "fetch/fetch.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {

class ArchiveDownload final : public BodySink {
 public:
  // `folder`: where the archive's unnamed file should live (nothing: in
  // memory); `limit`: the largest archive accepted.
  ArchiveDownload(const std::optional<std::string>& folder, std::uint64_t limit);

  std::span<std::uint8_t> space() override;
  void take(std::size_t count) override;

  // Whether the archive is kept in memory (no unnamed file could be had).
  bool in_memory() const { return memory_.has_value(); }

  // Gives the whole archive the name `name` in the folder open as
  // `folder_fd` (created with 0666 less the mask, never through a link or
  // over an entry that exists) and answers a descriptor that reads it: the
  // very file that was checked, never the name opened again. The unnamed
  // file is linked, or copied where it cannot be linked (copy_file_range,
  // or reading and writing where the kernel refuses that).
  // A write that failed while the archive arrived is reported here, as the
  // system error text, and so is a failure to link or write it now.
  std::expected<UniqueFd, std::string> save_as(int folder_fd, const std::string& name);

 private:
  std::expected<UniqueFd, std::string> link_file(int folder_fd, const std::string& name) const;
  std::expected<UniqueFd, std::string> copy_file(int folder_fd, const std::string& name) const;
  std::expected<UniqueFd, std::string> write_memory(int folder_fd, const std::string& name) const;
  void write_piece();

  UniqueFd file_;
  std::optional<BodyCollector> memory_;
  std::unique_ptr<std::uint8_t[]> piece_;
  std::size_t filled_ = 0;  // bytes of `piece_` not written yet
  int write_error_ = 0;
};

}  // namespace kelvoma
