// The install pipeline. Order is the safety argument: the target is judged
// before anything is downloaded, the archive is verified before it is
// unpacked, the running tool is asked to quit only for a bundle that passed
// every check, and the installed copy is touched only by the final renames.
#include "releases/install.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "releases/archive_check.h"
#include "releases/bundle.h"
#include "releases/byte_buffer.h"
#include "releases/catalog.h"
#include "releases/fetch.h"
#include "releases/release_host.h"
#include "releases/replace.h"
#include "releases/system_error.h"
#include "releases/text_argument.h"
#include "releases/unpack.h"
#include "releases/update_check.h"

namespace kelvoma {
namespace {

constexpr std::string_view install_directory_prefix = ".kelvoma-install-";
constexpr int max_name_attempts = 65536;

// What the caller passed across the C interface, as texts, plus the raw
// pointers that `stop` must receive unchanged.
struct InstallRequest {
  std::string id;
  std::string target;
  std::string os_version;
  const char* raw_id = nullptr;
  const char* raw_target = nullptr;
  StopCallback stop = nullptr;
  const RenameOperations* renames = nullptr;
};

using Step = std::expected<void, std::string>;

// A path as the list of its components: "/" first for an absolute path,
// then every name; empty names (repeated or trailing separators) and "."
// are left out, ".." is kept as a name.
std::vector<std::string_view> path_components(std::string_view path) {
  std::vector<std::string_view> components;
  if (path.starts_with('/')) {
    components.emplace_back("/");
  }
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t end = path.find('/', start);
    if (end == std::string_view::npos) {
      end = path.size();
    }
    const std::string_view name = path.substr(start, end - start);
    if (!name.empty() && name != ".") {
      components.push_back(name);
    }
    start = end + 1;
  }
  return components;
}

std::string join_path(std::string_view left, std::string_view right) {
  std::string joined(left);
  if (!joined.ends_with('/')) {
    joined += '/';
  }
  joined += right;
  return joined;
}

std::string path_text(std::span<const std::string_view> components) {
  std::string text;
  for (const std::string_view component : components) {
    if (component == "/") {
      text = "/";
      continue;
    }
    if (!text.empty() && !text.ends_with('/')) {
      text += '/';
    }
    text += component;
  }
  return text;
}

// The path the file system is asked about: without doubled or trailing
// separators, so that a trailing "/" can neither make a lookup follow a
// symbolic link nor make the target's own directory its parent.
std::string normalized_path(std::string_view path) {
  const auto components = path_components(path);
  return path_text(components);
}

// The parent of `target`, or nothing for the empty path and the root.
std::optional<std::string> parent_directory(std::string_view target) {
  const auto components = path_components(target);
  if (components.empty() || (components.size() == 1 && components.front() == "/")) {
    return std::nullopt;
  }
  const auto parent = std::span(components).first(components.size() - 1);
  if (parent.empty()) {
    return ".";
  }
  return path_text(parent);
}

bool exists_following_links(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

// mkdir -p with 0777 less the mask; directories that exist (also through a
// symbolic link) are fine.
Step create_directories(const std::string& directory) {
  const auto components = path_components(directory);
  for (std::size_t count = 1; count <= components.size(); ++count) {
    if (components[count - 1] == "/") {
      continue;
    }
    const std::string prefix = path_text(std::span(components).first(count));
    if (::mkdir(prefix.c_str(), 0777) == 0) {
      continue;
    }
    const int error = errno;
    struct stat info {};
    if (error == EEXIST && ::stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
      continue;
    }
    return std::unexpected(system_error_text(error));
  }
  return {};
}

// Six characters from the 62 letters and digits; bytes that would make the
// choice uneven are drawn again.
std::optional<std::string> random_name_part() {
  static constexpr std::string_view alphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string part;
  while (part.size() < 6) {
    unsigned char bytes[16];
    const ssize_t got = ::getrandom(bytes, sizeof bytes, 0);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      return std::nullopt;
    }
    for (ssize_t i = 0; i < got && part.size() < 6; ++i) {
      if (bytes[i] < 248) {
        part += alphabet[bytes[i] % alphabet.size()];
      }
    }
  }
  return part;
}

// The installation's working directory, removed with everything in it when
// the installation ends, unless the pipeline keeps it because it holds the
// only copy of the replaced bundle.
class InstallDirectory {
 public:
  static std::optional<InstallDirectory> create(const std::string& parent) {
    for (int attempt = 0; attempt < max_name_attempts; ++attempt) {
      const auto part = random_name_part();
      if (!part) {
        return std::nullopt;
      }
      std::string path = join_path(parent, std::string(install_directory_prefix) + *part);
      if (::mkdir(path.c_str(), 0777) == 0) {
        return InstallDirectory(std::move(path));
      }
      if (errno != EEXIST) {
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  InstallDirectory(InstallDirectory&& other) noexcept
      : path_(std::move(other.path_)), keep_(other.keep_) {
    other.path_.clear();
  }
  InstallDirectory& operator=(InstallDirectory&&) = delete;
  InstallDirectory(const InstallDirectory&) = delete;
  InstallDirectory& operator=(const InstallDirectory&) = delete;

  ~InstallDirectory() {
    if (!path_.empty() && !keep_) {
      std::error_code ignored;
      std::filesystem::remove_all(path_, ignored);
    }
  }

  std::string entry(std::string_view name) const { return join_path(path_, name); }
  void keep() { keep_ = true; }

 private:
  explicit InstallDirectory(std::string path) : path_(std::move(path)) {}

  std::string path_;
  bool keep_ = false;
};

// The archive file in the install directory: created or truncated, with
// permission bits 0666 less the mask. Failures are errno values.
class ArchiveFile {
 public:
  static std::expected<ArchiveFile, int> create(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
      return std::unexpected(errno);
    }
    return ArchiveFile(fd);
  }

  ArchiveFile(ArchiveFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  ArchiveFile& operator=(ArchiveFile&&) = delete;
  ArchiveFile(const ArchiveFile&) = delete;
  ArchiveFile& operator=(const ArchiveFile&) = delete;
  ~ArchiveFile() {
    if (fd_ >= 0) {
      ::close(fd_);
    }
  }

  int append(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
      const ssize_t written = ::write(fd_, bytes.data(), bytes.size());
      if (written < 0 && errno == EINTR) {
        continue;
      }
      if (written < 0) {
        return errno;
      }
      bytes = bytes.subspan(static_cast<std::size_t>(written));
    }
    return 0;
  }

  // A failed close can be the first report of a failed write.
  int close() { return ::close(std::exchange(fd_, -1)) == 0 ? 0 : errno; }

 private:
  explicit ArchiveFile(int fd) : fd_(fd) {}

  int fd_;
};

// Writes the whole archive.
Step write_archive(const std::string& path, std::span<const std::uint8_t> bytes) {
  auto file = ArchiveFile::create(path);
  if (!file) {
    return std::unexpected(system_error_text(file.error()));
  }
  const int error = file->append(bytes);
  const int closed = file->close();
  if (error != 0 || closed != 0) {
    return std::unexpected(system_error_text(error != 0 ? error : closed));
  }
  return {};
}

// The archive written into a fresh install directory while it downloads, as
// `curl -o` would, so that it needs neither a copy in memory nor a pass of
// its own afterwards. That takes a target whose parent exists already
// (missing ancestors wait for a verified archive); without one, or when the
// directory or the file cannot be made, ready() is false and the pipeline
// keeps the archive in memory and writes it after the check, which reports
// such failures in their place. A failed write is kept for finish(), which
// the pipeline asks only once the check has passed, so the check's message
// still comes first. Until then the directory goes with this object: a
// failed download or check leaves nothing on disk.
class ArchiveWrittenWhileDownloading {
 public:
  ArchiveWrittenWhileDownloading(const std::string& target, std::string_view archive_name) {
    const auto parent = parent_directory(target);
    if (!parent) {
      return;
    }
    auto directory = InstallDirectory::create(*parent);
    if (!directory) {
      return;
    }
    auto file = ArchiveFile::create(directory->entry(archive_name));
    if (!file) {
      return;
    }
    directory_.emplace(std::move(*directory));
    file_.emplace(std::move(*file));
  }

  bool ready() const { return file_.has_value(); }

  void append(std::span<const std::uint8_t> piece) {
    if (file_ && error_ == 0) {
      error_ = file_->append(piece);
    }
  }

  // The directory holding the whole archive, or the write's system error
  // text. Only for a ready() writer, once.
  std::expected<InstallDirectory, std::string> finish() {
    const int closed = file_->close();
    file_.reset();
    if (error_ != 0 || closed != 0) {
      return std::unexpected(system_error_text(error_ != 0 ? error_ : closed));
    }
    return std::move(*directory_);
  }

 private:
  std::optional<InstallDirectory> directory_;
  std::optional<ArchiveFile> file_;
  int error_ = 0;
};

// Where the unpacked archive's bundle is expected, after the archive has
// been verified, written and unpacked in a fresh install directory next to
// the target.
struct UnpackedRelease {
  InstallDirectory directory;
  std::string bundle;
};

struct WorkspaceMessages {
  std::string_view archive_name;           // "update.zip" or "download.zip"
  std::string_view cannot_create_message;  // per route
};

// Runs a check's hashing on a thread of its own, fed copies of the pieces
// through a bounded ring, so that the hash (the longest part of installing a
// large archive) and the download thread's own work (reading, keeping and
// writing the archive) overlap instead of taking turns. Without a thread to
// spare it hashes in place. The check belongs to the worker until finish().
class BackgroundCheck {
 public:
  explicit BackgroundCheck(ArchiveStreamCheck& check)
      : check_(check), ring_(std::make_unique_for_overwrite<std::uint8_t[]>(ring_size)) {
    try {
      worker_ = std::thread([this] { hash_queued(); });
    } catch (const std::system_error&) {
      // No thread to spare: update() hashes in place.
    }
  }
  BackgroundCheck(const BackgroundCheck&) = delete;
  BackgroundCheck& operator=(const BackgroundCheck&) = delete;
  ~BackgroundCheck() { stop(Stop::abandon); }

  void update(std::span<const std::uint8_t> piece) {
    if (!worker_.joinable()) {
      check_.update(piece);
      return;
    }
    while (!piece.empty()) {
      const std::span<std::uint8_t> space = wait_for_space();
      const std::size_t count = std::min(space.size(), piece.size());
      std::memcpy(space.data(), piece.data(), count);
      {
        const std::lock_guard lock(mutex_);
        queued_ += count;
      }
      changed_.notify_all();
      piece = piece.subspan(count);
    }
  }

  // Waits until everything queued is hashed, then asks for the verdict.
  std::expected<void, std::string> finish(std::uint64_t received) {
    stop(Stop::drain);
    return check_.finish(received);
  }

 private:
  enum class Stop { drain, abandon };
  static constexpr std::size_t ring_size = std::size_t{2} << 20;
  // The worker hands space back at least this often.
  static constexpr std::size_t largest_step = std::size_t{256} << 10;

  // Free space after the queued bytes, as one contiguous run. Only this
  // thread writes there, so the copy needs no lock.
  std::span<std::uint8_t> wait_for_space() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_ < ring_size; });
    const std::size_t tail = (head_ + queued_) % ring_size;
    const std::size_t length = std::min(ring_size - queued_, ring_size - tail);
    return {ring_.get() + tail, length};
  }

