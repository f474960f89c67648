// What the publisher tool's commands share: their outcome, file writing that
// never leaves half a file and never writes through a link, and the
// command-line options.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

// How a command ended, as its exit status, so that a script can tell a
// refused input from a network step that may succeed when run again.
enum class Exit : int {
  done = 0,
  refused = 1,   // the input, a file or the disk is not as the command needs
  usage = 2,     // the command line (then the usage text follows the message)
  network = 3,   // a transfer: no connection, an HTTP status, a certificate
  internal = 4,  // a fault of the tool itself: its own output failed its check
};

// A failed command: its message, its exit status and, where one is known,
// a short name of the cause and the path it concerns (for --json).
struct Failure {
  std::string message;
  Exit exit = Exit::refused;
  std::string cause = {};
  std::string path = {};
  std::string json = {};  // with --json: the result document for standard output
};

// What a command prints on success, or its failure.
using Outcome = std::expected<std::string, Failure>;

std::unexpected<Failure> fail(std::string message);
std::unexpected<Failure> usage_error(std::string message);

// The outcome of a command that takes --json: when "--json" is among its
// arguments (also when they were refused, so that a script gets its
// document whatever went wrong), a failure carries the one JSON object
// printed for it: "result" ("refused", "usage", "network", "internal"),
// "exit", "cause" (the result when no finer cause is known), "path" (empty
// when none) and "message".
Outcome with_failure_document(Outcome outcome, std::span<const char* const> arguments);

// What the system said for the errno `error`, in Czech ("na disku není
// místo"), and the same as "PATH: …." naming the path it concerns.
std::string czech_system_error(int error);
// `message` with each system error that shared code words in English
// ("File exists (os error 17)") said in Czech instead.
std::string in_czech(std::string message);
std::string system_failure_text(const std::string& path, int error);

// The most the tool reads of each file it is given: a key is one line, a
// catalog and a seal are text of the size the installation accepts.
inline constexpr std::uint64_t max_key_file_size = 4096;
inline constexpr std::uint64_t max_catalog_file_size = 4 << 20;
inline constexpr std::uint64_t max_seal_file_size = 16 << 20;

// The whole file, which must be a regular file (a link the publisher named
// is followed) of at most `limit` bytes; anything else is refused naming what
// was found. The buffers it passes through are wiped, as the file may hold a
// secret key.
std::expected<std::vector<std::uint8_t>, std::string> read_whole_file(const std::string& path,
                                                                      std::uint64_t limit);

// Hands the file open as `fd` to `take` from its start, a piece of at most
// 1 MiB at a time, until its end or until more than `limit` bytes were
// read; answers how many were. A read error names `shown_as`.
std::expected<std::uint64_t, std::string> read_in_pieces(
    int fd, std::uint64_t limit, const std::string& shown_as,
    const std::function<void(std::span<const std::uint8_t>)>& take);

// Files are written never through a symbolic link: into a folder held open,
// as a new "NAME.tmp" (O_EXCL, O_NOFOLLOW) that is synced and then renamed
// to NAME. A link at NAME or at NAME.tmp is refused with this message.
std::string link_refused(const std::string& path);

// Opens the folder `name` below `parent_fd` (or AT_FDCWD), named `path` in
// messages. A symbolic link there is followed (a path the publisher gave) or
// refused (a folder inside a bundle).
enum class FolderLink { followed, refused };
std::expected<UniqueFd, std::string> open_folder(int parent_fd, const std::string& name,
                                                 const std::string& path, FolderLink link);

// Whether an existing file at the target is replaced, or kept and the write
// refused (a lost key cannot be recovered).
enum class Existing { replaced, kept };

// Writes `text` as NAME in the folder open as `folder_fd`, whose path
// `folder` names it in messages; a new file gets `mode`.
std::expected<void, std::string> write_in_folder(int folder_fd, const std::string& folder,
                                                 const std::string& name, std::string_view text,
                                                 mode_t mode, Existing existing);

// A new file, readable by its owner only; an existing file is never replaced.
std::expected<void, std::string> create_private_file(const std::string& path,
                                                     std::string_view text);

// A new file of mode 0644; an existing file is never replaced.
std::expected<void, std::string> create_file(const std::string& path, std::string_view text);

// Replaces `path` only once the new contents are complete and on disk.
std::expected<void, std::string> replace_file(const std::string& path, std::string_view text);

struct OptionSpec {
  std::string_view name;
  bool repeatable = false;
  bool required = true;
  bool flag = false;  // takes no value
};

// Values by option name; the positional arguments under "".
using Options = std::map<std::string, std::vector<std::string>, std::less<>>;

// "--name value" or "--name=value"; every option at most once unless it is
// repeatable; every required option present; `positional` other arguments,
// and up to `optional_positional` more. Too few is refused with `missing`.
std::expected<Options, Failure> parse_options(
    std::span<const OptionSpec> specs, std::span<const char* const> arguments,
    std::size_t positional = 0, std::size_t optional_positional = 0,
    std::string_view missing = "Chybí cesta k balíčku aplikace.");

const std::string& single(const Options& options, std::string_view name);

// Whether the command line asks for a command's usage: "--help" or "-h"
// anywhere among its arguments.
bool asks_for_help(std::span<const char* const> arguments);

// A path as given, without trailing separators ("out/" is "out"; "/" stays).
std::string without_trailing_separators(std::string path);

}  // namespace kelvoma::publish
