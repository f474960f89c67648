// Power loss during an install, explored: records real runs with strace
// (see recording.h) — the update of the fixture tool 1.0.0 to 2.0.0 from
// the local release host, the first installation of 2.0.0, the rollback of
// a 3.0.0 refused after unpacking, and two runs that write one file outside
// the Applications folder: an adoption (the settings file) and the login
// item switched on (the autostart entry; see file_runs.h, judged as their
// folder is read, with no installation after them and no recovery of their
// own to cut) — builds every crash state a
// persistence model allows (see model.h for the models) in a temporary
// folder from the tree before the run, runs the start-up recovery there as
// the application does (mini_recover for every catalog tool), and judges
// the folder (verdict.h): the old or the new bundle, byte for byte with
// modes and links, nothing else changed, no work folder left unless the
// keep rule wants it, and past the run's last barrier (it had answered by
// then) what it reported at the target both before recovery and after it:
// after an update, 2.0.0 as the fixture built it (the recorded update must
// leave exactly that), after the rollback 1.0.0. Where the tool
// is whole, a following mini_install must bring it to 2.0.0 (from 1.0.0 or
// nothing it installs; at 2.0.0 it answers that this version is
// installed); its outcome depends only on the folder, so it runs once per
// distinct folder.
//
// A second cut: in the states cut right after each rename, in one past the
// update's last barrier that left a work folder and in other explored
// states that left a work folder, the recovery itself is recorded, and its
// own crash states are explored and judged alike (recovered once more,
// nothing lost, nothing stranded; past recovery's last barrier what it put
// back stays, and in every one of them what the update had reported).
//
//   kelvoma_crash_explorer [--quick | --full] [--model ordered|any-subset|both]
//                          [--path update|first|rollback|adoption|login-item|all]
//                          [--states N] [--seed S] [--jobs N] [--planted]
//                          [--recoveries N] [--recovery-states N]
//                          [--drop [recovery:]KIND[@PATH]]... [--state ID[/ID]]
//
// Prints per run and model "N crash states from K operations: L lost the
// tool, M neither old nor new, S stranded, D lost a reported update" and "N
// crash states during recovery: ..." with the same counts, and exits 1 when
// any count is not 0. --quick explores 80 states per model and run and 12
// recovery states in each of 2 recoveries (the ctest), --full 40000 and 100
// in each of 30. The recorded barriers are listed by place ("fsync@" the
// Applications folder, "syncfs@"); --drop takes out those of a kind or a
// place (prefixed "recovery:" in the recorded recoveries), to show what they
// protect. --planted records the update, the adoption and the login item
// and explores one planted fault after the other (under the ordered model
// the syncfs before the renames, the Applications folder's fsync after
// them, recovery's fsync, all barriers, a recovery that puts previous.app
// back over a reported update, the autostart folder's fsync; under
// any-subset the settings folder's fsync), and exits 0 only when each is
// found. Every state has an id;
// --state ID explores that state alone, "ID/ID2" the recovery state ID2 in
// state ID.
// Crash states are built in /dev/shm where it exists (see ScratchFolder);
// the update is recorded in the temporary folder, on the file system the
// model describes.
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "file_runs.h"
#include "kelvoma/kelvoma.h"
#include "model.h"
#include "recording.h"
#include "support/temp_dir.h"
#include "tree.h"
#include "update_fixture.h"
#include "verdict.h"

