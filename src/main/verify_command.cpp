#include "main/verify_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <string>

#include "releases/archive_check.h"
#include "releases/byte_buffer.h"
#include "releases/catalog.h"
#include "releases/manifest.h"
#include "releases/system_error.h"

namespace kelvoma {
namespace {

constexpr std::string_view verify_flag = "--verify-release";
constexpr std::string_view reference_tool = "orbit-action-dial";

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Reads at most `limit` bytes of the file at `path`. Reading stops there, so
// an endless or huge file costs no more than `limit` bytes of memory; a file
// longer than the caller accepts still shows up as longer than accepted.
std::expected<ByteBuffer, std::string> read_at_most(const char* path, std::size_t limit) {
  const FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) {
    return std::unexpected(system_error_text(errno));
  }
  ByteBuffer contents(limit);
  for (;;) {
    const auto space = contents.spare();
    if (space.empty()) {
      return contents;
    }
    const ssize_t count = ::read(file.get(), space.data(), space.size());
    if (count > 0) {
      contents.commit(static_cast<std::size_t>(count));
    } else if (count == 0) {
      return contents;
    } else if (errno != EINTR) {
      return std::unexpected(system_error_text(errno));
    }
  }
}

std::expected<Release, std::string> verify_files(const char* manifest_path,
                                                 const char* archive_path) {
  const auto tool = find_tool(reference_tool);
  if (!tool) {
    return std::unexpected(tool.error());
  }
  const auto manifest = read_at_most(manifest_path, max_manifest_size + 1);
  if (!manifest) {
    return std::unexpected(manifest.error());
  }
  auto release = verify_release_manifest(*tool, manifest->bytes());
  if (!release || archive_path == nullptr) {
    return release;
  }
  // One byte beyond the declared size is enough to tell "too long".
  const auto archive = read_at_most(archive_path, release->archive_size + 1);
  if (!archive) {
    return std::unexpected(archive.error());
  }
  const auto verified =
      verify_release_archive(archive->bytes(), *release, *tool, ArchiveSizeMessage::archive_file);
  if (!verified) {
    return std::unexpected(verified.error());
  }
  return release;
}

}  // namespace

bool is_verify_release(std::span<const char* const> arguments) {
  return arguments.size() >= 2 && arguments[1] != nullptr && arguments[1] == verify_flag;
}

int run_verify_release(std::span<const char* const> arguments, std::FILE* out, std::FILE* err) {
  if (arguments.size() < 3 || arguments[2] == nullptr) {
    std::fputs("Chybí cesta k release.json.\n", err);
    return 1;
  }
  const char* archive = arguments.size() >= 4 ? arguments[3] : nullptr;
  const auto release = verify_files(arguments[2], archive);
  if (!release) {
    std::fprintf(err, "%s\n", release.error().c_str());
    return 1;
  }
  // Written whole: the signed texts may hold any character, NUL included.
  const std::string line = "Verified " + release->id + " " + release->version + " (" +
                           std::to_string(release->build) + ")\n";
  std::fwrite(line.data(), 1, line.size(), out);
  return 0;
}

}  // namespace kelvoma
