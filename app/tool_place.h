// Where a tool's installed copy is, and the settings keys that remember
// things about a tool. Shared by every front end, so that the window and the
// terminal program find the same copy and read the same keys.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core_answers.h"
#include "document.h"
#include "platform.h"

namespace kelvoma::app {

// The path the user chose for the tool's copy.
std::string applicationPathKey(const Tool& tool);
// The build last announced for a tool, forgotten once a version is installed.
std::string announcedBuildKey(const Tool& tool);

struct LocatedCopy {
  std::string path;
  Document info;
};

// The installed copy and its Info.plist, found in the order: the remembered
// path, /Applications, the home folder's Applications. A place counts only
// when its Info.plist names the tool's bundle identifier; a remembered path
// that now holds another bundle is passed over, not erased. infoOf reads a
// bundle's Info.plist (an empty dictionary when there is none).
std::optional<LocatedCopy> locateCopy(const Tool& tool,
                                      const std::optional<std::string>& remembered,
                                      const std::string& home,
                                      const std::function<Document(const std::string&)>& infoOf);

// Where an installation puts the tool: over its copy, else in /Applications
// when that may be written, else in the home folder's Applications.
std::string installationTarget(const Tool& tool, const std::optional<std::string>& copyPath,
                               bool systemFolderWritable, const std::string& home);

// The processes among `running` that run the copy at `path`: the tool's
// identifier, the same bundle after symbolic links, not ended.
std::vector<RunningApplication> instancesOf(
    const std::vector<RunningApplication>& running, const Tool& tool, const std::string& path,
    const std::function<std::string(const std::string&)>& resolve,
    const std::function<bool(const RunningApplication&)>& terminated);

}  // namespace kelvoma::app
