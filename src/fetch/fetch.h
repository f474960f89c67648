// Every network transfer, through the system's transfer tool.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "verify/build_config.h"
#include "verify/util/byte_buffer.h"

namespace kelvoma {

// The transfer tool's argument list for `url` and `limit` (without the
// program itself): fixed options, the 120/900-second time limit by `limit`,
// "--url" and the address last.
std::vector<std::string> transfer_arguments(std::string_view url, std::uint64_t limit);

// Where the body goes as it arrives. The runner reads each piece straight
// into the space the sink offers, so keeping the body in memory, hashing it
// and writing it elsewhere all go through one read loop and no piece is
// copied on the way. When fetch_url succeeds, the pieces taken, joined, are
// exactly the body; when it fails, what was taken means nothing (it may
// even be one byte over the limit). Called on the fetching thread; must not
// throw.
class BodySink {
 public:
  virtual ~BodySink() = default;
  // Room for the next piece; never empty.
  virtual std::span<std::uint8_t> space() = 0;
  // The first `count` bytes (at least one) of the last space() are the next
  // piece of the body.
  virtual void take(std::size_t count) = 0;
};

// Keeps the body in memory. It grows as data arrives and never holds more
// than `limit` + 1 bytes.
class BodyCollector final : public BodySink {
 public:
  explicit BodyCollector(std::uint64_t limit);
  std::span<std::uint8_t> space() override;
  void take(std::size_t count) override;
  // The body held so far (after a successful fetch: the whole body).
  ByteBuffer& body() { return body_; }
  const ByteBuffer& body() const { return body_; }

 private:
  ByteBuffer body_;
};

// Shows each piece to a function, through one reused buffer, for work that
// needs the piece only once.
class PieceObserver final : public BodySink {
 public:
  using Observe = std::function<void(std::span<const std::uint8_t>)>;
  explicit PieceObserver(Observe observe);
  std::span<std::uint8_t> space() override;
  void take(std::size_t count) override;

 private:
  Observe observe_;
  std::unique_ptr<std::uint8_t[]> piece_;
};

// The size of one read of the body at most; a sink whose space is at least
// this large lets every read be as large as the transfer tool allows.
inline constexpr std::size_t body_piece_size = std::size_t{1} << 20;

// Fetches an https address into `sink`, accepting at most `limit` bytes.
// Messages: "Stahování vyžaduje HTTPS." (no process started), the system
// error text, "Chybí odpověď serveru.", "Stažený soubor překročil povolenou
// velikost nebo byl přerušen.", "Zatím není zveřejněné dostupné vydání."
// (the tool's error text mentions 404), "Stažení se nepodařilo. Zkontroluj
// připojení a zkus to znovu.". The child never outlives the call.
std::expected<void, std::string> fetch_url(const CoreConfig& config, std::string_view url,
                                           std::uint64_t limit, BodySink& sink);

// The message of a 404 answer, for callers that know better what was missing.
inline constexpr std::string_view not_published_message = "Zatím není zveřejněné dostupné vydání.";

// The same, with the body kept in memory by a BodyCollector and returned.
std::expected<ByteBuffer, std::string> fetch_url(const CoreConfig& config, std::string_view url,
                                                 std::uint64_t limit);

}  // namespace kelvoma
