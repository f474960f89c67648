// Every network transfer, through the system's transfer tool.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "releases/build_config.h"
#include "releases/byte_buffer.h"

namespace kelvoma {

// The transfer tool's argument list for `url` and `limit` (without the
// program itself): fixed options, the 120/900-second time limit by `limit`,
// "--url" and the address last.
std::vector<std::string> transfer_arguments(std::string_view url, std::uint64_t limit);

// Sees the body piece by piece as it arrives, in order, so that work on it
// (hashing an archive, writing it to a file) can keep pace with the
// transfer. When fetch_url succeeds, the pieces joined are exactly the body
// (the bytes it returns, when it keeps them); when it fails, what was seen
// means nothing (it may even be one byte over the limit). It is called on
// the fetching thread and must not throw.
using BodyObserver = std::function<void(std::span<const std::uint8_t>)>;

// Whether fetch_url returns the body, or only shows it to the observer
// through one reused piece buffer (the returned buffer is then empty): a
// caller that stores the body elsewhere as it arrives needs no copy of it
// in memory.
enum class KeepBody { yes, no };

// Fetches an https address into memory, accepting at most `limit` bytes.
// Messages: "Stahování vyžaduje HTTPS." (no process started), the system
// error text, "Chybí odpověď serveru.", "Stažený soubor překročil povolenou
// velikost nebo byl přerušen.", "Zatím není zveřejněné dostupné vydání."
// (the tool's error text mentions 404), "Stažení se nepodařilo. Zkontroluj
// připojení a zkus to znovu.". The child never outlives the call. An empty
// `observe` is not called. Limits and messages are the same whether the
// body is kept or not.
std::expected<ByteBuffer, std::string> fetch_url(const CoreConfig& config, std::string_view url,
                                                 std::uint64_t limit,
                                                 const BodyObserver& observe = {},
                                                 KeepBody keep = KeepBody::yes);

}  // namespace kelvoma
