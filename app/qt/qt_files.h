// The files part of the platform: the home folder, property lists, links and
// permissions, straight from the file system.
#pragma once

#include "platform.h"

namespace kelvoma::app::qt {

class QtFiles : public Files {
 public:
  std::string homeDirectory() override;
  std::optional<Document> readPropertyList(const std::string& path) override;
  std::string resolveSymlinks(const std::string& path) override;
  bool isWritable(const std::string& path) override;
  bool isDirectory(const std::string& path) override;
};

}  // namespace kelvoma::app::qt