namespace kelvoma::crash {
namespace {

namespace fs = std::filesystem;

// The recorded runs.
enum class Path { update, first_installation, rollback, adoption, login_item };

struct Options {
  std::size_t states = 80;
  std::size_t recoveries = 2;        // recorded recoveries per model
  std::size_t recovery_states = 12;  // explored per recorded recovery
  std::uint64_t seed = 25;
  int jobs = 2;
  std::vector<Model> models = {Model::ordered, Model::any_subset};
  bool planted = false;  // the planted faults, each to be found
  std::vector<Path> paths = {Path::update, Path::first_installation, Path::rollback, Path::adoption,
                             Path::login_item};
  std::vector<std::string> dropped{};                  // barriers taken out of the update
  std::vector<std::string> dropped_recovery{};         // and out of the recorded recoveries
  std::string state{};                                 // "ID" or "ID/ID2": that state alone
  void (*recover)(const std::string& home) = nullptr;  // a planted one, else the real one
};

std::int32_t not_running(const char*, const char*) { return 0; }

std::string take_document(char* document) {
  std::string text = document;
  mini_free(document);
  return text;
}

std::vector<std::string> catalog_ids() {
  const auto tools = nlohmann::json::parse(take_document(mini_catalog()));
  std::vector<std::string> ids;
  for (const auto& tool : tools) ids.push_back(tool.at("id").get<std::string>());
  return ids;
}

void recover_all(const std::string& home) {
  ::setenv("HOME", home.c_str(), 1);
  for (const std::string& id : catalog_ids()) (void)take_document(mini_recover(id.c_str()));
}

// One installation into HOME's Applications folder; its answer.
std::string install_into(const std::string& home) {
  ::setenv("HOME", home.c_str(), 1);
  ::umask(recorded_umask);
  const std::string target = home + "/Applications/" + bundle_name;
  return take_document(mini_install(tool_id, target.c_str(), os_version, not_running));
}

// The recorded children. LeakSanitizer cannot run under a tracer. An
// update answers ok; a refused one (`refused`) does not.
int run_update(const char* home, bool refused) {
  const std::string answer = install_into(home);
  std::fprintf(stderr, "%s\n", answer.c_str());
  ::_exit((answer.find("\"ok\":true") != std::string::npos) != refused ? 0 : 3);
}

int run_recovery(const char* home) {
  ::umask(recorded_umask);
  recover_all(home);
  ::_exit(0);
}

// A recovery with a planted fault: before the real one it puts a work
// folder's previous.app back at the target, over whatever is there, also
// over an update that had answered ok.
void recover_rolling_back(const std::string& home) {
  const fs::path applications = fs::path(home) / "Applications";
  std::error_code error;
  std::vector<fs::path> backups;
  for (const auto& entry : fs::directory_iterator(applications, error)) {
    const fs::path backup = entry.path() / "previous.app";
    if (entry.path().filename().string().starts_with(".kelvoma-install-") &&
        fs::is_directory(fs::symlink_status(backup))) {
      backups.push_back(backup);
    }
  }
  for (const fs::path& backup : backups) {
    fs::remove_all(applications / bundle_name, error);
    fs::rename(backup, applications / bundle_name, error);
  }
  recover_all(home);
}

// 2.0.0 as the fixture built it: what an update must leave, file by file.
std::expected<Listing, std::string> release_listing(const UpdateFixture& fixture) {
  const auto release = Tree::load(fixture.release_bundle());
  if (!release) return std::unexpected(release.error());
  return release->listing(base_bytes);
}

// What the recorded update left at the target, against the release.
std::string left_at_target(const std::string& applications, const Expected& expected) {
  const auto after = Tree::load(applications);
  if (!after) return after.error();
  return judge(after->listing(base_bytes), expected, bundle_name).detail;
}

// A run that writes one file below HOME (see file_runs.h): the old file
// (or nothing) and the rest of its folder as they were before.
std::expected<Recording, std::string> record_file_run(const FileRun& run, const std::string& home) {
  const std::string folder = home + "/" + run.folder;
  std::error_code error;
  fs::create_directories(folder, error);
  if (error) return std::unexpected("cannot prepare " + folder);
  run.prepare(folder);
  auto before = Tree::load(folder);
  if (!before) return std::unexpected(before.error());
  const Listing old_listing = run.seen(before->listing(base_bytes));
  Expected expected{.old_bundle = below(old_listing, run.file), .others = old_listing};
  expected.others.erase(run.file);
  auto recorded =
      record_run({run.argument, home}, folder, std::move(*before), std::move(expected), run.file);
  if (!recorded) return recorded;
  recorded->folder = run.folder;
  recorded->seen = run.seen;
  recorded->expected.new_bundle = run.seen(recorded->expected.new_bundle);
  return recorded;
}

// The run on `path`: the tree before it, and what a whole old or new bundle
// and the untouched rest look like.
std::expected<Recording, std::string> record_path(const UpdateFixture& fixture,
                                                  const std::string& folder, Path run) {
  const std::string home = fs::canonical(folder).string();
  if (run == Path::adoption) return record_file_run(adoption_run, home);
  if (run == Path::login_item) return record_file_run(login_item_run, home);
  const std::string applications = home + "/Applications";
  if (!fixture.prepare(applications)) return std::unexpected("cannot prepare " + applications);
  if (run == Path::first_installation) fs::remove_all(applications + "/" + bundle_name);
  auto before = Tree::load(applications);
  if (!before) return std::unexpected(before.error());
  const Listing old_listing = before->listing(base_bytes);
  auto release = release_listing(fixture);
  if (!release) return std::unexpected("2.0.0: " + release.error());
  Expected expected{.old_bundle = below(old_listing, bundle_name), .new_bundle = *release};
  for (const auto& [path, item] : old_listing) {
    if (path != bundle_name && !path.starts_with(std::string(bundle_name) + "/")) {
      expected.others[path] = item;
    }
  }
  if (run != Path::rollback) {
    auto recorded = record_run({"--update", home}, applications, std::move(*before),
                               std::move(expected), bundle_name);
    if (recorded && recorded->reported != Copy::new_bundle) {
      return std::unexpected("the update answered ok, but the target is not the release: " +
                             left_at_target(applications, recorded->expected));
    }
    return recorded;
  }
  fixture.offer_refused(true);
  auto recorded = record_run({"--refused", home}, applications, std::move(*before),
                             std::move(expected), bundle_name);
  fixture.offer_refused(false);
  return recorded;
}

// What a worker tells about one state: its judgement, and whether a work
// folder was left for recovery.
struct Outcome {
  Judgement judged;
  bool left_work_folder = false;
};

Outcome failed(std::string detail) {
  return {.judged = {.verdict = Verdict::neither, .detail = std::move(detail)},
          .left_work_folder = false};
}

bool left_work_folder(const Listing& before) {
  for (const auto& [path, item] : before) {
    if (path.starts_with(".kelvoma-install-") && !path.contains('/')) return true;
  }
  return false;
}

struct Explorer {
  const Recording& recording;
  const Persistence& persistence;
  Model model;
  // What the target holds in every state, before recovery and after it:
  // set when the run recovered from had reported it (its states past its
  // last barrier are held to what it reported).
  std::optional<Copy> promised{};
  void (*recover)(const std::string& home) = recover_all;
  std::map<std::size_t, std::string> installs{};  // folder's hash: failure ("" none)

