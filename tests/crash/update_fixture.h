// The update the explorer records: "orbit-action-dial" 1.0.0 installed in
// an Applications folder beside other things, and 2.0.0 published on the
// local HTTPS release host (fixture port). Both bundles hold a few hundred
// files in nested folders, relative symbolic links (a framework's
// Versions/Current among them), an executable and files of several modes;
// 2.0.0 drops some of 1.0.0's files, adds others and changes the rest. A
// 3.0.0 that an installation refuses can be offered instead.
#pragma once

#include <string>

#include "support/temp_dir.h"
#include "support/test_server.h"

namespace kelvoma::crash {

inline constexpr const char* tool_id = "orbit-action-dial";
inline constexpr const char* bundle_name = "Orbit Action Dial.app";
inline constexpr const char* os_version = "14.0.0";

class UpdateFixture {
 public:
  UpdateFixture();

  bool ready() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  // Copies the Applications folder before the update to `applications`
  // (which must not exist).
  bool prepare(const std::string& applications) const;

  // 2.0.0's bundle as this fixture built it, before it was zipped: what an
  // update must install, file by file.
  const std::string& release_bundle() const { return release_bundle_; }

  // Offers 3.0.0 as the latest release instead of 2.0.0: signed as it
  // should be, but its bundle carries another application's identifier, so
  // an installation refuses it after unpacking and rolls back.
  void offer_refused(bool refused) const;

 private:
  testing::TestServer server_;
  testing::TempDir sources_;
  std::string before_;
  std::string release_bundle_;
  std::string manifest_;          // 2.0.0's
  std::string refused_manifest_;  // 3.0.0's
  std::string failure_;
};

}  // namespace kelvoma::crash
