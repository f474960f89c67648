// Public Ed25519 vectors (RFC 8032, Wycheproof, the "many EdDSAs" edge
// cases), each labelled with the verdict our strict rules must give. The data
// lives beside the repository, not in it; without it the test says so and
// skips.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "releases/base64.h"
#include "releases/signature.h"

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
