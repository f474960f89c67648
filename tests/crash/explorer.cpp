// Power loss during an update, explored: records one real update of the
// fixture tool (1.0.0 to 2.0.0 from the local release host) with strace (see
// trace.h for why), builds every crash state a persistence model allows (see
// model.h for the models) in a temporary folder from the tree before the
// update, runs the start-up recovery there as the application does
// (mini_recover for every catalog tool), and judges the folder (verdict.h):
// the old or the new bundle, byte for byte with modes and links, nothing
// else changed, no work folder left unless the keep rule wants it. Where the
// tool is whole, a following mini_install must bring it to 2.0.0 (from 1.0.0
// it installs; at 2.0.0 it answers that this version is installed); its
// outcome depends only on the folder, so it runs once per distinct folder.
//
//   kelvoma_crash_explorer [--quick | --full] [--model ordered|any-subset|both]
//                          [--states N] [--seed S] [--jobs N] [--self-check]
//                          [--drop fsync|fdatasync|syncfs|sync]...
//
// Prints per model "N crash states from K operations: L lost the tool, M
// neither old nor new, S stranded" and exits 1 when L, M or S is not 0.
// --quick explores 200 states per model (the ctest), --full 40000 (every
// candidate state of this update). The trace replayed in full must give
// the folder the real update left, or the run fails (2): a recorder that
// missed a call cannot pass. --self-check drops the barriers from the trace
// and exits 0 only when that finds violations; --drop takes one kind of
// barrier out, to show what it protects. Crash states are built in
// /dev/shm where it exists (see ScratchFolder); the update is recorded in
// the temporary folder, on the file system the model describes.
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

#include "fetch/command.h"
#include "kelvoma/kelvoma.h"
#include "model.h"
#include "support/temp_dir.h"
#include "tree.h"
#include "update_fixture.h"
#include "verdict.h"