  std::expected<void, std::string> materialise(const CrashState& state,
                                               const std::string& applications) const {
    const auto& ops = recording.ops;
    const Persisted persisted = persistence.persisted(state, model);
    Tree tree = recording.before;
    for (std::size_t j = 0; j < state.crash_point; ++j) {
      if (persisted.metadata[j] || ops[j].kind == OpKind::write) (void)tree.apply(ops, j);
    }
    return tree.write_to(applications, [&](const Node& node) {
      const std::string all = contents(node, ops, [](std::size_t) { return true; });
      const DataLoss loss = persistence.loss_of(state, node.id);
      if (loss == DataLoss::kept) return all;
      std::string durable = contents(node, ops, [&](std::size_t e) {
        return ops[e].kind == OpKind::truncate || persisted.durable[e];
      });
      if (loss == DataLoss::zeros) durable.resize(all.size(), '\0');
      return durable;
    });
  }

  // A following installation: from 1.0.0 it installs 2.0.0 whole; at 2.0.0
  // it finds nothing to do and changes nothing.
  std::string install_after(const std::string& applications, Copy copy, const Listing& now) {
    const std::size_t key = std::hash<std::string>{}(nlohmann::json(now).dump());
    if (const auto known = installs.find(key); known != installs.end()) return known->second;
    const std::string target = applications + "/" + bundle_name;
    const std::string answer =
        take_document(mini_install(tool_id, target.c_str(), os_version, not_running));
    const auto after = Tree::load(applications);
    std::string failure;
    if (!after) {
      failure = after.error();
    } else if (copy == Copy::old_bundle) {
      const Judgement judged = judge(after->listing(base_bytes), recording.expected, bundle_name);
      if (answer.find("\"ok\":true") == std::string::npos || judged.target != Copy::new_bundle ||
          judged.verdict != Verdict::whole) {
        failure = "the next installation: " + answer + " " + judged.detail;
      }
    } else if (answer.find("Tato nebo novější verze už je nainstalovaná.") == std::string::npos ||
               after->listing(base_bytes) != now) {
      failure = "the next installation at 2.0.0: " + answer;
    }
    installs[key] = failure;
    return failure;
  }

