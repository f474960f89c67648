// Reading a bundle's Contents/Info.plist, the one place that does.
#pragma once

#include <expected>
#include <memory>
#include <optional>
#include <string>

namespace kelvoma {

// The root dictionary of a bundle's Contents/Info.plist (XML or binary).
class InfoPlist {
 public:
  // Read without blocking and at most 16 MiB. Messages:
  //   "Aplikace nemá platný Info.plist."   missing, no regular file, too large,
  //                                        empty or no property list
  //   "Neplatné informace o aplikaci."     a property list but no dictionary
  static std::expected<InfoPlist, std::string> read(const std::string& bundle);
  // The same for the bundle open as `bundle_fd`, with no symbolic link
  // followed on the way to Info.plist (a link there counts as no Info.plist).
  static std::expected<InfoPlist, std::string> read_at(int bundle_fd);

  // The value of `key` when it is a string; any other type counts as absent.
  std::optional<std::string> string(const char* key) const;

 private:
  struct Free {
    void operator()(void* node) const;
  };
  static std::expected<InfoPlist, std::string> parse(int fd);
  explicit InfoPlist(void* root) : root_(root) {}
  std::unique_ptr<void, Free> root_;
};

// The value of `key` in the bundle's Info.plist when it is a string;
// nothing when the file cannot be read or the value is missing or no string.
std::optional<std::string> read_info_string(const std::string& bundle, const char* key);

}  // namespace kelvoma
