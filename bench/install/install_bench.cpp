// An end-to-end update through mini_install (manifest, archive download,
// signature, unpacking, bundle checks with the stub signing programs,
// replacement) against the same transfers and file work done by shell tools:
// curl of the manifest, curl of the archive to a file, bsdtar, sync -f (the
// unpacked bundle reaches the disk before the swap, as ours does), mv, rm.
// Both update the same installed copy from the same local HTTPS server; runs
// alternate so that load from elsewhere falls on both alike; medians are
// compared. Peak memory is the installing process's own high-water mark
// (VmHWM), which it reports when done: a child's rusage would also count the
// memory of the benchmark process it was spawned from. A third run in each
// round installs through mini_install_with_progress with a callback that
// keeps the last report, so that reporting is measured against its absence.
// A second update, of a bundle of many small files, weighs the unpacking
// itself. `--other-build` times another build's installing child in the
// same rounds, for comparing two builds on one machine at one time.
//
//   kelvoma_install_bench [--runs N] [--size-mib N] [--small-files N] [--other-build EXE]
//   kelvoma_install_bench --install-child TARGET [--with-progress]   (one installation)
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "fetch/fetch.h"
#include "kelvoma/kelvoma.h"
#include "release_fixture.h"

extern char** environ;

namespace kelvoma::bench {
namespace {

using Clock = std::chrono::steady_clock;
constexpr double mib = 1048576.0;

std::int32_t not_running(const char*, const char*) { return 0; }

// The "VmHWM:" line of /proc/self/status, in KiB.
long peak_resident_kib() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  long kib = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1) break;
  }
  std::fclose(status);
  return kib;
}

// What a window would keep of the reports: the last one, and how many came.
struct SeenProgress {
  std::int32_t phase = -1;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  int reports = 0;
};

void keep_progress(void* context, std::int32_t phase, std::uint64_t done, std::uint64_t total) {
  auto& seen = *static_cast<SeenProgress*>(context);
  seen = {.phase = phase, .done = done, .total = total, .reports = seen.reports + 1};
}

int install_child(const char* target, bool with_progress) {
  SeenProgress seen;
  char* document = with_progress ? mini_install_with_progress(tool_id, target, os_version,
                                                              not_running, keep_progress, &seen)
                                 : mini_install(tool_id, target, os_version, not_running);
  if (with_progress) std::fprintf(stderr, "    progress: %d reports\n", seen.reports);
  const bool ok = std::strstr(document, "\"ok\":true") != nullptr;
  if (!ok) std::fprintf(stderr, "%s\n", document);
  mini_free(document);
  std::printf("%ld\n", peak_resident_kib());
  return ok ? 0 : 3;
}

struct Measurement {
  double seconds = -1;     // negative: the run failed
  double peak_mib = -1;    // what the child reported, if anything
  double cpu_seconds = 0;  // user and system time of the child and what it waited for
};

