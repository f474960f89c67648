#include "support/process_util.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kelvoma::testing {

std::vector<pid_t> child_processes() {
  std::vector<pid_t> children;
  const pid_t self = getpid();
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) {
      continue;
    }
    std::ifstream stat(entry.path() / "stat");
    std::string line;
    if (!std::getline(stat, line)) {
      continue;  // ended meanwhile
    }
    // "pid (command) state ppid ...": the command may hold spaces and
    // parentheses, so read from the last ')'.
    const auto close = line.rfind(')');
    if (close == std::string::npos) {
      continue;
    }
    std::istringstream rest(line.substr(close + 1));
    char state = 0;
    pid_t parent = 0;
    if (rest >> state >> parent && parent == self) {
      children.push_back(static_cast<pid_t>(std::stol(name)));
    }
  }
  return children;
}

bool process_exists(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

std::vector<int> listed_descriptors(const std::string& listing) {
  std::vector<int> descriptors;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const auto arrow = line.find(" -> ");
    if (arrow == std::string::npos) {
      continue;  // "total 0"
    }
    if (line.compare(arrow + 4, 6, "/proc/") == 0) {
      continue;  // the directory being listed
    }
    const auto start = line.rfind(' ', arrow - 1);
    descriptors.push_back(std::stoi(line.substr(start + 1, arrow - start - 1)));
  }
  return descriptors;
}

}  // namespace kelvoma::testing
