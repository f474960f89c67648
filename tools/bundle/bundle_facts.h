// What a release says about its bundle, taken from the bundle itself so that
// the two cannot disagree: Info.plist's identifier, version, build and
// minimum system, and the processor of the executable it names.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

namespace kelvoma::publish {

struct BundleFacts {
  std::string identifier;      // CFBundleIdentifier
  std::string version;         // CFBundleShortVersionString
  std::uint64_t build = 0;     // CFBundleVersion
  std::string minimum_system;  // LSMinimumSystemVersion, else "1.0"
  std::string architecture;    // of Contents/MacOS/<CFBundleExecutable>
};

// Refuses, naming the field, what the installation would refuse: a missing
// or unreadable value, an executable that is no ELF program of a known
// processor, a link, or one its owner may not execute. The bundle read may
// be a copy (the unpacked archive); messages name it `shown_as`.
std::expected<BundleFacts, std::string> read_bundle_facts(const std::string& bundle,
                                                          const std::string& shown_as);

}  // namespace kelvoma::publish
