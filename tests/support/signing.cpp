#include "support/signing.h"

#include <gtest/gtest.h>
#include <sodium.h>

#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <system_error>

#include "verify/crypto/base64.h"

namespace kelvoma::fixture {
namespace {

std::filesystem::path key_directory() {
  return std::filesystem::path(KELVOMA_SOURCE_DIR) / "tests" / "fixtures" / "keys";
}

// The first line of a key file, without its line break.
std::string first_line(const std::filesystem::path& path) {
  std::string text = read_file(path);
  return text.substr(0, text.find_first_of("\r\n"));
}

SigningKey key_from_seed(std::span<const std::uint8_t, crypto_sign_SEEDBYTES> seed) {
  SigningKey key;
  std::array<std::uint8_t, crypto_sign_PUBLICKEYBYTES> public_key{};
  crypto_sign_seed_keypair(public_key.data(), key.secret.data(), seed.data());
  key.public_key = encode_base64(public_key);
  return key;
}

}  // namespace

SigningKey load_key(std::string_view name) {
  if (sodium_init() < 0) {
    ADD_FAILURE() << "libsodium could not be initialised";
    return {};
  }
  const std::filesystem::path base = key_directory() / std::string(name);
  const auto seed = decode_base64(first_line(base.string() + ".key"));
  if (!seed || seed->size() != crypto_sign_SEEDBYTES) {
    ADD_FAILURE() << "fixture key " << name << ".key is not base64 of a 32-byte seed";
    return {};
  }
  SigningKey key = key_from_seed(std::span<const std::uint8_t, crypto_sign_SEEDBYTES>(*seed));
  const std::string expected_public = first_line(base.string() + ".pub");
  if (key.public_key != expected_public) {
    ADD_FAILURE() << "fixture key " << name << ".key does not match " << name << ".pub";
  }
  return key;
}

SigningKey random_key() {
  if (sodium_init() < 0) {
    ADD_FAILURE() << "libsodium could not be initialised";
    return {};
  }
  std::array<std::uint8_t, crypto_sign_SEEDBYTES> seed{};
  randombytes_buf(seed.data(), seed.size());
  return key_from_seed(seed);
}

std::string sign(const SigningKey& key, std::span<const std::uint8_t> bytes) {
  std::array<std::uint8_t, crypto_sign_BYTES> signature{};
  crypto_sign_detached(signature.data(), nullptr, bytes.data(), bytes.size(), key.secret.data());
  return encode_base64(signature);
}

std::string sign(const SigningKey& key, std::string_view bytes) {
  return sign(key, as_bytes(bytes));
}

std::string archive_prefix(std::string_view tool_id) {
  return "https://localhost:" + std::to_string(KELVOMA_FIXTURE_PORT) + "/tobranix/" +
         std::string(tool_id) + "/releases/download/";
}

Release fixture_release(std::string_view tool_id) {
  Release release;
  release.schema = 1;
  release.id = std::string(tool_id);
  release.bundle_id = "cz.tobranix." + std::string(tool_id);
  release.version = "1.0.0";
  release.build = 1;
  release.minimum_macos = "13.0";
  release.architectures = {"arm64", "x86_64"};
  release.archive_url = archive_prefix(tool_id) + "v1.0.0/" + std::string(tool_id) + ".zip";
  release.archive_size = 1;
  return release;
}

std::string release_json(const Release& release) {
  auto payload = release_payload(release);
  EXPECT_TRUE(payload.has_value()) << "fixture release with text that is not UTF-8";
  return payload.value_or(std::string());
}

std::string envelope_json(std::string_view payload, std::string_view signature, EnvelopeForm form) {
  const std::string encoded = encode_base64(as_bytes(payload));
  if (form == EnvelopeForm::array) {
    return nlohmann::json::array({encoded, signature}).dump();
  }
  nlohmann::ordered_json object;
  object["payload"] = encoded;
  object["signature"] = signature;
  return object.dump();
}

std::string signed_manifest(const SigningKey& key, std::string_view payload, EnvelopeForm form) {
  return envelope_json(payload, sign(key, payload), form);
}

std::string signed_manifest(const SigningKey& key, const Release& release, EnvelopeForm form) {
  return signed_manifest(key, release_json(release), form);
}

std::string notes_json(const Release& release, std::string_view text) {
  nlohmann::ordered_json object;
  object["schema"] = 1;
  object["id"] = release.id;
  object["build"] = release.build;
  object["version"] = release.version;
  object["text"] = text;
  return object.dump();
}

Release sign_archive(const SigningKey& key, Release release,
                     std::span<const std::uint8_t> archive) {
  release.archive_size = archive.size();
  release.archive_signature = sign(key, archive);
  return release;
}

PublishedRelease publish_release(const std::filesystem::path& directory, const SigningKey& key,
                                 Release release, std::span<const std::uint8_t> archive) {
  std::error_code error;
  std::filesystem::create_directories(directory, error);
  if (error) {
    ADD_FAILURE() << "cannot create " << directory << ": " << error.message();
  }
  PublishedRelease published;
  published.release = sign_archive(key, std::move(release), archive);
  const std::string& url = published.release.archive_url;
  const std::string name = url.substr(url.find_last_of('/') + 1);
  published.archive = directory / (name.empty() ? std::string("archive.zip") : name);
  published.manifest = directory / "release.json";
  write_file(published.archive, archive);
  write_file(published.manifest, signed_manifest(key, published.release));
  return published;
}

std::span<const std::uint8_t> as_bytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

std::vector<std::uint8_t> to_bytes(std::string_view text) {
  const auto bytes = as_bytes(text);
  return {bytes.begin(), bytes.end()};
}

void write_file(const std::filesystem::path& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  if (!out) {
    ADD_FAILURE() << "cannot write " << path;
  }
}

void write_file(const std::filesystem::path& path, std::string_view text) {
  write_file(path, as_bytes(text));
}

std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    ADD_FAILURE() << "cannot read " << path;
    return {};
  }
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace kelvoma::fixture
