// Opens inside the tools' "Contents/MacOS" folders, learnt from inotify. An
// exec opens the executable, so a tool's start shows up here; so does a plain
// read of a file there, and the open comes before the exec has completed:
// an event says "look now and again soon", never which process it was.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace kelvoma::app::system {

class BundleWatch {
 public:
  BundleWatch();
  ~BundleWatch();
  BundleWatch(const BundleWatch&) = delete;
  BundleWatch& operator=(const BundleWatch&) = delete;

  // Why inotify cannot serve (no instance left, the watch limit reached), as
  // one line for standard error; nothing while it serves.
  const std::optional<std::string>& failure() const { return failure_; }

  // Watches the "Contents/MacOS" folder of each bundle and, for a universal
  // bundle, this processor's folder in it, resolved anew on every
  // call: a folder put in place, moved or replaced since the last call gets a
  // new watch. Whether the watched folders differ from the last call's (the
  // processes they hold are then unknown). A bundle without that folder has
  // nothing that could run; it is watched once the folder appears.
  bool arm(const std::vector<std::string>& bundlePaths);

  // Whether anything was opened in a watched folder (or events were lost)
  // since the last call. Never blocks.
  bool drain();

 private:
  void fail(const char* what, int error);

  int fd_ = -1;
  std::map<std::string, int> watches_;  // folder path -> watch (-1: no folder)
  std::optional<std::string> failure_;
};

}  // namespace kelvoma::app::system
