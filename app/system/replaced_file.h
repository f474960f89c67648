// Files written whole beside their place and renamed over it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

namespace kelvoma::app::system {

// The regular file at path, opened without following a link there, when it
// holds at most limit bytes.
std::optional<std::string> readRegularFile(const std::string& path, std::size_t limit);
// The same for name in the open folder.
std::optional<std::string> readRegularFileAt(int folder, const std::string& name,
                                             std::size_t limit);

// Puts bytes at path (mode 0644), creating its folder: written to a fresh
// temporary file in that folder, flushed, and renamed over whatever is at
// path (a link there is replaced, not followed), then the folder flushed, so
// that once it returns a power cut leaves the new file. On any failure
// nothing new is left and path is as it was. Whether it worked.
bool replaceFile(const std::string& path, const std::string& bytes);

// Makes the names in folder durable: a rename there may be undone by a
// power cut until the folder itself is flushed.
void flushFolder(const std::string& folder);

}  // namespace kelvoma::app::system
