#include "support/publish_support.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <regex>

#include "install/files/file_io.h"
#include "support/refusal.h"

namespace kelvoma::publish {

std::unexpected<Failure> fail(std::string message) {
  return std::unexpected(Failure{.message = std::move(message)});
}

std::unexpected<Failure> usage_error(std::string message) {
  return std::unexpected(Failure{.message = std::move(message), .exit = Exit::usage});
}

namespace {

struct ErrorText {
  int error;
  std::string_view text;
};

// The failures a publisher meets, said as the rest of the tool speaks.
constexpr std::array<ErrorText, 22> error_texts{{
    {ENOENT, "neexistuje"},
    {EEXIST, "už existuje (nic se nepřepsalo)"},
    {EACCES, "chybí oprávnění"},
    {EPERM, "operace není dovolena"},
    {ENOSPC, "na disku není místo"},
    {EDQUOT, "překročena kvóta disku"},
    {EROFS, "systém souborů je jen pro čtení"},
    {ENOTDIR, "část cesty není složka"},
    {EISDIR, "je složka"},
    {ELOOP, "je symbolický odkaz (nebo je jich v cestě příliš mnoho)"},
    {ENAMETOOLONG, "název je příliš dlouhý"},
    {EIO, "chyba vstupu nebo výstupu zařízení"},
    {EXDEV, "leží na jiném systému souborů"},
    {ENOTEMPTY, "složka není prázdná"},
    {EMFILE, "příliš mnoho otevřených souborů"},
    {ENFILE, "příliš mnoho otevřených souborů v systému"},
    {ENOMEM, "nedostatek paměti"},
    {EBUSY, "je právě používán"},
    {EFBIG, "soubor je příliš velký"},
    {ETXTBSY, "soubor je právě spuštěný"},
    {EINVAL, "neplatný argument"},
    {EAGAIN, "je dočasně nedostupný"},
}};

std::unexpected<std::string> system_failure(const std::string& path, int error) {
  return std::unexpected(system_failure_text(path, error));
}

}  // namespace

namespace {

bool wants_json(std::span<const char* const> arguments) {
  return std::any_of(arguments.begin(), arguments.end(),
                     [](const char* argument) { return std::string_view(argument) == "--json"; });
}

std::string failure_document(const Failure& failure) {
  static constexpr std::array<std::string_view, 5> results{"done", "refused", "usage", "network",
                                                           "internal"};
  const std::string result(results.at(static_cast<std::size_t>(failure.exit)));
  return nlohmann::ordered_json{{"result", result},
                                {"exit", static_cast<int>(failure.exit)},
                                {"cause", failure.cause.empty() ? result : failure.cause},
                                {"path", failure.path},
                                {"message", in_czech(failure.message)}}
             .dump() +
         "\n";
}

}  // namespace

Outcome with_failure_document(Outcome outcome, std::span<const char* const> arguments) {
  if (!outcome && wants_json(arguments)) {
    outcome.error().json = failure_document(outcome.error());
  }
  return outcome;
}

std::string czech_system_error(int error) {
  const auto found = std::ranges::find(error_texts, error, &ErrorText::error);
  return found != error_texts.end() ? std::string(found->text)
                                    : "systémová chyba č. " + std::to_string(error);
}

std::string in_czech(std::string message) {
  // "File exists (os error 17)", as the shared code words a system error.
  static const std::regex english(R"(([A-Z][A-Za-z ,'/-]*) \(os error ([0-9]+)\))");
  std::smatch found;
  std::string czech;
  while (std::regex_search(message, found, english)) {
    czech += found.prefix().str() + czech_system_error(std::stoi(found[2].str()));
    message = found.suffix().str();
  }
  return czech + message;
}

std::string system_failure_text(const std::string& path, int error) {
  return path + ": " + czech_system_error(error) + ".";
}

std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path,
                                                                      std::uint64_t limit) {
  // O_NONBLOCK: a FIFO given by mistake is refused below instead of waited on.
  const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  struct stat status {};
  if (!fd || ::fstat(fd.get(), &status) != 0) {
    return system_failure(path, errno);
  }
  if (!S_ISREG(status.st_mode)) {
    return std::unexpected(refusal(path, S_ISDIR(status.st_mode) ? "složka" : "zvláštní soubor",
                                   "obyčejný soubor", "Uveď cestu k souboru."));
  }
  auto bytes = read_to_end(fd.get(), static_cast<std::size_t>(limit) + 1);
  if (!bytes) {
    return system_failure(path, bytes.error());
  }
  if (bytes->size() > limit) {
    const auto size = std::max<std::uint64_t>(bytes->size(), status.st_size);
    return std::unexpected(refusal(path, std::to_string(size) + " B",
                                   "nejvýš " + std::to_string(limit) + " B",
                                   "Takový soubor to není; zkontroluj, kterou cestu jsi uvedl."));
  }
  return std::move(*bytes);
}

