// Benchmarks of the download runner and the update check against the local
// HTTPS server, each beside the bare transfer tool doing the same work:
//
//   1. fetch_url of a 256 MiB body, against `curl | cat > /dev/null` (the
//      same pipe the runner reads) and `curl -o /dev/null`; peak memory of a
//      process that does nothing but that one fetch.
//   2. A complete mini_check (fetch, signature, rules, document) against a
//      bare `curl` of the same manifest.
//
// Runs alternate between the contenders so that load from elsewhere on the
// machine falls on all of them alike; medians are compared. The CPU column
// (this process and its children, the server left out) is steadier than
// wall time on a busy machine.
//
//   kelvoma_fetch_bench [--runs N] [--check-runs N]
//   kelvoma_fetch_bench --fetch-once URL LIMIT   (the peak-memory probe)
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "fetch/command.h"
#include "fetch/fetch.h"
#include "kelvoma/kelvoma.h"
#include "support/signing.h"
#include "support/test_server.h"

namespace kelvoma {
namespace {

using Clock = std::chrono::steady_clock;
using testing::ServerPort;
using testing::TestServer;

constexpr std::uint64_t body_size = 268435456;
constexpr double mib = 1048576.0;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// CPU time of this process and of every child waited for so far.
double cpu_seconds() {
  rusage self{};
  rusage children{};
  getrusage(RUSAGE_SELF, &self);
  getrusage(RUSAGE_CHILDREN, &children);
  const auto seconds = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  return seconds(self.ru_utime) + seconds(self.ru_stime) + seconds(children.ru_utime) +
         seconds(children.ru_stime);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t middle = values.size() / 2;
  return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// Runs `command` with its output going nowhere and returns the wall time,
// or a negative value when it did not succeed.
double timed_command(const Command& command) {
  const auto start = Clock::now();
  auto child = ChildProcess::start(command, StreamSetup{.input = Stream::null_device,
                                                        .output = Stream::null_device,
                                                        .error = Stream::inherit});
  if (!child) {
    std::fprintf(stderr, "cannot start %s: %s\n", command.program.c_str(), child.error().c_str());
    return -1;
  }
  const auto status = child->wait();
  const double elapsed = seconds_since(start);
  return status && exited_successfully(*status) ? elapsed : -1;
}

// The transfer tool's own arguments with the body sent to /dev/null.
Command curl_to_null(const std::string& url) {
  std::vector<std::string> arguments = transfer_arguments(url, body_size);
  arguments.insert(arguments.end() - 2, {"--output", "/dev/null"});
  return Command{"/usr/bin/curl", arguments};
}

// The transfer tool's own arguments, its standard output read by cat.
Command curl_into_cat(const std::string& url) {
  std::string script = "/usr/bin/curl";
  for (const std::string& argument : transfer_arguments(url, body_size)) {
    script += " '" + argument + "'";
  }
  script += " | /bin/cat > /dev/null";
  return Command{"/bin/sh", {"-c", script}};
}

struct Contender {
  const char* name;
  std::function<double()> run;
  std::vector<double> times{};
  std::vector<double> cpu{};  // ours and our children's, the server's excluded
};

bool race(std::vector<Contender>& contenders, int runs) {
  for (int run = 0; run < runs; ++run) {
    for (Contender& contender : contenders) {
      const double cpu_before = cpu_seconds();
      const double elapsed = contender.run();
      if (elapsed < 0) {
        std::fprintf(stderr, "%s failed\n", contender.name);
        return false;
      }
      contender.times.push_back(elapsed);
      contender.cpu.push_back(cpu_seconds() - cpu_before);
    }
  }
  return true;
}

void print_times(const std::vector<Contender>& contenders, double scale, const char* unit) {
  for (const Contender& contender : contenders) {
    std::printf("  %-34s median %8.1f %s   min %8.1f %s   max %8.1f %s   cpu %8.1f %s\n",
                contender.name, median(contender.times) * scale, unit,
                *std::min_element(contender.times.begin(), contender.times.end()) * scale, unit,
                *std::max_element(contender.times.begin(), contender.times.end()) * scale, unit,
                median(contender.cpu) * scale, unit);
  }
}

// Peak resident memory of a process that fetches `url` once.
long peak_memory_of_one_fetch(const std::string& url) {
  auto child = ChildProcess::start(
      Command{"/proc/self/exe", {"--fetch-once", url, std::to_string(body_size)}},
      StreamSetup{
          .input = Stream::null_device, .output = Stream::inherit, .error = Stream::inherit});
  if (!child) {
    std::fprintf(stderr, "cannot start the probe: %s\n", child.error().c_str());
    return -1;
  }
  const auto status = child->wait();
  if (!status || !exited_successfully(*status)) {
    return -1;
  }
  rusage usage{};
  getrusage(RUSAGE_CHILDREN, &usage);  // the largest of the children waited for
  return usage.ru_maxrss;              // KiB
}

int fetch_once(const char* url, const char* limit) {
  const auto body = fetch_url(CoreConfig{}, url, std::strtoull(limit, nullptr, 10));
  if (!body) {
    std::fprintf(stderr, "fetch failed: %s\n", body.error().c_str());
    return 1;
  }
  return body->size() == std::strtoull(limit, nullptr, 10) ? 0 : 1;
}

bool large_body(int runs) {
  TestServer server;
  if (!server.running()) {
    std::fprintf(stderr, "%s\n", server.failure().c_str());
    return false;
  }
  const std::string url = server.url("/_/bytes/" + std::to_string(body_size));

  // Measured first, while no other child has been waited for.
  const long peak_kib = peak_memory_of_one_fetch(url);
  if (peak_kib < 0) {
    std::fprintf(stderr, "the peak-memory probe failed\n");
    return false;
  }

  std::vector<Contender> contenders = {
      {"fetch_url",
       [&] {
         const auto start = Clock::now();
         const auto body = fetch_url(CoreConfig{}, url, body_size);
         const double elapsed = seconds_since(start);
         return body && body->size() == body_size ? elapsed : -1.0;
       }},
      {"curl | cat > /dev/null", [&] { return timed_command(curl_into_cat(url)); }},
      {"curl -o /dev/null", [&] { return timed_command(curl_to_null(url)); }},
  };
  (void)timed_command(curl_to_null(url));  // warm-up: certificate, page cache, server
  if (!race(contenders, runs)) {
    return false;
  }

  std::printf("256 MiB body, %d runs each\n", runs);
  print_times(contenders, 1000.0, "ms");
  const double ours = median(contenders[0].times);
  const double piped = median(contenders[1].times);
  const double direct = median(contenders[2].times);
  std::printf("  throughput of fetch_url            %8.1f MiB/s\n", body_size / mib / ours);
  std::printf("  ratio fetch_url / curl | cat       %8.3f   (target at most 1.1)\n", ours / piped);
  std::printf("  ratio fetch_url / curl -o /dev/null%8.3f\n", ours / direct);
  std::printf(
      "  peak RSS of one fetch              %8.1f MiB = body + %.1f MiB (target at most body + "
      "16)\n",
      peak_kib / 1024.0, peak_kib / 1024.0 - body_size / mib);
  return true;
}

bool update_check(int runs) {
  TestServer server(ServerPort::fixture);
  if (!server.running()) {
    std::fprintf(stderr, "%s\n", server.failure().c_str());
    return false;
  }
  const std::string path = "/tobranix/orbit-action-dial/releases/latest/download/release.json";
  server.put(path, fixture::signed_manifest(fixture::load_key("orbit-action-dial"),
                                            fixture::fixture_release("orbit-action-dial")));
  const std::string url = server.url(path);
  const std::string expected = R"({"available":true,"build":1,"ok":true,"version":"1.0.0"})";

  std::vector<Contender> contenders = {
      {"mini_check",
       [&] {
         const auto start = Clock::now();
         char* document = mini_check("orbit-action-dial", "14.0.0", 0);
         const double elapsed = seconds_since(start);
         const bool ok = expected == document;
         mini_free(document);
         return ok ? elapsed : -1.0;
       }},
      {"curl --silent --output /dev/null",
       [&] {
         return timed_command(Command{"/usr/bin/curl", {"--silent", "--output", "/dev/null", url}});
       }},
  };
  (void)contenders[1].run();  // warm-up
  if (!race(contenders, runs)) {
    return false;
  }
  std::printf("update check of one manifest, %d runs each\n", runs);
  print_times(contenders, 1000.0, "ms");
  std::printf("  ratio mini_check / bare curl       %8.3f   (target at most 1.2)\n",
              median(contenders[0].times) / median(contenders[1].times));
  return true;
}

}  // namespace
}  // namespace kelvoma

int main(int argc, char** argv) {
  if (argc == 4 && std::strcmp(argv[1], "--fetch-once") == 0) {
    return kelvoma::fetch_once(argv[2], argv[3]);
  }
  int runs = 7;
  int check_runs = 31;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) {
      runs = std::atoi(argv[i + 1]);
    } else if (std::strcmp(argv[i], "--check-runs") == 0) {
      check_runs = std::atoi(argv[i + 1]);
    }
  }
  const bool large = kelvoma::large_body(runs);
  const bool check = kelvoma::update_check(check_runs);
  return large && check ? 0 : 1;
}
