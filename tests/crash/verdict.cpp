#include "verdict.h"

#include <vector>

namespace kelvoma::crash {
namespace {

constexpr std::string_view work_prefix = ".kelvoma-install-";

std::string first_difference(const Listing& got, const Listing& want) {
  for (const auto& [path, item] : want) {
    const auto found = got.find(path);
    if (found == got.end()) return "\"" + path + "\" is missing";
    if (found->second != item) return "\"" + path + "\" is " + found->second + ", not " + item;
  }
  for (const auto& [path, item] : got) {
    if (!want.contains(path)) return "\"" + path + "\" is extra";
  }
  return "";
}

}  // namespace

// Before a first installation the old state is nothing at the target.
Copy copy_at(const Listing& bundle, const Expected& expected) {
  if (bundle == expected.old_bundle) return Copy::old_bundle;
  if (bundle == expected.new_bundle) return Copy::new_bundle;
  return bundle.empty() ? Copy::missing : Copy::other;
}

std::string copy_name(Copy copy) {
  static const char* const names[] = {"1.0.0", "2.0.0", "nothing", "something else"};
  return names[static_cast<int>(copy)];
}

Listing below(const Listing& listing, const std::string& prefix) {
  Listing inside;
  for (auto it = listing.lower_bound(prefix); it != listing.end(); ++it) {
    if (it->first == prefix) {
      inside[""] = it->second;
    } else if (it->first.starts_with(prefix + "/")) {
      inside[it->first.substr(prefix.size() + 1)] = it->second;
    } else if (!it->first.starts_with(prefix)) {
      break;
    }
  }
  return inside;
}

Judgement judge(const Listing& after, const Expected& expected, const std::string& target_name) {
  Judgement judgement;
  const Listing target = below(after, target_name);
  judgement.target = copy_at(target, expected);
  std::vector<std::string> work_folders;
  Listing rest;
  for (const auto& [path, item] : after) {
    const std::string top = path.substr(0, path.find('/'));
    if (top.starts_with(work_prefix)) {
      if (path == top) work_folders.push_back(top);
    } else if (top != target_name) {
      rest[path] = item;
    }
  }
  bool copy_kept = false;
  for (const std::string& folder : work_folders) {
    copy_kept = copy_kept || below(after, folder + "/previous.app") == expected.old_bundle;
  }
  const bool whole = judgement.target == Copy::old_bundle || judgement.target == Copy::new_bundle;
  if (rest != expected.others) {
    judgement.verdict = Verdict::neither;
    judgement.detail = "beside the target: " + first_difference(rest, expected.others);
  } else if (!whole) {
    judgement.verdict = copy_kept ? Verdict::neither : Verdict::lost;
    judgement.detail = judgement.target == Copy::missing
                           ? "nothing at the target"
                           : "the target: " + first_difference(target, expected.new_bundle) +
                                 " (against 2.0.0), " +
                                 first_difference(target, expected.old_bundle) + " (against 1.0.0)";
  } else if (!work_folders.empty()) {
    judgement.verdict = Verdict::stranded;
    judgement.detail = "work folder left: " + work_folders.front();
  }
  return judgement;
}

}  // namespace kelvoma::crash
