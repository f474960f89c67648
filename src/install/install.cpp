// The install pipeline. Order is the safety argument: the target is judged
// before anything is downloaded, the archive is verified before it is
// named or unpacked, the running tool is asked to quit only for a bundle
// that passed every check and is on disk, and the installed copy is touched
// only by the final renames.
#include "install/install.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <expected>
#include <span>
#include <utility>

#include "fetch/fetch.h"
#include "fetch/release_host.h"
#include "fetch/update_check.h"
#include "install/archive_download.h"
#include "install/bundle/bundle.h"
#include "install/files/file_io.h"
#include "install/install_directory.h"
#include "install/install_paths.h"
#include "install/install_progress.h"
#include "install/install_recovery.h"
#include "install/unpack/unpack.h"
#include "verify/archive_check.h"
#include "verify/catalog.h"
#include "verify/util/system_error.h"
#include "verify/util/text_argument.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

constexpr std::string_view archive_missing =
    "Stažení vydání se nepodařilo: server archiv nenašel (HTTP 404).";

// What the caller passed across the C interface, as texts, plus the raw
// pointers that `stop` must receive unchanged.
struct InstallRequest {
  std::string id;
  std::string target;
  std::string os_version;
  std::optional<std::string> home;
  const char* raw_id = nullptr;
  const char* raw_target = nullptr;
  StopCallback stop = nullptr;
  const RenameOperations* renames = nullptr;
  InstallProgress* progress = nullptr;
};

using Step = std::expected<void, std::string>;

// Hashes every piece on the reading thread on its way to where the archive
// waits, so that the verdict is ready with the last byte and no second pass
// over the archive is needed.
class CheckedArchive final : public BodySink {
 public:
  CheckedArchive(ArchiveStreamCheck& check, ArchiveDownload& archive)
      : check_(check), archive_(archive) {}

  std::span<std::uint8_t> space() override {
    last_space_ = archive_.space();
    return last_space_;
  }
  void take(std::size_t count) override {
    check_.update(last_space_.first(count));
    archive_.take(count);
    received_ += count;
  }
  std::uint64_t received() const { return received_; }

 private:
  ArchiveStreamCheck& check_;
  ArchiveDownload& archive_;
  std::span<std::uint8_t> last_space_;
  std::uint64_t received_ = 0;
};

struct WorkspaceMessages {
  std::string archive_name;                // "update.zip" or "download.zip"
  std::string_view cannot_create_message;  // per route
};

// The archive downloaded and checked, then given its name in a fresh
// install directory next to the target, the target's missing ancestors
// created first. The transfer's message comes first, then the check's (size
// before signature or digest), then those of the disk.
// The install directory and the archive in it, open for reading.
struct Workspace {
  InstallDirectory directory;
  UniqueFd archive;
};

std::expected<Workspace, std::string> download_into_workspace(
    const CoreConfig& config, const std::string& target, std::string_view url, std::uint64_t limit,
    ArchiveStreamCheck& check, const WorkspaceMessages& messages, InstallProgress& progress) {
  const auto parent = parent_directory(target);
  ArchiveDownload archive(parent, limit);
  CheckedArchive checked(check, archive);
  ReportedDownload reported(checked, progress, limit);
  if (auto fetched = fetch_url(config, url, limit, reported); !fetched) {
    // The release is published; only its archive is missing from the server.
    return std::unexpected(fetched.error() == not_published_message ? std::string(archive_missing)
                                                                    : std::move(fetched.error()));
  }
  if (auto verified = check.finish(checked.received()); !verified) {
    return std::unexpected(std::move(verified.error()));
  }
  if (!parent) {
    return std::unexpected("Neplatné umístění instalace.");
  }
  if (auto created = create_directories(*parent); !created) {
    return std::unexpected(std::move(created.error()));
  }
  auto directory = InstallDirectory::create(*parent);
  if (!directory) {
    return std::unexpected(std::string(directory.error() == InstallDirectoryFailure::locked
                                           ? install_directory_locked_message
                                           : messages.cannot_create_message));
  }
  auto saved = archive.save_as(directory->fd(), messages.archive_name);
  if (!saved) {
    return std::unexpected(std::move(saved.error()));
  }
  return Workspace{.directory = std::move(*directory), .archive = std::move(*saved)};
}

// Where the unpacked archive's bundle is expected, after the archive has
// been verified, named and unpacked in a fresh install directory next to
// the target.
struct UnpackedRelease {
  InstallDirectory directory;
  std::string bundle;
  std::string archive_name;
};

