// The adoption the explorer records: the user points Kelvoma at a copy of
// the tool elsewhere on the disk, and the program's own settings store
// (QSettings behind the user defaults) writes the copy's path and the
// tool's switch into the settings file, in a configuration folder that also
// holds another program's settings. It is the only thing an adoption
// changes on the disk.
#pragma once

#include <string>

#include "verdict.h"

namespace kelvoma::crash {

inline constexpr const char* settings_folder = ".config";
inline constexpr const char* settings_file = "cz.tobranix.tools-manager.ini";

// Writes the configuration folder before the adoption into `config`.
bool prepare_settings(const std::string& config);

// The recorded child: the adoption's two writes into HOME's settings.
[[noreturn]] void run_adoption(const char* home);

// The folder as the settings are read: files by their contents, without
// their mode (Qt's store flushes a new file with fdatasync, which leaves the
// mode it copies from the old file unflushed: at worst the file comes back
// readable by its owner alone), and without what the store leaves beside a
// file after a cut: its lock (taken as stale by the next write, whose
// process is gone) and the temporary name the new file had before its
// rename (a few bytes nobody reads).
Listing as_settings_read(const Listing& listing);

}  // namespace kelvoma::crash
