// Public Ed25519 vectors (RFC 8032, Wycheproof, the "many EdDSAs" edge
// cases), each labelled with the verdict our strict rules must give. The data
// lives beside the repository, not in it; without it the test says so and
// skips.
#include <gtest/gtest.h>
#include <sodium.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"

namespace kelvoma {
namespace {

constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";

struct Vector {
  std::string name;  // source and id, for failure messages
  std::vector<std::uint8_t> public_key;
  std::vector<std::uint8_t> message;
  std::vector<std::uint8_t> signature;
  std::string expected;
  std::string note;
};

std::optional<std::vector<std::uint8_t>> from_hex(const std::string& hex) {
  if (hex.size() % 2 != 0) {
    return std::nullopt;
  }
  std::vector<std::uint8_t> bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const auto byte = std::stoul(hex.substr(i, 2), nullptr, 16);
    bytes.push_back(static_cast<std::uint8_t>(byte));
  }
  return bytes;
}

std::filesystem::path vectors_path() {
  return std::filesystem::path(KELVOMA_SHARED_TESTDATA) / "ed25519" / "vectors.jsonl";
}

std::vector<Vector> load_vectors(std::ifstream& in) {
  std::vector<Vector> vectors;
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) {
      continue;
    }
    const auto record = nlohmann::json::parse(line);
    Vector vector;
    vector.name = record.at("source").get<std::string>() + "/" + record.at("id").get<std::string>();
    vector.public_key = from_hex(record.at("public_key_hex").get<std::string>()).value();
    vector.message = from_hex(record.at("message_hex").get<std::string>()).value();
    vector.signature = from_hex(record.at("signature_hex").get<std::string>()).value();
    vector.expected = record.at("expected").get<std::string>();
    vector.note = record.at("note").get<std::string>();
    vectors.push_back(std::move(vector));
  }
  return vectors;
}

class Ed25519Vectors : public ::testing::Test {
 protected:
  void SetUp() override {
    std::ifstream in(vectors_path());
    if (!in) {
      GTEST_SKIP() << "NOTE: Ed25519 vectors not found at " << vectors_path()
                   << "; the shared test data is not beside this checkout";
    }
    vectors_ = load_vectors(in);
  }

  std::vector<Vector> vectors_;
};

using Verdict = std::expected<void, std::string>;

// What the label says the verifier must answer.
Verdict labelled_verdict(const Vector& vector) {
  if (vector.expected == "REJECT") {
    return std::unexpected(std::string(mismatch));
  }
  if (vector.expected == "BAD_KEY") {
    return std::unexpected(std::string(bad_key));
  }
  return {};
}

Verdict streamed(const Vector& vector, std::size_t piece) {
  auto stream =
      SignatureStream::start(encode_base64(vector.signature), encode_base64(vector.public_key));
  if (!stream) {
    return std::unexpected(stream.error());
  }
  const std::span<const std::uint8_t> message(vector.message);
  for (std::size_t at = 0; at < message.size(); at += piece) {
    stream->update(message.subspan(at, std::min(piece, message.size() - at)));
  }
  return stream->finish();
}

TEST_F(Ed25519Vectors, AllAreReadAndLabelled) {
  std::map<std::string, int> labels;
  for (const Vector& vector : vectors_) {
    ++labels[vector.expected];
  }
  EXPECT_EQ(vectors_.size(), 156u);
  EXPECT_EQ(labels, (std::map<std::string, int>{{"ACCEPT", 94}, {"REJECT", 60}, {"BAD_KEY", 2}}));
}

TEST_F(Ed25519Vectors, VerdictMatchesLabel) {
  for (const Vector& vector : vectors_) {
    SCOPED_TRACE(vector.name + ": " + vector.note);
    const auto verdict = verify_signature(vector.message, encode_base64(vector.signature),
                                          encode_base64(vector.public_key));
    if (vector.expected == "ACCEPT") {
      EXPECT_TRUE(verdict.has_value()) << verdict.error();
    } else if (vector.expected == "REJECT") {
      EXPECT_EQ(verdict, std::unexpected(std::string(mismatch)));
    } else if (vector.expected == "BAD_KEY") {
      EXPECT_EQ(verdict, std::unexpected(std::string(bad_key)));
    } else {
      ADD_FAILURE() << "unknown label " << vector.expected;
    }
  }
}

// The same verdicts when the message arrives in pieces: single bytes, odd
// sizes on both sides of the hash's 128-byte block, and whole.
TEST_F(Ed25519Vectors, StreamedVerdictMatchesLabel) {
  for (const Vector& vector : vectors_) {
    SCOPED_TRACE(vector.name + ": " + vector.note);
    ASSERT_TRUE(vector.expected == "ACCEPT" || vector.expected == "REJECT" ||
                vector.expected == "BAD_KEY");
    for (const std::size_t piece :
         {std::size_t{1}, std::size_t{3}, std::size_t{61}, std::size_t{129},
          std::max<std::size_t>(vector.message.size(), 1)}) {
      EXPECT_EQ(streamed(vector, piece), labelled_verdict(vector)) << "pieces of " << piece;
    }
  }
}

// Our rules are libsodium's: its verification agrees with every label.
TEST_F(Ed25519Vectors, LibsodiumAgreesWithEveryLabel) {
  ASSERT_GE(sodium_init(), 0);
  for (const Vector& vector : vectors_) {
    SCOPED_TRACE(vector.name + ": " + vector.note);
    const bool sodium_accepts =
        crypto_sign_verify_detached(vector.signature.data(), vector.message.data(),
                                    vector.message.size(), vector.public_key.data()) == 0;
    EXPECT_EQ(sodium_accepts, vector.expected == "ACCEPT");
  }
}

// Every key outside BAD_KEY decodes as a point, including the small-order and
// mixed-order ones that the signature check refuses later.
TEST_F(Ed25519Vectors, KeyDecodingMatchesLabel) {
  for (const Vector& vector : vectors_) {
    SCOPED_TRACE(vector.name);
    ASSERT_EQ(vector.public_key.size(), 32u);
    EXPECT_EQ(
        decodes_as_curve_point(std::span<const std::uint8_t, 32>(vector.public_key.data(), 32)),
        vector.expected != "BAD_KEY");
  }
}

}  // namespace
}  // namespace kelvoma
