#include "model.h"

#include <algorithm>
#include <random>
#include <sstream>

namespace kelvoma::crash {
namespace {

constexpr std::size_t max_prefixes = 8;
constexpr std::size_t max_exact_free = 6;
constexpr std::uint64_t random_subsets = 6;
constexpr std::size_t prefix_window = 16;

std::uint64_t mix(std::uint64_t seed, std::uint64_t value) {
  std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + value + 0x632BE59BD9B4E019ull;
  x ^= x >> 31;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 29;
  return x;
}

// What an fsync of `inode` makes durable of `op`: the entries made,
// renamed or removed in that folder, and the file's own data, size and
// mode; never its name, which lives in its folder.
bool concerns(const Op& op, int inode) {
  const bool about_itself = op.kind == OpKind::write || op.kind == OpKind::truncate ||
                            op.kind == OpKind::chmod || op.kind == OpKind::anonymous;
  return (about_itself && op.inode == inode) ||
         std::find(op.folders.begin(), op.folders.end(), inode) != op.folders.end();
}

bool is_key(const Op& op) {
  return op.kind == OpKind::rename || op.kind == OpKind::link || is_barrier(op.kind);
}

// Whether the barrier `barrier` makes `op` durable.
bool covers(const Op& barrier, const Op& op) {
  switch (barrier.kind) {
    case OpKind::syncfs:
    case OpKind::sync:
      return true;
    case OpKind::fsync:
      return concerns(op, barrier.inode);
    case OpKind::fdatasync:
      // The data, and the unnamed file's inode that reading it back needs;
      // not a mode changed.
      return op.inode == barrier.inode &&
             (op.kind == OpKind::write || op.kind == OpKind::truncate ||
              op.kind == OpKind::anonymous);
    default:
      return false;
  }
}

}  // namespace

char state_letter(Model model) { return model == Model::ordered ? 'o' : 'a'; }

const char* model_name(Model model) {
  return model == Model::ordered ? "ext4 data=ordered" : "any-subset metadata";
}

Persistence::Persistence(const std::vector<Op>& ops)
    : ops_(ops), durable_from_(ops.size(), ops.size()), reported_from_(ops.size()) {
  for (std::size_t b = 0; b < ops.size(); ++b) {
    if (!is_barrier(ops[b].kind)) continue;
    reported_from_ = b + 1;
    for (std::size_t j = 0; j < b; ++j) {
      if (durable_from_[j] == ops.size() && !is_barrier(ops[j].kind) && covers(ops[b], ops[j])) {
        durable_from_[j] = b;
      }
    }
  }
}

// One past the last metadata op below the crash point that a barrier made
// durable: the shortest prefix the journal can hold.
std::size_t Persistence::floor_at(std::size_t crash_point) const {
  std::size_t floor = 0;
  for (std::size_t j = 0; j < crash_point; ++j) {
    if (is_metadata(ops_[j].kind) && durable_from_[j] < crash_point) floor = j + 1;
  }
  return floor;
}

std::vector<std::size_t> Persistence::free_metadata(std::size_t crash_point) const {
  std::vector<std::size_t> free;
  for (std::size_t j = 0; j < crash_point; ++j) {
    if (is_metadata(ops_[j].kind) && durable_from_[j] >= crash_point) free.push_back(j);
  }
  return free;
}

std::vector<CrashState> Persistence::candidates(std::size_t crash_point, Model model,
                                                std::uint64_t seed) const {
  std::vector<CrashState> metadata;
  const auto free = free_metadata(crash_point);
  if (model == Model::ordered) {
    const std::size_t floor = floor_at(crash_point);
    std::vector<std::size_t> ends = {floor};
    for (const std::size_t j : free) {
      if (j >= floor) ends.push_back(j + 1);
    }
    if (ends.size() > max_prefixes) {
      std::vector<std::size_t> picked = {ends.front(), ends.back()};
      std::vector<std::size_t> far;
      for (auto end = ends.begin() + 1; end + 1 != ends.end(); ++end) {
        (near_key(*end) ? picked : far).push_back(*end);
      }
      std::sample(far.begin(), far.end(), std::back_inserter(picked), max_prefixes - 2,
                  std::mt19937_64(mix(seed, crash_point)));
      std::sort(picked.begin(), picked.end());
      ends = std::move(picked);
    }
    for (const std::size_t end : ends) {
      metadata.push_back({.crash_point = crash_point, .metadata_end = end});
    }
  } else if (free.size() <= max_exact_free) {
    for (std::uint64_t bits = 0; bits < (1ull << free.size()); ++bits) {
      metadata.push_back({.crash_point = crash_point, .exact_subset = true, .choice = bits});
    }
  } else {
    for (std::uint64_t choice = 0; choice < 2 + random_subsets; ++choice) {
      metadata.push_back({.crash_point = crash_point,
                          .choice = choice < 2 ? choice : mix(seed, crash_point * 16 + choice)});
    }
  }
  bool data_at_risk = false;
  for (std::size_t j = 0; j < crash_point && !data_at_risk; ++j) {
    data_at_risk = ops_[j].kind == OpKind::write && durable_from_[j] >= crash_point;
  }
  std::vector<CrashState> all;
  for (CrashState& state : metadata) {
    state.reported = crash_point >= reported_from_;
    for (const DataLoss loss :
         {DataLoss::kept, DataLoss::zeros, DataLoss::shorter, DataLoss::mixed}) {
      if (loss != DataLoss::kept && !data_at_risk) break;
      CrashState with_data = state;
      with_data.data = loss;
      with_data.data_seed = mix(seed, all.size() * 7919 + crash_point);
      with_data.candidate = all.size();
      all.push_back(with_data);
    }
  }
  return all;
}

bool Persistence::is_key_point(std::size_t crash_point) const {
  return crash_point == 0 || crash_point == ops_.size() || is_key(ops_[crash_point - 1]) ||
         is_key(ops_[crash_point]);
}

bool Persistence::near_key(std::size_t end) const {
  const std::size_t from = end > prefix_window ? end - prefix_window : 0;
  const std::size_t to = std::min(ops_.size(), end + prefix_window);
  for (std::size_t j = from; j < to; ++j) {
    if (is_key(ops_[j])) return true;
  }
  return false;
}

std::optional<CrashState> Persistence::state_by_id(std::string_view id, Model model,
                                                   std::uint64_t seed) const {
  const std::string text(id);
  std::size_t point = 0;
  std::size_t candidate = 0;
  char letter = 0;
  char dot = 0;
  std::istringstream fields(text);
  if (!(fields >> letter >> point >> dot >> candidate) || dot != '.' ||
      letter != state_letter(model) || point > ops_.size()) {
    return std::nullopt;
  }
  const auto found = candidates(point, model, seed);
  if (candidate >= found.size()) return std::nullopt;
  return found[candidate];
}

std::optional<CrashState> Persistence::everything_persisted(std::size_t crash_point, Model model,
                                                            std::uint64_t seed) const {
  for (const CrashState& state : candidates(crash_point, model, seed)) {
    const Persisted persisted = this->persisted(state, model);
    bool all = state.data == DataLoss::kept;
    for (std::size_t j = 0; j < crash_point && all; ++j) {
      all = persisted.metadata[j] || !is_metadata(ops_[j].kind);
    }
    if (all) return state;
  }
  return std::nullopt;
}

std::string Persistence::state_id(const CrashState& state, Model model) const {
  return state_letter(model) + std::to_string(state.crash_point) + "." +
         std::to_string(state.candidate);
}

std::vector<CrashState> Persistence::states(Model model, std::size_t budget, std::uint64_t seed,
                                            std::size_t* total) const {
  std::vector<CrashState> key;
  std::vector<CrashState> other;
  std::vector<CrashState> chosen = candidates(ops_.size(), model, seed);
  for (std::size_t point = 0; point < ops_.size(); ++point) {
    auto found = candidates(point, model, seed);
    auto& into = is_key_point(point) ? key : other;
    into.insert(into.end(), found.begin(), found.end());
  }
  if (total != nullptr) *total = chosen.size() + key.size() + other.size();
  if (chosen.size() + key.size() + other.size() <= budget) {
    chosen.insert(chosen.end(), key.begin(), key.end());
    chosen.insert(chosen.end(), other.begin(), other.end());
    return chosen;
  }
  // The states after everything was issued first (up to a quarter of the
  // budget): they hold what was reported.
  std::mt19937_64 random(seed);
  const std::size_t last_share = std::max<std::size_t>(budget / 4, 1);
  if (chosen.size() > last_share) {
    // The first keeps the least: the shortest prefix, no free metadata.
    std::vector<CrashState> last = {chosen.front()};
    std::sample(chosen.begin() + 1, chosen.end(), std::back_inserter(last), last_share - 1, random);
    chosen = std::move(last);
  }
  budget = std::max(budget, chosen.size());
  std::sample(key.begin(), key.end(), std::back_inserter(chosen),
              std::min(budget / 2, budget - chosen.size()), random);
  std::sample(other.begin(), other.end(), std::back_inserter(chosen), budget - chosen.size(),
              random);
  return chosen;
}

Persisted Persistence::persisted(const CrashState& state, Model model) const {
  Persisted result{.metadata = std::vector<bool>(state.crash_point, false),
                   .durable = std::vector<bool>(state.crash_point, false)};
  const auto free = free_metadata(state.crash_point);
  for (std::size_t j = 0; j < state.crash_point; ++j) {
    const bool forced = durable_from_[j] < state.crash_point;
    if (ops_[j].kind == OpKind::write) {
      result.durable[j] = forced;
    } else if (is_metadata(ops_[j].kind)) {
      result.metadata[j] = forced || (model == Model::ordered && j < state.metadata_end);
    }
  }
  if (model == Model::any_subset) {
    for (std::size_t i = 0; i < free.size(); ++i) {
      const bool chosen = state.exact_subset ? ((state.choice >> i) & 1) != 0
                          : state.choice < 2 ? state.choice == 1
                                             : (mix(state.choice, free[i]) & 1) != 0;
      result.metadata[free[i]] = chosen;
    }
  }
  return result;
}

DataLoss Persistence::loss_of(const CrashState& state, int inode) const {
  if (state.data != DataLoss::mixed) return state.data;
  return static_cast<DataLoss>(mix(state.data_seed, static_cast<std::uint64_t>(inode)) % 3);
}

std::string Persistence::describe_state(const CrashState& state, Model model) const {
  static const char* const losses[] = {"kept", "zeros", "shorter", "mixed"};
  std::ostringstream text;
  text << state_id(state, model) << ": crash after " << state.crash_point << " operations";
  if (state.crash_point > 0) text << " (last: " << describe(ops_[state.crash_point - 1]) << ")";
  if (model == Model::ordered) {
    text << ", metadata persisted up to operation " << state.metadata_end;
    if (state.metadata_end > 0 && state.metadata_end < state.crash_point) {
      text << " (" << describe(ops_[state.metadata_end - 1]) << ")";
    }
  } else {
    text << ", free metadata " << (state.exact_subset ? "bits " : "choice ") << state.choice;
  }
  text << ", data not synced: " << losses[static_cast<int>(state.data)];
  return text.str();
}

}  // namespace kelvoma::crash
