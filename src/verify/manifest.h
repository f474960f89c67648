// The signed release manifest ("release.json") of a manifest-based tool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "verify/build_config.h"
#include "verify/catalog.h"

namespace kelvoma {

inline constexpr std::size_t max_manifest_size = 65536;
inline constexpr std::uint64_t max_archive_size = 268435456;

// The envelope: base64 payload bytes and the base64 signature over them.
struct Envelope {
  std::string payload;
  std::string signature;
};

// The signed payload.
struct Release {
  std::uint32_t schema = 0;
  std::string id;
  std::string bundle_id;
  std::string version;
  std::uint64_t build = 0;
  std::string minimum_macos;
  std::vector<std::string> architectures;
  std::string archive_url;
  std::uint64_t archive_size = 0;
  std::string archive_signature;

  bool operator==(const Release&) const = default;
};

// Record readers (unknown members refused, array form accepted).
// Errors are developer-facing descriptions.
std::expected<Envelope, std::string> parse_envelope(std::string_view text);
std::expected<Release, std::string> parse_release(std::string_view text);

// What a signed document says where its envelope cannot be read.
struct EnvelopeMessages {
  std::string_view envelope;  // no envelope record
  std::string_view payload;   // payload not strict base64
};

// The payload bytes of an envelope document, once the signature over them by
// `public_key` holds: envelope, payload base64, then the signature, before a
// byte of the payload is interpreted. Every signed document of a release
// (the manifest, the notes) is opened this way.
std::expected<std::vector<std::uint8_t>, std::string> signed_payload(
    std::span<const std::uint8_t> document, std::string_view public_key, EnvelopeMessages messages);

// The release as a JSON object with its members in declaration order: the
// payload a publisher signs. Fails when a text is not valid UTF-8 (the
// verifier would refuse it too).
std::expected<std::string, std::string> release_payload(const Release& release);

// Turns manifest bytes into a trusted Release for `tool`: size bound,
// envelope, payload base64, signature (before the payload is parsed),
// release record, consistency with the catalog entry. Every failure is one
// of the Czech messages of these steps, in this order.
std::expected<Release, std::string> verify_release_manifest(const Tool& tool,
                                                            std::span<const std::uint8_t> manifest);

// The processor rule (architecture.h) for the release's `architectures`
// under the configuration's code trust and machine.
std::expected<void, std::string> require_supported_architecture(const Release& release,
                                                                const CoreConfig& config);

}  // namespace kelvoma
