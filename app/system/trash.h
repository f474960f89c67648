// The freedesktop trash: a bundle moved into the trash of its own file
// system, by one rename and never by copying, and put back from there.
//
// The ".trashinfo" is written (and flushed) before the rename and removed
// when the rename fails, so a kill at any step leaves the bundle either at
// its place or in the trash with its record; at worst a record without its
// item, which trash managers disregard.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "platform.h"

namespace kelvoma::app::system {

struct TrashPlaces {
  std::string dataHome;  // $XDG_DATA_HOME: the home trash is its "Trash"
  unsigned uid = 0;
};

// The home trash when path lies on the file system of dataHome; otherwise
// "$topdir/.Trash/$uid" (when .Trash is a real sticky folder) or
// "$topdir/.Trash-$uid" of path's own file system. Refused, with nothing
// moved, when none of those can take it.
std::expected<TrashedBundle, std::string> moveToTrash(const std::string& path,
                                                      const TrashPlaces& places);

// What the trashes hold that came from originalPath: the home trash and
// those of originalPath's own file system, by their records ("Path="), the
// newest deletion first. Each with the device and inode of what lies in the
// trash under that record now; records without their item are left out.
std::vector<TrashedBundle> trashedFrom(const std::string& originalPath, const TrashPlaces& places);

// Renames the item back when nothing stands at its original place, then
// removes its record.
std::expected<void, std::string> putBack(const TrashedBundle& item);

}  // namespace kelvoma::app::system
