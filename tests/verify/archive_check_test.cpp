#include "verify/archive_check.h"

#include <gtest/gtest.h>

#include "support/signing.h"
#include "verify/catalog.h"

namespace kelvoma {
namespace {

constexpr std::string_view download_size = "Velikost staženého balíčku nesouhlasí.";
constexpr std::string_view archive_size = "Velikost archivu nesouhlasí.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";
constexpr std::string_view digest_mismatch =
    "Kontrolní součet nebo velikost staženého balíčku nesouhlasí.";

using Bytes = std::vector<std::uint8_t>;
using fixture::as_bytes;

std::unexpected<std::string> refusal(std::string_view message) {
  return std::unexpected(std::string(message));
}

std::expected<void, std::string> accepted() { return {}; }

Bytes sample_archive(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  return bytes;
}

class ArchiveCheckTest : public ::testing::Test {
 protected:
  std::expected<void, std::string> check(const Bytes& archive, const Release& release,
                                         ArchiveSizeMessage message) const {
    return verify_release_archive(archive, release, tool_, message);
  }

  Tool tool_ = find_tool("orbit-action-dial").value();
  fixture::SigningKey key_ = fixture::load_key("orbit-action-dial");
  Bytes archive_ = sample_archive(4096);
  Release release_ =
      fixture::sign_archive(key_, fixture::fixture_release("orbit-action-dial"), archive_);
};

TEST_F(ArchiveCheckTest, AcceptsTheSignedArchive) {
  for (auto message : {ArchiveSizeMessage::download, ArchiveSizeMessage::archive_file}) {
    EXPECT_EQ(check(archive_, release_, message), accepted());
  }
}

TEST_F(ArchiveCheckTest, SizeIsComparedBeforeTheSignature) {
  // The archive signature verifies for these very bytes; only the declared
  // size is off, so the size message proves the order.
  struct Case {
    std::int64_t declared_offset;
    ArchiveSizeMessage who;
    std::string_view message;
  };
  const Case cases[] = {
      {-1, ArchiveSizeMessage::download, download_size},
      {+1, ArchiveSizeMessage::download, download_size},
      {-1, ArchiveSizeMessage::archive_file, archive_size},
      {+1, ArchiveSizeMessage::archive_file, archive_size},
  };
  for (const Case& c : cases) {
    Release release = release_;
    release.archive_size =
        static_cast<std::uint64_t>(static_cast<std::int64_t>(archive_.size()) + c.declared_offset);
    EXPECT_EQ(check(archive_, release, c.who), refusal(c.message)) << c.declared_offset;
  }
}

TEST_F(ArchiveCheckTest, WrongSizeIsReportedEvenWhenTheSignatureIsBrokenToo) {
  Release release = release_;
  release.archive_size += 1;
  release.archive_signature = "***";
  EXPECT_EQ(check(archive_, release, ArchiveSizeMessage::archive_file), refusal(archive_size));
  tool_.public_key = "";
  EXPECT_EQ(check(archive_, release, ArchiveSizeMessage::download), refusal(download_size));
}

TEST_F(ArchiveCheckTest, FileOneByteShorterOrLongerFailsOnSize) {
  Bytes shorter(archive_.begin(), archive_.end() - 1);
  Bytes longer = archive_;
  longer.push_back(0);
  EXPECT_EQ(check(shorter, release_, ArchiveSizeMessage::download), refusal(download_size));
  EXPECT_EQ(check(longer, release_, ArchiveSizeMessage::archive_file), refusal(archive_size));
}

TEST_F(ArchiveCheckTest, SignatureMustBeThisToolsOverTheseBytes) {
  Release other_key = release_;
  other_key.archive_signature = fixture::sign(fixture::load_key("pane-keeper"), archive_);
  Release other_release = release_;
  other_release.archive_signature = fixture::sign(key_, sample_archive(4095));
  EXPECT_EQ(check(archive_, other_key, ArchiveSizeMessage::download), refusal(mismatch));
  EXPECT_EQ(check(archive_, other_release, ArchiveSizeMessage::download), refusal(mismatch));
  for (std::size_t at : {std::size_t{0}, archive_.size() / 2, archive_.size() - 1}) {
    Bytes flipped = archive_;
    flipped[at] ^= 0x01;
    EXPECT_EQ(check(flipped, release_, ArchiveSizeMessage::archive_file), refusal(mismatch)) << at;
  }
}

TEST_F(ArchiveCheckTest, SignatureAndKeyMessagesPassThrough) {
  Release broken = release_;
  broken.archive_signature = "";
  EXPECT_EQ(check(archive_, broken, ArchiveSizeMessage::download),
            refusal("Neplatná délka podpisu."));
  broken.archive_signature = release_.archive_signature + "\n";
  EXPECT_EQ(check(archive_, broken, ArchiveSizeMessage::download), refusal("Neplatný podpis."));
  tool_.public_key.pop_back();
  EXPECT_EQ(check(archive_, broken, ArchiveSizeMessage::download),
            refusal("Neplatný veřejný klíč."));
}

// SHA-256 of "abc" (FIPS 180-2 appendix B.1).
constexpr std::string_view abc_digest =
    "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
constexpr std::string_view empty_digest =
    "sha256:e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855";

struct DigestCase {
  std::string_view why;
  std::string_view data;
  std::uint64_t size;
  std::string digest;
  bool accepted;
};

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') {
      c = static_cast<char>(c - 'a' + 'A');
    }
  }
  return result;
}