  Outcome check(const CrashState& state, const std::string& home) {
    const std::string folder = home + "/" + recording.folder;
    std::error_code ignored;  // materialise names what is missing
    fs::create_directories(fs::path(folder).parent_path(), ignored);
    if (auto made = materialise(state, folder); !made) {
      return failed("cannot materialise: " + made.error());
    }
    const auto before = Tree::load(folder);
    if (!before) return failed(before.error());
    const auto seen = [&](const Listing& listing) {
      return recording.seen ? recording.seen(listing) : listing;
    };
    const Listing was = seen(before->listing(base_bytes));
    Outcome outcome{.judged = {}, .left_work_folder = left_work_folder(was)};
    const Copy held = copy_at(below(was, recording.target_name), recording.expected);
    const std::optional<Copy> kept = promised         ? promised
                                     : state.reported ? std::optional(recording.reported)
                                                      : std::nullopt;
    recover(home);
    const auto after = Tree::load(folder);
    if (!after) return failed(after.error());
    const Listing now = seen(after->listing(base_bytes));
    outcome.judged = judge(now, recording.expected, recording.target_name);
    Judgement& judged = outcome.judged;
    if (judged.verdict == Verdict::whole && kept && (held != *kept || judged.target != *kept)) {
      judged.verdict = Verdict::lost_update;
      judged.detail = "past the barrier of its report the target held " + copy_name(held) +
                      " before recovery and " + copy_name(judged.target) + " after, not " +
                      copy_name(*kept);
    } else if (judged.verdict == Verdict::whole && recording.installs()) {
      if (std::string failure = install_after(folder, judged.target, now); !failure.empty()) {
        judged.verdict = Verdict::stranded;
        judged.detail = failure;
      }
    }
    return outcome;
  }
};

// Where crash states are built: in memory (/dev/shm) where there is such a
// folder, since writing hundreds of states' files is most of the work and
// recovery behaves alike there; else in the temporary folder.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::string pattern = ::access("/dev/shm", W_OK) == 0
                              ? "/dev/shm/kelvoma-crash-XXXXXX"
                              : (fs::temp_directory_path() / "kelvoma-crash-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchFolder() {
    std::error_code ignored;
    if (!path_.empty()) fs::remove_all(path_, ignored);
  }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs the states over `jobs` forked workers; each writes "index verdict
// left detail" lines to its own file.
std::vector<Outcome> explore(Explorer& explorer, const std::vector<CrashState>& states, int jobs) {
  const ScratchFolder scratch;
  std::vector<pid_t> workers;
  for (int w = 0; w < jobs; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::FILE* out = std::fopen((scratch.file("results-") + std::to_string(w)).c_str(), "w");
      for (std::size_t i = static_cast<std::size_t>(w); i < states.size(); i += jobs) {
        const std::string home = scratch.file("state-" + std::to_string(i));
        ::mkdir(home.c_str(), 0700);
        const Outcome outcome = explorer.check(states[i], home);
        std::fprintf(out, "%zu %d %d %s\n", i, static_cast<int>(outcome.judged.verdict),
                     outcome.left_work_folder ? 1 : 0, outcome.judged.detail.c_str());
        fs::remove_all(home);
      }
      std::fclose(out);
      ::_exit(0);
    }
    workers.push_back(pid);
  }
  for (const pid_t pid : workers) ::waitpid(pid, nullptr, 0);
  std::vector<Outcome> outcomes(states.size(), failed("no answer from a worker"));
  for (int w = 0; w < jobs; ++w) {
    std::istringstream lines(testing::read_file(scratch.file("results-") + std::to_string(w)));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::size_t index = 0;
      int verdict = 0;
      int left = 0;
      fields >> index >> verdict >> left;
      Outcome& outcome = outcomes.at(index);
      std::getline(fields, outcome.judged.detail);
      outcome.judged.verdict = static_cast<Verdict>(verdict);
      outcome.left_work_folder = left != 0;
    }
  }
  return outcomes;
}

