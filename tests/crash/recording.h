// One run of this program's own child (an update, a recovery) recorded
// under strace (see trace.h for why): its operations below an Applications
// folder, the tree before it, and what the folder may hold afterwards.
#pragma once

#include <expected>
#include <string>
#include <vector>

#include "trace.h"
#include "tree.h"
#include "verdict.h"

namespace kelvoma::crash {

inline constexpr unsigned recorded_umask = 022;

struct Recording {
  Tree before;
  std::vector<Op> ops{};
  Expected expected{};
  Copy reported = Copy::new_bundle;           // what the run left at the target
  std::string target_name{};                  // below the recorded folder
  std::string folder = "Applications";        // the recorded folder, below HOME
  Listing (*seen)(const Listing&) = nullptr;  // the folder as it is read, if not as it is

  // An installation's run (one that writes a file outside the Applications
  // folder is seen as its folder is read): a next one and recovery's own cut
  // follow.
  bool installs() const { return seen == nullptr; }
};

// The bytes of a file as it was on disk when its tree was loaded.
std::string base_bytes(const Node& node);

// Runs this program with `arguments` under strace and reads the operations
// below `applications`; the trace replayed on `before` must give the folder
// the run left, or it fails: a recorder that missed a call cannot pass.
// `expected` describes the bundles; the copy the run left at `target_name`
// becomes the recording's report.
std::expected<Recording, std::string> record_run(const std::vector<std::string>& arguments,
                                                 const std::string& applications, Tree before,
                                                 Expected expected, const std::string& target_name);

// A barrier's place: its kind and, after "@", the path it names below the
// root ("fsync@" is the Applications folder itself).
std::string place_of(const Op& barrier);

// Takes out the barriers `what` names: a kind ("fsync") or a place
// ("fsync@"); how many went.
std::size_t drop_barriers(std::vector<Op>& ops, const std::string& what);

}  // namespace kelvoma::crash
