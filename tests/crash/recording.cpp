#include "recording.h"

#include <sys/wait.h>

#include <filesystem>

#include "fetch/command.h"
#include "support/temp_dir.h"

namespace kelvoma::crash {

std::string base_bytes(const Node& node) { return *node.base; }

std::expected<Recording, std::string> record_run(const std::vector<std::string>& arguments,
                                                 const std::string& applications, Tree before,
                                                 Expected expected,
                                                 const std::string& target_name) {
  const std::string log = applications + ".trace";
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
  std::vector<std::string> command = {
      "-f", "-y", "-qq", "-xx", "-s", "67108864", "-e", "trace=" + std::string(traced_calls()),
      "-o", log,  self};
  command.insert(command.end(), arguments.begin(), arguments.end());
  auto strace =
      ChildProcess::start(Command{"/usr/bin/strace", command},
                          StreamSetup{.output = Stream::null_device, .error = Stream::inherit});
  if (!strace) return std::unexpected("strace: " + strace.error());
  const auto status = strace->wait();
  if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
    return std::unexpected("the recorded run failed");
  }
  auto ops = read_trace(testing::read_file(log), applications);
  std::filesystem::remove(log);
  if (!ops) return std::unexpected(ops.error());
  Tree replayed = before;
  if (auto annotated = annotate(*ops, replayed, recorded_umask); !annotated) {
    return std::unexpected(annotated.error());
  }
  const auto after = Tree::load(applications);
  if (!after) return std::unexpected(after.error());
  const Listing real = after->listing(base_bytes);
  const std::vector<Op>& all = *ops;
  const Listing traced = replayed.listing(
      [&](const Node& node) { return contents(node, all, [](std::size_t) { return true; }); });
  for (const auto& [path, item] : real) {
    if (!traced.contains(path) || traced.at(path) != item) {
      return std::unexpected("the trace does not give the folder the run left: \"" + path + "\"");
    }
  }
  if (real.size() != traced.size()) {
    return std::unexpected("the trace gives more than the folder the run left");
  }
  if (expected.new_bundle.empty()) expected.new_bundle = below(real, target_name);
  const Copy reported = judge(real, expected, target_name).target;
  return Recording{.before = std::move(before),
                   .ops = std::move(*ops),
                   .expected = std::move(expected),
                   .reported = reported,
                   .target_name = target_name};
}

std::string place_of(const Op& barrier) {
  const std::string kind = describe(barrier);
  return kind.substr(0, kind.find(' ')) + "@" + barrier.path;
}

std::size_t drop_barriers(std::vector<Op>& ops, const std::string& what) {
  return std::erase_if(ops, [&](const Op& op) {
    if (!is_barrier(op.kind)) return false;
    const std::string place = place_of(op);
    return what.contains('@') ? place == what : place.starts_with(what + "@");
  });
}

}  // namespace kelvoma::crash
