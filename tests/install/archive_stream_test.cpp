// The archive checks as the install pipeline runs them, fed while the
// archive downloads: whatever the pieces, the verdicts, their order (size
// first, then the signature or digest) and their messages are those of the
// one-shot checks.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "install/archive_download.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "verify/archive_check.h"
#include "verify/catalog.h"

namespace kelvoma {
namespace {

constexpr std::string_view download_size = "Velikost staženého balíčku nesouhlasí.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";
constexpr std::string_view digest_mismatch =
    "Kontrolní součet nebo velikost staženého balíčku nesouhlasí.";

using Bytes = std::vector<std::uint8_t>;
using Verdict = std::expected<void, std::string>;

Verdict refusal(std::string_view message) { return std::unexpected(std::string(message)); }

Verdict accepted() { return {}; }

Bytes sample_archive(std::size_t size) {
  Bytes bytes(size);
  for (std::size_t i = 0; i < size; ++i) {
    bytes[i] = static_cast<std::uint8_t>(i * 131 + 7);
  }
  return bytes;
}

// Feeds `archive` in pieces of `piece` bytes, then asks for the verdict on
// its size, as the pipeline does after a download.
Verdict streamed(ArchiveStreamCheck& check, std::span<const std::uint8_t> archive,
                 std::size_t piece) {
  for (std::size_t at = 0; at < archive.size(); at += piece) {
    check.update(archive.subspan(at, std::min(piece, archive.size() - at)));
  }
  return check.finish(archive.size());
}

constexpr std::size_t piece_sizes[] = {1, 7, 128, 1000, 4095, 4096, 100000};

class ReleaseArchiveStreamTest : public ::testing::Test {
 protected:
  Verdict one_shot(const Bytes& archive, const Release& release) const {
    return verify_release_archive(archive, release, tool_, ArchiveSizeMessage::download);
  }
  Verdict in_pieces(const Bytes& archive, const Release& release, std::size_t piece) const {
    ReleaseArchiveCheck check(release, tool_, ArchiveSizeMessage::download);
    return streamed(check, archive, piece);
  }