namespace kelvoma::crash {
namespace {

namespace fs = std::filesystem;

constexpr unsigned recorded_umask = 022;

struct Options {
  std::size_t states = 200;
  std::uint64_t seed = 25;
  int jobs = 2;
  std::vector<Model> models = {Model::ordered, Model::any_subset};
  bool self_check = false;
  std::vector<std::string> dropped;  // barrier calls taken out of the trace
};

std::int32_t not_running(const char*, const char*) { return 0; }

std::string take_document(char* document) {
  std::string text = document;
  mini_free(document);
  return text;
}

// The recorded child: one update into HOME's Applications folder.
int run_update(const char* home) {
  ::setenv("HOME", home, 1);
  ::umask(recorded_umask);
  const std::string target = std::string(home) + "/Applications/" + bundle_name;
  const std::string answer =
      take_document(mini_install(tool_id, target.c_str(), os_version, not_running));
  std::fprintf(stderr, "%s\n", answer.c_str());
  // LeakSanitizer cannot run under a tracer.
  ::_exit(answer.find("\"ok\":true") != std::string::npos ? 0 : 3);
}

std::function<std::string(const Node&)> base_bytes() {
  return [](const Node& node) { return *node.base; };
}

// The recorded update: its operations, the tree before it, and what a
// whole old or new bundle and the untouched rest look like.
struct Recording {
  Tree before;
  std::vector<Op> ops{};
  Expected expected;
};

std::expected<Recording, std::string> record(const UpdateFixture& fixture,
                                             const std::string& folder) {
  const std::string home = fs::canonical(folder).string();
  const std::string applications = home + "/Applications";
  if (!fixture.prepare(applications)) return std::unexpected("cannot prepare " + applications);
  auto before = Tree::load(applications);
  if (!before) return std::unexpected(before.error());
  const std::string log = home + "/trace.log";
  const std::string self = fs::read_symlink("/proc/self/exe").string();
  auto strace = ChildProcess::start(
      Command{"/usr/bin/strace",
              {"-f", "-y", "-qq", "-xx", "-s", "67108864", "-e",
               "trace=" + std::string(traced_calls()), "-o", log, self, "--update", home}},
      StreamSetup{.output = Stream::null_device, .error = Stream::inherit});
  if (!strace) return std::unexpected("strace: " + strace.error());
  const auto status = strace->wait();
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    return std::unexpected("the recorded update failed");
  }
  auto ops = read_trace(testing::read_file(log), applications);
  if (!ops) return std::unexpected(ops.error());
  Tree replayed = *before;
  if (auto annotated = annotate(*ops, replayed, recorded_umask); !annotated) {
    return std::unexpected(annotated.error());
  }
  const auto after = Tree::load(applications);
  if (!after) return std::unexpected(after.error());
  const Listing real = after->listing(base_bytes());
  std::vector<Op>& all = *ops;
  const Listing traced = replayed.listing(
      [&](const Node& node) { return contents(node, all, [](std::size_t) { return true; }); });
  if (real != traced) {
    for (const auto& [path, item] : real) {
      if (!traced.contains(path) || traced.at(path) != item) {
        return std::unexpected("the trace does not give the updated folder: \"" + path + "\"");
      }
    }
    return std::unexpected("the trace gives more than the updated folder");
  }
  const Listing old_listing = before->listing(base_bytes());
  Expected expected{.old_bundle = below(old_listing, bundle_name),
                    .new_bundle = below(real, bundle_name)};
  for (const auto& [path, item] : old_listing) {
    if (path != bundle_name && !path.starts_with(std::string(bundle_name) + "/")) {
      expected.others[path] = item;
    }
  }
  return Recording{std::move(*before), std::move(*ops), std::move(expected)};
}

std::vector<std::string> catalog_ids() {
  const auto tools = nlohmann::json::parse(take_document(mini_catalog()));
  std::vector<std::string> ids;
  for (const auto& tool : tools) ids.push_back(tool.at("id").get<std::string>());
  return ids;
}

struct Explorer {
  const Recording& recording;
  const Persistence& persistence;
  Model model;
  std::vector<std::string> ids{};
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
      const Judgement judged = judge(after->listing(base_bytes()), recording.expected, bundle_name);
      if (answer.find("\"ok\":true") == std::string::npos || judged.target != Copy::new_bundle ||
          judged.verdict != Verdict::whole) {
        failure = "the next installation: " + answer + " " + judged.detail;
      }
    } else if (answer.find("Tato nebo novější verze už je nainstalovaná.") == std::string::npos ||
               after->listing(base_bytes()) != now) {
      failure = "the next installation at 2.0.0: " + answer;
    }
    installs[key] = failure;
    return failure;
  }

  Judgement check(const CrashState& state, const std::string& home) {
    const std::string applications = home + "/Applications";
    if (auto made = materialise(state, applications); !made) {
      return {.verdict = Verdict::neither, .detail = "cannot materialise: " + made.error()};
    }
    ::setenv("HOME", home.c_str(), 1);
    for (const std::string& id : ids) (void)take_document(mini_recover(id.c_str()));
    const auto after = Tree::load(applications);
    if (!after) return {.verdict = Verdict::neither, .detail = after.error()};
    const Listing now = after->listing(base_bytes());
    Judgement judged = judge(now, recording.expected, bundle_name);
    if (judged.verdict == Verdict::whole) {
      if (std::string failure = install_after(applications, judged.target, now); !failure.empty()) {
        judged.verdict = Verdict::stranded;
        judged.detail = failure;
      }
    }
    return judged;
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
// detail" lines to its own file.
std::vector<Judgement> explore(Explorer& explorer, const std::vector<CrashState>& states,
                               int jobs) {
  const ScratchFolder scratch;
  std::vector<pid_t> workers;
  for (int w = 0; w < jobs; ++w) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      std::FILE* out = std::fopen((scratch.file("results-") + std::to_string(w)).c_str(), "w");
      for (std::size_t i = static_cast<std::size_t>(w); i < states.size(); i += jobs) {
        const std::string home = scratch.file("state-" + std::to_string(i));
        ::mkdir(home.c_str(), 0700);
        const Judgement judged = explorer.check(states[i], home);
        std::fprintf(out, "%zu %d %s\n", i, static_cast<int>(judged.verdict),
                     judged.detail.c_str());
        fs::remove_all(home);
      }
      std::fclose(out);
      ::_exit(0);
    }
    workers.push_back(pid);
  }
  for (const pid_t pid : workers) ::waitpid(pid, nullptr, 0);
  std::vector<Judgement> judged(states.size(),
                                {.verdict = Verdict::neither, .detail = "no answer from a worker"});
  for (int w = 0; w < jobs; ++w) {
    std::istringstream lines(testing::read_file(scratch.file("results-") + std::to_string(w)));
    for (std::string line; std::getline(lines, line);) {
      std::istringstream fields(line);
      std::size_t index = 0;
      int verdict = 0;
      fields >> index >> verdict;
      std::getline(fields, judged.at(index).detail);
      judged[index].verdict = static_cast<Verdict>(verdict);
    }
  }
  return judged;
}

