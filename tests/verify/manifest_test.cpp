#include "verify/manifest.h"

#include <gtest/gtest.h>

#include <elf.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "install/install.h"
#include "kelvoma/bundle_program.h"
#include "support/fixture_bundle.h"
#include "support/run_program.h"
#include "support/signing.h"
#include "support/temp_dir.h"
#include "support/test_server.h"
#include "verify/catalog.h"
#include "verify/crypto/base64.h"
#include "verify/crypto/signature.h"
#include "verify/release_notes.h"

namespace kelvoma {
namespace {

constexpr std::string_view external_tool = "Aktualizace spravuje samotná aplikace.";
constexpr std::string_view too_large = "Informace o verzi jsou příliš velké.";
constexpr std::string_view invalid_envelope = "Neplatné informace o verzi.";
constexpr std::string_view invalid_payload = "Neplatná data verze.";
constexpr std::string_view unsupported = "Nepodporovaný formát verze.";
constexpr std::string_view foreign = "Vydání neodpovídá nástroji v katalogu.";
constexpr std::string_view bad_key = "Neplatný veřejný klíč.";
constexpr std::string_view bad_key_length = "Neplatná délka klíče.";
constexpr std::string_view bad_signature = "Neplatný podpis.";
constexpr std::string_view bad_signature_length = "Neplatná délka podpisu.";
constexpr std::string_view mismatch = "Podpis vydavatele nesouhlasí. Instalace byla zastavena.";
constexpr std::string_view other_processor = "Tato verze není dostupná pro procesor tohoto Macu.";

using fixture::as_bytes;
namespace fs = std::filesystem;

std::unexpected<std::string> refusal(std::string_view message) {
  return std::unexpected(std::string(message));
}

// An envelope whose payload member is the given text, not base64 of it.
std::string envelope_with_payload_text(std::string_view payload, std::string_view signature) {
  return nlohmann::ordered_json{{"payload", payload}, {"signature", signature}}.dump();
}

class ManifestTest : public ::testing::Test {
 protected:
  ManifestTest() {
    release_ = fixture::sign_archive(key_, fixture::fixture_release("orbit-action-dial"),
                                     as_bytes("PK archive"));
  }

  std::expected<Release, std::string> verify(std::string_view manifest) const {
    return verify_release_manifest(tool_, as_bytes(manifest));
  }

  // The release JSON with one piece of its text replaced, signed.
  std::string signed_with_replaced(std::string_view from, std::string_view to) const {
    std::string payload = fixture::release_json(release_);
    const auto at = payload.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) {
      payload.replace(at, from.size(), to);
    }
    return fixture::signed_manifest(key_, payload);
  }