// The counts of one exploration, by verdict.
struct Counts {
  std::size_t states = 0;
  std::size_t by_verdict[5] = {};
  std::size_t violations() const { return states - by_verdict[0]; }
};

// Adds up and prints the first violations, named by `prefix` + their id.
void tally(Counts& counts, const std::vector<Outcome>& outcomes,
           const std::vector<CrashState>& states, const Explorer& explorer,
           const std::string& prefix) {
  static const char* const names[] = {"whole", "LOST", "NEITHER", "STRANDED", "LOST UPDATE"};
  for (std::size_t i = 0; i < outcomes.size(); ++i) {
    const Judgement& judged = outcomes[i].judged;
    if (judged.verdict != Verdict::whole && counts.violations() < 5) {
      std::printf("  %s: %s%s\n    %s\n", names[static_cast<int>(judged.verdict)], prefix.c_str(),
                  explorer.persistence.describe_state(states[i], explorer.model).c_str(),
                  judged.detail.c_str());
    }
    ++counts.states;
    ++counts.by_verdict[static_cast<int>(judged.verdict)];
  }
}

void print_counts(const Counts& counts, const std::string& what) {
  std::printf(
      "%zu crash states %s: %zu lost the tool, %zu neither old nor new, %zu stranded, %zu "
      "lost a reported update\n",
      counts.states, what.c_str(), counts.by_verdict[1], counts.by_verdict[2], counts.by_verdict[3],
      counts.by_verdict[4]);
  std::fflush(stdout);
}

// The states to explore: those the budget allows, or the one `id` names.
std::vector<CrashState> states_for(const Persistence& persistence, Model model, std::size_t budget,
                                   const Options& options, const std::string& id) {
  if (id.empty()) return persistence.states(model, budget, options.seed);
  const auto state = persistence.state_by_id(id, model, options.seed);
  if (!state) std::printf("no state %s in %s\n", id.c_str(), model_name(model));
  return state ? std::vector{*state} : std::vector<CrashState>{};
}

std::string barrier_places(const std::vector<Op>& ops) {
  std::string places;
  for (std::size_t j = 0; j < ops.size(); ++j) {
    if (is_barrier(ops[j].kind)) places += " " + place_of(ops[j]) + "#" + std::to_string(j);
  }
  return places.empty() ? " none" : places;
}

std::vector<Op> without(std::vector<Op> ops, const std::vector<std::string>& dropped) {
  for (const std::string& what : dropped) {
    if (drop_barriers(ops, what) == 0 && what.contains('@')) {
      std::printf("no barrier %s to drop\n", what.c_str());
    }
  }
  return ops;
}

