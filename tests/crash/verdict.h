// The judgement of an Applications folder after a crash state went through
// the start-up recovery: did the tool survive as one whole bundle, old or
// new, with nothing else changed and nothing left behind?
#pragma once

#include <map>
#include <string>

namespace kelvoma::crash {

// A tree's listing (see Tree::listing): path -> type, mode, contents.
using Listing = std::map<std::string, std::string>;

enum class Verdict {
  whole,        // the old or the new bundle at the target, no work folder left
  lost,         // no complete copy of the tool anywhere
  neither,      // the target is not the old or the new bundle (a complete
                // copy survives in a work folder), or something else changed
  stranded,     // the tool is whole but a work folder stayed that the keep
                // rule does not ask for, or the next installation failed
  lost_update,  // past the run's last barrier the target did not hold what
                // the run reported (before any recovery)
};

enum class Copy { old_bundle, new_bundle, missing, other };

struct Expected {
  Listing old_bundle{};  // below the bundle; empty before a first installation
  Listing new_bundle{};
  Listing others{};  // the folder without the target and work folders
};

struct Judgement {
  Verdict verdict = Verdict::whole;
  Copy target = Copy::missing;
  std::string detail{};
};

// Which bundle a listing below the target is.
Copy copy_at(const Listing& bundle, const Expected& expected);
std::string copy_name(Copy copy);

// Entries below `prefix`, keyed relative to it ("" for `prefix` itself).
Listing below(const Listing& listing, const std::string& prefix);

// The keep rule: a work folder stays only while its "previous.app" is the
// only copy and something other than the tool stands at the target; then
// that copy must be the whole old bundle.
Judgement judge(const Listing& after, const Expected& expected, const std::string& target_name);

}  // namespace kelvoma::crash