  Tool tool_ = find_tool("orbit-action-dial").value();
  fixture::SigningKey key_ = fixture::load_key("orbit-action-dial");
  Release release_;
};

TEST_F(ManifestTest, AcceptsSignedReleaseInObjectAndArrayForm) {
  for (auto form : {fixture::EnvelopeForm::object, fixture::EnvelopeForm::array}) {
    EXPECT_EQ(verify(fixture::signed_manifest(key_, release_, form)), release_);
  }
}

TEST_F(ManifestTest, ExternalToolIsRefusedWhateverTheInput) {
  const Tool external = find_tool("clip-ledger").value();
  ASSERT_EQ(external.integration, Integration::external);
  for (const std::string& manifest :
       {std::string(), std::string("{"), fixture::signed_manifest(key_, release_)}) {
    EXPECT_EQ(verify_release_manifest(external, as_bytes(manifest)), refusal(external_tool));
  }
}

TEST_F(ManifestTest, SizeLimitIs65536Bytes) {
  const std::string manifest = fixture::signed_manifest(key_, release_);
  ASSERT_LT(manifest.size(), max_manifest_size);
  // Whitespace after the envelope is allowed, so padding keeps it valid.
  const std::string at_limit = manifest + std::string(max_manifest_size - manifest.size(), ' ');
  EXPECT_EQ(verify(at_limit), release_);
  EXPECT_EQ(verify(at_limit + " "), refusal(too_large));
  // Examined at the limit, refused unparsed above it.
  EXPECT_EQ(verify(std::string(max_manifest_size, '{')), refusal(invalid_envelope));
  EXPECT_EQ(verify(std::string(max_manifest_size + 1, '{')), refusal(too_large));
}

TEST_F(ManifestTest, MalformedEnvelopesAreRefused) {
  const std::string payload = encode_base64(as_bytes(fixture::release_json(release_)));
  const std::string signature = fixture::sign(key_, fixture::release_json(release_));
  const std::string members = "\"payload\":\"" + payload + "\",\"signature\":\"" + signature + "\"";
  const std::pair<std::string_view, std::string> cases[] = {
      {"empty file", ""},
      {"whitespace only", " \n"},
      {"a third member", "{" + members + ",\"comment\":\"x\"}"},
      {"text after the object", "{" + members + "}x"},
      {"a second object", "{" + members + "}{}"},
      {"missing signature", "{\"payload\":\"" + payload + "\"}"},
      {"empty object", "{}"},
      {"duplicate payload", "{\"payload\":\"" + payload + "\"," + members + "}"},
      {"signature as null", "{\"payload\":\"" + payload + "\",\"signature\":null}"},
      {"payload as a number", "{\"payload\":1,\"signature\":\"" + signature + "\"}"},
      {"array of one", "[\"" + payload + "\"]"},
      {"array of three", "[\"" + payload + "\",\"" + signature + "\",\"x\"]"},
      {"top-level string", "\"" + payload + "\""},
      {"byte-order mark", "\xEF\xBB\xBF{" + members + "}"},
      {"truncated", "{" + members},
      {"invalid UTF-8 in a text", "{" + members + ",\"\xff\":1}"},
      {"single quotes", "{'payload':'" + payload + "','signature':'" + signature + "'}"},
  };
  for (const auto& [why, manifest] : cases) {
    EXPECT_EQ(verify(manifest), refusal(invalid_envelope)) << why;
  }
  EXPECT_EQ(verify(" \t\r\n{" + members + "} \t\r\n"), release_) << "whitespace around";
  EXPECT_EQ(verify("{\"signature\":\"" + signature + "\",\"payload\":\"" + payload + "\"}"),
            release_)
      << "members in the other order";
}

TEST_F(ManifestTest, PayloadMustBeStrictBase64) {
  // A version of tildes puts "fn5+" into the base64 text; trailing spaces
  // make the payload length leave a remainder, so the text ends in "==".
  release_.version = "1.0.0~~~~~~~~~";
  std::string payload = fixture::release_json(release_);
  while (payload.size() % 3 != 1) {
    payload += ' ';
  }
  const std::string signature = fixture::sign(key_, payload);
  const std::string encoded = encode_base64(as_bytes(payload));
  ASSERT_TRUE(encoded.ends_with("==") && encoded.find('+') != std::string::npos);
  EXPECT_EQ(verify(envelope_with_payload_text(encoded, signature)), release_) << "control";

  std::string url_safe = encoded;
  std::ranges::replace(url_safe, '+', '-');
  std::ranges::replace(url_safe, '/', '_');
  const std::pair<std::string_view, std::string> cases[] = {
      {"padding missing", encoded.substr(0, encoded.size() - 2)},
      {"half the padding", encoded.substr(0, encoded.size() - 1)},
      {"split into lines", encoded.substr(0, 76) + "\n" + encoded.substr(76)},
      {"split with CR LF", encoded.substr(0, 76) + "\r\n" + encoded.substr(76)},
      {"split by a blank line", encoded.substr(0, 76) + "\r\n\r\n" + encoded.substr(76)},
      {"URL-safe alphabet", url_safe},
      {"surrounding space", " " + encoded},
      {"not base64", "*"},
  };
  for (const auto& [why, text] : cases) {
    EXPECT_EQ(verify(envelope_with_payload_text(text, signature)), refusal(invalid_payload)) << why;
  }
}

TEST_F(ManifestTest, SignatureFailuresKeepTheirMessages) {
  const std::string payload = fixture::release_json(release_);
  const std::string signature = fixture::sign(key_, payload);
  const std::string& key = tool_.public_key;
  struct Case {
    std::string_view why;
    std::string public_key;
    std::string signature;
    std::string_view message;
  };
  const Case cases[] = {
      {"key lacks its final =", key.substr(0, key.size() - 1), signature, bad_key},
      {"empty key", "", signature, bad_key_length},
      {"key of 31 bytes", encode_base64(std::vector<std::uint8_t>(31, 7)), signature,
       bad_key_length},
      {"key of 33 bytes", encode_base64(std::vector<std::uint8_t>(33, 7)), signature,
       bad_key_length},
      {"32 bytes that are no point",
       encode_base64(std::vector<std::uint8_t>{2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                               0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
       signature, bad_key},
      {"signature with a line break", key, signature.substr(0, 10) + "\n" + signature.substr(10),
       bad_signature},
      {"signature of 63 bytes", key, encode_base64(std::vector<std::uint8_t>(63, 1)),
       bad_signature_length},
      {"signature of 65 bytes", key, encode_base64(std::vector<std::uint8_t>(65, 1)),
       bad_signature_length},
      {"both broken: the key is reported", key.substr(1), "***", bad_key},
      {"signed by another key", key, fixture::sign(fixture::load_key("pane-keeper"), payload),
       mismatch},
      {"signed over the base64 text", key, fixture::sign(key_, encode_base64(as_bytes(payload))),
       mismatch},
      {"signed over the envelope", key, fixture::sign(key_, fixture::envelope_json(payload, "")),
       mismatch},
  };
  for (const Case& c : cases) {
    Tool tool = tool_;
    tool.public_key = c.public_key;
    EXPECT_EQ(verify_release_manifest(tool, as_bytes(fixture::envelope_json(payload, c.signature))),
              refusal(c.message))
        << c.why;
  }
}

TEST_F(ManifestTest, SignatureIsCheckedBeforeThePayloadIsRead) {
  const std::string garbage = "not a release";
  const std::string wrong_signature = fixture::sign(key_, "something else");
  EXPECT_EQ(verify(fixture::envelope_json(garbage, wrong_signature)), refusal(mismatch));
  EXPECT_EQ(verify(fixture::signed_manifest(key_, garbage)), refusal(unsupported));
}

TEST_F(ManifestTest, SignedPayloadThatIsNoReleaseIsUnsupported) {
  const std::string json = fixture::release_json(release_);
  const std::pair<std::string_view, std::string> cases[] = {
      {"not JSON", fixture::signed_manifest(key_, "hello")},
      {"empty payload", fixture::signed_manifest(key_, "")},
      {"missing member", signed_with_replaced(",\"minimum_macos\":\"13.0\"", "")},
      {"extra member", signed_with_replaced("{", "{\"comment\":\"x\",")},
      {"duplicate member", signed_with_replaced("{", "{\"build\":1,")},
      {"build as a string", signed_with_replaced("\"build\":1", "\"build\":\"1\"")},
      {"build with a fraction", signed_with_replaced("\"build\":1", "\"build\":12.0")},
      {"build as an exponent", signed_with_replaced("\"build\":1", "\"build\":1e3")},
      {"negative build", signed_with_replaced("\"build\":1", "\"build\":-1")},
      {"build beyond 64 bits",
       signed_with_replaced("\"build\":1", "\"build\":18446744073709551616")},
      {"schema beyond 32 bits", signed_with_replaced("\"schema\":1", "\"schema\":4294967296")},
      {"archive_size beyond 64 bits",
       signed_with_replaced("\"archive_size\":10", "\"archive_size\":18446744073709551616")},
      {"architectures as a text", signed_with_replaced("[\"arm64\",\"x86_64\"]", "\"x86_64\"")},
      {"architecture as a number", signed_with_replaced("[\"arm64\",\"x86_64\"]", "[64]")},
      {"null version", signed_with_replaced("\"version\":\"1.0.0\"", "\"version\":null")},
      {"id as a number", signed_with_replaced("\"id\":\"orbit-action-dial\"", "\"id\":1")},
      {"text after the object", fixture::signed_manifest(key_, json + "x")},
      {"byte-order mark", fixture::signed_manifest(key_, "\xEF\xBB\xBF" + json)},
      {"invalid UTF-8", signed_with_replaced("1.0.0", "1.0.\xff")},
      {"release notes signed with the same key",
       fixture::signed_manifest(key_, fixture::notes_json(release_, "Novinky"))},
      {"top-level array of nine",
       fixture::signed_manifest(key_, R"([1,"a","b","1",1,"13",[],"https://x",1])")},
  };
  for (const auto& [why, manifest] : cases) {
    EXPECT_EQ(verify(manifest), refusal(unsupported)) << why;
  }
}

TEST_F(ManifestTest, ReleaseInArrayFormIsAccepted) {
  const auto& r = release_;
  const std::string payload =
      nlohmann::json::array({r.schema, r.id, r.bundle_id, r.version, r.build, r.minimum_macos,
                             r.architectures, r.archive_url, r.archive_size, r.archive_signature})
          .dump();
  EXPECT_EQ(verify(fixture::signed_manifest(key_, payload)), release_);
  const std::string eleven = payload.substr(0, payload.size() - 1) + ",1]";
  EXPECT_EQ(verify(fixture::signed_manifest(key_, eleven)), refusal(unsupported));
}

TEST_F(ManifestTest, ParsedWhitespaceAndMemberOrderAreFree) {
  std::string payload = fixture::release_json(release_);
  payload = "\n\t " + payload + " \r\n";
  EXPECT_EQ(verify(fixture::signed_manifest(key_, payload)), release_);
}

struct Consistency {
  std::string_view why;
  std::function<void(Release&)> change;
  bool accepted;
};

std::string two_byte_letters(std::size_t count) {
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += "ř";
  }
  return text;
}

TEST_F(ManifestTest, ReleaseMustBelongToTheCatalogTool) {
  const std::string prefix = tool_.archive_prefix;
  const Consistency cases[] = {
      {"schema 0", [](Release& r) { r.schema = 0; }, false},
      {"schema 2", [](Release& r) { r.schema = 2; }, false},
      {"schema 4294967295", [](Release& r) { r.schema = 4294967295; }, false},
      {"id in other letter case", [](Release& r) { r.id = "Orbit-Action-Dial"; }, false},
      {"id with a trailing space", [](Release& r) { r.id += " "; }, false},
      {"id of the other tool", [](Release& r) { r.id = "pane-keeper"; }, false},
      {"bundle_id in other letter case",
       [](Release& r) { r.bundle_id = "cz.tobranix.Orbit-Action-Dial"; }, false},
      {"bundle_id of the other tool", [](Release& r) { r.bundle_id = "cz.tobranix.pane-keeper"; },
       false},
      {"build 0", [](Release& r) { r.build = 0; }, false},
      {"build 1", [](Release& r) { r.build = 1; }, true},
      {"build at the 64-bit maximum", [](Release& r) { r.build = UINT64_MAX; }, true},
      {"empty version", [](Release& r) { r.version = ""; }, false},
      {"version of 1 byte", [](Release& r) { r.version = "1"; }, true},
      {"version of 40 bytes", [](Release& r) { r.version = std::string(40, '1'); }, true},
      {"version of 41 bytes", [](Release& r) { r.version = std::string(41, '1'); }, false},
      {"version of 20 two-byte letters", [](Release& r) { r.version = two_byte_letters(20); },
       true},
      {"version of 21 two-byte letters", [](Release& r) { r.version = two_byte_letters(21); },
       false},
      {"archive_size 0", [](Release& r) { r.archive_size = 0; }, false},
      {"archive_size 1", [](Release& r) { r.archive_size = 1; }, true},
      {"archive_size 268435456", [](Release& r) { r.archive_size = 268435456; }, true},
      {"archive_size 268435457", [](Release& r) { r.archive_size = 268435457; }, false},
      {"archive_size at the 64-bit maximum", [](Release& r) { r.archive_size = UINT64_MAX; },
       false},
      {"archive_url over http",
       [&](Release& r) { r.archive_url = "http://" + prefix.substr(8) + "a.zip"; }, false},
      {"archive_url with the scheme in capitals",
       [&](Release& r) { r.archive_url = "HTTPS://" + prefix.substr(8) + "a.zip"; }, false},
      {"archive_url outside the prefix",
       [](Release& r) {
         r.archive_url = "https://localhost:47321/tobranix/pane-keeper/releases/download/a.zip";
       },
       false},
      {"archive_url on another host",
       [](Release& r) { r.archive_url = "https://example.com/a.zip"; }, false},
      {"archive_url a prefix of the prefix",
       [&](Release& r) { r.archive_url = prefix.substr(0, prefix.size() - 1); }, false},
      {"archive_url equal to the prefix", [&](Release& r) { r.archive_url = prefix; }, true},
      {"archive_url of 2048 bytes",
       [&](Release& r) { r.archive_url = prefix + std::string(2048 - prefix.size(), 'a'); }, true},
      {"archive_url of 2049 bytes",
       [&](Release& r) { r.archive_url = prefix + std::string(2049 - prefix.size(), 'a'); }, false},
      {"minimum_macos is not checked here", [](Release& r) { r.minimum_macos = "junk"; }, true},
      {"architectures are not checked here", [](Release& r) { r.architectures = {}; }, true},
      {"archive_signature is not checked here", [](Release& r) { r.archive_signature = "?"; },
       true},
  };
  for (const Consistency& c : cases) {
    Release release = release_;
    c.change(release);
    const auto verified = verify(fixture::signed_manifest(key_, release));
    if (c.accepted) {
      EXPECT_EQ(verified, release) << c.why;
    } else {
      EXPECT_EQ(verified, refusal(foreign)) << c.why;
    }
  }
}

TEST_F(ManifestTest, EmptyPrefixAdmitsAnyHttpsAddress) {
  Tool tool = tool_;
  tool.archive_prefix = "";
  release_.archive_url = "https://example.com/a.zip";
  EXPECT_EQ(verify_release_manifest(tool, as_bytes(fixture::signed_manifest(key_, release_))),
            release_);
  release_.archive_url = "http://example.com/a.zip";
  EXPECT_EQ(verify_release_manifest(tool, as_bytes(fixture::signed_manifest(key_, release_))),
            refusal(foreign));
}

TEST_F(ManifestTest, ManifestOfAnotherCatalogTool) {
  const auto pane_key = fixture::load_key("pane-keeper");
  const Release pane = fixture::sign_archive(pane_key, fixture::fixture_release("pane-keeper"),
                                             as_bytes("PK other"));
  // Signed with that tool's key: the signature fails first.
  EXPECT_EQ(verify(fixture::signed_manifest(pane_key, pane)), refusal(mismatch));
  // Signed with this tool's key: the release does not belong here.
  EXPECT_EQ(verify(fixture::signed_manifest(key_, pane)), refusal(foreign));
  const Tool pane_tool = find_tool("pane-keeper").value();
  EXPECT_EQ(verify_release_manifest(pane_tool, as_bytes(fixture::signed_manifest(pane_key, pane))),
            pane);
}

struct ArchitectureCase {
  std::vector<std::string> architectures;
  bool supported;
};

TEST(Architecture, OnlyTheExactTextX86_64Counts) {
  const ArchitectureCase cases[] = {
      {{"x86_64"}, true},
      {{"arm64", "x86_64"}, true},
      {{"x86_64", "arm64"}, true},
      {{"arm64"}, false},
      {{}, false},
      {{"X86_64"}, false},
      {{"x86_64 "}, false},
      {{"x86-64"}, false},
      {{"amd64"}, false},
      {{"x86_64h"}, false},
      {{""}, false},
  };
  CoreConfig mac;  // on either processor
  mac.code_trust = CodeTrust::macos;
  for (const auto& [architectures, supported] : cases) {
    Release release;
    release.architectures = architectures;
    mac.machine = supported ? Architecture::arm64 : Architecture::x86_64;
    const auto result = require_supported_architecture(release, mac);
    if (supported) {
      EXPECT_TRUE(result.has_value()) << ::testing::PrintToString(architectures);
    } else {
      EXPECT_EQ(result, refusal(other_processor)) << ::testing::PrintToString(architectures);
    }
  }
}

struct MachineCase {
  std::vector<std::string> architectures;
  Architecture machine;
  std::string_view message;  // empty: the release is for this computer
};

TEST(Architecture, SealBuildsWantTheNameOfTheirMachine) {
  using enum Architecture;
  const MachineCase cases[] = {
      {{"x86_64"}, x86_64, ""},
      {{"arm64", "x86_64"}, x86_64, ""},
      {{"x86_64", "arm64"}, arm64, ""},
      {{"arm64"},
       x86_64,
       "Tato verze není dostupná pro procesor tohoto počítače (x86_64): vydání uvádí arm64."},
      {{"x86_64"},
       arm64,
       "Tato verze není dostupná pro procesor tohoto počítače (arm64): vydání uvádí x86_64."},
      {{"aarch64", "ARM64"},
       arm64,
       "Tato verze není dostupná pro procesor tohoto počítače (arm64): vydání uvádí aarch64, "
       "ARM64."},
      {{},
       x86_64,
       "Tato verze není dostupná pro procesor tohoto počítače (x86_64): vydání neuvádí "
       "žádný procesor."},
  };
  CoreConfig config;
  for (const auto& [architectures, machine, message] : cases) {
    Release release;
    release.architectures = architectures;
    config.machine = machine;
    const auto result = require_supported_architecture(release, config);
    EXPECT_EQ(result ? "" : result.error(), message) << ::testing::PrintToString(architectures);
  }
}

TEST(RecordReaders, EnvelopeInBothForms) {
  for (std::string_view text : {R"({"signature":"b","payload":"a"})", R"(["a","b"])"}) {
    const auto envelope = parse_envelope(text);
    ASSERT_TRUE(envelope.has_value()) << text;
    EXPECT_EQ(envelope->payload, "a");
    EXPECT_EQ(envelope->signature, "b");
  }
}

TEST(RecordReaders, DescribeFailuresForDevelopers) {
  EXPECT_EQ(parse_envelope(R"({"payload":"","signature":"","x":1})"), refusal("unknown field `x`"));
  EXPECT_EQ(parse_envelope(R"({"payload":""})"), refusal("missing field `signature`"));
  EXPECT_EQ(parse_release(R"({"schema":1})"), refusal("missing field `id`"));
}

// The publisher's tool writes manifests that this verifier accepts.
class PublisherTool : public ::testing::Test {
 protected:
  testing::ProgramResult publish(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), KELVOMA_PUBLISH_EXE);
    return testing::run_program(arguments);
  }

  std::vector<std::string> sign_release_arguments() const {
    return {"sign-release",
            "--key",
            key_file_,
            "--archive",
            archive_,
            "--id",
            "orbit-action-dial",
            "--bundle-id",
            "cz.tobranix.orbit-action-dial",
            "--version",
            "2.1 beta",
            "--build",
            "210",
            "--minimum-macos",
            "13.5",
            "--architecture=" + here,
            "--archive-url",
            fixture::archive_prefix("orbit-action-dial") + "v2.1/orbit-action-dial.zip",
            "--output",
            directory_.file("release.json")};
  }

  // The zip of a bundle `tool_id` whose program is for this processor.
  std::string bundle_archive(std::string_view tool_id) const {
    const std::string folder = directory_.file(std::string(tool_id) + "-bundle");
    const auto bundle = fixture::make_bundle(folder, fixture::tool_bundle(tool_id, 1));
    const std::string archive = folder + "/" + std::string(tool_id) + ".zip";
    fixture::zip_entries(folder, {bundle.filename().string()}, archive);
    return archive;
  }

  const std::string here = std::string(architecture_name(this_architecture));
  testing::TempDir directory_;
  std::string key_file_ =
      std::string(KELVOMA_SOURCE_DIR) + "/tests/fixtures/keys/orbit-action-dial.key";
  std::string archive_ = bundle_archive("orbit-action-dial");
  std::string archive_bytes_ = testing::read_file(archive_);
};

TEST_F(PublisherTool, SignedReleaseVerifiesWithTheCatalogKey) {
  const auto result = publish(sign_release_arguments());
  ASSERT_EQ(result.exit_status, 0) << result.err;
  EXPECT_EQ(result.out, "Zapsáno " + directory_.file("release.json") +
                            ": orbit-action-dial 2.1 beta (210), archiv " +
                            std::to_string(archive_bytes_.size()) + " B.\n");
  const Tool tool = find_tool("orbit-action-dial").value();
  const auto release =
      verify_release_manifest(tool, as_bytes(testing::read_file(directory_.file("release.json"))));
  ASSERT_TRUE(release.has_value()) << release.error();
  EXPECT_EQ(release->schema, 1u);
  EXPECT_EQ(release->version, "2.1 beta");
  EXPECT_EQ(release->build, 210u);
  EXPECT_EQ(release->minimum_macos, "13.5");
  EXPECT_EQ(release->architectures, (std::vector<std::string>{here}));
  EXPECT_EQ(release->archive_size, archive_bytes_.size());
  const std::string archive = testing::read_file(archive_);
  EXPECT_TRUE(
      verify_signature(as_bytes(archive), release->archive_signature, tool.public_key).has_value());
}

TEST_F(PublisherTool, KeygenWritesAPrivateSeedAndPrintsThePublicKey) {
  const std::string secret = directory_.file("publisher.key");
  const auto made = publish({"keygen", secret});
  ASSERT_EQ(made.exit_status, 0) << made.err;
  struct stat status {};
  ASSERT_EQ(::stat(secret.c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 0777, 0600u);
  const std::string line = testing::read_file(secret);
  ASSERT_TRUE(line.ends_with("\n"));
  EXPECT_EQ(
      decode_base64(line.substr(0, line.size() - 1)).value_or(std::vector<std::uint8_t>{}).size(),
      32u);
  const auto shown = publish({"public-key", secret});
  EXPECT_EQ(shown.exit_status, 0);
  EXPECT_EQ(shown.out, made.out);
  EXPECT_EQ(decode_base64(made.out.substr(0, made.out.size() - 1))
                .value_or(std::vector<std::uint8_t>{})
                .size(),
            32u);

  const auto again = publish({"keygen", secret});
  EXPECT_EQ(again.exit_status, 1);
  EXPECT_EQ(again.err, secret + ": už existuje (nic se nepřepsalo).\n");
  EXPECT_EQ(testing::read_file(secret), line) << "an existing key is never replaced";
}

TEST_F(PublisherTool, FixtureKeyShowsItsCatalogKey) {
  const auto shown = publish({"public-key", key_file_});
  EXPECT_EQ(shown.exit_status, 0);
  EXPECT_EQ(shown.out, find_tool("orbit-action-dial").value().public_key + "\n");
}

using BundleChange = std::function<void(const fs::path& bundle)>;

// What a row publishes with: sign-release of an archive, bundle of the
// fixture tool, or release of a bundle that `bundle` made and that is sealed
// between the two changes.
enum class Command { sign_release, bundle, release };

struct PublishFailure {
  std::string_view why;
  std::function<void(std::vector<std::string>&)> change = [](std::vector<std::string>&) {};
  std::string first_line = {};  // empty: published, then checked as users get it
  int status = 0;
  Command command = Command::sign_release;
  BundleChange before_seal = [](const fs::path&) {};
  BundleChange after_seal = [](const fs::path&) {};
  // The processors the manifest lists; empty: this machine's. A release
  // for another processor only is verified, not installed.
  std::string published_for = {};
  // Bundled with a program for the other processor too: universal.
  bool with_foreign_program = false;
  int published_status = 0;  // the release host answers the manifest's address with it
  std::vector<std::string> environment = {};  // the release's, besides the test's own
  std::string json_cause = {};                // with --json: the cause its document names
};

const std::string fixtures = std::string(KELVOMA_SOURCE_DIR) + "/tests/fixtures";

// `kelvoma-publish bundle` of the fixture tool, sealed and notarized.
fs::path sealed_bundle(const testing::TempDir& directory, const PublishFailure& row) {
  const std::string resources = directory.write("resources/marker.txt", "published");
  fs::create_symlink("marker.txt", directory.file("resources/marker-link"));
  const std::string bundle = directory.file("Orbit Action Dial.app");
  std::vector<std::string> programs = {fixture::fixture_tool_path()};
  if (row.with_foreign_program) {
    programs.push_back(fixture::foreign_program(directory.path()));
  }
  std::vector<std::string> arguments = {KELVOMA_PUBLISH_EXE, "bundle"};
  arguments.insert(arguments.end(), programs.begin(), programs.end());
  arguments.insert(arguments.end(),
                   {"--id", "orbit-action-dial", "--version", "2.0.0", "--build", "2",
                    "--minimum-system", "5.10", "--resources", directory.file("resources"),
                    "--catalog", fixtures + "/tools.json", "--output", bundle});
  const auto made = testing::run_program(arguments);
  EXPECT_EQ(made.exit_status, 0) << made.err;
  row.before_seal(bundle);
  EXPECT_TRUE(fixture::seal_bundle(bundle));
  row.after_seal(bundle);
  return bundle;
}

std::vector<std::string> release_arguments(const fs::path& bundle, const std::string& output) {
  return {"release",      bundle,
          "--id",         "orbit-action-dial",
          "--key",        fixtures + "/keys/orbit-action-dial.key",
          "--output",     output,
          "--catalog",    fixtures + "/tools.json",
          "--team-key",   fixtures + "/seal/TESTTEAM42.pub",
          "--notary-key", fixtures + "/seal/notary.pub",
          "--no-previous"};
}

void set_flag(std::vector<std::string>& arguments, std::string_view flag,
              std::vector<std::string> with) {
  const auto at = std::find(arguments.begin(), arguments.end(), flag);
  ASSERT_NE(at, arguments.end()) << flag;
  arguments.insert(arguments.erase(at), with.begin(), with.end());
}

// What a user's installation does with the published folder: the fixture
// build's verifier, then the sealed build's installation from the release
// host (where no release was published before).
constexpr std::string_view published_notes = "Nový ciferník.\n<b>Žádné</b> HTML.\n";

// The notes as the core reads them, and their signature by an Ed25519
// implementation other than the core's.
void expect_published_notes(const std::string& output) {
  const std::string document = testing::read_file(output + "/release-notes.json");
  const Tool tool = find_tool("orbit-action-dial").value();
  const auto notes = verify_release_notes(tool, {2, "2.0.0"}, as_bytes(document));
  ASSERT_TRUE(notes.has_value()) << notes.error();
  EXPECT_EQ(notes->text, published_notes);
  const auto envelope = parse_envelope(document).value();
  const auto payload = decode_base64(envelope.payload).value();
  const auto signature = decode_base64(envelope.signature).value();
  const auto key = decode_base64(tool.public_key).value();
  ASSERT_EQ(signature.size(), 64u);
  ASSERT_GE(sodium_init(), 0);
  EXPECT_EQ(
      crypto_sign_verify_detached(signature.data(), payload.data(), payload.size(), key.data()), 0);
}

// Every file of `bundle` is in `copy`, with the same bytes.
void expect_same_files(const fs::path& bundle, const fs::path& copy) {
  for (const auto& entry : fs::recursive_directory_iterator(bundle)) {
    if (fs::is_regular_file(entry.symlink_status())) {
      const fs::path installed = copy / entry.path().lexically_relative(bundle);
      EXPECT_TRUE(fs::exists(installed) &&
                  testing::read_file(installed) == testing::read_file(entry.path()))
          << installed;
    }
  }
}

void install_as_users_do(const testing::TempDir& directory, const std::string& output,
                         const fs::path& bundle, const std::vector<std::string>& arguments) {
  EXPECT_TRUE(fs::exists(output + "/orbit-action-dial.zip"));
  // Notes are published with --notes only.
  if (std::ranges::find(arguments, "--notes") != arguments.end()) {
    expect_published_notes(output);
  } else {
    EXPECT_FALSE(fs::exists(output + "/release-notes.json"));
  }
  const auto verified =
      testing::run_program({KELVOMA_FIXTURE_EXE, "--verify-release", output + "/release.json",
                            output + "/orbit-action-dial.zip"});
  EXPECT_EQ(verified.out, "Verified orbit-action-dial 2.0.0 (2)\n") << verified.err;
  testing::TestServer server(testing::ServerPort::fixture);
  ASSERT_TRUE(server.running()) << server.failure();
  server.put("/tobranix/orbit-action-dial/releases/latest/download/release.json",
             testing::read_file(output + "/release.json"));
  server.put("/tobranix/orbit-action-dial/releases/download/v2.0.0/orbit-action-dial.zip",
             testing::read_file(output + "/orbit-action-dial.zip"));
  const std::string target = directory.file("Applications/Orbit Action Dial.app");
  const auto installed = install_tool(fixture::seal_config(), {.id = "orbit-action-dial",
                                                               .target_path = target.c_str(),
                                                               .os_version = "6.1.0",
                                                               .home = directory.path().c_str()});
  EXPECT_EQ(installed.error, std::nullopt);
  EXPECT_EQ(testing::read_file(target + "/Contents/Resources/marker-link"), "published");
  expect_same_files(bundle, target);
  // What Kelvoma starts here is this machine's program, in either layout.
  const std::string program =
      bundle_program::place_for(AT_FDCWD, target, fixture::fixture_tool_path().filename().string(),
                                bundle_program::this_processor);
  EXPECT_TRUE(testing::read_file(target + "/" + program) ==
              testing::read_file(fixture::fixture_tool_path()))
      << program;
}

// Publishes the row's release; a published one is checked as users get it,
// and published again from the same bundle it gives the same archive.
void set_option(std::vector<std::string>& arguments, std::string_view name, std::string value);
void drop_option(std::vector<std::string>& arguments, std::string_view name);

// A refused bundle or release leaves no work folder behind.
void expect_no_work_folders(const std::string& directory) {
  for (const auto& entry : fs::directory_iterator(directory)) {
    EXPECT_FALSE(entry.path().filename().string().starts_with(".kelvoma-")) << entry.path();
  }
}

testing::ProgramResult run_release_row(const PublishFailure& row) {
  testing::TempDir directory;
  const fs::path bundle = sealed_bundle(directory, row);
  const std::string output = directory.file("upload");
  std::vector<std::string> arguments = release_arguments(bundle, output);
  row.change(arguments);
  arguments.insert(arguments.begin(), KELVOMA_PUBLISH_EXE);
  std::optional<testing::TestServer> release_host;
  if (row.status == 0 || row.published_status != 0) {
    release_host.emplace(testing::ServerPort::fixture);  // answers 404: nothing published yet
    release_host->route("/tobranix/orbit-action-dial/releases/latest/download/release.json",
                        {.status = row.published_status == 0 ? 404 : row.published_status});
  }
  if (!row.json_cause.empty()) {
    arguments.push_back("--json");
  }
  // Names read alike in any locale: published in C, again below in UTF-8.
  std::vector<std::string> environment = row.environment;
  environment.emplace_back("LC_ALL=C");
  auto result = testing::run_program(arguments, environment);
  release_host.reset();
  if (!row.json_cause.empty()) {
    const auto document = nlohmann::json::parse(result.out, nullptr, false);
    EXPECT_EQ(document.value("cause", ""), row.json_cause) << result.out;
    EXPECT_EQ(document.value("exit", -1), row.status) << result.out;
    result.out.clear();
  }
  if (row.status != 0) {
    EXPECT_FALSE(fs::exists(output)) << row.why << ": nothing is written after a refusal";
    expect_no_work_folders(directory.path());
    // Rows name the bundle, made in a folder of its own, "@BUNDLE@".
    for (std::size_t at; (at = result.err.find(bundle.string())) != std::string::npos;) {
      result.err.replace(at, bundle.string().size(), "@BUNDLE@");
    }
    return result;
  }
  const std::string published_for =
      row.published_for.empty() ? std::string(bundle_program::this_processor) : row.published_for;
  const auto verified = testing::run_program(
      {KELVOMA_PUBLISH_EXE, "verify", output + "/release.json", output + "/orbit-action-dial.zip",
       "--id", "orbit-action-dial", "--catalog", fixtures + "/tools.json"});
  EXPECT_NE(verified.out.find(", " + published_for + ","), std::string::npos)
      << row.why << verified.out << verified.err;
  if (published_for.find(bundle_program::this_processor) == std::string::npos) {
    return result;
  }
  install_as_users_do(directory, output, bundle, arguments);
  // Published again over the first with --replace, with modes the seal does
  // not see (a group's write bit) changed: the same archive.
  // Without notes this time: the earlier notes go with the release replaced.
  const std::string first = testing::read_file(output + "/orbit-action-dial.zip");
  fs::permissions(bundle / "Contents", fs::perms(0775));
  fs::permissions(bundle / "Contents/Resources/marker.txt", fs::perms(0664));
  if (std::ranges::find(arguments, "--notes") != arguments.end()) {
    drop_option(arguments, "--notes");
  }
  if (const auto at = std::ranges::find(arguments, "--previous"); at != arguments.end()) {
    arguments.erase(at, at + 2);
  }
  std::erase(arguments, "--no-previous");
  arguments.insert(arguments.end(), {"--no-previous", "--replace", "--json"});
  const auto again = testing::run_program(arguments, {"LC_ALL=C.UTF-8"});
  EXPECT_EQ(again.exit_status, 0) << again.err;
  EXPECT_TRUE(testing::read_file(output + "/orbit-action-dial.zip") == first)
      << "the same bundle gives the same archive";
  EXPECT_FALSE(fs::exists(output + "/release-notes.json"));
  const auto document = nlohmann::json::parse(again.out, nullptr, false);
  EXPECT_EQ(document.value("result", ""), "published") << again.out;
  EXPECT_EQ(document["manifest"].value("build", 0), 2) << again.out;
  EXPECT_EQ(
      document.value("files", std::vector<std::string>()),
      (std::vector<std::string>{output + "/orbit-action-dial.zip", output + "/release.json"}));
  expect_no_work_folders(output);
  return result;
}

void set_option(std::vector<std::string>& arguments, std::string_view name, std::string value) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == name) {
      arguments[i + 1] = std::move(value);
      return;
    }
  }
  ADD_FAILURE() << "no option " << name;
}

