// verify_release_manifest over untrusted bytes, two ways:
//   first byte even: the rest is a whole manifest file, as downloaded;
//   first byte odd: the rest is a payload, signed here with the tool's key,
//     so the fuzzer reaches the release reader and the consistency rules
//     behind the signature, which it could never forge.
// Afterwards the applicability rules run on any release that came through.
#include <sodium.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "verify/catalog.h"
#include "verify/crypto/base64.h"
#include "verify/macos_version.h"
#include "verify/manifest.h"

const std::string_view kelvoma::EMBEDDED_CATALOG = "[]";

namespace {

// A fixed key made from a fixed seed: inputs stay reproducible.
struct FuzzKey {
  std::array<std::uint8_t, crypto_sign_SECRETKEYBYTES> secret{};
  kelvoma::Tool tool;

  FuzzKey() {
    if (sodium_init() < 0) {
      __builtin_trap();
    }
    std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
    seed.fill(0x4b);
    std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};
    crypto_sign_seed_keypair(public_key.data(), secret.data(), seed.data());
    tool.id = "orbit-action-dial";
    tool.bundle_id = "cz.tobranix.orbit-action-dial";
    tool.archive_prefix = "https://localhost:47321/tobranix/orbit-action-dial/releases/download/";
    tool.public_key = kelvoma::encode_base64(public_key);
  }
};

std::string signed_envelope(const FuzzKey& key, std::span<const std::uint8_t> payload) {
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr, payload.data(), payload.size(),
                       key.secret.data());
  return "{\"payload\":\"" + kelvoma::encode_base64(payload) + "\",\"signature\":\"" +
         kelvoma::encode_base64(signature) + "\"}";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const FuzzKey key;
  if (size == 0) {
    return 0;
  }
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  std::string manifest;
  std::span<const std::uint8_t> bytes = rest;
  if (data[0] % 2 == 1) {
    manifest = signed_envelope(key, rest);
    bytes = {reinterpret_cast<const std::uint8_t*>(manifest.data()), manifest.size()};
  }
  const auto release = kelvoma::verify_release_manifest(key.tool, bytes);
  if (release) {
    kelvoma::CoreConfig config;
    for (const auto trust : {kelvoma::CodeTrust::seal, kelvoma::CodeTrust::macos}) {
      config.code_trust = trust;
      static_cast<void>(kelvoma::require_supported_architecture(*release, config));
    }
    static_cast<void>(kelvoma::require_minimum_macos(release->minimum_macos, "14.2.1"));
  }
  return 0;
}
