#include "exports/verify_command.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <vector>

#include "verify/archive_check.h"
#include "verify/catalog.h"
#include "verify/manifest.h"
#include "verify/util/byte_buffer.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

constexpr std::string_view verify_flag = "--verify-release";
constexpr std::string_view reference_tool = "orbit-action-dial";

// The archive goes through the check in pieces of this size, never whole.
constexpr std::size_t archive_piece_size = std::size_t{1} << 20;

// Reads from `file` into `buffer` until it is full or the file ends; the
// number of bytes read, or the system error text.
std::expected<std::size_t, std::string> read_some(const UniqueFd& file,
                                                  std::span<std::uint8_t> buffer) {
  std::size_t filled = 0;
  while (filled < buffer.size()) {
    const ssize_t count = ::read(file.get(), buffer.data() + filled, buffer.size() - filled);
    if (count > 0) {
      filled += static_cast<std::size_t>(count);
    } else if (count == 0) {
      break;
    } else if (errno != EINTR) {
      return std::unexpected(system_error_text(errno));
    }
  }
  return filled;
}

std::expected<UniqueFd, std::string> open_for_reading(const char* path) {
  UniqueFd file(::open(path, O_RDONLY | O_CLOEXEC));
  if (!file) {
    return std::unexpected(system_error_text(errno));
  }
  return file;
}

// Reads at most `limit` bytes of the file at `path`. Reading stops there, so
// an endless or huge file costs no more than `limit` bytes of memory; a file
// longer than the caller accepts still shows up as longer than accepted.
std::expected<ByteBuffer, std::string> read_at_most(const char* path, std::size_t limit) {
  const auto file = open_for_reading(path);
  if (!file) {
    return std::unexpected(file.error());
  }
  ByteBuffer contents(limit);
  for (;;) {
    const auto space = contents.spare();
    if (space.empty()) {
      return contents;
    }
    const auto count = read_some(*file, space);
    if (!count) {
      return std::unexpected(count.error());
    }
    contents.commit(*count);
    if (*count < space.size()) {
      return contents;
    }
  }
}

// Feeds at most archive_size + 1 bytes of the file at `path` through the
// archive check, a piece at a time: one byte beyond the declared size is
// enough to tell "too long", and /dev/zero ends there too.
std::expected<void, std::string> check_archive_file(const char* path, const Release& release,
                                                    const Tool& tool) {
  const auto file = open_for_reading(path);
  if (!file) {
    return std::unexpected(file.error());
  }
  ReleaseArchiveCheck check(release, tool, ArchiveSizeMessage::archive_file);
  const std::uint64_t limit = release.archive_size + 1;
  std::vector<std::uint8_t> piece(
      static_cast<std::size_t>(std::min<std::uint64_t>(limit, archive_piece_size)));
  std::uint64_t received = 0;
  while (received < limit) {
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::uint64_t>(limit - received, piece.size()));
    const auto count = read_some(*file, std::span(piece).first(wanted));
    if (!count) {
      return std::unexpected(count.error());
    }
    check.update(std::span(piece).first(*count));
    received += *count;
    if (*count < wanted) {
      break;
    }
  }
  return check.finish(received);
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
  if (const auto verified = check_archive_file(archive_path, *release, *tool); !verified) {
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
  // A line that could not be written (a full disk, a closed pipe) is no
  // verdict given.
  if (std::fwrite(line.data(), 1, line.size(), out) != line.size() || std::fflush(out) != 0) {
    std::fprintf(err, "%s\n", system_error_text(errno).c_str());
    return 1;
  }
  return 0;
}

}  // namespace kelvoma