std::string option_value(const std::vector<std::string>& arguments, std::string_view name) {
  const auto at = std::find(arguments.begin(), arguments.end(), name);
  return at != arguments.end() && at + 1 != arguments.end() ? *(at + 1) : std::string();
}

void drop_option(std::vector<std::string>& arguments, std::string_view name) {
  for (std::size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] == name) {
      arguments.erase(arguments.begin() + static_cast<std::ptrdiff_t>(i),
                      arguments.begin() + static_cast<std::ptrdiff_t>(i) + 2);
      return;
    }
  }
  ADD_FAILURE() << "no option " << name;
}

// `seal` of a fresh bundle in `folder`.
std::vector<std::string> seal_arguments(const std::string& folder) {
  const auto bundle = fixture::make_bundle(folder, fixture::tool_bundle("orbit-action-dial", 1));
  return {"seal",       bundle,  "--team",
          "TESTTEAM42", "--key", std::string(KELVOMA_SEAL_KEYS_DIR) + "/TESTTEAM42.sec"};
}

TEST_F(PublisherTool, RefusesIncompleteOrUnpublishableReleases) {
  const std::string empty_archive = directory_.write("empty.zip", "");
  Release published = fixture::fixture_release("orbit-action-dial");
  published.build = 2;
  const std::string previous =
      fixture::publish_release(directory_.file("previous"), fixture::load_key("orbit-action-dial"),
                               published, as_bytes("PK"))
          .manifest;
  const std::string elsewhere =
      "Instalace stahuje jen adresy začínající archive_prefix z katalogu; nahraj archiv tam a "
      "uveď tu adresu.";
  const auto unsealed = [](std::string_view message, std::string_view cause) {
    return "Pečeť a lístek balíčku je „" + std::string(message) +
           "“, čeká se „pečeť týmu TESTTEAM42 nad tímto obsahem a notářský lístek“. " +
           std::string(cause);
  };
  const std::string not_a_key = directory_.write("not-a-key", "PK\x03\x04 no key");
  const auto linked = [](const std::string& path) {
    return path +
           " je symbolický odkaz; identitu balíčku (Info.plist a program) čte instalace jen ze "
           "souborů a složek, ne přes odkazy, a balíček by odmítla. Nahraď odkaz tím, na co "
           "vede, a balíček znovu zapečeť.";
  };
  const auto link_beside = [](const std::string& path) {
    fs::rename(path, path + "-real");
    fs::create_symlink(fs::path(path + "-real").filename(), path);
  };
  const std::string manifest_url =
      "https://localhost:" + std::to_string(KELVOMA_FIXTURE_PORT) +
      "/tobranix/orbit-action-dial/releases/latest/download/release.json";
  const auto unreachable = [&](std::string_view why) {
    return "Zveřejněné vydání z " + manifest_url + " nelze stáhnout: " + std::string(why) +
           ". Oprav to, nebo ho uveď jako --previous release.json, nebo (jen když žádné není) "
           "--no-previous.";
  };
  const std::string not_a_manifest = directory_.write("not-a-manifest.json", "<html>404</html>");
  Release two_processors = fixture::fixture_release("orbit-action-dial");
  two_processors.architectures = {"arm64", "x86_64"};
  const auto universal =
      fixture::publish_release(directory_.file("universal"), fixture::load_key("orbit-action-dial"),
                               two_processors, as_bytes(archive_bytes_));
  const std::string other = here == "arm64" ? "x86_64" : "arm64";
  const auto build_refused = [](std::string_view found) {
    return "Číslo sestavení je „" + std::string(found) +
           "“, čeká se „celé číslo od 1 do 9007199254740991“. Větší čísla čtenáři JSON nepřečtou "
           "přesně; zvol menší, např. stoupající pořadí sestavení.";
  };
  const auto not_an_elf_program = [](const std::string& path, std::string_view found) {
    return path + " je „" + std::string(found) +
           "“, čeká se „spustitelný soubor ELF pro x86_64 nebo arm64“. Instalace spouští jen "
           "programy ELF; zabal přeložený program, ne skript ani knihovnu.";
  };
  const auto not_utf8 = [](const std::string& shown) {
    return shown +
           " je „název, který není platné UTF-8“, čeká se „název v UTF-8“. Instalace čte názvy "
           "souborů a cíle odkazů jako UTF-8 a balíček s jiným názvem odmítne; přejmenuj ho.";
  };
  const std::string big_file = directory_.write("big.key", std::string(4097, 'A'));
  Release pane_release = fixture::fixture_release("pane-keeper");
  pane_release.architectures = {here};
  const auto pane_keeper = fixture::publish_release(
      directory_.file("pane-keeper"), fixture::load_key("pane-keeper"), pane_release,
      as_bytes(testing::read_file(bundle_archive("pane-keeper"))));
  const std::string other_tool_message =
      verify_release_manifest(find_tool("orbit-action-dial").value(),
                              as_bytes(testing::read_file(pane_keeper.manifest)))
          .error();
  Release both = fixture::fixture_release("orbit-action-dial");  // arm64 and x86_64
  both.build = 1;
  const std::string previous_both =
      fixture::publish_release(directory_.file("previous-both"),
                               fixture::load_key("orbit-action-dial"), both, as_bytes("PK"))
          .manifest;
  const std::string dropped(fixture::foreign_processor());
  const std::string earlier_release = fs::path(previous).parent_path().string();
  const std::string previous_text = testing::read_file(previous);
  const std::string seal_folder = "/Orbit Action Dial.app/Contents/_CodeSignature";
  const std::string via_link = ": je symbolický odkaz; kelvoma-publish přes odkazy nezapisuje.";
  const PublishFailure cases[] = {
      {"missing --id", [](auto& a) { drop_option(a, "--id"); }, "Chybí volba --id.", 2},
      {"unknown option",
       [](auto& a) {
         a.push_back("--schema");
         a.push_back("2");
       },
       "Neznámá volba --schema.", 2},
      {"stray argument", [](auto& a) { a.push_back("extra"); }, "Nečekaný argument extra.", 2},
      {"option given twice", [](auto& a) { a.push_back("--build=3"); },
       "Volba --build je uvedena dvakrát.", 2},
      {"option without value", [](auto& a) { a.push_back("--output"); },
       "Volba --output potřebuje hodnotu.", 2},
      {"build 0", [](auto& a) { set_option(a, "--build", "0"); }, build_refused("0"), 1},
      {"build not a number", [](auto& a) { set_option(a, "--build", "12.0"); },
       build_refused("12.0"), 1},
      {"build past 2^53-1", [](auto& a) { set_option(a, "--build", "9007199254740992"); },
       build_refused("9007199254740992"), 1},
      {"a key that is a device", [](auto& a) { set_option(a, "--key", "/dev/zero"); },
       "/dev/zero je „zvláštní soubor“, čeká se „obyčejný soubor“. Uveď cestu k souboru.", 1},
      {"a key past its bound", [&](auto& a) { set_option(a, "--key", big_file); },
       big_file + " je „4097 B“, čeká se „nejvýš 4096 B“. Takový soubor to není; zkontroluj, "
                  "kterou cestu jsi uvedl.",
       1},
      {"verify: a pane-keeper release",
       [&](auto& a) {
         a = {"verify",      pane_keeper.manifest, pane_keeper.archive,     "--id",
              "pane-keeper", "--catalog",          fixtures + "/tools.json"};
       },
       "", 0},
      {"verify: the release of another tool",
       [&](auto& a) {
         a = {"verify",    pane_keeper.manifest,    "--id", "orbit-action-dial",
              "--catalog", fixtures + "/tools.json"};
       },
       pane_keeper.manifest.string() + ": " + other_tool_message, 1},
      {"version of 41 bytes", [](auto& a) { set_option(a, "--version", std::string(41, '1')); },
       "Verze musí mít 1 až 40 bajtů.", 1},
      {"unreadable minimum", [](auto& a) { set_option(a, "--minimum-macos", "14."); },
       "Minimální verze macOS musí mít tvar 14, 13.6 nebo 13.6.1.", 1},
      {"http address", [](auto& a) { set_option(a, "--archive-url", "http://x/a.zip"); },
       "Adresa archivu musí začínat https:// a mít nejvýš 2048 bajtů.", 1},
      {"empty archive", [&](auto& a) { set_option(a, "--archive", empty_archive); },
       "Archiv musí mít 1 až 268435456 bajtů, má 0.", 1},
      {"missing archive", [&](auto& a) { set_option(a, "--archive", directory_.file("none")); },
       directory_.file("none") + ": neexistuje.", 1},
      {"key that is no seed", [&](auto& a) { set_option(a, "--key", not_a_key); },
       not_a_key + ": tajný klíč není base64 32bajtového semínka Ed25519.", 1},
      {"sign-release: URL on another host of --catalog",
       [](auto& a) {
         set_option(a, "--archive-url", "https://example.com/v2.1/orbit-action-dial.zip");
         a.insert(a.end(), {"--catalog", fixtures + "/tools.json"});
       },
       "Adresa archivu je „https://example.com/v2.1/orbit-action-dial.zip“, čeká se „" +
           fixture::archive_prefix("orbit-action-dial") + "…“. " + elsewhere,
       1},
      {.why = "bundle: a script as the program",
       .change = [&](auto& a) { a[1] = directory_.write("run.sh", "#!/bin/sh\n"); },
       .first_line = not_an_elf_program(directory_.file("run.sh"), "skript"),
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: an output that exists",
       .change = [&](auto& a) { set_option(a, "--output", directory_.path()); },
       .first_line = "--output je „" + directory_.path() +
                     "“, čeká se „cesta, která ještě neexistuje“. Zvol jiný název nebo starý "
                     "balíček nejdřív odstraň.",
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: a version with a letter",
       .change = [](auto& a) { set_option(a, "--version", "v2"); },
       .first_line = "--version je „v2“, čeká se „číslice s tečkami: 1, 1.2 nebo 1.2.3“. Uveď "
                     "verzi bez písmen, např. 1.4.0; adresa archivu ji dostane jako v1.4.0.",
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: a shared library as the program",
       .change = [](auto& a) { a[1] = KELVOMA_FIXTURE_LIBRARY; },
       .first_line = std::string(KELVOMA_FIXTURE_LIBRARY) +
                     " je „sdílená knihovna (ELF bez PT_INTERP a bez DF_1_PIE)“, čeká se "
                     "„spustitelný program ELF“. Spuštěná knihovna spadne; přelož program (bez "
                     "-shared, případně s -pie) a zabal ten.",
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: two programs for one processor",
       .change = [](auto& a) { a.insert(a.begin() + 2, KELVOMA_FIXTURE_STATIC_PIE); },
       .first_line = std::string(KELVOMA_FIXTURE_STATIC_PIE) + " je „druhý program pro " +
                     std::string(bundle_program::this_processor) + " (první je " +
                     fixture::fixture_tool_path().string() +
                     ")“, čeká se „nejvýš jeden program pro každý procesor“. Uveď pro každý "
                     "procesor jeden program, např. build-x86_64/nastroj build-arm64/nastroj.",
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: a program for a processor Kelvoma does not know",
       .change =
           [&](auto& a) {
             std::string riscv = fixture::read_file(fixture::fixture_tool_path());
             riscv[18] = static_cast<char>(EM_RISCV);
             a.insert(a.begin() + 2, directory_.write("riscv/tool", riscv));
           },
       .first_line = not_an_elf_program(directory_.file("riscv/tool"), "ELF pro stroj 243"),
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: a resource whose name is not UTF-8",
       .change =
           [&](auto& a) {
             directory_.write("utf8/n\xff.txt", "x");
             a.insert(a.end(), {"--resources", directory_.file("utf8")});
           },
       .first_line = not_utf8(directory_.file("utf8") + "/n\\xFF.txt"),
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: a static position-independent program",
       .change =
           [&](auto& a) {
             a[1] = KELVOMA_FIXTURE_STATIC_PIE;
             set_option(a, "--output", directory_.file("Pie.app"));
           },
       .first_line = "",
       .status = 0,
       .command = Command::bundle},
      {.why = "release: an absolute link",
       .change = [](auto&) {},
       .first_line = "Odkaz @BUNDLE@/Contents/Resources/passwd je „/etc/passwd“, čeká se "
                     "„relativní cíl uvnitř "
                     "balíčku“. Instalace balíček s odkazem ven odmítne; zkopíruj soubor do "
                     "balíčku nebo odkaz oprav a balíček znovu zapečeť.",
       .status = 1,
       .command = Command::release,
       .after_seal =
           [](auto& b) { fs::create_symlink("/etc/passwd", b / "Contents/Resources/passwd"); }},
      {.why = "release: an arm64 program, released on any machine",
       .change = [](auto&) {},
       .first_line = "",
       .status = 0,
       .command = Command::release,
       .before_seal =
           [](auto& b) {
             const fs::path program = b / "Contents/MacOS/kelvoma-fixture-tool";
             std::string bytes = fixture::read_file(program);
             bytes[18] = static_cast<char>(EM_AARCH64);  // e_machine, header only
             fixture::write_file(program, bytes);
           },
       .published_for = "arm64"},
      {.why = "release: a universal bundle, a cross-compiled program beside this machine's",
       .command = Command::release,
       .published_for = "arm64, x86_64",
       .with_foreign_program = true},
      {.why = "release: Czech names of files and link targets",
       .command = Command::release,
       .before_seal =
           [](auto& b) {
             fixture::write_file(b / "Contents/Resources/Nápověda.txt", "Žluťoučký kůň");
             fs::create_symlink("Nápověda.txt", b / "Contents/Resources/Úvod");
           }},
      {.why = "release: the other processor's folder holds this machine's program",
       .first_line = "Contents/MacOS/" + std::string(fixture::foreign_processor()) +
                     "/kelvoma-fixture-tool je „program ELF pro " +
                     std::string(bundle_program::this_processor) + "“, čeká se „program ELF pro " +
                     std::string(fixture::foreign_processor()) + "“. Ve složce procesoru " +
                     std::string(fixture::foreign_processor()) +
                     " musí být program přeložený pro " + std::string(fixture::foreign_processor()) +
                     "; kelvoma-publish bundle vybírá místo podle hlavičky ELF, sestav balíček "
                     "jím.",
       .status = 1,
       .command = Command::release,
       .before_seal =
           [](auto& b) {
             fs::copy_file(fixture::fixture_tool_path(),
                           b / "Contents/MacOS" / fixture::foreign_processor() /
                               "kelvoma-fixture-tool",
                           fs::copy_options::overwrite_existing);
           },
       .with_foreign_program = true,
       .json_cause = "program"},
      {.why = "bundle: a link out of the resources",
       .change =
           [&](auto& a) {
             fs::create_directories(directory_.file("res"));
             fs::create_symlink("../../etc/passwd", directory_.file("res/escape"));
             a.insert(a.end(), {"--resources", directory_.file("res")});
           },
       .first_line = "Odkaz " + directory_.file("res/escape") +
                     " je „../../etc/passwd“, čeká se „cíl uvnitř " + directory_.file("res") +
                     "“. Balíček nesmí odkazovat mimo sebe; zkopíruj soubor do složky s "
                     "prostředky.",
       .status = 1,
       .command = Command::bundle},
      {.why = "bundle: the production catalog has no such tool",
       .change = [](auto& a) { set_option(a, "--id", "no-such-tool"); },
       .first_line = "--id je „no-such-tool“, čeká se „orbit-action-dial, pane-keeper"
                     "“. V katalogu tohoto sestavení není nástroj s tímto id, který vydává "
                     "podepsané verze; použij id z katalogu (nebo --catalog s jiným katalogem).",
       .status = 1,
       .command = Command::bundle},
      {.why = "release: bundle, seal, notarize, release with notes, verify, install",
       .change =
           [&](auto& a) {
             std::erase(a, "--no-previous");
             set_option(a, "--output", option_value(a, "--output") + "//");
             // CRLF line ends are read as LF.
             std::string crlf(published_notes);
             for (std::size_t at = 0; (at = crlf.find('\n', at)) != std::string::npos; at += 2) {
               crlf.insert(at, 1, '\r');
             }
             a.insert(a.end(), {"--notes", directory_.write("notes.txt", crlf)});
           },
       .first_line = "",
       .status = 0,
       .command = Command::release},
      {.why = "release: notes with a NUL",
       .change =
           [&](auto& a) {
             a.insert(a.end(), {"--notes", directory_.write("nul.txt", std::string("a\0b", 3))});
           },
       .first_line = "--notes " + directory_.file("nul.txt") +
                     " je „Text poznámek obsahuje znak NUL.“, čeká se „prostý text UTF-8 bez "
                     "znaku NUL, nejvýš 16384 bajtů“. Ulož poznámky jako prostý text v UTF-8 a "
                     "zkrať je.",
       .status = 1,
       .command = Command::release},
      {.why = "release: file changed after sealing",
       .change = [](auto&) {},
       .first_line = unsealed("Podpis aplikace nebo identita vydavatele nesouhlasí.",
                              "První rozdíl oproti pečeti: Contents/Resources/marker.txt (změněný "
                              "obsah)."),
       .status = 1,
       .command = Command::release,
       .after_seal =
           [](auto& b) { fixture::write_file(b / "Contents/Resources/marker.txt", "changed"); }},
      {.why = "release: no ticket",
       .change = [](auto&) {},
       .first_line = unsealed("Notářský lístek stažené aplikace neplatí.",
                              "Příčina: notářský lístek @BUNDLE@/Contents/_CodeSignature/"
                              "Notarization chybí; připoj ho (kelvoma-publish notarize) po "
                              "posledním zapečetění."),
       .status = 1,
       .command = Command::release,
       .after_seal = [](auto& b) { fs::remove(b / "Contents/_CodeSignature/Notarization"); }},
      {.why = "release: build not above the published one",
       .change =
           [&](auto& a) {
             set_flag(a, "--no-previous", {"--previous", previous});
           },
       .first_line = "CFBundleVersion je „2“, čeká se „víc než 2“. Zveřejněné vydání má "
                     "sestavení 2 a uživatelům se nabízí jen vyšší; zvyš CFBundleVersion "
                     "(bundle --build) a balíček znovu zapečeť.",
       .status = 1,
       .command = Command::release},
      {.why = "release: a processor the published release serves left out",
       .change =
           [&](auto& a) {
             set_flag(a, "--no-previous", {"--previous", previous_both});
           },
       .first_line = "Procesor " + dropped + " je „ve zveřejněném vydání (" + previous_both +
                     "), v novém ne“, čeká se „každý procesor zveřejněného vydání“. Uživatelé s "
                     "procesorem " +
                     dropped + " by přestali dostávat aktualizace; přidej do balíčku i program "
                     "pro " +
                     dropped +
                     " (kelvoma-publish bundle PROGRAM PROGRAM…) a balíček znovu zapečeť, nebo "
                     "procesor opusť volbou --drop-processor " +
                     dropped + ".",
       .status = 1,
       .command = Command::release,
       .json_cause = "processor-dropped"},
      {.why = "release: that processor dropped by name",
       .change =
           [&](auto& a) {
             set_flag(a, "--no-previous",
                      {"--previous", previous_both, "--drop-processor", dropped});
           },
       .command = Command::release},
      {.why = "release: --drop-processor of a name no release uses",
       .change = [](auto& a) { a.insert(a.end(), {"--drop-processor", "aarch64"}); },
       .first_line = "--drop-processor je „aarch64“, čeká se „x86_64 nebo arm64“. Uveď procesor, "
                     "jak ho píše release.json.",
       .status = 1,
       .command = Command::release},
      {.why = "release: --previous of another tool",
       .change =
           [&](auto& a) {
             set_flag(a, "--no-previous", {"--previous", pane_keeper.manifest});
           },
       .first_line = "Zveřejněné vydání (" + pane_keeper.manifest.string() +
                     ") je „vydání nástroje pane-keeper“, čeká se „vydání nástroje "
                     "orbit-action-dial“. Uveď --previous s release.json nástroje "
                     "orbit-action-dial.",
       .status = 1,
       .command = Command::release},
      {.why = "release: sealed by another team",
       .change = [](auto&) {},
       .first_line = "Tým pečeti je „OTHERTEAM7“, čeká se „TESTTEAM42“. Instalace přijme jen "
                     "pečeť týmu TESTTEAM42 z katalogu; zapečeť balíček jeho klíčem "
                     "(kelvoma-publish seal --team TESTTEAM42 --key TESTTEAM42.sec) a připoj "
                     "lístek (kelvoma-publish notarize).",
       .status = 1,
       .command = Command::release,
       .after_seal =
           [](auto& b) {
             const auto sealed = testing::run_program(
                 {KELVOMA_PUBLISH_EXE, "seal", b.string(), "--team", "OTHERTEAM7", "--key",
                  std::string(KELVOMA_SEAL_KEYS_DIR) + "/TESTTEAM42.sec"});
             EXPECT_EQ(sealed.exit_status, 0) << sealed.err;
           }},
      {.why = "release: an output that holds a release",
       .change = [&](auto& a) { set_option(a, "--output", earlier_release); },
       .first_line = "--output je „" + earlier_release +
                     "“, čeká se „složka bez dřívějšího vydání“. Už obsahuje release.json; zvol "
                     "jinou složku, nebo dřívější vydání nahraď volbou --replace.",
       .status = 1,
       .command = Command::release},
      {.why = "release: another tool's key",
       .change = [](auto& a) { set_option(a, "--key", fixtures + "/keys/pane-keeper.key"); },
       .first_line = "Veřejná část klíče --key je „KdEHvrCKpe8dpQ7sUTyw0X0dbKqEamnTke4js4Wn7fQ=“, "
                     "čeká se „3xgnvlKJEppVxYG4SW8hAnbo23MrmNWIEmrMX7TjM+U=“. Katalog u "
                     "orbit-action-dial čeká jiný klíč: použij tajný klíč tohoto nástroje "
                     "(kelvoma-publish public-key KLÍČ vypíše jeho veřejnou část).",
       .status = 1,
       .command = Command::release},
      {.why = "release: wrong bundle identifier",
       .change = [](auto&) {},
       .first_line = "CFBundleIdentifier je „cz.tobranix.orbit“, čeká se "
                     "„cz.tobranix.orbit-action-dial“. Instalace přijme jen balíček s "
                     "identifikátorem z katalogu; oprav Info.plist (nebo --id) a balíček znovu "
                     "zapečeť.",
       .status = 1,
       .command = Command::release,
       .before_seal =
           [](auto& b) {
             std::string plist = fixture::read_file(b / "Contents/Info.plist");
             plist.replace(plist.find("orbit-action-dial"), 17, "orbit");
             fixture::write_file(b / "Contents/Info.plist", plist);
           }},
      {.why = "release: URL on another host",
       .change =
           [](auto& a) {
             a.insert(a.end(), {"--archive-url", "https://example.com/o.zip"});
           },
       .first_line = "Adresa archivu je „https://example.com/o.zip“, čeká se „" +
                     fixture::archive_prefix("orbit-action-dial") + "…“. " + elsewhere,
       .status = 1,
       .command = Command::release},
      {.why = "release: executable without execute bit",
       .change = [](auto&) {},
       .first_line = "Práva Contents/MacOS/kelvoma-fixture-tool je „0644“, čeká se „bit spuštění "
                     "vlastníka (např. 0755)“. Spusť chmod 0755 na program a balíček znovu "
                     "zapečeť.",
       .status = 1,
       .command = Command::release,
       .before_seal =
           [](auto& b) {
             fs::permissions(b / "Contents/MacOS/kelvoma-fixture-tool", fs::perms(0644));
           }},
      {.why = "release: a script as executable",
       .change = [](auto&) {},
       .first_line = not_an_elf_program("Contents/MacOS/kelvoma-fixture-tool", "skript"),
       .status = 1,
       .command = Command::release,
       .before_seal =
           [](auto& b) {
             fixture::write_file(b / "Contents/MacOS/kelvoma-fixture-tool", "#!/bin/sh\n");
           }},
      {"sign-release: a processor the archive's program is not for",
       [&](auto& a) { a.insert(a.end(), {"--architecture", other}); },
       "Architektura " + other + " je „v archivu " + archive_ +
           " bez programu“, čeká se „jen procesory, pro které archiv nese program (" + here +
           ")“. Uživatelé s tímto procesorem by vydání nenainstalovali; uveď jen " + here + ".",
       1},
      {"verify: a release naming a processor its archive has no program for",
       [&](auto& a) {
         a = {"verify",    universal.manifest, universal.archive, "--id", "orbit-action-dial",
              "--catalog", fixtures + "/tools.json"};
       },
       "Architektura " + other + " je „v archivu " + universal.archive.string() +
           " bez programu“, čeká se „jen procesory, pro které archiv nese program (" + here +
           ")“. Uživatelé s tímto procesorem by vydání nenainstalovali; uveď jen " + here + ".",
       1},
      {"seal: Info.plist is a link",
       [&](auto& a) {
         a = seal_arguments(directory_.file("g"));
         link_beside(a[1] + "/Contents/Info.plist");
       },
       linked(directory_.file("g") + "/Orbit Action Dial.app/Contents/Info.plist"), 1},
      {"notarize: the program is a link",
       [&](auto& a) {
         const auto sealed = seal_arguments(directory_.file("h"));
         ASSERT_TRUE(fixture::seal_bundle(sealed[1], "TESTTEAM42", false));
         link_beside(sealed[1] + "/Contents/MacOS/fixture-tool");
         a = {"notarize", sealed[1], "--key", std::string(KELVOMA_SEAL_KEYS_DIR) + "/notary.sec"};
       },
       linked(directory_.file("h") + "/Orbit Action Dial.app/Contents/MacOS/fixture-tool"), 1},
      {.why = "release: a link at the program's place",
       .change = [](auto&) {},
       .first_line = linked("@BUNDLE@/Contents/MacOS/kelvoma-fixture-tool"),
       .status = 1,
       .command = Command::release,
       .after_seal =
           [&](auto& b) { link_beside((b / "Contents/MacOS/kelvoma-fixture-tool").string()); },
       .json_cause = "identity-link"},
      {.why = "release: empty notes",
       .change = [&](auto& a) { a.insert(a.end(), {"--notes", directory_.write("e.txt", "\r\n \n")}); },
       .first_line = "--notes " + directory_.file("e.txt") +
                     " je „prázdný text“, čeká se „aspoň jeden řádek textu“. Napiš do poznámek, co "
                     "vydání mění, nebo --notes vynech.",
       .status = 1,
       .command = Command::release},
      {.why = "release: a published release that is no manifest at all",
       .change = [&](auto& a) { set_flag(a, "--no-previous", {"--previous", not_a_manifest}); },
       .first_line = "Zveřejněné vydání (" + not_a_manifest + ") neprošlo kontrolou: " +
                     verify_release_manifest(find_tool("orbit-action-dial").value(),
                                             as_bytes("<html>404</html>"))
                         .error() +
                     " Oprav je, nebo uveď --previous se správným release.json.",
       .status = 1,
       .command = Command::release,
       .json_cause = "previous-invalid"},
      {.why = "release: no release host (exit 3)",
       .change = [](auto& a) { std::erase(a, "--no-previous"); },
       .first_line = unreachable("spojení se serverem nejde navázat (odmítnuto nebo nedostupné)"),
       .status = 3,
       .command = Command::release,
       // Through a proxy where nothing listens: another test may be serving
       // the fixture port meanwhile.
       .environment = {"https_proxy=http://127.0.0.1:9", "no_proxy="},
       .json_cause = "no-connection"},
      {.why = "release: the release host answers 500",
       .change = [](auto& a) { std::erase(a, "--no-previous"); },
       .first_line = unreachable("server odpověděl stavem HTTP 500"),
       .status = 3,
       .command = Command::release,
       .published_status = 500,
       .json_cause = "http-status"},
      {.why = "release: the release host's certificate is not trusted",
       .change = [](auto& a) { std::erase(a, "--no-previous"); },
       .first_line =
           unreachable("certifikát serveru nejde ověřit (není od důvěryhodné autority)"),
       .status = 3,
       .command = Command::release,
       .published_status = 200,
       .environment = {"CURL_CA_BUNDLE=/etc/ssl/certs/ca-certificates.crt"},
       .json_cause = "certificate"},
      {"seal: a name that is not UTF-8",
       [&](auto& a) {
         a = seal_arguments(directory_.file("u"));
         fixture::write_file(a[1] + "/Contents/Resources/n\xff.txt", "x");
       },
       not_utf8(directory_.file("u") + "/Orbit Action Dial.app/Contents/Resources/n\\xFF.txt"),
       1},
      {"seal through a link at CodeSeal.tmp",
       [&](auto& a) {
         a = seal_arguments(directory_.file("a"));
         fs::create_directory(a[1] + "/Contents/_CodeSignature");
         fs::create_symlink(archive_, a[1] + "/Contents/_CodeSignature/CodeSeal.tmp");
       },
       directory_.file("a") + seal_folder + "/CodeSeal.tmp" + via_link, 1},
      {"seal through a link at _CodeSignature",
       [&](auto& a) {
         a = seal_arguments(directory_.file("b"));
         fs::create_directory_symlink(directory_.path(), a[1] + "/Contents/_CodeSignature");
       },
       directory_.file("b") + seal_folder + via_link, 1},
      {"seal: a chain of links that climbs out",
       [&](auto& a) {
         a = seal_arguments(directory_.file("d"));
         const std::string resources = a[1] + "/Contents/Resources/";
         fs::create_directories(resources);
         fs::create_symlink("..", resources + "up");
         fs::create_symlink("up/..", resources + "up2");
         fs::create_symlink("up2/..", resources + "up3");
       },
       "Odkaz " + directory_.file("d") +
           "/Orbit Action Dial.app/Contents/Resources/up3 je „up2/..“, čeká se „cíl uvnitř "
           "balíčku (i přes další odkazy)“. Instalace balíček s odkazem ven odmítne; zkopíruj "
           "soubor do balíčku nebo odkaz oprav a balíček znovu zapečeť.",
       1},
      {"check-bundle: an absolute link added after sealing",
       [&](auto& a) {
         const auto sealed = seal_arguments(directory_.file("e"));
         ASSERT_TRUE(fixture::seal_bundle(sealed[1]));
         fs::create_directories(sealed[1] + "/Contents/Resources");
         fs::create_symlink("/etc", sealed[1] + "/Contents/Resources/etc");
         a = {"check-bundle", sealed[1],
              "--identifier", "cz.tobranix.orbit-action-dial",
              "--team",       "TESTTEAM42",
              "--team-key",   std::string(KELVOMA_SEAL_KEYS_DIR) + "/TESTTEAM42.pub",
              "--notary-key", std::string(KELVOMA_SEAL_KEYS_DIR) + "/notary.pub"};
       },
       "Odkaz " + directory_.file("e") +
           "/Orbit Action Dial.app/Contents/Resources/etc je „/etc“, čeká se „relativní cíl "
           "uvnitř balíčku“. Instalace balíček s odkazem ven odmítne; zkopíruj soubor do "
           "balíčku nebo odkaz oprav a balíček znovu zapečeť.",
       1},
      {"check-bundle: an arm64 bundle, checked on any machine",
       [&](auto& a) {
         const auto sealed = seal_arguments(directory_.file("f"));
         for (const auto& program : fs::directory_iterator(sealed[1] + "/Contents/MacOS")) {
           std::string bytes = fixture::read_file(program.path());
           bytes[18] = static_cast<char>(EM_AARCH64);
           fixture::write_file(program.path(), bytes);
         }
         ASSERT_TRUE(fixture::seal_bundle(sealed[1]));
         a = {"check-bundle", sealed[1],
              "--identifier", "cz.tobranix.orbit-action-dial",
              "--team",       "TESTTEAM42",
              "--team-key",   std::string(KELVOMA_SEAL_KEYS_DIR) + "/TESTTEAM42.pub",
              "--notary-key", std::string(KELVOMA_SEAL_KEYS_DIR) + "/notary.pub"};
       },
       "", 0},
      {"bundle of another identifier",
       [&](auto& a) {
         const auto sealed = seal_arguments(directory_.file("c"));
         ASSERT_TRUE(fixture::seal_bundle(sealed[1]));
         a = {"check-bundle", sealed[1],
              "--identifier", "cz.tobranix.pane-keeper",
              "--team",       "TESTTEAM42",
              "--team-key",   std::string(KELVOMA_SEAL_KEYS_DIR) + "/TESTTEAM42.pub",
              "--notary-key", std::string(KELVOMA_SEAL_KEYS_DIR) + "/notary.pub"};
       },
       directory_.file("c") + "/Orbit Action Dial.app: CFBundleIdentifier v Info.plist je "
                              "cz.tobranix.orbit-action-dial, ne cz.tobranix.pane-keeper.",
       1},
  };
  for (const PublishFailure& c : cases) {
    std::vector<std::string> arguments =
        c.command == Command::bundle
            ? std::vector<std::string>{"bundle",    fixture::fixture_tool_path(),
                                       "--id",      "orbit-action-dial",
                                       "--version", "1",
                                       "--build",   "1",
                                       "--output",  directory_.file("Made.app")}
            : sign_release_arguments();
    if (c.command != Command::release) {
      c.change(arguments);
    }
    const auto result = c.command == Command::release ? run_release_row(c) : publish(arguments);
    EXPECT_EQ(result.exit_status, c.status) << c.why << result.err;
    EXPECT_EQ(result.err.substr(0, result.err.find('\n')), c.first_line) << c.why;
    EXPECT_EQ(result.out.empty(), c.status != 0) << c.why;
  }
  EXPECT_FALSE(std::filesystem::exists(directory_.file("release.json")));
  EXPECT_EQ(testing::read_file(previous), previous_text) << "an earlier release is kept";
  EXPECT_FALSE(fs::exists(directory_.file("d") + seal_folder)) << "no seal over a link out";
  expect_no_work_folders(directory_.path());
  EXPECT_EQ(testing::read_file(archive_), archive_bytes_) << "written through a link";
}

