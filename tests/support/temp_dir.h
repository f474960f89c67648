// A fresh directory for one test, removed with everything in it at the end.
#pragma once

#include <string>

namespace kelvoma::testing {

class TempDir {
 public:
  TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;
  // Writes `contents` to file(name), creating missing parent directories.
  std::string write(const std::string& name, const std::string& contents) const;

 private:
  std::string path_;
};

// The whole contents of a file (empty when it cannot be read).
std::string read_file(const std::string& path);

}  // namespace kelvoma::testing
