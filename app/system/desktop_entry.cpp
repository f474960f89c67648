#include "desktop_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <string_view>

#include "exec_value.h"
#include "outside_text.h"
#include "replaced_file.h"

namespace kelvoma::app::system {
namespace {

constexpr std::size_t kIconLimit = 4 * 1024 * 1024;
constexpr std::size_t kEntryLimit = 64 * 1024;
constexpr std::array<int, 10> kIconSizes = {16, 22, 24, 32, 48, 64, 96, 128, 256, 512};
constexpr const char* kWriteFailed = "Položku v nabídce aplikací se nepodařilo zapsat.";
constexpr const char* kRemoveFailed = "Položku v nabídce aplikací se nepodařilo odstranit.";

bool isPng(std::string_view bytes) {
  return bytes.size() >= 24 && bytes.starts_with("\x89PNG\r\n\x1a\n") &&
         bytes.substr(12, 4) == "IHDR";
}

bool isSvg(std::string_view bytes) {
  const std::string_view head = bytes.substr(0, 4096);
  return head.find("<svg") != std::string_view::npos && head.find('\0') == std::string_view::npos;
}

std::uint32_t pngWidth(std::string_view bytes) {
  std::uint32_t width = 0;
  for (std::size_t i = 16; i < 20; ++i) {
    width = width << 8U | static_cast<unsigned char>(bytes[i]);
  }
  return width;
}

// The folder of the standard size nearest below the image's own.
std::string sizeFolder(std::uint32_t width) {
  int chosen = kIconSizes.front();
  for (const int size : kIconSizes) {
    if (static_cast<std::uint32_t>(size) <= width) {
      chosen = size;
    }
  }
  return std::to_string(chosen) + "x" + std::to_string(chosen);
}

}  // namespace

std::expected<std::string, std::string> desktopEntryText(const EntryFields& fields) {
  const auto exec = execValue(fields.command);
  if (!exec) {
    return std::unexpected(exec.error());
  }
  std::string text = "[Desktop Entry]\nType=Application\n";
  text += "Name=" + escapedValue(shownLine(fields.name.empty() ? fields.id : fields.name)) + "\n";
  if (const std::string comment = shownLine(fields.comment); !comment.empty()) {
    text += "Comment=" + escapedValue(comment) + "\n";
  }
  text += "Exec=" + *exec + "\n";
  text += "Icon=" + escapedValue(fields.iconName) + "\n";
  text += "Terminal=false\nCategories=Utility;\nStartupNotify=false\n";
  return text + kToolKey + "=" + escapedValue(fields.id) + "\n";
}

std::optional<EntryIcon> bundleIcon(const std::string& bundlePath, const std::string& iconFile) {
  if (iconFile.empty() || iconFile.find('/') != std::string::npos || iconFile == "." ||
      iconFile == "..") {
    return std::nullopt;
  }
  const int bundle = open(bundlePath.c_str(), O_RDONLY | O_CLOEXEC | O_DIRECTORY);
  const int contents =
      bundle < 0 ? -1 : openat(bundle, "Contents", O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
  const int resources =
      contents < 0 ? -1
                   : openat(contents, "Resources", O_RDONLY | O_CLOEXEC | O_DIRECTORY | O_NOFOLLOW);
  std::optional<EntryIcon> icon;
  for (const std::string& name : {iconFile, iconFile + ".png", iconFile + ".svg"}) {
    const auto bytes =
        resources < 0 ? std::nullopt : readRegularFileAt(resources, name, kIconLimit);
    if (bytes && (isPng(*bytes) || isSvg(*bytes))) {
      icon = EntryIcon{.bytes = *bytes, .svg = !isPng(*bytes)};
      break;
    }
  }
  for (const int fd : {resources, contents, bundle}) {
    if (fd >= 0) {
      close(fd);
    }
  }
  return icon;
}

DesktopEntries::DesktopEntries(std::string dataHome) : dataHome_(std::move(dataHome)) {}

std::string DesktopEntries::entryPath(const std::string& id) const {
  return dataHome_ + "/applications/" + iconName(id) + ".desktop";
}

std::string DesktopEntries::iconName(const std::string& id) {
  std::string element = !id.empty() && id.front() >= '0' && id.front() <= '9' ? "_" : "";
  for (const char c : id) {
    const bool kept =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    element += kept ? c : '_';
  }
  return "cz.tobranix.kelvoma." + element;
}

std::string DesktopEntries::iconPath(const std::string& id, const EntryIcon& icon) const {
  const std::string folder = icon.svg ? "scalable" : sizeFolder(pngWidth(icon.bytes));
  return dataHome_ + "/icons/hicolor/" + folder + "/apps/" + iconName(id) +
         (icon.svg ? ".svg" : ".png");
}

std::vector<std::string> DesktopEntries::iconPaths(const std::string& name) const {
  std::vector<std::string> paths{dataHome_ + "/icons/hicolor/scalable/apps/" + name + ".svg"};
  for (const int size : kIconSizes) {
    paths.push_back(dataHome_ + "/icons/hicolor/" + sizeFolder(static_cast<std::uint32_t>(size)) +
                    "/apps/" + name + ".png");
  }
  return paths;
}

// A regular file without our key; a link or nothing there is not the user's.
bool DesktopEntries::holdsUserFile(const std::string& id) const {
  struct stat status {};
  if (lstat(entryPath(id).c_str(), &status) != 0 || !S_ISREG(status.st_mode)) {
    return false;
  }
  const auto text = readRegularFile(entryPath(id), kEntryLimit);
  return !text || text->find("\n" + std::string(kToolKey) + "=" + id + "\n") == std::string::npos;
}

std::expected<void, std::string> DesktopEntries::publish(const EntryFields& fields,
                                                         const EntryIcon& icon) const {
  if (holdsUserFile(fields.id)) {
    return {};
  }
  const auto text = desktopEntryText(fields);
  if (!text) {
    return std::unexpected(text.error());
  }
  const std::string iconAt = iconPath(fields.id, icon);
  if (readRegularFile(iconAt, kIconLimit) != icon.bytes && !replaceFile(iconAt, icon.bytes)) {
    return std::unexpected(kWriteFailed);
  }
  const auto current = readRegularFile(entryPath(fields.id), kEntryLimit);
  if (current != *text && !replaceFile(entryPath(fields.id), *text)) {
    if (!current) {
      unlink(iconAt.c_str());  // no icon without its entry
    }
    return std::unexpected(kWriteFailed);
  }
  for (const std::string& other : iconPaths(iconName(fields.id))) {
    if (other != iconAt) {
      unlink(other.c_str());  // an icon of another size or kind from before
    }
  }
  return {};
}

std::vector<std::string> DesktopEntries::placesOf(const std::string& id) const {
  std::vector<std::string> places = iconPaths(iconName(id));
  places.insert(places.begin(), entryPath(id));
  return places;
}

std::vector<std::string> DesktopEntries::ownFiles(const std::string& id) const {
  std::vector<std::string> files;
  struct stat status {};
  if (!holdsUserFile(id) && lstat(entryPath(id).c_str(), &status) == 0) {
    files.push_back(entryPath(id));
  }
  for (const std::string& icon : iconPaths(iconName(id))) {
    if (lstat(icon.c_str(), &status) == 0) {
      files.push_back(icon);
    }
  }
  return files;
}

std::expected<void, std::string> DesktopEntries::withdraw(const std::string& id) const {
  bool removed = true;
  if (!holdsUserFile(id) && unlink(entryPath(id).c_str()) != 0 && errno != ENOENT) {
    removed = false;
  }
  for (const std::string& icon : iconPaths(iconName(id))) {
    if (unlink(icon.c_str()) != 0 && errno != ENOENT) {
      removed = false;
    }
  }
  return removed ? std::expected<void, std::string>{} : std::unexpected(kRemoveFailed);
}

void DesktopEntries::removeRenamedEntries() const {
  const std::string folder = dataHome_ + "/applications/";
  const std::string prefix = iconName("");
  std::error_code error;
  for (const auto& each : std::filesystem::directory_iterator(folder, error)) {
    const std::string file = each.path().filename().string();
    const std::string path = folder + file;
    if (!file.starts_with(prefix) || !file.ends_with(".desktop")) {
      continue;
    }
    const auto text = readRegularFile(path, kEntryLimit);
    const std::string key = "\n" + std::string(kToolKey) + "=";
    const std::size_t at = text ? text->find(key) : std::string::npos;
    if (at == std::string::npos) {
      continue;  // the user's own, or not a file
    }
    const std::size_t start = at + key.size();
    const std::string id = text->substr(start, text->find('\n', start) - start);
    if (path != entryPath(id) && unlink(path.c_str()) == 0) {
      for (const std::string& icon : iconPaths(file.substr(0, file.size() - 8))) {
        unlink(icon.c_str());
      }
    }
  }
}

}  // namespace kelvoma::app::system
