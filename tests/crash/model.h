// What a power cut may leave of a recorded update: the crash states a
// persistence model allows at each point between operations.
//
// The model of ext4 with data=ordered (Debian's default), "ordered":
//  - A barrier makes what came before it durable: fsync of a file its data,
//    size and mode, but not its name (that is an entry of its folder, made
//    durable by the folder's fsync); fsync of a folder the entries made,
//    renamed or removed in it; fdatasync a file's data and size (and an
//    unnamed file's inode, which reading it back needs), not its mode;
//    syncfs and sync everything.
//  - Metadata operations (create, mkdir, symlink, link, rename, unlink,
//    rmdir, chmod, truncate) reach the journal in the order they were made:
//    those that persist form a prefix of the trace, and that prefix reaches
//    at least to the last one a barrier made durable.
//  - A file's data written after its last barrier may be missing although
//    its name and size persisted: the file holds all of it, or zeros where
//    it was written (size kept), or only what was durable (shorter). Files
//    may differ in this within one state.
// ext4 gives more than this (an fsync commits the whole journal, and
// replacing a file by rename flushes its data); the model does not count on
// it, so every state it allows is one ext4 can leave or a harsher one.
//
// The stricter mode, "any-subset": metadata operations that no barrier made
// durable persist in any subset, not only as a prefix. A state that fails
// here but not under "ordered" shows where the update relies on the
// journal's order rather than on its own barriers. An operation whose
// folder did not persist cannot persist either (it is skipped on replay).
//
// Crash points are 0..K (K operations issued before the cut). Each point
// has its candidate states: the metadata choices times the data choices
// (kept, zeros, shorter, mixed per file; only "kept" where no data is at
// risk). Ordered: every prefix end where there are at most 8, else the
// shortest and the longest, every end within 16 operations of a rename,
// link or barrier, and 6 others drawn. Any-subset: every subset of up to 6
// free operations, else none, all and 6 drawn subsets. A state's id
// ("o" or "a", the crash point, ".", its place among the point's
// candidates) names it for a given seed. All candidates are explored when
// they fit the budget; past it the last point's candidates take up to a
// quarter of it (they hold what was reported; the one that keeps the least
// always), those of the points next to
// a rename, link or barrier up to half, and the rest is sampled, all with
// the seed.
//
// A run reports its outcome once everything was issued; from its last
// barrier on (`reported_from`) a crash must not take that outcome back.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace.h"

namespace kelvoma::crash {

enum class Model { ordered, any_subset };
enum class DataLoss { kept, zeros, shorter, mixed };

struct CrashState {
  std::size_t crash_point = 0;   // ops [0, crash_point) were issued
  std::size_t metadata_end = 0;  // ordered: metadata below it persisted
  bool exact_subset = false;     // any-subset: `choice` holds one bit per free op
  std::uint64_t choice = 0;      // any-subset: else 0 none, 1 all, a seed
  DataLoss data = DataLoss::kept;
  std::uint64_t data_seed = 0;
  std::size_t candidate = 0;  // its place among the point's candidates
  bool reported = false;      // past the last barrier
};

// What persisted of the ops below the crash point.
struct Persisted {
  std::vector<bool> metadata{};  // per op: a metadata op persisted
  std::vector<bool> durable{};   // per op: a write's data is on disk for sure
};

class Persistence {
 public:
  explicit Persistence(const std::vector<Op>& ops);

  // The index of the first barrier that makes ops[index] durable, or the
  // number of ops when none does.
  std::size_t durable_from(std::size_t index) const { return durable_from_[index]; }
  // One past the last barrier, or the number of ops when there is none.
  std::size_t reported_from() const { return reported_from_; }

  // The states to explore: all candidates when they fit the budget, else
  // a sample of `budget`; `total` tells how many candidates there were.
  std::vector<CrashState> states(Model model, std::size_t budget, std::uint64_t seed,
                                 std::size_t* total = nullptr) const;
  Persisted persisted(const CrashState& state, Model model) const;
  // How a file's data that is not durable fared in `state`.
  DataLoss loss_of(const CrashState& state, int inode) const;

  std::string describe_state(const CrashState& state, Model model) const;
  std::string state_id(const CrashState& state, Model model) const;
  // The candidate at `crash_point` where everything issued persisted, data
  // and all.
  std::optional<CrashState> everything_persisted(std::size_t crash_point, Model model,
                                                 std::uint64_t seed) const;
  // The state an id names, for the same seed; nullopt for none.
  std::optional<CrashState> state_by_id(std::string_view id, Model model, std::uint64_t seed) const;

 private:
  std::size_t floor_at(std::size_t crash_point) const;
  std::vector<std::size_t> free_metadata(std::size_t crash_point) const;
  std::vector<CrashState> candidates(std::size_t crash_point, Model model,
                                     std::uint64_t seed) const;
  bool is_key_point(std::size_t crash_point) const;
  bool near_key(std::size_t end) const;

  const std::vector<Op>& ops_;
  std::vector<std::size_t> durable_from_{};
  std::size_t reported_from_ = 0;
};

const char* model_name(Model model);
char state_letter(Model model);

}  // namespace kelvoma::crash
