// Property lists (XML or binary) read into documents.
#pragma once

#include <optional>
#include <string>

#include "document.h"

namespace kelvoma::app::system {

// The property list in the file at path, any top-level kind; nothing when the
// file cannot be read or is no property list. Strings, integers, reals,
// booleans, arrays and dictionaries are kept; dates and data become null.
std::optional<Document> readPropertyList(const std::string& path);

// The Contents/Info.plist of the bundle at bundlePath, read as above.
std::optional<Document> readBundleInfo(const std::string& bundlePath);

// The same for bytes already in memory.
std::optional<Document> parsePropertyList(const std::string& bytes);

}  // namespace kelvoma::app::system
