#include "update_fixture.h"

#include <sys/stat.h>

#include <filesystem>
#include <random>

#include "support/fixture_bundle.h"
#include "support/signing.h"

namespace kelvoma::crash {
namespace {

namespace fs = std::filesystem;

constexpr int languages = 72;
constexpr int icons = 60;
constexpr int framework_resources = 24;

std::string random_bytes(std::uint32_t seed, std::size_t size) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes) byte = static_cast<char>(random() & 0xff);
  return bytes;
}

void put(const fs::path& path, const std::string& bytes, fs::perms mode = fs::perms(0644)) {
  fs::create_directories(path.parent_path());
  fixture::write_file(path, std::string_view(bytes));
  fs::permissions(path, mode);
}

// The build's resources beside what make_bundle writes; `build` 1 or 2.
void add_resources(const fs::path& bundle, int build) {
  const fs::path resources = bundle / "Contents/Resources";
  for (int i = 0; i < languages; ++i) {
    const fs::path lproj = resources / "l10n" / ("l" + std::to_string(i) + ".lproj");
    const std::string strings = "\"build\" = \"" + std::to_string(build) + "\";\n";
    put(lproj / "Localizable.strings",
        strings + random_bytes(build * 1000 + i, 64 + i * 61 % 3000));
    put(lproj / "InfoPlist.strings", strings);
    if (build == 1 && i % 5 == 0) put(lproj / "Legacy.strings", strings);
    if (build == 2 && i % 4 == 0) put(lproj / "Help.strings", strings + "help\n");
  }
  for (int i = 0; i < icons; ++i) {
    const int size = (i % 7) * 2500 + (i == 3 ? 0 : 17);
    put(resources / "icons" / ("icon" + std::to_string(i) + ".png"),
        random_bytes(build * 5000 + i, static_cast<std::size_t>(size)));
  }
  put(resources / "scripts/helper.sh", "#!/bin/sh\necho " + std::to_string(build) + "\n",
      fs::perms(0755));
  put(resources / "read-only.txt", "build " + std::to_string(build) + "\n", fs::perms(0444));
  put(resources / "private.key", random_bytes(build, 32), fs::perms(0600));
  fs::create_symlink("l10n/l1.lproj", resources / "current-language");
  const fs::path framework = bundle / "Contents/Frameworks/Dial.framework";
  const fs::path version = framework / "Versions" / (build == 1 ? "A" : "B");
  put(version / "Dial", random_bytes(build * 7, 40000 + build * 1000), fs::perms(0755));
  for (int i = 0; i < framework_resources; ++i) {
    put(version / "Resources" / ("r" + std::to_string(i) + ".dat"),
        random_bytes(build * 9000 + i, 100 + i * 37));
  }
  fs::create_symlink(build == 1 ? "A" : "B", framework / "Versions/Current");
  fs::create_symlink("Versions/Current/Dial", framework / "Dial");
  fs::create_symlink("Versions/Current/Resources", framework / "Resources");
}

std::string version_of(int build) { return std::to_string(build) + ".0.0"; }

// Build 3 is the refused one: another application's identifier.
fs::path make_build(const fs::path& folder, int build) {
  fixture::BundleSpec spec =
      fixture::tool_bundle(tool_id, static_cast<std::uint64_t>(build), version_of(build));
  spec.marker = build == 1 ? "old" : "new";
  if (build == 3) fixture::set_info(spec, "CFBundleIdentifier", "cz.example.other");
  const fs::path bundle = fixture::make_bundle(folder, spec);
  add_resources(bundle, build == 3 ? 2 : build);
  return bundle;
}

// The manifest of `build`, published with its archive; empty on failure.
std::string publish(const testing::TestServer& server, const fs::path& sources, int build) {
  const std::string version = version_of(build);
  const fs::path folder = sources / version;
  fs::create_directories(folder);
  make_build(folder, build);
  const auto archive = fixture::zip_entries(folder, {bundle_name}, sources / (version + ".zip"));
  if (archive.empty()) return {};
  Release release = fixture::fixture_release(tool_id);
  release.build = static_cast<std::uint64_t>(build);
  release.version = version;
  release.archive_url = fixture::archive_prefix(tool_id) + "v" + version + "/orbit-action-dial.zip";
  const auto published = fixture::publish_release(
      server.root() + "/tobranix/orbit-action-dial/releases/download/v" + version,
      fixture::load_key(tool_id), release, archive);
  return fixture::read_file(published.manifest);
}

}  // namespace

UpdateFixture::UpdateFixture() : server_(testing::ServerPort::fixture) {
  if (!server_.running()) {
    failure_ = server_.failure();
    return;
  }
  const fs::path sources = sources_.path();
  manifest_ = publish(server_, sources, 2);
  refused_manifest_ = publish(server_, sources, 3);
  if (manifest_.empty() || refused_manifest_.empty()) {
    failure_ = "cannot zip the releases";
    return;
  }
  offer_refused(false);
  release_bundle_ = (sources / version_of(2) / bundle_name).string();
  // Before the update: 1.0.0, another catalog tool and a file of the user's.
  before_ = (sources / "Applications").string();
  fs::create_directories(before_);
  make_build(before_, 1);
  fixture::make_bundle(before_, fixture::tool_bundle("pane-keeper", 1));
  put(fs::path(before_) / "notes.txt", "the user's own file\n");
}

void UpdateFixture::offer_refused(bool refused) const {
  server_.put("/tobranix/orbit-action-dial/releases/latest/download/release.json",
              refused ? refused_manifest_ : manifest_);
}

bool UpdateFixture::prepare(const std::string& applications) const {
  std::error_code error;
  fs::copy(before_, applications, fs::copy_options::recursive | fs::copy_options::copy_symlinks,
           error);
  return !error;
}

}  // namespace kelvoma::crash