  void hash_queued() {
    for (;;) {
      std::span<const std::uint8_t> ready;
      {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return queued_ > 0 || stopping_; });
        if (abandoned_ || queued_ == 0) {
          return;
        }
        ready = {ring_.get() + head_, std::min({queued_, ring_size - head_, largest_step})};
      }
      check_.update(ready);
      {
        const std::lock_guard lock(mutex_);
        head_ = (head_ + ready.size()) % ring_size;
        queued_ -= ready.size();
      }
      changed_.notify_all();
    }
  }

  void stop(Stop how) {
    if (!worker_.joinable()) {
      return;
    }
    {
      const std::lock_guard lock(mutex_);
      stopping_ = true;
      abandoned_ = how == Stop::abandon;
    }
    changed_.notify_all();
    worker_.join();
  }

  ArchiveStreamCheck& check_;
  const std::unique_ptr<std::uint8_t[]> ring_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t head_ = 0;
  std::size_t queued_ = 0;
  bool stopping_ = false;
  bool abandoned_ = false;
  std::thread worker_;  // last: it starts once the rest exists
};

// Downloads the archive while it is hashed on a worker and, where it can,
// written next to the target, so that the verdict and the file are ready as
// soon as the last byte is. The transfer's message comes first, then the
// check's (size before signature or digest). What comes back is the archive
// in memory, when it could not be written as it arrived.
std::expected<ByteBuffer, std::string> fetch_checked(const CoreConfig& config, std::string_view url,
                                                     std::uint64_t limit, ArchiveStreamCheck& check,
                                                     ArchiveWrittenWhileDownloading& file) {
  BackgroundCheck hashing(check);
  std::uint64_t received = 0;
  auto archive = fetch_url(
      config, url, limit,
      [&](std::span<const std::uint8_t> piece) {
        hashing.update(piece);
        file.append(piece);
        received += piece.size();
      },
      file.ready() ? KeepBody::no : KeepBody::yes);
  if (!archive) {
    return std::unexpected(archive.error());
  }
  if (auto verified = hashing.finish(file.ready() ? received : archive->size()); !verified) {
    return std::unexpected(verified.error());
  }
  return archive;
}