// Where the second cut starts: the state cut right after the first rename
// with everything issued on disk (nothing is at the target then), the first
// explored state past the update's last barrier that left a work folder
// (recovery must keep what was reported), the states cut right after the
// other renames, then the other explored states that left a work folder; at
// most `options.recoveries`. With --state, the state named.
std::vector<CrashState> recovery_starts(const Explorer& update,
                                        const std::vector<CrashState>& states,
                                        const std::vector<Outcome>& outcomes,
                                        const Options& options) {
  std::vector<CrashState> starts;
  const std::vector<Op>& ops = update.recording.ops;
  if (!update.recording.installs()) return starts;
  for (std::size_t j = 0; j < ops.size() && options.state.empty(); ++j) {
    if (ops[j].kind != OpKind::rename) continue;
    if (const auto whole =
            update.persistence.everything_persisted(j + 1, update.model, options.seed)) {
      starts.push_back(*whole);
    }
  }
  std::size_t reported = states.size();
  for (std::size_t i = 0; i < states.size() && options.state.empty(); ++i) {
    if (states[i].reported && outcomes[i].left_work_folder) {
      starts.insert(starts.begin() + std::min<std::ptrdiff_t>(1, std::ssize(starts)),
                    states[reported = i]);
      break;
    }
  }
  for (std::size_t i = 0; i < states.size(); ++i) {
    if (i != reported && (outcomes[i].left_work_folder || !options.state.empty())) {
      starts.push_back(states[i]);
    }
  }
  starts.resize(std::min(starts.size(), options.recoveries));
  return starts;
}

// The second cut: recovery recorded in each start, its own crash states
// explored.
Counts explore_recoveries(const Explorer& update, const std::vector<CrashState>& states,
                          const std::vector<Outcome>& outcomes, const Options& options,
                          const std::string& only) {
  Counts counts;
  const ScratchFolder scratch;
  const auto starts = recovery_starts(update, states, outcomes, options);
  for (std::size_t i = 0; i < starts.size(); ++i) {
    const std::string home = scratch.file("recovery-" + std::to_string(i));
    const std::string applications = home + "/Applications";
    ::mkdir(home.c_str(), 0700);
    auto made = update.materialise(starts[i], applications);
    auto before = made ? Tree::load(applications) : std::unexpected(made.error());
    auto recording = before ? record_run({"--recover", home}, applications, std::move(*before),
                                         update.recording.expected, bundle_name)
                            : std::unexpected(before.error());
    const std::string name = update.persistence.state_id(starts[i], update.model);
    if (!recording) {
      std::printf("  recovery in %s cannot be recorded: %s\n", name.c_str(),
                  recording.error().c_str());
      ++counts.states;
      ++counts.by_verdict[static_cast<int>(Verdict::neither)];
      continue;
    }
    recording->ops = without(std::move(recording->ops), options.dropped_recovery);
    const Persistence persistence(recording->ops);
    Explorer explorer{
        .recording = *recording,
        .persistence = persistence,
        .model = update.model,
        .promised = starts[i].reported ? std::optional(update.recording.reported) : update.promised,
        .recover = update.recover};
    const auto cuts = states_for(persistence, update.model, options.recovery_states, options, only);
    tally(counts, explore(explorer, cuts, options.jobs), cuts, explorer, name + "/");
  }
  return counts;
}

// Explores both cuts under each model, without the barriers `options`
// drops; the number of violations.
std::size_t explore_models(Recording recording, const Options& options) {
  recording.ops = without(std::move(recording.ops), options.dropped);
  std::string dropped;
  for (const std::string& what : options.dropped) dropped += " " + what;
  for (const std::string& what : options.dropped_recovery) dropped += " recovery:" + what;
  const Persistence persistence(recording.ops);
  const std::string first = options.state.substr(0, options.state.find('/'));
  const std::string second =
      options.state.contains('/') ? options.state.substr(options.state.find('/') + 1) : "";
  std::size_t violations = 0;
  for (const Model model : options.models) {
    Explorer explorer{.recording = recording,
                      .persistence = persistence,
                      .model = model,
                      .recover = options.recover ? options.recover : recover_all};
    std::size_t candidates = 0;
    (void)persistence.states(model, 0, options.seed, &candidates);
    const auto states = states_for(persistence, model, options.states, options, first);
    std::printf("%s%s%s: %zu candidate states, %zu explored (seed %llu)\n", model_name(model),
                dropped.empty() ? "" : ", without", dropped.c_str(), candidates, states.size(),
                static_cast<unsigned long long>(options.seed));
    const auto outcomes = explore(explorer, states, options.jobs);
    Counts update_counts;
    tally(update_counts, outcomes, states, explorer, "");
    print_counts(update_counts, "from " + std::to_string(recording.ops.size()) + " operations");
    const Counts recovery_counts = explore_recoveries(explorer, states, outcomes, options, second);
    print_counts(recovery_counts, "during recovery");
    violations += update_counts.violations() + recovery_counts.violations();
  }
  return violations;
}

