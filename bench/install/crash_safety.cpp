// Crash safety of an update: installations of build 2 over an installed
// build 1 run in a child process that is killed with SIGKILL (with every
// program it started) at moments spread over the whole pipeline. After every
// kill the target must hold a complete bundle, old or new, or the install
// directory must hold the complete old bundle as "previous.app". Then one
// more installation runs to its end: afterwards the target must hold a
// complete bundle and no ".kelvoma-install-" folder may remain (what the
// killed call left is put back or removed). Every other run judges instead
// after the next start of the application: the start-up recovery of every
// catalog tool (mini_recover), with no installation and no network.
//
//   kelvoma_install_crash [--runs N] [--payload-mib N] [--seed S]
//   kelvoma_install_crash --install-child TARGET     (one installation)
//   kelvoma_install_crash --recover-child            (an application's start)
//
// Most kills fall uniformly over the length of the fastest of five
// uninterrupted installations; every fourth falls into its last quarter,
// where the bundle is unpacked and validated and the renames happen, and
// every fourth into its last tenth and a little past it, where the replaced
// copy is being removed after success.
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "kelvoma/kelvoma.h"
#include "release_fixture.h"

extern char** environ;

namespace kelvoma::bench {
namespace {

using Clock = std::chrono::steady_clock;

std::int32_t not_running(const char*, const char*) { return 0; }

int install_child(const char* target) {
  char* document = mini_install(tool_id, target, os_version, not_running);
  const bool ok = std::strstr(document, "\"ok\":true") != nullptr;
  if (!ok) std::fprintf(stderr, "%s\n", document);
  mini_free(document);
  return ok ? 0 : 3;
}

// What the application does at its start, before any check.
int recover_child() {
  char* catalog = mini_catalog();
  const auto tools = nlohmann::json::parse(catalog);
  mini_free(catalog);
  int failures = 0;
  for (const auto& tool : tools) {
    char* document = mini_recover(tool.at("id").get<std::string>().c_str());
    if (std::strstr(document, "\"ok\":true") == nullptr) {
      std::fprintf(stderr, "%s\n", document);
      ++failures;
    }
    mini_free(document);
  }
  return failures == 0 ? 0 : 3;
}

// Starts this program as a child in a process group of its own: an
// installation into `target`, or (no target) an application's start.
pid_t start_child(const std::string& target) {
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::string self = "/proc/self/exe";
  std::string flag = target.empty() ? "--recover-child" : "--install-child";
  std::string target_argument = target;
  char* argv[] = {self.data(), flag.data(), target.empty() ? nullptr : target_argument.data(),
                  nullptr};
  pid_t pid = -1;
  const int error = posix_spawn(&pid, self.c_str(), nullptr, &attributes, argv, environ);
  posix_spawnattr_destroy(&attributes);
  return error == 0 ? pid : -1;
}

// Kills the child's whole process group and reaps everything in it; as a
// subreaper this process inherits the group's orphans (curl, bsdtar, the
// signing stubs) and so can make sure none of them still writes.
bool kill_and_reap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  while (true) {
    const pid_t reaped = ::waitpid(-pid, nullptr, 0);
    if (reaped > 0) continue;
    if (errno == EINTR) continue;
    break;  // ECHILD: the group is gone
  }
  return WIFEXITED(status);  // true: it had finished before the kill
}

// One child to its end (an installation, or with an empty target an
// application's start-up recovery); its exit status (0: done), or -1.
int run_to_the_end(const std::string& target) {
  const pid_t pid = start_child(target);
  if (pid < 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

double run_uninterrupted(const UpdateFixture& fixture) {
  fixture.install_old();
  const auto start = Clock::now();
  const int status = run_to_the_end(fixture.target());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return status == 0 ? seconds : -1;
}

// After the next installation, or the next start of the application: a
// complete bundle at the target and no install folder left.
bool recovered(const UpdateFixture& fixture, bool by_start, std::uint64_t payload_bytes,
               std::string& detail) {
  // An installation may fail (the new copy is already in place); a start
  // may not.
  if (run_to_the_end(by_start ? std::string() : fixture.target()) != 0 && by_start) {
    detail = "the start-up recovery failed";
  }
  const Outcome outcome = judge_target(fixture.target(), payload_bytes, detail);
  const std::size_t folders = install_directory_count(fixture.applications());
  if (folders != 0) {
    detail += (detail.empty() ? "" : "; ") + std::to_string(folders) + " install folder(s) remain";
  }
  return (outcome == Outcome::old_copy || outcome == Outcome::new_copy) && folders == 0;
}

std::string phase_name(std::vector<std::string> entries) {
  if (entries.empty()) return "no install directory";
  std::sort(entries.begin(), entries.end());
  std::string name;
  for (const auto& entry : entries) name += (name.empty() ? "" : "+") + entry;
  return name;
}

const char* outcome_name(Outcome outcome) {
  switch (outcome) {
    case Outcome::old_copy:
      return "old copy at the target";
    case Outcome::new_copy:
      return "new copy at the target";
    case Outcome::backup_only:
      return "only previous.app (kept backup)";
    case Outcome::lost:
      return "LOST";
  }
  return "?";
}

int run(int runs, std::uint64_t payload_bytes, unsigned seed) {
  ::prctl(PR_SET_CHILD_SUBREAPER, 1);
  const UpdateFixture fixture(payload_bytes);
  if (!fixture.ready()) {
    std::fprintf(stderr, "fixture: %s\n", fixture.failure().c_str());
    return 2;
  }
  std::vector<double> lengths;
  for (int i = 0; i < 5; ++i) {
    const double seconds = run_uninterrupted(fixture);
    if (seconds < 0) {
      std::fprintf(stderr, "an uninterrupted installation failed\n");
      return 2;
    }
    lengths.push_back(seconds);
  }
  std::sort(lengths.begin(), lengths.end());
  const double length = lengths.front();
  std::printf("archive %.1f MiB, uninterrupted installation %.3f s (fastest of 5)\n",
              static_cast<double>(fixture.archive_size()) / 1048576.0, length);

  std::mt19937 random(seed);
  std::uniform_real_distribution<double> spread(0.0, length);
  std::uniform_real_distribution<double> ending(0.75 * length, length);
  std::uniform_real_distribution<double> removal(0.9 * length, 1.1 * length);
  std::map<std::string, int> outcomes;
  std::map<std::string, int> phases;
  int losses = 0;
  int unrecovered_by_installation = 0;
  int unrecovered_by_start = 0;
  int folders_left_by_kill = 0;
  int finished_before_kill = 0;
  for (int run_index = 0; run_index < runs; ++run_index) {
    fixture.install_old();
    const double delay = run_index % 4 == 3   ? ending(random)
                         : run_index % 4 == 1 ? removal(random)
                                              : spread(random);
    const pid_t pid = start_child(fixture.target());
    if (pid < 0) {
      std::fprintf(stderr, "cannot start the installation child\n");
      return 2;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(delay));
    const auto entries = install_directory_entries(fixture.applications());
    if (kill_and_reap(pid)) ++finished_before_kill;
    std::string detail;
    const Outcome outcome = judge_target(fixture.target(), payload_bytes, detail);
    ++outcomes[outcome_name(outcome)];
    ++phases[phase_name(entries)];
    if (outcome == Outcome::lost) {
      ++losses;
      std::printf("run %d (kill at %.4f s): %s\n", run_index, delay, detail.c_str());
    }
    if (install_directory_count(fixture.applications()) != 0) ++folders_left_by_kill;
    std::string after_detail;
    const bool by_start = run_index % 2 == 1;
    if (!recovered(fixture, by_start, payload_bytes, after_detail)) {
      ++(by_start ? unrecovered_by_start : unrecovered_by_installation);
      std::printf("run %d (kill at %.4f s), after the next %s: %s\n", run_index, delay,
                  by_start ? "start" : "installation", after_detail.c_str());
    }
  }
  fixture.remove_install_directories();

  std::printf("runs: %d (%d had finished before the kill)\n", runs, finished_before_kill);
  std::printf("install directory just before the kill:\n");
  for (const auto& [phase, count] : phases) std::printf("  %5d  %s\n", count, phase.c_str());
  std::printf("after the kill:\n");
  for (const auto& [outcome, count] : outcomes) std::printf("  %5d  %s\n", count, outcome.c_str());
  std::printf("kills that left an install folder: %d\n", folders_left_by_kill);
  std::printf("losses: %d\n", losses);
  std::printf("not recovered by the next installation: %d of %d\n", unrecovered_by_installation,
              runs - runs / 2);
  std::printf("not recovered by the next start: %d of %d\n", unrecovered_by_start, runs / 2);
  return losses == 0 && unrecovered_by_installation == 0 && unrecovered_by_start == 0 ? 0 : 1;
}

}  // namespace
}  // namespace kelvoma::bench

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--install-child") == 0) {
    return kelvoma::bench::install_child(argv[2]);
  }
  if (argc == 2 && std::strcmp(argv[1], "--recover-child") == 0) {
    return kelvoma::bench::recover_child();
  }
  int runs = 300;
  std::uint64_t payload_mib = 8;
  unsigned seed = 20261207;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--payload-mib") == 0)
      payload_mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--seed") == 0) seed = static_cast<unsigned>(std::atoi(argv[i + 1]));
  }
  return kelvoma::bench::run(runs, payload_mib * 1048576, seed);
}