TEST_F(PublisherTool, CommandLineAsksForUsageOrRefuses) {
  struct Case {
    std::vector<std::string> arguments;
    int status;
    std::string first_line;     // of the output when status is 0, of the errors otherwise
    std::string_view usage_of;  // the command whose usage follows; empty for none
  };
  const std::string secret = directory_.file("seal.sec");
  const Case cases[] = {
      {{}, 2, "Chybí příkaz.", "keygen"},
      {{"sign"}, 2, "Neznámý příkaz sign.", "keygen"},
      {{"keygen"}, 2, "Příkaz potřebuje právě jednu cestu k tajnému klíči.", "keygen"},
      {{"keygen", "--help"}, 0, "Použití:", "keygen"},
      {{"seal-keygen", "--help", "-h"}, 0, "Použití:", "seal-keygen"},
      {{"bundle", "-h"}, 0, "Použití:", "bundle"},
      {{"release", "orbit.app", "--id", "x", "--help"}, 0, "Použití:", "release"},
      {{"help", "verify"}, 0, "Použití:", "verify"},
      {{"--help"}, 0, "Použití:", "help"},
      {{"verify", directory_.file("none.json"), "--id", "orbit-action-dial"},
       1,
       directory_.file("none.json") + ": neexistuje.",
       ""},
      {{"--version"}, 0, "kelvoma-publish 0.1", ""},
      {{"keygen", "-x"},
       2,
       "Cesta ke klíči je „-x“, čeká se „název souboru, který nezačíná „-““. Příkaz žádné "
       "volby nemá; jde-li opravdu o takový soubor, napiš ./-x.",
       "keygen"},
      {{"seal-keygen", "--pub", secret},
       2,
       "Cesta ke klíči je „--pub“, čeká se „název souboru, který nezačíná „-““. Příkaz žádné "
       "volby nemá; jde-li opravdu o takový soubor, napiš ./--pub.",
       "seal-keygen"},
  };
  for (const Case& c : cases) {
    const auto result = publish(c.arguments);
    const std::string& shown = c.status == 0 ? result.out : result.err;
    EXPECT_EQ(result.exit_status, c.status) << c.arguments.size();
    EXPECT_EQ(shown.substr(0, shown.find('\n')), c.first_line);
    if (!c.usage_of.empty()) {
      EXPECT_NE(shown.find("\n  kelvoma-publish " + std::string(c.usage_of) + " "),
                std::string::npos)
          << c.first_line;
    }
  }
  for (const std::string& written : {std::string("--help"), std::string("-h"), std::string("-x"),
                                     std::string("--pub"), secret}) {
    EXPECT_FALSE(fs::exists(written)) << written << ": a command asked for help writes nothing";
  }
  // Only that command's usage.
  EXPECT_EQ(publish({"keygen", "-h"}).out.find("sign-release"), std::string::npos);
  EXPECT_NE(publish({"--help"}).out.find("\n  kelvoma-publish --version\n"), std::string::npos);
}