// A fresh install directory next to the target holding the written archive,
// the target's missing ancestors created first. Only ever called for a
// verified archive.
std::expected<InstallDirectory, std::string> write_workspace(const std::string& target,
                                                             std::span<const std::uint8_t> archive,
                                                             WorkspaceMessages messages) {
  const auto parent = parent_directory(target);
  if (!parent) {
    return std::unexpected("Neplatné umístění instalace.");
  }
  if (auto created = create_directories(*parent); !created) {
    return std::unexpected(created.error());
  }
  auto directory = InstallDirectory::create(*parent);
  if (!directory) {
    return std::unexpected(std::string(messages.cannot_create_message));
  }
  if (auto written = write_archive(directory->entry(messages.archive_name), archive); !written) {
    return std::unexpected(written.error());
  }
  return std::move(*directory);
}

// The verified archive in a fresh install directory next to the target.
std::expected<InstallDirectory, std::string> download_into_workspace(
    const CoreConfig& config, const std::string& target, std::string_view url, std::uint64_t limit,
    ArchiveStreamCheck& check, WorkspaceMessages messages) {
  ArchiveWrittenWhileDownloading file(target, messages.archive_name);
  const auto archive = fetch_checked(config, url, limit, check, file);
  if (!archive) {
    return std::unexpected(archive.error());
  }
  if (file.ready()) {
    return file.finish();
  }
  return write_workspace(target, archive->bytes(), messages);
}

