#include "bundle_watch.h"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>

#include "kelvoma/bundle_program.h"

namespace kelvoma::app::system {

BundleWatch::BundleWatch() : fd_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (fd_ < 0) {
    fail("inotify_init1", errno);
  }
}

BundleWatch::~BundleWatch() {
  if (fd_ >= 0) {
    close(fd_);
  }
}

void BundleWatch::fail(const char* what, int error) {
  failure_ = std::string("Kelvoma: složky nástrojů nelze sledovat (") + what + ": " +
             std::strerror(error) + " (os error " + std::to_string(error) +
             ")), běžící nástroje hledám procházením všech procesů.";
}

bool BundleWatch::arm(const std::vector<std::string>& bundlePaths) {
  if (failure_) {
    return false;
  }
  std::map<std::string, int> armed;
  for (const std::string& bundle : bundlePaths) {
    // Where a program of this processor lies: the folder of programs, or its
    // processor's folder in a universal bundle (an open of a file below a
    // watched folder is no event of that folder).
    const std::string programs = bundle + "/" + std::string(bundle_program::programs_folder);
    for (const std::string& folder :
         {programs, programs + "/" + std::string(bundle_program::this_processor)}) {
      // The same folder gives back the same watch; another one (a rename put
      // a new bundle in place) a new watch.
      const int watch = inotify_add_watch(fd_, folder.c_str(), IN_OPEN | IN_ONLYDIR);
      if (watch < 0 && errno != ENOENT && errno != ENOTDIR) {
        fail("inotify_add_watch", errno);
        return false;
      }
      armed.emplace(folder, watch);
    }
  }
  std::set<int> kept;
  for (const auto& [bundle, watch] : armed) {
    kept.insert(watch);
  }
  for (const auto& [bundle, watch] : watches_) {
    if (watch >= 0 && !kept.contains(watch)) {
      inotify_rm_watch(fd_, watch);
    }
  }
  const bool changed = armed != watches_;
  watches_ = std::move(armed);
  return changed;
}

bool BundleWatch::drain() {
  if (failure_) {
    return false;
  }
  alignas(inotify_event) char buffer[4096];
  bool any = false;
  while (read(fd_, buffer, sizeof buffer) > 0) {
    any = true;
  }
  return any;
}

}  // namespace kelvoma::app::system