// The faults --planted puts in, one at a time: each barrier the update
// and recovery rely on, by its place, and all of them at once. A fault in
// the update is looked for in the update's states, one in recovery in the
// recovery's.
struct PlantedFault {
  std::string name;
  std::vector<std::string> dropped;
  bool in_recovery = false;
  Path path = Path::update;
  Model model = Model::ordered;
  void (*recover)(const std::string& home) = nullptr;  // a faulty recovery instead
};

const std::vector<PlantedFault> planted_faults = {
    {.name = "syncfs before the renames", .dropped = {"syncfs@"}},
    {.name = "fsync of the Applications folder after the renames", .dropped = {"fsync@"}},
    {.name = "fsync after recovery puts the backup back",
     .dropped = {"recovery:fsync@"},
     .in_recovery = true},
    {.name = "barrier at all", .dropped = {"fsync", "fdatasync", "syncfs", "sync"}},
    // Found only when the update's report is judged after recovery too.
    {.name = "recovery that leaves a reported update alone (previous.app is put back)",
     .dropped = {},
     .recover = recover_rolling_back},
    // Under the journal's order the second write's flush also keeps the
    // first rename; only a model without that order shows the loss.
    {.name = "fsync of the settings folder after the adoption's rename",
     .dropped = {"fsync@"},
     .path = Path::adoption,
     .model = Model::any_subset},
    {.name = "fsync of the autostart folder after the entry's rename",
     .dropped = {"fsync@"},
     .path = Path::login_item},
};

Options without_barriers(Options options, const std::vector<std::string>& dropped) {
  for (const std::string& what : dropped) {
    auto& into = what.starts_with("recovery:") ? options.dropped_recovery : options.dropped;
    into.push_back(what.starts_with("recovery:") ? what.substr(9) : what);
  }
  return options;
}

// Records the run on path `run` and explores it, or the planted faults in it.
int run_path(const UpdateFixture& fixture, const Options& options, Path run) {
  static const char* const names[] = {"update 1.0.0 -> 2.0.0", "first installation of 2.0.0",
                                      "rollback of 3.0.0 (refused after unpacking) to 1.0.0",
                                      adoption_run.name, login_item_run.name};
  const testing::TempDir folder;
  auto recording = record_path(fixture, folder.path(), run);
  if (!recording) {
    std::fprintf(stderr, "recording: %s\n", recording.error().c_str());
    return 2;
  }
  std::size_t kinds[3] = {};
  for (const Op& op : recording->ops) {
    ++kinds[is_metadata(op.kind) ? 0 : op.kind == OpKind::write ? 1 : 2];
  }
  std::size_t entries[3] = {};  // files, links, folders of 2.0.0
  for (const auto& [path, item] : recording->expected.new_bundle) {
    ++entries[item.starts_with("file") ? 0 : item.starts_with("link") ? 1 : 2];
  }
  std::printf(
      "recorded %s (%zu files, %zu links, %zu folders): %zu metadata operations, %zu writes, "
      "%zu barriers:%s\n",
      names[static_cast<int>(run)], entries[0], entries[1], entries[2], kinds[0], kinds[1],
      kinds[2], barrier_places(recording->ops).c_str());
  if (!options.planted) return explore_models(std::move(*recording), options) == 0 ? 0 : 1;
  bool all_found = true;
  for (const PlantedFault& fault : planted_faults) {
    if (fault.path != run) continue;
    Options planted = without_barriers(options, fault.dropped);
    planted.models = {fault.model};
    if (fault.recover) planted.recover = fault.recover;
    (fault.in_recovery ? planted.states : planted.recoveries) = 0;
    const std::size_t found = explore_models(*recording, planted);
    std::printf("planted fault, no %s: %s\n", fault.name.c_str(),
                found > 0 ? "found" : "NOT FOUND by any state");
    all_found = all_found && found > 0;
  }
  return all_found ? 0 : 1;
}