// A release started apart, its errors read as they come: stopped in a
// phase (KELVOMA_PUBLISH_PAUSE_BEFORE) or with a file size limit that makes
// its writes fail as on a full disk.
class RunningRelease {
 public:
  RunningRelease(const std::vector<std::string>& arguments, const std::string& phase,
                 rlim_t file_size_limit) {
    int ends[2];
    EXPECT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
      argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      const rlimit limit{file_size_limit, file_size_limit};
      ::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
      if (::setrlimit(RLIMIT_FSIZE, &limit) != 0 || ::dup2(ends[1], 2) != 2 ||
          (!phase.empty() && ::setenv("KELVOMA_PUBLISH_PAUSE_BEFORE", phase.c_str(), 1) != 0)) {
        ::_exit(126);
      }
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(ends[1]);
    err_ = ends[0];
  }

  // Reads the errors until `text` is among them or they end (an empty
  // `text`: to their end).
  bool wait_for(std::string_view text) {
    char piece[512];
    ssize_t got = 1;
    while ((text.empty() || errors_.find(text) == std::string::npos) && got > 0) {
      got = ::read(err_, piece, sizeof piece);
      errors_.append(piece, static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
    }
    return errors_.find(text) != std::string::npos;
  }

  // The worker process it runs the release in.
  pid_t worker() const {
    std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                           "/children");
    pid_t child = 0;
    children >> child;
    return child;
  }