std::expected<std::uint64_t, std::string> read_in_pieces(
    int fd, std::uint64_t limit, const std::string& shown_as,
    const std::function<void(std::span<const std::uint8_t>)>& take) {
  std::vector<std::uint8_t> piece(1 << 20);
  std::uint64_t read = 0;
  while (read <= limit) {
    const ssize_t got = ::pread(fd, piece.data(), piece.size(), static_cast<off_t>(read));
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got < 0) {
      return std::unexpected(system_failure_text(shown_as, errno));
    }
    if (got == 0) {
      break;
    }
    read += static_cast<std::uint64_t>(got);
    take({piece.data(), static_cast<std::size_t>(got)});
  }
  return read;
}

std::string link_refused(const std::string& path) {
  return path + ": je symbolický odkaz; kelvoma-publish přes odkazy nezapisuje.";
}

std::expected<UniqueFd, std::string> open_folder(int parent_fd, const std::string& name,
                                                 const std::string& path, FolderLink link) {
  const int no_follow = link == FolderLink::refused ? O_NOFOLLOW : 0;
  UniqueFd fd(::openat(parent_fd, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | no_follow));
  if (!fd) {
    struct stat info {};
    const int error = errno;
    if (no_follow != 0 && ::fstatat(parent_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISLNK(info.st_mode)) {
      return std::unexpected(link_refused(path));
    }
    return system_failure(path, error);
  }
  return fd;
}

namespace {

std::string in_folder(const std::string& folder, const std::string& name) {
  if (folder.empty()) {
    return name;
  }
  return folder.ends_with('/') ? folder + name : folder + "/" + name;
}

// What is at `name` in the folder: nothing (ENOENT), or its type.
std::expected<mode_t, int> entry_type(int folder_fd, const std::string& name) {
  struct stat info {};
  if (::fstatat(folder_fd, name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0) {
    return std::unexpected(errno);
  }
  return info.st_mode & S_IFMT;
}

// A new temporary file beside the target. A regular file left there by an
// earlier run that stopped halfway goes; a link or anything else there is
// refused.
std::expected<UniqueFd, std::string> create_temporary(int folder_fd, const std::string& name,
                                                      const std::string& path, mode_t mode) {
  const auto existing = entry_type(folder_fd, name);
  if (existing && *existing == S_IFLNK) {
    return std::unexpected(link_refused(path));
  }
  if (existing && *existing == S_IFREG && ::unlinkat(folder_fd, name.c_str(), 0) != 0) {
    return system_failure(path, errno);
  }
  UniqueFd fd(::openat(folder_fd, name.c_str(),
                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
  if (!fd) {
    return system_failure(path, errno);
  }
  return fd;
}

std::expected<void, std::string> write_all(int fd, std::string_view text, const std::string& path) {
  if (const int error = kelvoma::write_all(fd, text); error != 0) {
    return system_failure(path, error);
  }
  return {};
}

// The complete temporary file takes the target's name: over what is there,
// or (Existing::kept) only where nothing is.
std::expected<void, std::string> move_into_place(int folder_fd, const std::string& temporary,
                                                 const std::string& name, const std::string& path,
                                                 Existing existing) {
  const unsigned flags = existing == Existing::kept ? RENAME_NOREPLACE : 0;
  if (::renameat2(folder_fd, temporary.c_str(), folder_fd, name.c_str(), flags) != 0) {
    return system_failure(path, errno);
  }
  // The new name lasts only once the folder is on disk too.
  static_cast<void>(::fsync(folder_fd));
  return {};
}

}  // namespace

std::expected<void, std::string> write_in_folder(int folder_fd, const std::string& folder,
                                                 const std::string& name, std::string_view text,
                                                 mode_t mode, Existing existing) {
  const std::string path = in_folder(folder, name);
  const auto target = entry_type(folder_fd, name);
  if (target && *target == S_IFLNK) {
    return std::unexpected(link_refused(path));
  }
  if (target && existing == Existing::kept) {
    return system_failure(path, EEXIST);
  }
  if (!target && target.error() != ENOENT) {
    return system_failure(path, target.error());
  }
  const std::string temporary = name + ".tmp";
  const std::string temporary_path = in_folder(folder, temporary);
  auto fd = create_temporary(folder_fd, temporary, temporary_path, mode);
  if (!fd) {
    return std::unexpected(fd.error());
  }
  auto written = write_all(fd->get(), text, temporary_path);
  if (written && ::fsync(fd->get()) != 0) {
    written = system_failure(temporary_path, errno);
  }
  if (const int closed = fd->close(); written && closed != 0) {
    written = system_failure(temporary_path, closed);
  }
  if (written) {
    written = move_into_place(folder_fd, temporary, name, path, existing);
  }
  if (!written) {
    ::unlinkat(folder_fd, temporary.c_str(), 0);
  }
  return written;
}

namespace {

std::expected<void, std::string> write_file(const std::string& path, std::string_view text,
                                            mode_t mode, Existing existing) {
  const std::filesystem::path target(path);
  const std::string folder = target.parent_path().string();
  const std::string opened = folder.empty() ? "." : folder;
  const auto folder_fd = open_folder(AT_FDCWD, opened, opened, FolderLink::followed);
  if (!folder_fd) {
    return std::unexpected(folder_fd.error());
  }
  return write_in_folder(folder_fd->get(), folder, target.filename().string(), text, mode,
                         existing);
}

}  // namespace

std::expected<void, std::string> replace_file(const std::string& path, std::string_view text) {
  return write_file(path, text, 0644, Existing::replaced);
}

std::expected<void, std::string> create_private_file(const std::string& path,
                                                     std::string_view text) {
  return write_file(path, text, 0600, Existing::kept);
}

std::expected<void, std::string> create_file(const std::string& path, std::string_view text) {
  return write_file(path, text, 0644, Existing::kept);
}

namespace {

const OptionSpec* find_option(std::span<const OptionSpec> specs, std::string_view name) {
  for (const OptionSpec& spec : specs) {
    if (spec.name == name) {
      return &spec;
    }
  }
  return nullptr;
}

}  // namespace

std::expected<Options, Failure> parse_options(std::span<const OptionSpec> specs,
                                              std::span<const char* const> arguments,
                                              std::size_t positional,
                                              std::size_t optional_positional,
                                              std::string_view missing) {
  Options options;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    std::string_view name = argument.substr(0, argument.find('='));
    const OptionSpec* spec = find_option(specs, name);
    if (spec == nullptr && !argument.starts_with("--") &&
        options[""].size() < positional + optional_positional) {
      options[""].emplace_back(argument);
      continue;
    }
    if (spec == nullptr) {
      return usage_error(argument.starts_with("--")
                             ? "Neznámá volba " + std::string(name) + "."
                             : "Nečekaný argument " + std::string(argument) + ".");
    }
    std::string value;
    if (spec->flag && name.size() < argument.size()) {
      return usage_error("Volba " + std::string(name) + " nemá hodnotu.");
    }
    if (spec->flag) {
      value = "";
    } else if (name.size() < argument.size()) {
      value = argument.substr(name.size() + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      return usage_error("Volba " + std::string(name) + " potřebuje hodnotu.");
    }
    auto& values = options[std::string(name)];
    if (!values.empty() && !spec->repeatable) {
      return usage_error("Volba " + std::string(name) + " je uvedena dvakrát.");
    }
    values.push_back(std::move(value));
  }
  if (options[""].size() < positional) {
    return usage_error(std::string(missing));
  }
  for (const OptionSpec& spec : specs) {
    if (spec.required && !options.contains(spec.name)) {
      return usage_error("Chybí volba " + std::string(spec.name) + ".");
    }
  }
  return options;
}

const std::string& single(const Options& options, std::string_view name) {
  return options.find(name)->second.front();
}

bool asks_for_help(std::span<const char* const> arguments) {
  return std::any_of(arguments.begin(), arguments.end(), [](const char* argument) {
    return std::string_view(argument) == "--help" || std::string_view(argument) == "-h";
  });
}

std::string without_trailing_separators(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

}  // namespace kelvoma::publish
