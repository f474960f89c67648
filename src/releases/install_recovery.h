// What installations that crashed left beside a target, put back or
// cleared away before the next one starts.
#pragma once

#include <string>

namespace kelvoma {

// Looks at the ".kelvoma-install-" folders (real folders, never symbolic
// links) in the parent of `target`; nothing else there is touched, and a
// folder whose owning call still runs (it holds the folder's flock) is left
// alone. An abandoned folder whose "previous.app" carries `bundle_id` while
// nothing is at `target` gives that copy back to the target (an exclusive
// rename, made durable) and is then removed; one whose copy cannot go back
// stays, and so does one whose "previous.app" is another application's
// (it may be that one's only copy). Every other abandoned folder is
// removed, without following symbolic links. Best effort and silent: failures leave things as they
// were, and while another call is creating its folder in the same parent
// nothing is done (the next installation looks again).
void recover_abandoned_installations(const std::string& target, const std::string& bundle_id);

}  // namespace kelvoma
