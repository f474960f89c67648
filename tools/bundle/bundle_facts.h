// What a release says about its bundle, taken from the bundle itself so that
// the two cannot disagree: Info.plist's identifier, version, build and
// minimum system, and the processors of the programs it carries.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <vector>

#include "support/publish_support.h"

namespace kelvoma::publish {

struct BundleFacts {
  std::string identifier;                  // CFBundleIdentifier
  std::string version;                     // CFBundleShortVersionString
  std::uint64_t build = 0;                 // CFBundleVersion
  std::string minimum_system;              // LSMinimumSystemVersion, else "1.0"
  std::vector<std::string> architectures;  // of its programs (bundle_programs.h)
};

// Refuses, naming the field, what the installation would refuse: a missing
// or unreadable value (cause "info-plist", the path of Info.plist), and what
// read_bundle_programs refuses (cause "program", the path of
// Contents/MacOS; every program must carry its owner's execute bit). The
// bundle read may be a copy (the unpacked archive); messages and paths name
// it `shown_as`.
std::expected<BundleFacts, Failure> read_bundle_facts(const std::string& bundle,
                                                      const std::string& shown_as);

}  // namespace kelvoma::publish
