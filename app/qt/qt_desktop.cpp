#include "qt_desktop.h"

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

std::expected<void, std::string> QtDesktop::publishEntry(const std::string& id,
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