std::expected<UnpackedRelease, std::string> unpack_next_to_target(
    const CoreConfig& config, const std::string& target, const Tool& tool, std::string_view url,
    std::uint64_t limit, ArchiveStreamCheck& check, WorkspaceMessages messages) {
  auto directory = download_into_workspace(config, target, url, limit, check, messages);
  if (!directory) {
    return std::unexpected(directory.error());
  }
  const std::string unpacked = directory->entry("unpacked");
  if (auto unpacked_ok = unpack_archive(directory->entry(messages.archive_name), unpacked);
      !unpacked_ok) {
    return std::unexpected(unpacked_ok.error());
  }
  std::string bundle = join_path(unpacked, tool.bundle_name);
  return UnpackedRelease{.directory = std::move(*directory), .bundle = std::move(bundle)};
}

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

Step judge_permitted(const std::string& target, const Tool& tool, std::string_view message) {
  // A home that is no absolute path would put "~/Applications" wherever the
  // process happens to run; it counts as no home at all.
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    return std::unexpected("Chybí domovský adresář.");
  }
  if (!is_permitted_target(target, tool.bundle_name, home)) {
    return std::unexpected(std::string(message));
  }
  return {};
}

Step install_managed(const CoreConfig& config, const Tool& tool, const InstallRequest& request,
                     bool& relaunch) {
  const auto release = check_release(config, tool, request.os_version);
  if (!release) {
    return std::unexpected(release.error());
  }
  if (auto permitted = judge_permitted(request.target, tool, "Cíl instalace není povolený.");
      !permitted) {
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
           "Do složky Applications nelze zapisovat. Použij aplikaci v ~/Applications."});
  if (!unpacked) {
    return std::unexpected(unpacked.error());
  }
  if (auto valid = validate_managed_bundle(config, unpacked->bundle, tool, release->build);
      !valid) {
    return valid;
  }
  if (auto stopped = ask_tool_to_stop(request, relaunch); !stopped) {
    return stopped;
  }
  if (auto unchanged = recheck_managed_target(target, tool, *release); !unchanged) {
    return unchanged;
  }
  const std::string backup = unpacked->directory.entry("previous.app");
  auto replaced = replace_bundle(unpacked->bundle, target, backup, *request.renames);
  if (!replaced && exists_following_links(backup) && !exists_following_links(target)) {
    // The backup is the only copy of the replaced bundle; the message names it.
    unpacked->directory.keep();
  }
  return replaced;
}

Step install_external(const CoreConfig& config, const Tool& tool, const InstallRequest& request) {
  constexpr std::string_view refused =
      "Instalace této aplikace nebo cílové umístění nejsou povolené.";
  if (auto permitted = judge_permitted(request.target, tool, refused); !permitted) {
    return permitted;
  }
  if (tool.github_repository.empty()) {
    return std::unexpected(std::string(refused));
  }
  const std::string target = normalized_path(request.target);
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
       .cannot_create_message = "Do cílové složky Applications nelze zapisovat."});
  if (!unpacked) {
    return std::unexpected(unpacked.error());
  }
  if (auto valid = validate_external_bundle(config, unpacked->bundle, tool, release->version,
                                            request.os_version);
      !valid) {
    return valid;
  }
  return move_into_place(unpacked->bundle, target, *request.renames);
}

}  // namespace

bool is_permitted_target(std::string_view target, std::string_view bundle_name,
                         std::string_view home) {
  const auto components = path_components(target);
  return components == path_components(join_path("/Applications", bundle_name)) ||
         components == path_components(join_path(join_path(home, "Applications"), bundle_name));
}

InstallOutcome install_tool(const CoreConfig& config, const char* id, const char* target_path,
                            const char* os_version, StopCallback stop,
                            const RenameOperations& renames) {
  const InstallRequest request{.id = read_text_argument(id),
                               .target = read_text_argument(target_path),
                               .os_version = read_text_argument(os_version),
                               .raw_id = id,
                               .raw_target = target_path,
                               .stop = stop,
                               .renames = &renames};
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
