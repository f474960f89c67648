// The desktop part of the platform: the tools' entries under $XDG_DATA_HOME
// and the freedesktop trash.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "platform.h"
#include "system/desktop_entry.h"

namespace kelvoma::app::qt {

class QtDesktop : public Desktop {
 public:
  explicit QtDesktop(std::string dataHome);

  std::expected<void, std::string> publishEntry(const std::string& id,
                                                const std::optional<ToolEntry>& entry) override;
  std::expected<TrashedBundle, std::string> moveToTrash(const std::string& bundlePath) override;
  std::expected<void, std::string> putBack(const TrashedBundle& bundle) override;

 private:
  // What a file is now, read without opening it: a removal, a rewrite or a
  // file put in its place changes it.
  using Stamp = std::tuple<std::uint64_t, std::uint64_t, std::int64_t, std::int64_t>;
  struct Published {
    std::optional<ToolEntry> entry;
    std::vector<Stamp> files;
    bool operator==(const Published&) const = default;
  };
  Published lookAt(const std::string& id, const std::optional<ToolEntry>& entry) const;
  std::expected<void, std::string> write(const std::string& id,
                                         const std::optional<ToolEntry>& entry);

  std::string dataHome_;
  system::DesktopEntries entries_;
  // As written last, with its files as they were then: the refresh asks
  // every second, and only a change of either is worth reading files for.
  std::map<std::string, Published> published_;
};

}  // namespace kelvoma::app::qt