// Prints the summary line and the first violations; the number of them.
std::size_t report(const std::vector<Judgement>& judged, const std::vector<CrashState>& states,
                   const Explorer& explorer, std::size_t operations) {
  std::size_t counts[4] = {};
  std::size_t shown = 0;
  for (std::size_t i = 0; i < judged.size(); ++i) {
    ++counts[static_cast<int>(judged[i].verdict)];
    if (judged[i].verdict != Verdict::whole && shown++ < 5) {
      static const char* const names[] = {"whole", "LOST", "NEITHER", "STRANDED"};
      std::printf("  %s: %s\n    %s\n", names[static_cast<int>(judged[i].verdict)],
                  explorer.persistence.describe_state(states[i], explorer.model).c_str(),
                  judged[i].detail.c_str());
    }
  }
  std::printf(
      "%zu crash states from %zu operations: %zu lost the tool, %zu neither old nor new, "
      "%zu stranded\n",
      judged.size(), operations, counts[1], counts[2], counts[3]);
  std::fflush(stdout);
  return counts[1] + counts[2] + counts[3];
}

int run(const Options& options) {
  const UpdateFixture fixture;
  if (!fixture.ready()) {
    std::fprintf(stderr, "fixture: %s\n", fixture.failure().c_str());
    return 2;
  }
  const testing::TempDir folder;
  auto recording = record(fixture, folder.path());
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
      "recorded update 1.0.0 -> 2.0.0 (%zu files, %zu links, %zu folders): %zu metadata "
      "operations, %zu writes, %zu barriers\n",
      entries[0], entries[1], entries[2], kinds[0], kinds[1], kinds[2]);
  std::string without;
  for (const std::string& call : options.dropped) {
    without += (without.empty() ? ", without " : " and ") + call;
    std::erase_if(recording->ops, [&](const Op& op) {
      return is_barrier(op.kind) && describe(op).starts_with(call + " ");
    });
  }
  const Persistence persistence(recording->ops);
  std::size_t violations = 0;
  for (const Model model : options.models) {
    Explorer explorer{
        .recording = *recording, .persistence = persistence, .model = model, .ids = catalog_ids()};
    std::size_t candidates = 0;
    const auto states = persistence.states(model, options.states, options.seed, &candidates);
    std::printf("%s%s: %zu candidate states, %s\n", model_name(model), without.c_str(), candidates,
                states.size() < candidates
                    ? ("sampled with seed " + std::to_string(options.seed)).c_str()
                    : "all explored");
    violations +=
        report(explore(explorer, states, options.jobs), states, explorer, recording->ops.size());
  }
  if (options.self_check) {
    std::printf("self-check: %s\n", violations > 0 ? "violations found without the barriers"
                                                   : "NO violation found without the barriers");
    return violations > 0 ? 0 : 1;
  }
  return violations == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kelvoma::crash

int main(int argc, char** argv) {
  using namespace kelvoma::crash;
  if (argc == 3 && std::strcmp(argv[1], "--update") == 0) return run_update(argv[2]);
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : "";
    if (arg == "--quick") {
      options.states = 200;
    } else if (arg == "--full") {
      options.states = 40000;
    } else if (arg == "--self-check") {
      options.self_check = true;
      options.models = {Model::ordered};
      options.dropped = {"fsync", "fdatasync", "syncfs", "sync"};
    } else if (arg == "--drop") {
      options.dropped.push_back(value), ++i;
    } else if (arg == "--states") {
      options.states = std::strtoull(value, nullptr, 10), ++i;
    } else if (arg == "--seed") {
      options.seed = std::strtoull(value, nullptr, 10), ++i;
    } else if (arg == "--jobs") {
      options.jobs = std::max(1, std::atoi(value)), ++i;
    } else if (arg == "--model") {
      const std::string name = value;
      ++i;
      options.models = name == "ordered"      ? std::vector{Model::ordered}
                       : name == "any-subset" ? std::vector{Model::any_subset}
                                              : std::vector{Model::ordered, Model::any_subset};
    } else {
      std::fprintf(stderr,
                   "usage: %s [--quick|--full] [--model ordered|any-subset|both] [--states N] "
                   "[--seed S] [--jobs N] [--self-check] [--drop fsync|fdatasync|syncfs|sync]\n",
                   argv[0]);
      return 2;
    }
  }
  return run(options);
}