int run(const Options& options) {
  const UpdateFixture fixture;
  if (!fixture.ready()) {
    std::fprintf(stderr, "fixture: %s\n", fixture.failure().c_str());
    return 2;
  }
  int status = 0;
  for (const Path path : options.paths) status = std::max(status, run_path(fixture, options, path));
  return status;
}

}  // namespace
}  // namespace kelvoma::crash

int main(int argc, char** argv) {
  using namespace kelvoma::crash;
  if (argc == 3 && std::strcmp(argv[1], "--update") == 0) return run_update(argv[2], false);
  if (argc == 3 && std::strcmp(argv[1], "--refused") == 0) return run_update(argv[2], true);
  if (argc == 3 && std::strcmp(argv[1], "--recover") == 0) return run_recovery(argv[2]);
  for (const FileRun* file_run : {&adoption_run, &login_item_run}) {
    if (argc == 3 && argv[1] == std::string(file_run->argument)) {
      ::umask(recorded_umask);
      ::_exit(file_run->child(argv[2]) ? 0 : 3);
    }
  }
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string value = i + 1 < argc ? argv[i + 1] : "";
    const auto count = [&] { return std::strtoull(argv[++i], nullptr, 10); };
    if (arg == "--quick") {
      options.states = 80, options.recoveries = 2, options.recovery_states = 12;
    } else if (arg == "--full") {
      options.states = 40000, options.recoveries = 30, options.recovery_states = 100;
    } else if (arg == "--planted") {
      options.planted = true;
      options.paths = {Path::update, Path::adoption, Path::login_item};
    } else if (arg == "--path" && !value.empty()) {
      options.paths = value == "update"       ? std::vector{Path::update}
                      : value == "first"      ? std::vector{Path::first_installation}
                      : value == "rollback"   ? std::vector{Path::rollback}
                      : value == "adoption"   ? std::vector{Path::adoption}
                      : value == "login-item" ? std::vector{Path::login_item}
                                              : options.paths;
      ++i;
    } else if (arg == "--drop" && !value.empty()) {
      options = without_barriers(std::move(options), {value}), ++i;
    } else if (arg == "--states" && !value.empty()) {
      options.states = count();
    } else if (arg == "--recoveries" && !value.empty()) {
      options.recoveries = count();
    } else if (arg == "--recovery-states" && !value.empty()) {
      options.recovery_states = count();
    } else if (arg == "--seed" && !value.empty()) {
      options.seed = count();
    } else if (arg == "--jobs" && !value.empty()) {
      options.jobs = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--state" && !value.empty()) {
      options.state = value, ++i;
    } else if (arg == "--model" && !value.empty()) {
      ++i;
      options.models = value == "ordered"      ? std::vector{Model::ordered}
                       : value == "any-subset" ? std::vector{Model::any_subset}
                                               : std::vector{Model::ordered, Model::any_subset};
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick|--full] [--model ordered|any-subset|both] [--states N] "
                   "[--recoveries N] [--recovery-states N] [--seed S] [--jobs N] [--planted] "
                   "[--path update|first|rollback|adoption|login-item|all] "
                   "[--drop [recovery:]KIND[@PATH]]... [--state ID[/ID]]\n",
                   argv[0]);
      return 2;
    }
  }
  if (!options.state.empty() && !options.state.contains('/')) options.recoveries = 0;
  return run(options);
}
