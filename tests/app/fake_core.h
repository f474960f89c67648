// A core that answers from tables, counting the texts it hands out and gets back.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "core.h"

namespace kelvoma::app::testing {

// The three fixture tools, as the core's catalog document writes them.
std::string threeToolCatalog();

struct CheckCall {
  std::string id;
  std::string osVersion;
  std::uint64_t installedBuild;
};

struct InstallCall {
  std::string id;
  std::string targetPath;
  std::string osVersion;
  std::int32_t stopResult;  // what the stop callback answered, when it was called
};

class FakeCore {
 public:
  std::string catalog = threeToolCatalog();
  std::map<std::string, std::string> checkAnswers;    // by tool id; default: a failed check
  std::map<std::string, std::string> installAnswers;  // by tool id
  bool installCallsStop = false;
  bool catalogReturnsNull = false;
  bool recovers = false;                                 // offers start-up recovery
  std::map<std::string, std::string> recoverAnswers;     // by tool id; default: nothing put back
  std::function<void(const std::string& id)> onRecover;  // what recovering does on the disk
  // Release notes by tool id, answered for build 9 only (others: an error);
  // each request recorded as "build version".
  std::map<std::string, std::string> notesAnswers;
  std::vector<std::string> notesCalls;
  // Progress: whether the core offers installWithProgress, the reports an
  // installation makes, and what happens after each (on the installing thread).
  bool reportsProgress = true;
  struct Report {
    std::int32_t phase;
    std::uint64_t done, total;
  };
  std::vector<Report> progressReports;
  std::function<void()> afterReport;

  // What an installation does on the disk, and its answer; default: the
  // answer from installAnswers, the disk unchanged.
  std::function<std::string(const InstallCall& call)> onInstall;

  std::vector<CheckCall> checks;
  std::vector<InstallCall> installs;
  std::vector<std::string> recoveries;

  Core core();
  // Texts handed out and not yet freed; texts freed twice or never handed out.
  std::size_t outstanding() const;
  int badFrees() const { return badFrees_; }
  int frees() const { return frees_; }

 private:
  char* handOut(const std::string& text);
  void take(char* text);

  mutable std::mutex mutex_;
  std::set<char*> live_;
  int badFrees_ = 0;
  int frees_ = 0;
};

}  // namespace kelvoma::app::testing
