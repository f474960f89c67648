// What installations that crashed left beside a target, put back or
// cleared away before the next one starts.
#pragma once

#include <expected>
#include <string>

namespace kelvoma {

// Looks at the ".kelvoma-install-" folders (real folders, never symbolic
// links) in the parent of `target`; nothing else there is touched, and a
// folder whose owning call still runs (it holds the folder's flock) is left
// alone, as is every folder whose record names another machine (it cannot
// be known whether that installation still runs; that machine's next
// recovery judges it). Folders of this host (of this boot or an earlier
// one), of this boot (under a host name since changed), and those without
// a complete record are judged. For an abandoned
// folder:
//   - without a "previous.app" (a throw-away "discarded.app" included): it
//     is removed;
//   - whose "previous.app" carries `bundle_id` while nothing at all is at
//     `target`: that copy goes back to the target (an exclusive rename,
//     made durable) and the folder is removed;
//   - whose "previous.app" carries `bundle_id` while `target` holds this
//     tool's bundle (a real folder, not that same backup by device and
//     inode, whose Info.plist is reached without any symbolic link below
//     it): the backup is renamed to the throw-away name, then the folder
//     is removed;
//   - in every other case it stays: a symbolic link or anything else at the
//     target, a copy that cannot go back, a "previous.app" of another
//     application. Each may be somebody's only copy.
// Identities are read through descriptors, never through a symbolic link
// below the bundle. Only the very "previous.app" that was judged (by device
// and inode) is moved or removed, and a folder judged without one stays
// when one has appeared since.
// Removal never follows a symbolic link. Best effort and silent: failures
// leave things as they were. Where the parent's flock cannot be had within
// a short bounded retry (another call is creating its folder, no lock
// record is free, or the file system has no directory locks) nothing is done and
// the caller goes on. Returns whether a copy was put back at the target.
bool recover_abandoned_installations(const std::string& target, const std::string& bundle_id);

// The recovery above for the catalog tool `id` (read as a C argument: NULL
// or invalid UTF-8 as empty) beside both targets an installation of it
// would accept: "/Applications" and `home`'s "Applications" (`home` as the
// installation reads "HOME"). No network. Whether a copy was put back, or
// "Neznámý nástroj." / "Chybí domovský adresář.".
std::expected<bool, std::string> recover_tool(const char* id, const char* home);

}  // namespace kelvoma
