#include "fetch/fetch.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <limits>
#include <memory>
#include <utility>

#include "fetch/command.h"
#include "verify/util/system_error.h"

namespace kelvoma {
namespace {

constexpr std::string_view https_scheme = "https://";
constexpr std::uint64_t small_transfer_limit = 1048576;

constexpr std::string_view https_required = "Stahování vyžaduje HTTPS.";
constexpr std::string_view no_server_answer = "Chybí odpověď serveru.";
constexpr std::string_view too_large_or_broken =
    "Stažený soubor překročil povolenou velikost nebo byl přerušen.";
constexpr std::string_view not_published = not_published_message;
constexpr std::string_view download_failed =
    "Stažení se nepodařilo. Zkontroluj připojení a zkus to znovu.";

// A larger pipe lets the transfer tool write in big pieces and us read them
// with fewer system calls. The kernel may refuse (per-user pipe limits);
// the default size then serves as well, only slower.
constexpr int body_pipe_size = static_cast<int>(body_piece_size);

enum class BodyEnd { complete, too_large, failed };

// No body can outgrow the address space, so a limit beyond it never decides
// anything; the bound of what is held is limit + 1 wherever that fits.
std::size_t accepted_bytes(std::uint64_t limit) {
  constexpr std::size_t largest = std::numeric_limits<std::size_t>::max() - 1;
  return limit < largest ? static_cast<std::size_t>(limit) : largest;
}

// Reads the body into the sink's space until end of file, stopping as soon
// as `accepted` + 1 bytes have arrived.
BodyEnd read_body(int fd, BodySink& sink, std::size_t accepted) {
  std::size_t received = 0;
  for (;;) {
    if (received > accepted) {
      return BodyEnd::too_large;
    }
    const std::span<std::uint8_t> space = sink.space();
    const std::size_t room = std::min(space.size(), accepted + 1 - received);
    const ssize_t count = read(fd, space.data(), room);
    if (count < 0) {
      if (errno == EINTR) {
        continue;
      }
      return BodyEnd::failed;
    }
    if (count == 0) {
      return BodyEnd::complete;
    }
    received += static_cast<std::size_t>(count);
    sink.take(static_cast<std::size_t>(count));
  }
}

// The transfer tool describes an HTTP failure with its status number. The
// three ASCII digits survive UTF-8 decoding with replacement unchanged, so
// a byte search finds exactly what a search of the decoded text would.
bool mentions_not_found(std::string_view error_text) {
  return error_text.find("404") != std::string_view::npos;
}

}  // namespace

std::vector<std::string> transfer_arguments(std::string_view url, std::uint64_t limit) {
  return {
      "--disable",
      "--globoff",
      "--silent",
      "--show-error",
      "--fail",
      "--location",
      "--proto",
      "=https",
      "--proto-redir",
      "=https",
      "--max-redirs",
      "5",
      "--connect-timeout",
      "15",
      "--max-time",
      limit > small_transfer_limit ? "900" : "120",
      "--speed-limit",
      "1024",
      "--speed-time",
      "60",
      "--user-agent",
      "Kelvoma/0.1",
      "--url",
      std::string(url),
  };
}

BodyCollector::BodyCollector(std::uint64_t limit) : body_(accepted_bytes(limit) + 1) {}

std::span<std::uint8_t> BodyCollector::space() { return body_.spare(); }

void BodyCollector::take(std::size_t count) { body_.commit(count); }

PieceObserver::PieceObserver(Observe observe)
    : observe_(std::move(observe)),
      piece_(std::make_unique_for_overwrite<std::uint8_t[]>(body_piece_size)) {}

std::span<std::uint8_t> PieceObserver::space() { return {piece_.get(), body_piece_size}; }

void PieceObserver::take(std::size_t count) {
  if (observe_) {
    observe_({piece_.get(), count});
  }
}

std::expected<void, std::string> fetch_url(const CoreConfig& config, std::string_view url,
                                           std::uint64_t limit, BodySink& sink) {
  if (!url.starts_with(https_scheme)) {
    return std::unexpected(std::string(https_required));
  }

  // The transfer tool reads nothing, so its standard input stays ours.
  auto child = ChildProcess::start(Command{config.curl, transfer_arguments(url, limit)},
                                   StreamSetup{.input = Stream::inherit});
  if (!child) {
    return std::unexpected(child.error());
  }
  if (!child->output()) {
    return std::unexpected(std::string(no_server_answer));
  }

  const std::size_t accepted = accepted_bytes(limit);
  if (accepted >= static_cast<std::size_t>(body_pipe_size)) {
    (void)fcntl(child->output().get(), F_SETPIPE_SZ, body_pipe_size);
  }
  const BodyEnd end = read_body(child->output().get(), sink, accepted);
  child->output().reset();
  if (end != BodyEnd::complete) {
    // Killed and reaped here, before the message leaves; the error stream is
    // of no interest on this path.
    child->kill();
    (void)child->wait();
    return std::unexpected(std::string(too_large_or_broken));
  }

  std::string error_text;
  (void)read_to_end(child->error().get(), error_text);
  child->error().reset();
  const auto status = child->wait();
  if (!status) {
    return std::unexpected(system_error_text(status.error()));
  }
  if (!exited_successfully(*status)) {
    return std::unexpected(
        std::string(mentions_not_found(error_text) ? not_published : download_failed));
  }
  return {};
}

std::expected<ByteBuffer, std::string> fetch_url(const CoreConfig& config, std::string_view url,
                                                 std::uint64_t limit) {
  BodyCollector collector(limit);
  if (auto fetched = fetch_url(config, url, limit, collector); !fetched) {
    return std::unexpected(std::move(fetched.error()));
  }
  return std::move(collector.body());
}

}  // namespace kelvoma
