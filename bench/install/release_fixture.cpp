#include "release_fixture.h"

#include <stdlib.h>

#include <filesystem>

#include "install/bundle/bundle.h"
#include "support/fixture_bundle.h"
#include "support/signing.h"

namespace kelvoma::bench {
namespace {

namespace fs = std::filesystem;

fixture::BundleSpec orbit_bundle(std::uint64_t build, const char* marker,
                                 std::uint64_t payload_bytes) {
  fixture::BundleSpec spec = fixture::tool_bundle(tool_id, build, "1.0." + std::to_string(build));
  spec.marker = marker;
  spec.payload_size = payload_bytes;
  return spec;
}

// `count` files that unpack much like the many small resources of a large
// application: a hundred to a folder, 100 to 900 bytes, compressible text.
void write_small_files(const fs::path& bundle, int count) {
  const fs::path many = bundle / "Contents/Resources/many";
  for (int i = 0; i < count; ++i) {
    const fs::path folder = many / std::to_string(i / 100);
    if (i % 100 == 0) fs::create_directories(folder);
    std::string text;
    while (text.size() < 100 + static_cast<std::size_t>(i * 37 % 800)) {
      text += "resource " + std::to_string(i) + " line " + std::to_string(text.size()) + "\n";
    }
    fixture::write_file(folder / (std::to_string(i) + ".txt"), text);
  }
}

std::uintmax_t size_or_zero(const fs::path& path) {
  std::error_code error;
  const auto size = fs::file_size(path, error);
  return error ? 0 : size;
}

// The build of a complete copy of build 1 or 2 at `bundle`, or 0.
std::uint64_t complete_build(const std::string& bundle, std::uint64_t new_payload_bytes,
                             std::string& detail) {
  const auto identity = read_bundle_identity(bundle);
  if (!identity) {
    detail = bundle + ": " + identity.error();
    return 0;
  }
  const fs::path contents = fs::path(bundle) / "Contents";
  const std::string marker = testing::read_file((contents / "Resources/marker.txt").string());
  std::error_code error;
  const bool link_ok = fs::read_symlink(contents / "Resources/marker-link", error) == "marker.txt";
  const bool executable_ok =
      size_or_zero(contents / "MacOS/fixture-tool") == size_or_zero(fixture::fixture_tool_path());
  const bool old_ok = identity->build == 1 && marker == "old";
  const bool new_ok = identity->build == 2 && marker == "new" &&
                      size_or_zero(contents / "Resources/payload.bin") == new_payload_bytes;
  if (!link_ok || !executable_ok || !(old_ok || new_ok)) {
    detail = bundle + ": incomplete (build " + std::to_string(identity->build) + ", marker \"" +
             marker + "\")";
    return 0;
  }
  return identity->build;
}

std::vector<fs::path> install_directories(const std::string& applications) {
  std::vector<fs::path> found;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(applications, error)) {
    if (entry.path().filename().string().starts_with(".kelvoma-install-")) {
      found.push_back(entry.path());
    }
  }
  return found;
}

}  // namespace

UpdateFixture::UpdateFixture(std::uint64_t payload_bytes, int small_files)
    : server_(testing::ServerPort::fixture),
      applications_(home_.file("Applications")),
      target_(applications_ + "/Orbit Action Dial.app") {
  if (!server_.running()) {
    failure_ = server_.failure();
    return;
  }
  ::setenv("HOME", home_.path().c_str(), 1);
  const std::string new_source = sources_.file("new");
  const std::string old_source = sources_.file("old");
  fs::create_directories(new_source);
  fs::create_directories(old_source);
  write_small_files(fixture::make_bundle(new_source, orbit_bundle(2, "new", payload_bytes)),
                    small_files);
  old_template_ = fixture::make_bundle(old_source, orbit_bundle(1, "old", 0)).string();
  Release release = fixture::fixture_release(tool_id);
  release.build = 2;
  release.version = "1.0.2";
  release.archive_url = fixture::archive_prefix(tool_id) + "v1.0.2/orbit-action-dial.zip";
  {
    const auto archive =
        fixture::zip_entries(new_source, {"Orbit Action Dial.app"}, sources_.file("new.zip"));
    if (archive.empty()) {
      failure_ = "cannot zip the new bundle";
      return;
    }
    const auto published = fixture::publish_release(
        server_.root() + "/tobranix/orbit-action-dial/releases/download/v1.0.2",
        fixture::load_key(tool_id), release, archive);
    archive_size_ = published.release.archive_size;
    archive_url_ = published.release.archive_url;
    const std::string manifest_path =
        "/tobranix/orbit-action-dial/releases/latest/download/release.json";
    server_.put(manifest_path, fixture::read_file(published.manifest));
    manifest_url_ = server_.url(manifest_path);
  }
  fs::remove_all(new_source);
  fs::remove(sources_.file("new.zip"));
  ready_ = true;
}

void UpdateFixture::remove_install_directories() const {
  for (const auto& directory : install_directories(applications_)) {
    std::error_code ignored;
    fs::remove_all(directory, ignored);
  }
}

void UpdateFixture::install_old() const {
  remove_install_directories();
  std::error_code ignored;
  fs::remove_all(target_, ignored);
  fs::create_directories(applications_);
  fs::copy(old_template_, target_, fs::copy_options::recursive | fs::copy_options::copy_symlinks);
}

Outcome judge_target(const std::string& target, std::uint64_t new_payload_bytes,
                     std::string& detail) {
  std::error_code error;
  if (fs::exists(fs::symlink_status(target, error))) {
    switch (complete_build(target, new_payload_bytes, detail)) {
      case 1:
        return Outcome::old_copy;
      case 2:
        return Outcome::new_copy;
      default:
        return Outcome::lost;
    }
  }
  for (const auto& directory : install_directories(fs::path(target).parent_path().string())) {
    const std::string backup = (directory / "previous.app").string();
    if (fs::exists(backup) && complete_build(backup, new_payload_bytes, detail) == 1) {
      return Outcome::backup_only;
    }
  }
  if (detail.empty()) detail = "nothing at the target and no complete previous.app";
  return Outcome::lost;
}

std::vector<std::string> install_directory_entries(const std::string& applications) {
  std::vector<std::string> entries;
  for (const auto& directory : install_directories(applications)) {
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(directory, error)) {
      entries.push_back(entry.path().filename().string());
    }
  }
  return entries;
}

std::size_t install_directory_count(const std::string& applications) {
  return install_directories(applications).size();
}

}  // namespace kelvoma::bench
