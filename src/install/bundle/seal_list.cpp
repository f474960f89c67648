#include "install/bundle/seal_list.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <deque>
#include <vector>

#include "install/files/file_tree.h"
#include "verify/crypto/digest.h"
#include "verify/util/hex.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma {
namespace {

using Failure = std::unexpected<std::string>;

Failure failure(const std::string& path, int error) {
  return std::unexpected(path + ": " + system_error_text(error));
}

UniqueFd open_below(int bundle_fd, const std::string& path, std::uint64_t flags) {
  return UniqueFd(open_beneath(bundle_fd, path, flags));
}

std::string joined(const std::string& folder, const std::string& name) {
  return folder.empty() ? name : folder + "/" + name;
}

std::expected<std::string, std::string> link_target(int folder_fd, const std::string& name,
                                                    const std::string& path) {
  std::string target(256, '\0');
  for (;;) {
    const ssize_t length = ::readlinkat(folder_fd, name.c_str(), target.data(), target.size());
    if (length < 0) {
      return failure(path, errno);
    }
    if (static_cast<std::size_t>(length) < target.size()) {
      target.resize(static_cast<std::size_t>(length));
      return target;
    }
    target.resize(target.size() * 2);
  }
}

}  // namespace

std::expected<std::vector<BundleEntry>, std::string> list_bundle_entries(int bundle_fd) {
  using Kind = BundleEntry::Kind;
  using Entry = BundleEntry;
  std::vector<Entry> entries;
  std::deque<std::string> folders = {""};
  while (!folders.empty()) {
    const std::string folder = std::move(folders.front());
    folders.pop_front();
    const UniqueFd folder_fd = folder.empty()
                                   ? UniqueFd(::fcntl(bundle_fd, F_DUPFD_CLOEXEC, 0))
                                   : open_below(bundle_fd, folder, O_RDONLY | O_DIRECTORY);
    if (!folder_fd) {
      return failure(folder.empty() ? "." : folder, errno);
    }
    for (const std::string& name : folder_names(folder_fd.get())) {
      std::string path = joined(folder, name);
      if (path == seal_folder) {
        continue;
      }
      struct stat info {};
      if (::fstatat(folder_fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
        return failure(path, errno);
      }
      if (S_ISDIR(info.st_mode)) {
        folders.push_back(path);
        entries.push_back({.path = std::move(path), .kind = Kind::directory, .target = {}});
      } else if (S_ISREG(info.st_mode)) {
        entries.push_back({.path = std::move(path), .kind = Kind::file, .target = {}});
      } else if (S_ISLNK(info.st_mode)) {
        auto target = link_target(folder_fd.get(), name, path);
        if (!target) {
          return std::unexpected(target.error());
        }
        entries.push_back({.path = std::move(path), .kind = Kind::link, .target = *target});
      } else {
        return failure(path, EINVAL);  // a device, FIFO or socket has no place in a bundle
      }
    }
  }
  std::ranges::sort(entries, {}, &Entry::path);
  return entries;
}

namespace {

// "file<TAB>x|-<TAB>sha-256<TAB>path\n", from the file as it is opened now.
std::expected<std::string, std::string> file_line(int bundle_fd, const std::string& path,
                                                  std::vector<std::uint8_t>& buffer) {
  const UniqueFd fd = open_below(bundle_fd, path, O_RDONLY | O_NONBLOCK | O_NOCTTY);
  struct stat info {};
  if (!fd || ::fstat(fd.get(), &info) != 0) {
    return failure(path, errno);
  }
  if (!S_ISREG(info.st_mode)) {
    return failure(path, EINVAL);
  }
  (void)::posix_fadvise(fd.get(), 0, 0, POSIX_FADV_SEQUENTIAL);
  Digest digest(DigestKind::sha256);
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return failure(path, errno);
    }
    if (got == 0) {
      break;
    }
    digest.update(std::span(buffer.data(), static_cast<std::size_t>(got)));
  }
  const std::string_view executable = (info.st_mode & S_IXUSR) != 0 ? "x" : "-";
  return "file\t" + std::string(executable) + "\t" + lower_hex(digest.value()) + "\t" +
         escape_seal_text(path) + "\n";
}

}  // namespace

std::string escape_seal_text(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      escaped.append("\\t");
    } else if (c == '\\') {
      escaped.append("\\\\");
    } else if (byte < 0x20) {
      escaped.push_back('\\');
      escaped.push_back(static_cast<char>('0' + (byte >> 6)));
      escaped.push_back(static_cast<char>('0' + ((byte >> 3) & 7)));
      escaped.push_back(static_cast<char>('0' + (byte & 7)));
    } else {
      escaped.push_back(c);
    }
  }
  return escaped;
}

std::string seal_header(std::string_view identifier, std::string_view team) {
  return "kelvoma-seal 1\nidentifier\t" + escape_seal_text(identifier) + "\nteam\t" +
         escape_seal_text(team) + "\n";
}

std::expected<bool, std::string> write_seal_entries(int bundle_fd, const SealLineSink& sink) {
  using Kind = BundleEntry::Kind;
  const auto entries = list_bundle_entries(bundle_fd);
  if (!entries) {
    return std::unexpected(entries.error());
  }
  std::vector<std::uint8_t> buffer(1 << 20);
  for (const BundleEntry& entry : *entries) {
    std::string line;
    if (entry.kind == Kind::directory) {
      line = "directory\t" + escape_seal_text(entry.path) + "\n";
    } else if (entry.kind == Kind::link) {
      line = "link\t" + escape_seal_text(entry.path) + "\t" + escape_seal_text(entry.target) + "\n";
    } else {
      auto file = file_line(bundle_fd, entry.path, buffer);
      if (!file) {
        return std::unexpected(file.error());
      }
      line = std::move(*file);
    }
    if (!sink(line)) {
      return false;
    }
  }
  return true;
}

bool seal_list_matches(int bundle_fd, std::string_view list, std::string_view identifier,
                       std::string_view team) {
  const std::string header = seal_header(identifier, team);
  if (!list.starts_with(header)) {
    return false;
  }
  std::string_view entries = list.substr(header.size());
  const auto walked = write_seal_entries(bundle_fd, [&](std::string_view line) {
    if (!entries.starts_with(line)) {
      return false;
    }
    entries.remove_prefix(line.size());
    return true;
  });
  return walked && *walked && entries.empty();
}

std::expected<std::string, std::string> seal_list(const std::string& bundle,
                                                  std::string_view identifier,
                                                  std::string_view team) {
  const UniqueFd bundle_fd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!bundle_fd) {
    return failure(bundle, errno);
  }
  std::string list = seal_header(identifier, team);
  const auto walked = write_seal_entries(bundle_fd.get(), [&](std::string_view line) {
    list.append(line);
    return true;
  });
  if (!walked) {
    return std::unexpected(walked.error());
  }
  return list;
}

}  // namespace kelvoma
