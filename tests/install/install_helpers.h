// Helpers shared by the installation suites.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/temp_dir.h"

namespace kelvoma::install_testing {

namespace fs = std::filesystem;

// Sets (or unsets) one environment variable for a scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, std::optional<std::string> value) : name_(name) {
    if (const char* old = ::getenv(name)) {
      old_ = old;
    }
    apply(value);
  }
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { apply(old_); }

 private:
  void apply(const std::optional<std::string>& value) const {
    if (value) {
      ::setenv(name_, value->c_str(), 1);
    } else {
      ::unsetenv(name_);
    }
  }
  const char* name_;
  std::optional<std::string> old_;
};

// The stub signing programs' log and exit statuses for one test.
class SigningStubs {
 public:
  SigningStubs()
      : log_path_(dir_.file("signing.log")),
        log_("KELVOMA_STUB_LOG", log_path_),
        codesign_("KELVOMA_CODESIGN_STATUS", std::nullopt),
        spctl_("KELVOMA_SPCTL_STATUS", std::nullopt),
        create_dir_("KELVOMA_STUB_CREATE_DIR", std::nullopt),
        copy_archive_("KELVOMA_STUB_COPY_ARCHIVE", std::nullopt) {}

  // One entry per run: the program name and its arguments.
  std::vector<std::vector<std::string>> runs() const {
    std::vector<std::vector<std::string>> result;
    const std::string text = testing::read_file(log_path_);
    std::size_t start = 0;
    while (start < text.size()) {
      const std::size_t end = text.find('\n', start);
      const std::string line = text.substr(start, end - start);
      std::vector<std::string> fields;
      std::size_t from = 0;
      while (true) {
        const std::size_t tab = line.find('\t', from);
        fields.push_back(line.substr(from, tab - from));
        if (tab == std::string::npos) break;
        from = tab + 1;
      }
      result.push_back(std::move(fields));
      if (end == std::string::npos) break;
      start = end + 1;
    }
    return result;
  }

 private:
  testing::TempDir dir_;
  std::string log_path_;
  ScopedEnv log_;
  ScopedEnv codesign_;
  ScopedEnv spctl_;
  ScopedEnv create_dir_;
  ScopedEnv copy_archive_;
};

// The ".kelvoma-install-" directories in `parent`.
inline std::vector<fs::path> install_directories(const fs::path& parent) {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(parent, error)) {
    if (entry.path().filename().string().starts_with(".kelvoma-install-")) {
      found.push_back(entry.path());
    }
  }
  return found;
}

// Everything below `root`, as sorted relative paths.
inline std::vector<std::string> tree(const fs::path& root) {
  std::vector<std::string> entries;
  std::error_code error;
  for (auto it = fs::recursive_directory_iterator(root, error);
       !error && it != fs::recursive_directory_iterator(); it.increment(error)) {
    entries.push_back(it->path().lexically_relative(root).string());
  }
  std::sort(entries.begin(), entries.end());
  return entries;
}

// One call of a progress callback, as record_progress keeps it.
struct ProgressReport {
  std::int32_t phase;
  std::uint64_t done;
  std::uint64_t total;
  bool operator==(const ProgressReport&) const = default;
};

inline void record_progress(void* reports, std::int32_t phase, std::uint64_t done,
                            std::uint64_t total) {
  static_cast<std::vector<ProgressReport>*>(reports)->push_back({phase, done, total});
}

}  // namespace kelvoma::install_testing