  // The exit status, or minus the signal that ended it; the errors.
  std::pair<int, std::string> finish() {
    wait_for("");
    ::close(err_);
    int status = 0;
    EXPECT_EQ(::waitpid(pid_, &status, 0), pid_);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status), errors_};
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int err_ = -1;
  std::string errors_;
};

// Until process `pid` has ended (its files closed, its locks gone).
void wait_until_gone(pid_t pid) {
  for (int i = 0; i < 1000; ++i) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string number, name, state;
    if (!(stat >> number >> name >> state) || state == "Z") {
      return;
    }
    ::usleep(10'000);
  }
  ADD_FAILURE() << pid << " still runs";
}

TEST_F(PublisherTool, StoppedOrFailedReleaseLeavesNothingBehind) {
  struct Stop {
    std::string_view why;
    std::string phase = {};  // where the release is stopped and gets `signal`; empty: nowhere
    int signal = 0;
    bool to_worker = false;  // the signal goes to its worker process
    rlim_t file_size_limit = RLIM_INFINITY;
    int status = 0;  // minus a signal: ended by it
    std::string last_line = {};
  };
  const auto interrupted = [](std::string_view name) {
    return "Vydání přerušeno signálem " + std::string(name) +
           "; pracovní složka je odstraněna, do @OUT@ se nic nezapsalo.";
  };
  const Stop stops[] = {
      {.why = "SIGINT before zipping",
       .phase = "zip",
       .signal = SIGINT,
       .status = -SIGINT,
       .last_line = interrupted("SIGINT")},
      {.why = "SIGTERM before unpacking",
       .phase = "unpack",
       .signal = SIGTERM,
       .status = -SIGTERM,
       .last_line = interrupted("SIGTERM")},
      {.why = "SIGHUP before the checks of the copy",
       .phase = "check",
       .signal = SIGHUP,
       .status = -SIGHUP,
       .last_line = interrupted("SIGHUP")},
      {.why = "SIGINT after signing",
       .phase = "sign",
       .signal = SIGINT,
       .status = -SIGINT,
       .last_line = interrupted("SIGINT")},
      {.why = "SIGTERM before the self-check",
       .phase = "self-check",
       .signal = SIGTERM,
       .status = -SIGTERM,
       .last_line = interrupted("SIGTERM")},
      {.why = "SIGKILL: the next release removes the work folder",
       .phase = "unpack",
       .signal = SIGKILL,
       .status = -SIGKILL},
      {.why = "the worker killed: an internal fault (exit 4)",
       .phase = "check",
       .signal = SIGKILL,
       .to_worker = true,
       .status = 4,
       .last_line = "Vnitřní chyba nástroje: pracovní proces vydání skončil nečekaně."},
      {.why = "writes failing while zipping, as on a full disk",
       .file_size_limit = 65536,
       .status = 1,
       .last_line = "Archiv nelze zapsat: soubor je příliš velký."},
  };
  for (const Stop& stop : stops) {
    testing::TempDir directory;
    const fs::path bundle = sealed_bundle(directory, {});
    const std::string output = directory.file("upload");
    std::vector<std::string> arguments = release_arguments(bundle, output);
    arguments.insert(arguments.begin(), KELVOMA_PUBLISH_EXE);
    RunningRelease release(arguments, stop.phase, stop.file_size_limit);
    if (!stop.phase.empty()) {
      ASSERT_TRUE(release.wait_for("Zastaveno před fází " + stop.phase + ".\n")) << stop.why;
      const pid_t worker = release.worker();
      ASSERT_GT(worker, 0) << stop.why;
      ::kill(stop.to_worker ? worker : release.pid(), stop.signal);
      if (stop.signal == SIGKILL) {
        wait_until_gone(worker);
      }
    }
    auto [status, errors] = release.finish();
    EXPECT_EQ(status, stop.status) << stop.why << errors;
    std::string last_line = stop.last_line;
    if (const auto at = last_line.find("@OUT@"); at != std::string::npos) {
      last_line.replace(at, 5, output);
    }
    if (!last_line.empty()) {
      EXPECT_TRUE(errors.ends_with("\n" + last_line + "\n") || errors == last_line + "\n")
          << stop.why << ": " << errors;
    }
    if (stop.signal != SIGKILL || stop.to_worker) {
      EXPECT_FALSE(fs::exists(output)) << stop.why << ": nothing is left";
      continue;
    }
    const auto left = fs::directory_iterator(output)->path().string();
    EXPECT_TRUE(left.starts_with(output + "/.kelvoma-release-")) << left;
    const auto next = testing::run_program(arguments);
    EXPECT_EQ(next.exit_status, 0) << next.err;
    EXPECT_EQ(next.err.substr(0, next.err.find('\n')),
              "Odstraněna pracovní složka " + left +
                  ", kterou zanechalo přerušené vydání (jeho proces už neběží).");
    expect_no_work_folders(output);
  }
}

}  // namespace
}  // namespace kelvoma