double seconds_of(const timeval& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

Measurement measure(std::vector<std::string> arguments) {
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  int output[2];
  if (::pipe2(output, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
  const auto start = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(output[1]);
  std::string printed;
  char buffer[256];
  for (ssize_t got; (got = ::read(output[0], buffer, sizeof buffer)) != 0;) {
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) break;
    printed.append(buffer, static_cast<std::size_t>(got));
  }
  ::close(output[0]);
  if (spawned != 0) return {};
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  Measurement result;
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.cpu_seconds = seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
  if (!printed.empty()) result.peak_mib = std::strtod(printed.c_str(), nullptr) / 1024.0;
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) result.seconds = -1;
  return result;
}

std::string quoted(const std::string& text) {
  std::string result = "'";
  for (const char c : text) {
    if (c == '\'') {
      result += "'\\''";
    } else {
      result += c;
    }
  }
  return result + "'";
}

// The shell's version of the same work, with the transfer tool's own
// arguments as the core uses them.
std::string shell_script(const UpdateFixture& fixture) {
  std::string curl = "/usr/bin/curl";
  for (const auto& argument : transfer_arguments("", 1048577)) {
    if (argument == "--url" || argument.empty()) continue;
    curl += " " + quoted(argument);
  }
  const std::string dir = quoted(fixture.applications() + "/.shell-install");
  return "set -e\n"
         "rm -rf " +
         dir + "\nmkdir " + dir + "\n" + curl + " --url " + quoted(fixture.manifest_url()) +
         " > /dev/null\n" + curl + " -o " + dir + "/update.zip --url " +
         quoted(fixture.archive_url()) + "\n" + "mkdir " + dir +
         "/unpacked\n"
         "/usr/bin/bsdtar -x -f " +
         dir + "/update.zip -C " + dir +
         "/unpacked\n"
         "sync -f " +
         dir +
         "\n"
         "mv " +
         quoted(fixture.target()) + " " + dir +
         "/previous.app\n"
         "mv " +
         dir + "/unpacked/" + quoted("Orbit Action Dial.app") + " " + quoted(fixture.target()) +
         "\n"
         "rm -rf " +
         dir + "\n";
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

bool updated(const UpdateFixture& fixture, std::uint64_t payload) {
  std::string detail;
  const bool ok = judge_target(fixture.target(), payload, detail) == Outcome::new_copy;
  if (!ok) std::fprintf(stderr, "not updated: %s\n", detail.c_str());
  return ok;
}

// The times of one way of installing over the rounds.
struct Series {
  Series(std::string name_, std::vector<std::string> arguments_)
      : name(std::move(name_)), arguments(std::move(arguments_)) {}
  std::string name;
  std::vector<std::string> arguments;
  std::vector<double> seconds;
  std::vector<double> cpu;
  double peak_mib = 0;
};

// What one update is measured on: the payload, the small files, and
// whether the update with progress reports is measured too.
struct Scenario {
  std::uint64_t payload;
  int small_files;
  bool with_progress;
};

// Runs every series once per round, each round starting one further along,
// so that neither gains from its place; false when an update failed.
bool measure_rounds(const UpdateFixture& fixture, const Scenario& scenario, int runs,
                    std::vector<Series>& series) {
  // One update of a fresh old copy; a negative time when it failed. The old
  // copy reaches the disk first: its writing belongs to no run, and left
  // pending it would fall on whichever run flushes next.
  const auto update = [&](const std::vector<std::string>& arguments) {
    fixture.install_old();
    ::sync();
    Measurement measured = measure(arguments);
    if (measured.seconds >= 0 && !updated(fixture, scenario.payload)) measured.seconds = -1;
    return measured;
  };
  for (int i = 0; i < runs; ++i) {
    std::printf("  run %d:", i + 1);
    for (std::size_t k = 0; k < series.size(); ++k) {
      Series& one = series[(static_cast<std::size_t>(i) + k) % series.size()];
      const Measurement measured = update(one.arguments);
      if (measured.seconds < 0) {
        std::printf(" %s failed\n", one.name.c_str());
        return false;
      }
      std::printf(" %s %.3f s,", one.name.c_str(), measured.seconds);
      one.seconds.push_back(measured.seconds);
      one.cpu.push_back(measured.cpu_seconds);
      one.peak_mib = std::max(one.peak_mib, measured.peak_mib);
    }
    std::printf("\n");
  }
  fixture.remove_install_directories();
  return true;
}

// `other_build`, when given, is another build of this benchmark whose
// installing child is timed beside this one's (an older unpacking, say).
int run(int runs, const Scenario& scenario, const std::string& other_build) {
  const UpdateFixture fixture(scenario.payload, scenario.small_files);
  if (!fixture.ready()) {
    std::fprintf(stderr, "fixture: %s\n", fixture.failure().c_str());
    return 2;
  }
  std::printf("archive %.1f MiB (%d small files), %d runs each\n",
              static_cast<double>(fixture.archive_size()) / mib, scenario.small_files, runs);
  std::vector<Series> series = {
      Series("mini_install", {"/proc/self/exe", "--install-child", fixture.target()}),
      Series("shell tools", {"/bin/sh", "-c", shell_script(fixture)})};
  if (scenario.with_progress) {
    series.push_back(series[0]);
    series.back().name = "with progress";
    series.back().arguments.emplace_back("--with-progress");
  }
  if (!other_build.empty()) {
    series.emplace_back("other build",
                        std::vector<std::string>{other_build, "--install-child", fixture.target()});
  }
  if (!measure_rounds(fixture, scenario, runs, series)) return 2;
  const double core = median(series[0].seconds);
  const double ratio = core / median(series[1].seconds);
  std::printf("wall time (median): mini_install %.3f s, shell tools %.3f s, ratio %.3f%s\n", core,
              median(series[1].seconds), ratio, scenario.with_progress ? " (limit 0.95)" : "");
  bool passed = !scenario.with_progress || ratio <= 0.95;
  if (scenario.with_progress) {
    const Series& reported = series[2];
    const double progress_ratio = median(reported.seconds) / core;
    const double peak_limit = 32;
    std::printf("with progress (median): %.3f s, ratio to mini_install %.3f (limit 1.02)\n",
                median(reported.seconds), progress_ratio);
    std::printf("CPU time (median): mini_install %.3f s, with progress %.3f s, ratio %.3f\n",
                median(series[0].cpu), median(reported.cpu),
                median(reported.cpu) / median(series[0].cpu));
    std::printf("peak RSS of the installing process: %.1f MiB (limit %.1f MiB)\n",
                series[0].peak_mib, peak_limit);
    passed = passed && progress_ratio <= 1.02 && series[0].peak_mib <= peak_limit;
  }
  if (!other_build.empty()) {
    const Series& other = series.back();
    std::printf(
        "other build (median): %.3f s (CPU %.3f s), ratio to shell tools %.3f, mini_install "
        "to it %.3f (CPU %.3f s)\n",
        median(other.seconds), median(other.cpu), median(other.seconds) / median(series[1].seconds),
        core / median(other.seconds), median(series[0].cpu));
  }
  std::printf("%s\n", passed ? "within the limits" : "OUTSIDE THE LIMITS");
  return passed ? 0 : 1;
}

}  // namespace
}  // namespace kelvoma::bench

int main(int argc, char** argv) {
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--install-child") == 0) {
    return kelvoma::bench::install_child(argv[2],
                                         argc == 4 && std::strcmp(argv[3], "--with-progress") == 0);
  }
  int runs = 5;
  std::uint64_t size_mib = 100;
  int small_files = 10'000;
  std::string other_build;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--size-mib") == 0) size_mib = std::strtoull(argv[i + 1], nullptr, 10);
    if (std::strcmp(argv[i], "--small-files") == 0) small_files = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--other-build") == 0) other_build = argv[i + 1];
  }
  using kelvoma::bench::Scenario;
  std::printf("== update of %llu MiB\n", static_cast<unsigned long long>(size_mib));
  const int large = kelvoma::bench::run(
      runs, Scenario{.payload = size_mib * 1048576, .small_files = 0, .with_progress = true},
      other_build);
  if (large == 2 || small_files <= 0) return large;
  std::printf("== update of %d small files\n", small_files);
  const int many = kelvoma::bench::run(
      runs, Scenario{.payload = 0, .small_files = small_files, .with_progress = false},
      other_build);
  return std::max(large, many);
}
