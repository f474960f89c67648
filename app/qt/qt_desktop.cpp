#include "qt_desktop.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QFile>

#include "system/trash.h"

namespace kelvoma::app::qt {
namespace {

// The catalog's symbol as the icon of a bundle that brings none.
system::EntryIcon symbolIcon(const std::string& symbol) {
  QFile file(QString::fromStdString(":/symbols/" + symbol + ".svg"));
  if (!file.open(QIODevice::ReadOnly)) {
    file.setFileName(QStringLiteral(":/symbols/square.stack.3d.up.svg"));
    file.open(QIODevice::ReadOnly);
  }
  return {.bytes = file.readAll().toStdString(), .svg = true};
}

}  // namespace

// Entries that earlier builds wrote under other names go at start, so that the
// menu never shows a tool twice.
QtDesktop::QtDesktop(std::string dataHome) : dataHome_(std::move(dataHome)), entries_(dataHome_) {
  entries_.removeRenamedEntries();
}

QtDesktop::Published QtDesktop::lookAt(const std::string& id,
                                       const std::optional<ToolEntry>& entry) const {
  std::vector<std::string> places = entries_.placesOf(id);
  if (entry && !entry->iconFile.empty()) {
    const std::string resources = entry->bundlePath + "/Contents/Resources/" + entry->iconFile;
    places.insert(places.end(), {resources, resources + ".png", resources + ".svg"});
  }
  Published seen{.entry = entry, .files = {}};
  for (const std::string& place : places) {
    struct stat status {};
    if (lstat(place.c_str(), &status) != 0) {
      status = {};
    }
    seen.files.emplace_back(status.st_dev, status.st_ino, status.st_size,
                            status.st_mtim.tv_sec * 1'000'000'000LL + status.st_mtim.tv_nsec);
  }
  return seen;
}

// The files are compared with what they should hold only when the entry or
// one of its files changed since it was last written.
std::expected<void, std::string> QtDesktop::publishEntry(const std::string& id,
                                                         const std::optional<ToolEntry>& entry) {
  const auto last = published_.find(id);
  if (last != published_.end() && last->second == lookAt(id, entry)) {
    return {};
  }
  auto written = write(id, entry);
  if (written) {
    published_.insert_or_assign(id, lookAt(id, entry));
  } else {
    published_.erase(id);
  }
  return written;
}

std::expected<void, std::string> QtDesktop::write(const std::string& id,
                                                  const std::optional<ToolEntry>& entry) {
  if (!entry) {
    return entries_.withdraw(id);
  }
  const auto icon = system::bundleIcon(entry->bundlePath, entry->iconFile);
  return entries_.publish({.id = id,
                           .name = entry->name,
                           .comment = entry->comment,
                           .command = entry->command,
                           .iconName = system::DesktopEntries::iconName(id)},
                          icon.value_or(symbolIcon(entry->symbol)));
}

std::expected<TrashedBundle, std::string> QtDesktop::moveToTrash(const std::string& bundlePath) {
  return system::moveToTrash(bundlePath, {.dataHome = dataHome_, .uid = getuid()});
}

std::expected<void, std::string> QtDesktop::putBack(const TrashedBundle& bundle) {
  return system::putBack(bundle);
}

}  // namespace kelvoma::app::qt