TEST(AssetDigest, ComparesSizeAndDigestIgnoringLetterCase) {
  const std::string abc(abc_digest);
  const std::string digits = abc.substr(7);
  const DigestCase cases[] = {
      {"lower case", "abc", 3, abc, true},
      {"upper-case digits", "abc", 3, "sha256:" + upper(digits), true},
      {"prefix in capitals", "abc", 3, "SHA256:" + digits, true},
      {"all in capitals", "abc", 3, upper(abc), true},
      {"empty data", "", 0, std::string(empty_digest), true},
      {"size one more", "abc", 4, abc, false},
      {"size one less", "abc", 2, abc, false},
      {"empty data, size 1", "", 1, std::string(empty_digest), false},
      {"another file's digest", "abd", 3, abc, false},
      {"one digit changed", "abc", 3, abc.substr(0, abc.size() - 1) + "c", false},
      {"leading space", "abc", 3, " " + abc, false},
      {"trailing space", "abc", 3, abc + " ", false},
      {"trailing line feed", "abc", 3, abc + "\n", false},
      {"63 digits", "abc", 3, abc.substr(0, abc.size() - 1), false},
      {"65 digits", "abc", 3, abc + "0", false},
      {"no prefix", "abc", 3, digits, false},
      {"other algorithm", "abc", 3, "sha512:" + digits, false},
      {"prefix without colon", "abc", 3, "sha256" + digits, false},
      {"empty digest", "abc", 3, "", false},
      {"prefix only", "abc", 3, "sha256:", false},
      {"non-ASCII case folding is not done", "abc", 3, "sha256:" + digits.substr(0, 63) + "\xc4",
       false},
  };
  for (const DigestCase& c : cases) {
    const auto result = verify_asset_digest(as_bytes(c.data), c.size, c.digest);
    if (c.accepted) {
      EXPECT_TRUE(result.has_value()) << c.why;
    } else {
      EXPECT_EQ(result, refusal(digest_mismatch)) << c.why;
    }
  }
}

TEST(AssetDigest, LargeDataIsHashedWhole) {
  // The digest of these bytes as computed independently (sha256sum).
  const std::string digest =
      "sha256:b7f7ba5ce5463b3c84a283f779d7a652cbf99122de5923ba51627607ff1497d5";
  Bytes data = sample_archive(1 << 20);
  EXPECT_TRUE(verify_asset_digest(data, data.size(), digest).has_value());
  data.back() ^= 0x80;
  EXPECT_EQ(verify_asset_digest(data, data.size(), digest), refusal(digest_mismatch));
}

}  // namespace
}  // namespace kelvoma