std::expected<UnpackedRelease, std::string> unpack_next_to_target(
    const CoreConfig& config, const std::string& target, const Tool& tool, std::string_view url,
    std::uint64_t limit, ArchiveStreamCheck& check, const WorkspaceMessages& messages,
    InstallProgress& progress) {
  auto workspace = download_into_workspace(config, target, url, limit, check, messages, progress);
  if (!workspace) {
    return std::unexpected(std::move(workspace.error()));
  }
  const std::string unpacked = workspace->directory.entry("unpacked");
  if (auto unpacked_ok = unpack_archive(workspace->archive.get(), unpacked, progress.unpacking());
      !unpacked_ok) {
    return std::unexpected(std::move(unpacked_ok.error()));
  }
  progress.report(InstallPhase::checking, 0, 0);
  std::string bundle = join_path(unpacked, tool.bundle_name);
  return UnpackedRelease{.directory = std::move(workspace->directory),
                         .bundle = std::move(bundle),
                         .archive_name = messages.archive_name};
}

// A power cut right after the renames must not leave a bundle of empty
// files where the installed copy was: the unpacked bundle reaches the disk
// before the first rename (and before the tool is asked to quit, which
// keeps its pause short). The archive has served its purpose by then;
// removed first, its bytes are never written out and the flush writes the
// bundle alone.
Step flush_to_disk(const UnpackedRelease& release) {
  (void)::unlinkat(release.directory.fd(), release.archive_name.c_str(), 0);
  if (const int error = release.directory.flush_file_system(); error != 0) {
    return std::unexpected(system_error_text(error));
  }
  return {};
}

// The renames are done; making them durable cannot change their outcome, so
// a failure to do so is not reported over it.
void make_renames_durable(const InstallDirectory& directory) { (void)directory.flush_parent(); }

// The installed copy, when there is one, must be an older build of this
// tool. A lookup that fails counts as "nothing installed".
Step judge_managed_target(const std::string& target, const Tool& tool, const Release& release) {
  if (!exists_following_links(target)) {
    return {};
  }
  struct stat info {};
  if (::lstat(target.c_str(), &info) != 0) {
    return std::unexpected(system_error_text(errno));
  }
  if (S_ISLNK(info.st_mode)) {
    return std::unexpected("Cílová aplikace je symbolický odkaz.");
  }
  const auto installed = read_bundle_identity(target);
  if (!installed) {
    return std::unexpected(installed.error());
  }
  if (installed->identifier != tool.bundle_id) {
    return std::unexpected("Cílové umístění patří jiné aplikaci.");
  }
  if (installed->build >= release.build) {
    return std::unexpected("Tato nebo novější verze už je nainstalovaná.");
  }
  return {};
}

// The target may have changed while the archive was downloading.
Step recheck_managed_target(const std::string& target, const Tool& tool, const Release& release) {
  if (!exists_following_links(target)) {
    return {};
  }
  const auto installed = read_bundle_identity(target);
  if (!installed) {
    return std::unexpected(installed.error());
  }
  if (installed->identifier != tool.bundle_id || installed->build >= release.build) {
    return std::unexpected("Aplikace se během stahování změnila. Zkontroluj verze znovu.");
  }
  return {};
}

Step ask_tool_to_stop(const InstallRequest& request, bool& relaunch) {
  // Without a callback there is nobody to ask: the tool counts as not running.
  const std::int32_t result = request.stop ? request.stop(request.raw_id, request.raw_target) : 0;
  if (result == 1) {
    relaunch = true;
    return {};
  }
  if (result == 0) {
    return {};
  }
  return std::unexpected(
      "Aplikaci se nepodařilo ukončit. Dokonči v ní práci a zkus aktualizaci znovu.");
}

Step judge_permitted(const InstallRequest& request, const Tool& tool, std::string_view message) {
  // A home that is no absolute path would put "~/Applications" wherever the
  // process happens to run; it counts as no home at all.
  if (!request.home || !request.home->starts_with('/')) {
    return std::unexpected("Chybí domovský adresář.");
  }
  if (!is_permitted_target(request.target, tool.bundle_name, *request.home)) {
    return std::unexpected(std::string(message));
  }
  return {};
}

