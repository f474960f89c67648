#include "desktop_entry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <string_view>

#include "replaced_file.h"

namespace kelvoma::app::system {
namespace {

constexpr std::size_t kIconLimit = 4 * 1024 * 1024;
constexpr std::size_t kEntryLimit = 64 * 1024;
constexpr std::array<int, 10> kIconSizes = {16, 22, 24, 32, 48, 64, 96, 128, 256, 512};
constexpr std::string_view kReserved = " \t\n\"'\\><~|&;$*?#()`";
constexpr const char* kWriteFailed = "Položku v nabídce aplikací se nepodařilo zapsat.";
constexpr const char* kRemoveFailed = "Položku v nabídce aplikací se nepodařilo odstranit.";

bool hasControlCharacter(std::string_view text) {
  return std::ranges::any_of(text, [](unsigned char c) { return c < 0x20 || c == 0x7f; });
}

// The escapes of a string value: backslash, line breaks, tabs, a leading space.
std::string escapedValue(std::string_view text) {
  std::string value;
  for (const char c : text) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      default:
        value += c;
    }
  }
  return value.starts_with(' ') ? "\\s" + value.substr(1) : value;
}

std::string quotedArgument(std::string_view argument) {
  const bool plain =
      !argument.empty() && argument.find_first_of(kReserved) == std::string_view::npos;
  std::string quoted = plain ? "" : "\"";
  for (const char c : argument) {
    if (!plain && (c == '"' || c == '`' || c == '$' || c == '\\')) {
      quoted += '\\';
    }
    quoted += c == '%' ? "%%" : std::string(1, c);
  }
  return plain ? quoted : quoted + "\"";
}

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

std::optional<std::string> execValue(const std::vector<std::string>& command) {
  if (command.empty() || command.front().empty()) {
    return std::nullopt;
  }
  std::string line;
  for (const std::string& argument : command) {
    if (hasControlCharacter(argument)) {
      return std::nullopt;
    }
    line += (line.empty() ? "" : " ") + quotedArgument(argument);
  }
  return escapedValue(line);
}

std::optional<std::string> desktopEntryText(const EntryFields& fields) {
  const auto exec = execValue(fields.command);
  if (!exec) {
    return std::nullopt;
  }
  std::string text = "[Desktop Entry]\nType=Application\n";
  text += "Name=" + escapedValue(fields.name.empty() ? fields.id : fields.name) + "\n";
  if (!fields.comment.empty()) {
    text += "Comment=" + escapedValue(fields.comment) + "\n";
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

std::string DesktopEntries::iconName(const std::string& id) { return "cz.tobranix.kelvoma." + id; }

std::string DesktopEntries::iconPath(const std::string& id, const EntryIcon& icon) const {
  const std::string folder = icon.svg ? "scalable" : sizeFolder(pngWidth(icon.bytes));
  return dataHome_ + "/icons/hicolor/" + folder + "/apps/" + iconName(id) +
         (icon.svg ? ".svg" : ".png");
}

std::vector<std::string> DesktopEntries::iconPaths(const std::string& id) const {
  std::vector<std::string> paths{dataHome_ + "/icons/hicolor/scalable/apps/" + iconName(id) +
                                 ".svg"};
  for (const int size : kIconSizes) {
    paths.push_back(dataHome_ + "/icons/hicolor/" + sizeFolder(static_cast<std::uint32_t>(size)) +
                    "/apps/" + iconName(id) + ".png");
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
    return std::unexpected(kWriteFailed);
  }
  const std::string iconAt = iconPath(fields.id, icon);
  for (const std::string& other : iconPaths(fields.id)) {
    if (other != iconAt) {
      unlink(other.c_str());  // an icon of another size or kind from before
    }
  }
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
  return {};
}

std::expected<void, std::string> DesktopEntries::withdraw(const std::string& id) const {
  bool removed = true;
  if (!holdsUserFile(id) && unlink(entryPath(id).c_str()) != 0 && errno != ENOENT) {
    removed = false;
  }
  for (const std::string& icon : iconPaths(id)) {
    if (unlink(icon.c_str()) != 0 && errno != ENOENT) {
      removed = false;
    }
  }
  return removed ? std::expected<void, std::string>{} : std::unexpected(kRemoveFailed);
}

}  // namespace kelvoma::app::system
