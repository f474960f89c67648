#include "tool_place.h"

namespace kelvoma::app {

std::string applicationPathKey(const Tool& tool) { return "applicationPath." + tool.id; }

std::string announcedBuildKey(const Tool& tool) { return "announcedBuild." + tool.id; }

std::optional<LocatedCopy> locateCopy(const Tool& tool,
                                      const std::optional<std::string>& remembered,
                                      const std::string& home,
                                      const std::function<Document(const std::string&)>& infoOf) {
  std::vector<std::string> places;
  if (remembered && !remembered->empty()) {
    places.push_back(*remembered);
  }
  places.push_back("/Applications/" + tool.bundleName);
  places.push_back(home + "/Applications/" + tool.bundleName);
  for (std::string& place : places) {
    Document info = infoOf(place);
    if (textOf(info, "CFBundleIdentifier") == tool.bundleId) {
      return LocatedCopy{.path = std::move(place), .info = std::move(info)};
    }
  }
  return std::nullopt;
}

std::string installationTarget(const Tool& tool, const std::optional<std::string>& copyPath,
                               bool systemFolderWritable, const std::string& home) {
  if (copyPath) {
    return *copyPath;
  }
  return (systemFolderWritable ? std::string("/Applications") : home + "/Applications") + "/" +
         tool.bundleName;
}

std::vector<RunningApplication> instancesOf(
    const std::vector<RunningApplication>& running, const Tool& tool, const std::string& path,
    const std::function<std::string(const std::string&)>& resolve,
    const std::function<bool(const RunningApplication&)>& terminated) {
  std::vector<RunningApplication> instances;
  std::optional<std::string> resolvedPath;
  for (const RunningApplication& application : running) {
    if (application.bundleIdentifier != tool.bundleId) {
      continue;
    }
    if (!resolvedPath) {
      resolvedPath = resolve(path);
    }
    if (resolve(application.bundlePath) == *resolvedPath && !terminated(application)) {
      instances.push_back(application);
    }
  }
  return instances;
}

}  // namespace kelvoma::app
