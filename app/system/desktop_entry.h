// A tool's entry in the desktop's application menu: the text of a desktop
// entry, and the files that carry it (the entry and an icon copied from the
// bundle) under $XDG_DATA_HOME.
//
// Every file is written beside its place and renamed over it, so nobody reads
// half of one and a link planted at the place is replaced, never written
// through. An entry without Kelvoma's key is the user's and is left alone.
#pragma once

#include <expected>
#include <optional>
#include <string>
#include <vector>

namespace kelvoma::app::system {

// The key that marks an entry as Kelvoma's; its value is the tool's id.
inline constexpr const char* kToolKey = "X-Kelvoma-Tool";

// An image for the entry: the bytes of a PNG or an SVG file.
struct EntryIcon {
  std::string bytes;
  bool svg = false;
};

struct EntryFields {
  std::string id;
  std::string name;
  std::string comment;
  std::vector<std::string> command;  // the program, then its arguments
  std::string iconName;
};

// The whole entry, its names filtered as text from outside; the reason when
// the command cannot be written.
std::expected<std::string, std::string> desktopEntryText(const EntryFields& fields);

// The bundle's icon named by CFBundleIconFile in Contents/Resources ("name" or
// "name.png"/"name.svg"): a regular file reached without any link, at most
// 4 MiB, that is a PNG or an SVG. Nothing otherwise.
std::optional<EntryIcon> bundleIcon(const std::string& bundlePath, const std::string& iconFile);

class DesktopEntries {
 public:
  explicit DesktopEntries(std::string dataHome);

  // Writes the icon and then the entry, each only when its content changes;
  // the tool's icons of another size or kind go only once both are written.
  std::expected<void, std::string> publish(const EntryFields& fields, const EntryIcon& icon) const;
  // Removes Kelvoma's entry of the tool and its icons; a user's file stays.
  std::expected<void, std::string> withdraw(const std::string& id) const;

  // Kelvoma's entries (those with its key) under a name other than the one
  // their tool's id gives now, as earlier builds named them, with their icons.
  void removeRenamedEntries() const;

  std::string entryPath(const std::string& id) const;
  // The files of the tool that are Kelvoma's and there now: its entry when it
  // carries Kelvoma's key, and its icons.
  std::vector<std::string> ownFiles(const std::string& id) const;
  // Every place a file of the tool's may lie: its entry, then its icons.
  std::vector<std::string> placesOf(const std::string& id) const;
  // "cz.tobranix.kelvoma." and the id as a D-Bus name element, which the
  // desktop-entry rules ask of an entry's name: '-' and any other character
  // such an element cannot hold become '_', a leading digit gets one before it.
  static std::string iconName(const std::string& id);

 private:
  std::string iconPath(const std::string& id, const EntryIcon& icon) const;
  // Every place an icon of that name may lie.
  std::vector<std::string> iconPaths(const std::string& name) const;
  bool holdsUserFile(const std::string& id) const;

  std::string dataHome_;
};

}  // namespace kelvoma::app::system