  Tool tool_ = find_tool("orbit-action-dial").value();
  fixture::SigningKey key_ = fixture::load_key("orbit-action-dial");
  Bytes archive_ = sample_archive(4096);
  Release release_ =
      fixture::sign_archive(key_, fixture::fixture_release("orbit-action-dial"), archive_);
};

TEST_F(ReleaseArchiveStreamTest, VerdictsMatchTheOneShotCheck) {
  Bytes tampered = archive_;
  tampered[2048] ^= 0x01;
  const Bytes shorter(archive_.begin(), archive_.end() - 1);
  Bytes longer = archive_;
  longer.push_back(0);
  Release declared_longer = release_;
  declared_longer.archive_size += 1;
  Release short_signature = release_;
  short_signature.archive_signature = "";
  Release broken_signature = release_;
  broken_signature.archive_signature += "\n";
  Release other_key = release_;
  other_key.archive_signature = fixture::sign(fixture::load_key("pane-keeper"), archive_);
  const struct {
    std::string_view why;
    const Bytes& archive;
    const Release& release;
    Verdict verdict;
  } cases[] = {
      {"signed archive", archive_, release_, accepted()},
      {"one byte changed", tampered, release_, refusal(mismatch)},
      {"one byte short", shorter, release_, refusal(download_size)},
      {"one byte more", longer, release_, refusal(download_size)},
      {"declared one byte longer", archive_, declared_longer, refusal(download_size)},
      {"signature text empty", archive_, short_signature, refusal("Neplatná délka podpisu.")},
      {"signature text with a line break", archive_, broken_signature, refusal("Neplatný podpis.")},
      {"size decided before a broken signature text", shorter, broken_signature,
       refusal(download_size)},
      {"signed by another key", archive_, other_key, refusal(mismatch)},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(one_shot(c.archive, c.release), c.verdict) << c.why;
    for (const std::size_t piece : piece_sizes) {
      EXPECT_EQ(in_pieces(c.archive, c.release, piece), c.verdict)
          << c.why << ", pieces of " << piece;
    }
  }
}

TEST_F(ReleaseArchiveStreamTest, SizeIsDecidedBeforeABrokenKey) {
  tool_.public_key.pop_back();
  const Bytes shorter(archive_.begin(), archive_.end() - 1);
  EXPECT_EQ(in_pieces(shorter, release_, 100), refusal(download_size));
  EXPECT_EQ(in_pieces(archive_, release_, 100), refusal("Neplatný veřejný klíč."));
}

// The verdict covers what was hashed: a download whose size is not that of
// the pieces joined, or whose pieces came wrong, is refused, even when the
// archive itself is correctly signed.
TEST_F(ReleaseArchiveStreamTest, PiecesThatAreNotTheArchiveAreRefused) {
  const std::span<const std::uint8_t> archive(archive_);
  const struct {
    std::string_view why;
    std::function<void(ReleaseArchiveCheck&)> feed;
  } cases[] = {
      {"nothing fed", [](ReleaseArchiveCheck&) {}},
      {"last piece missing", [&](ReleaseArchiveCheck& c) { c.update(archive.first(4000)); }},
      {"a piece twice",
       [&](ReleaseArchiveCheck& c) {
         c.update(archive.first(100));
         c.update(archive.first(100));
         c.update(archive.subspan(100));
       }},
      {"whole archive twice",
       [&](ReleaseArchiveCheck& c) {
         c.update(archive);
         c.update(archive);
       }},
      // Not at a multiple of 256, where the sample repeats itself.
      {"pieces out of order",
       [&](ReleaseArchiveCheck& c) {
         c.update(archive.subspan(1000));
         c.update(archive.first(1000));
       }},
  };
  for (const auto& c : cases) {
    ReleaseArchiveCheck check(release_, tool_, ArchiveSizeMessage::download);
    c.feed(check);
    EXPECT_EQ(check.finish(archive.size()), refusal(mismatch)) << c.why;
  }
}

TEST_F(ReleaseArchiveStreamTest, FileMessageNamesTheArchiveFile) {
  ReleaseArchiveCheck check(release_, tool_, ArchiveSizeMessage::archive_file);
  const Bytes shorter(archive_.begin(), archive_.end() - 1);
  EXPECT_EQ(streamed(check, shorter, 10), refusal("Velikost archivu nesouhlasí."));
}

// SHA-256 of "abc" (FIPS 180-2 appendix B.1).
constexpr std::string_view abc_digest =
    "sha256:ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

TEST(AssetDigestStream, VerdictsMatchTheOneShotCheck) {
  const Bytes data = sample_archive(1 << 20);
  // The digest of these bytes as computed independently (sha256sum).
  const std::string digest =
      "sha256:b7f7ba5ce5463b3c84a283f779d7a652cbf99122de5923ba51627607ff1497d5";
  Bytes tampered = data;
  tampered.back() ^= 0x80;
  const Bytes abc = fixture::to_bytes("abc");
  const struct {
    std::string_view why;
    const Bytes& data;
    std::uint64_t size;
    std::string digest;
    bool accepted;
  } cases[] = {
      {"large data", data, data.size(), digest, true},
      {"upper-case digest", data, data.size(),
       "SHA256:B7F7BA5CE5463B3C84A283F779D7A652CBF99122DE5923BA51627607FF1497D5", true},
      {"last byte changed", tampered, data.size(), digest, false},
      {"declared one byte more", data, data.size() + 1, digest, false},
      {"declared one byte less", data, data.size() - 1, digest, false},
      {"abc", abc, 3, std::string(abc_digest), true},
      {"abc, trailing line feed", abc, 3, std::string(abc_digest) + "\n", false},
  };
  for (const auto& c : cases) {
    const Verdict expected = c.accepted ? accepted() : refusal(digest_mismatch);
    ASSERT_EQ(verify_asset_digest(c.data, c.size, c.digest), expected) << c.why;
    for (const std::size_t piece : piece_sizes) {
      AssetDigestCheck check(c.size, c.digest);
      EXPECT_EQ(streamed(check, c.data, piece), expected) << c.why << ", pieces of " << piece;
    }
  }
}

TEST(AssetDigestStream, PiecesThatAreNotTheDataAreRefused) {
  const Bytes abc = fixture::to_bytes("abc");
  AssetDigestCheck nothing_fed(3, abc_digest);
  EXPECT_EQ(nothing_fed.finish(abc.size()), refusal(digest_mismatch));
  AssetDigestCheck fed_twice(3, abc_digest);
  fed_twice.update(abc);
  fed_twice.update(abc);
  EXPECT_EQ(fed_twice.finish(abc.size()), refusal(digest_mismatch));
}

// For the calling thread alone: linkat and copy_file_range fail with `error`.
void refuse_link_and_copy_range(int error) {
  sock_filter filter[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_linkat, 2, 0),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_copy_file_range, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<unsigned>(error)),
  };
  const sock_fprog program{.len = std::size(filter), .filter = filter};
  ASSERT_EQ(::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0), 0);
  ASSERT_EQ(::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program), 0);
}

// An archive that can be neither linked nor copied by the kernel is copied
// by reading and writing, whichever refusal copy_file_range gives.
TEST(ArchiveDownloadTest, SavedWhereCopyFileRangeIsRefused) {
  const Bytes archive = sample_archive(3 << 20);
  for (const int refusal : {ENOSYS, EXDEV, EOPNOTSUPP, EINVAL}) {
    testing::TempDir dir;
    std::expected<UniqueFd, std::string> saved = std::unexpected("not run");
    std::thread([&] {
      refuse_link_and_copy_range(refusal);
      ArchiveDownload download(dir.path(), archive.size());
      ASSERT_FALSE(download.in_memory());
      for (std::size_t at = 0; at < archive.size();) {
        const auto space = download.space();
        const std::size_t count = std::min(space.size(), archive.size() - at);
        std::copy_n(archive.begin() + static_cast<std::ptrdiff_t>(at), count, space.begin());
        download.take(count);
        at += count;
      }
      const UniqueFd folder(::open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
      saved = download.save_as(folder.get(), "update.zip");
    }).join();
    ASSERT_TRUE(saved.has_value()) << refusal << ": " << saved.error();
    const std::string written = fixture::read_file(dir.file("update.zip"));
    EXPECT_EQ(Bytes(written.begin(), written.end()), archive) << refusal;
  }
}

}  // namespace
}  // namespace kelvoma
