#include "mount_table.h"

#include <charconv>
#include <fstream>
#include <sstream>

namespace kelvoma::app::system {
namespace {

// The table writes space, tab, line feed and backslash as "\ooo".
std::string unescaped(const std::string& field) {
  std::string text;
  for (std::size_t i = 0; i < field.size(); ++i) {
    unsigned value = 0;
    const char* digits = field.data() + i + 1;
    if (field[i] == '\\' && i + 3 < field.size() &&
        std::from_chars(digits, digits + 3, value, 8).ptr == digits + 3) {
      text += static_cast<char>(value);
      i += 3;
    } else {
      text += field[i];
    }
  }
  return text;
}

bool holds(const std::string& point, const std::string& path) {
  return point == "/" || path == point || (path.starts_with(point) && path[point.size()] == '/');
}

}  // namespace

std::optional<Mount> mountHolding(const std::string& resolvedPath, const std::string& table) {
  std::ifstream lines(table);
  std::optional<Mount> found;
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream fields(line);
    Mount mount;
    std::string parent, device, root, point;
    if (!(fields >> mount.id >> parent >> device >> root >> point)) {
      continue;
    }
    mount.point = unescaped(point);
    if (holds(mount.point, resolvedPath) && (!found || mount.point.size() >= found->point.size())) {
      found = mount;
    }
  }
  return found;
}

}  // namespace kelvoma::app::system