Step install_managed(const CoreConfig& config, const Tool& tool, const InstallRequest& request,
                     bool& relaunch) {
  // What a crash left is put back even when the release cannot be had; the
  // target is judged silently here and again, with its messages, below.
  if (judge_permitted(request, tool, {})) {
    (void)recover_abandoned_installations(normalized_path(request.target), tool.bundle_id);
  }
  const auto release = check_release(config, tool, request.os_version);
  if (!release) {
    return std::unexpected(release.error());
  }
  if (auto permitted = judge_permitted(request, tool, "Cíl instalace není povolený."); !permitted) {
    return permitted;
  }
  const std::string target = normalized_path(request.target);
  if (auto judged = judge_managed_target(target, tool, *release); !judged) {
    return judged;
  }
  ReleaseArchiveCheck signed_by_publisher(*release, tool, ArchiveSizeMessage::download);
  auto unpacked = unpack_next_to_target(
      config, target, tool, release->archive_url, release->archive_size, signed_by_publisher,
      {.archive_name = "update.zip",
       .cannot_create_message =
           "Do složky Applications nelze zapisovat. Použij aplikaci v ~/Applications."},
      *request.progress);
  if (!unpacked) {
    return std::unexpected(unpacked.error());
  }
  if (auto valid = validate_managed_bundle(config, unpacked->bundle, tool, release->build);
      !valid) {
    return valid;
  }
  if (auto flushed = flush_to_disk(*unpacked); !flushed) {
    return flushed;
  }
  if (auto stopped = ask_tool_to_stop(request, relaunch); !stopped) {
    return stopped;
  }
  if (auto unchanged = recheck_managed_target(target, tool, *release); !unchanged) {
    return unchanged;
  }
  const std::string backup = unpacked->directory.entry(backup_entry_name);
  auto replaced = replace_bundle(unpacked->bundle, target, backup, *request.renames);
  make_renames_durable(unpacked->directory);
  if (replaced) {
    unpacked->directory.discard_backup();
  }
  // After a failed restore the backup is the only copy, whatever now occupies
  // the target, and the message names it: the folder keeps it.
  return replaced;
}

Step install_external(const CoreConfig& config, const Tool& tool, const InstallRequest& request) {
  constexpr std::string_view refused =
      "Instalace této aplikace nebo cílové umístění nejsou povolené.";
  if (auto permitted = judge_permitted(request, tool, refused); !permitted) {
    return permitted;
  }
  if (tool.github_repository.empty()) {
    return std::unexpected(std::string(refused));
  }
  const std::string target = normalized_path(request.target);
  (void)recover_abandoned_installations(target, tool.bundle_id);
  struct stat info {};
  if (::lstat(target.c_str(), &info) == 0) {
    return std::unexpected("Aplikace už je nainstalovaná. Aktualizace prováděj přímo v ní.");
  }
  if (errno != ENOENT) {
    return std::unexpected(system_error_text(errno));
  }
  const auto release = find_latest_external_release(config, tool);
  if (!release) {
    return std::unexpected(release.error());
  }
  AssetDigestCheck matches_digest(release->asset.size, release->asset.digest);
  auto unpacked = unpack_next_to_target(
      config, target, tool, release->asset.browser_download_url, release->asset.size,
      matches_digest,
      {.archive_name = "download.zip",
       .cannot_create_message = "Do cílové složky Applications nelze zapisovat."},
      *request.progress);
  if (!unpacked) {
    return std::unexpected(unpacked.error());
  }
  if (auto valid = validate_external_bundle(config, unpacked->bundle, tool, release->version,
                                            request.os_version);
      !valid) {
    return valid;
  }
  if (auto flushed = flush_to_disk(*unpacked); !flushed) {
    return flushed;
  }
  auto moved = move_into_place(unpacked->bundle, target, *request.renames);
  make_renames_durable(unpacked->directory);
  return moved;
}

}  // namespace

InstallOutcome install_tool(const CoreConfig& config, const InstallArguments& arguments,
                            const RenameOperations& renames) {
  InstallProgress progress(arguments.progress, arguments.progress_context);
  const InstallRequest request{
      .id = read_text_argument(arguments.id),
      .target = read_text_argument(arguments.target_path),
      .os_version = read_text_argument(arguments.os_version),
      .home = arguments.home ? std::optional<std::string>(arguments.home) : std::nullopt,
      .raw_id = arguments.id,
      .raw_target = arguments.target_path,
      .stop = arguments.stop,
      .renames = &renames,
      .progress = &progress};
  const auto tool = find_tool(request.id);
  if (!tool) {
    return InstallOutcome{.relaunch = false, .error = tool.error()};
  }
  InstallOutcome outcome;
  const Step result = tool->integration == Integration::kelvoma
                          ? install_managed(config, *tool, request, outcome.relaunch)
                          : install_external(config, *tool, request);
  if (!result) {
    outcome.error = result.error();
  }
  return outcome;
}

}  // namespace kelvoma
