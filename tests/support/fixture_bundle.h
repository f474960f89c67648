// Fixture application bundles and archives, made at test time.
//
//   BundleSpec spec = fixture::tool_bundle("orbit-action-dial", /*build=*/2, "2.0.0");
//   spec.marker = "new";                               // tells copies apart
//   auto bundle = fixture::make_bundle(dir, spec);     // dir/Orbit Action Dial.app
//   auto zip = fixture::zip_entries(dir, {spec.bundle_name}, dir / "release.zip");
//
// A bundle is "<bundle_name>/Contents/Info.plist" (XML or binary), the
// executable "Contents/MacOS/<executable>" (a copy of kelvoma-fixture-tool,
// mode 0755), "Contents/Resources/marker.txt" holding `marker`, and a
// relative symbolic link "Contents/Resources/marker-link" to it. The fixture
// tool runs until SIGTERM; see tests/fixtures/app/fixture_tool.cpp for the
// options and environment variables that change that.
//
// Helpers report a broken fixture as a GoogleTest failure of the calling test
// (and return an empty value).
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "verify/build_config.h"

namespace kelvoma::fixture {

enum class PlistFormat { xml, binary };

// A value in Info.plist: a string, an integer or a boolean.
using PlistValue = std::variant<std::string, std::int64_t, bool>;

struct BundleSpec {
  std::string bundle_name;                               // "Orbit Action Dial.app"
  std::string executable = "fixture-tool";               // Contents/MacOS/<executable>
  std::vector<std::pair<std::string, PlistValue>> info;  // Info.plist's root dictionary
  PlistFormat format = PlistFormat::xml;
  std::string marker = "fixture";  // Contents/Resources/marker.txt
  std::uint64_t payload_size = 0;  // Contents/Resources/payload.bin of random bytes
};

// Sets `key` (replacing an earlier value) or removes it.
void set_info(BundleSpec& spec, std::string_view key, PlistValue value);
void remove_info(BundleSpec& spec, std::string_view key);

// The bundle of fixture catalog tool `tool_id`: CFBundleIdentifier
// (bundle_id), CFBundleVersion (the build as decimal text),
// CFBundleShortVersionString (`version`), CFBundleExecutable, CFBundleName
// and LSMinimumSystemVersion "13.0".
BundleSpec tool_bundle(std::string_view tool_id, std::uint64_t build,
                       std::string_view version = "1.0.0");

// The Info.plist bytes of `spec` in its format.
std::string info_plist(const BundleSpec& spec);

// Creates directory/<bundle_name> as described above; returns its path.
std::filesystem::path make_bundle(const std::filesystem::path& directory, const BundleSpec& spec);

// Zips the entries (relative to `directory`) with `zip -qry`, symbolic links
// stored as links; writes `archive` and returns its bytes.
std::vector<std::uint8_t> zip_entries(const std::filesystem::path& directory,
                                      const std::vector<std::string>& entries,
                                      const std::filesystem::path& archive);

// Hostile archives: besides every file under directory/<bundle_name> they
// hold one entry meant to land at `outside` (an absolute path outside any
// extraction directory):
enum class HostileEntry {
  parent_directory,  // "<bundle_name>/../../..(enough)/<outside>"
  absolute_path,     // "<outside>" itself
  symlink_write,     // link "<bundle_name>/escape" -> parent of <outside>, then
                     // "<bundle_name>/escape/<file name of outside>"
  unicode_path,      // a harmless name whose Info-ZIP Unicode path is "<outside>"
};

// Writes the hostile archive with python3's zipfile; returns its bytes.
std::vector<std::uint8_t> hostile_zip(const std::filesystem::path& directory,
                                      std::string_view bundle_name, HostileEntry kind,
                                      const std::filesystem::path& outside,
                                      const std::filesystem::path& archive);

// Seals `bundle` for `team` with tests/fixtures/seal/<team>.sec, then (when
// `notarize`) adds the ticket of tests/fixtures/seal/notary.sec, both with
// kelvoma-publish; returns whether that succeeded.
bool seal_bundle(const std::filesystem::path& bundle, std::string_view team = "TESTTEAM42",
                 bool notarize = true);

// The same seal and ticket made with signify-openbsd over seal-list's list,
// for bundles kelvoma-publish refuses to seal (a link out of the bundle, a
// link where the bundle's identity is read).
bool seal_bundle_with_signify(const std::filesystem::path& bundle);

// Code trust as the kelvoma-fixture-seal build has it: the seal, with the
// keys of tests/fixtures/seal.
CoreConfig seal_config();

// The fixture tool executable that bundles carry.
std::filesystem::path fixture_tool_path();

// The processor other than this build's, as releases name it, and a program
// for it: the cross-compiled fixture where the build made one, else a copy
// of the fixture tool in `directory` whose ELF header names that machine.
std::string_view foreign_processor();
std::filesystem::path foreign_program(const std::filesystem::path& directory);

}  // namespace kelvoma::fixture
