#include "qt_files.h"

#include <unistd.h>

#include <QDir>
#include <cstdlib>
#include <filesystem>

#include "system/property_list.h"

namespace kelvoma::app::qt {

std::string QtFiles::homeDirectory() {
  const char* home = std::getenv("HOME");
  return home != nullptr && home[0] != '\0' ? home : QDir::homePath().toStdString();
}

std::optional<Document> QtFiles::readPropertyList(const std::string& path) {
  return system::readPropertyList(path);
}

std::string QtFiles::resolveSymlinks(const std::string& path) {
  std::error_code error;
  const auto resolved = std::filesystem::weakly_canonical(path, error);
  return error ? path : resolved.string();
}

bool QtFiles::isWritable(const std::string& path) { return access(path.c_str(), W_OK) == 0; }

bool QtFiles::isDirectory(const std::string& path) {
  std::error_code error;
  return std::filesystem::is_directory(path, error);
}

}  // namespace kelvoma::app::qt
