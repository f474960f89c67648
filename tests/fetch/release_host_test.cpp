// External tools: the release host's latest-release answer, the asset name,
// and the whole query against the local HTTPS server standing in for the
// release host.
#include "fetch/release_host.h"

#include <gtest/gtest.h>

#include <functional>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "support/test_server.h"
#include "verify/catalog.h"

namespace kelvoma {
namespace {

using nlohmann::json;
using testing::TestServer;

constexpr std::string_view invalid = "Neplatné informace o vydání aplikace.";
constexpr std::string_view unstable = "Není dostupné stabilní vydání aplikace.";
constexpr std::string_view no_package = "Pro tento procesor není dostupný instalační balíček.";
constexpr std::string_view untrusted =
    "Instalační balíček nemá důvěryhodný původ nebo kontrolní součet.";
constexpr std::string_view not_published = "Zatím není zveřejněné dostupné vydání.";
constexpr std::string_view failed = "Stažení se nepodařilo. Zkontroluj připojení a zkus to znovu.";
constexpr std::string_view too_large =
    "Stažený soubor překročil povolenou velikost nebo byl přerušen.";

const std::string digest = "sha256:" + std::string(64, 'a');

// --- Reading the answer. ---

struct AnswerText {
  const char* name;
  std::string text;
  bool valid;
};

void PrintTo(const AnswerText& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class GithubReleaseAnswer : public ::testing::TestWithParam<AnswerText> {};

TEST_P(GithubReleaseAnswer, IsReadOrRefused) {
  EXPECT_EQ(GetParam().valid, parse_github_release(GetParam().text).has_value());
}

const std::string asset_json =
    R"({"name":"a","browser_download_url":"https://x/a","digest":"sha256:00","size":5})";

// A minimal answer with `members` added to the release and to its one asset.
std::string answer_with(const std::string& members, const std::string& asset_members = "") {
  return R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
         R"({"name":"a","browser_download_url":"u","digest":"d","size":5)" +
         asset_members + "}]" + members + "}";
}

INSTANTIATE_TEST_SUITE_P(
    Texts, GithubReleaseAnswer,
    ::testing::Values(
        AnswerText{"Minimal", R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[]})",
                   true},
        AnswerText{"ExtraMembersOfAnyType",
                   R"({"id":1,"tag_name":"v1","author":{"login":"x"},"draft":false,"body":null,)"
                   R"("prerelease":false,"assets":[{"id":2,"name":"a","label":null,)"
                   R"("browser_download_url":"u","digest":"sha256:00","size":5,"uploader":{}}],)"
                   R"("reactions":[1,2.5,-3]})",
                   true},
        AnswerText{
            "SurroundingWhitespace",
            " \n{\"tag_name\":\"v1\",\"draft\":false,\"prerelease\":false,\"assets\":[]}\r\n",
            true},
        AnswerText{"MissingAssets", R"({"tag_name":"v1","draft":false,"prerelease":false})", false},
        AnswerText{"MissingTag", R"({"draft":false,"prerelease":false,"assets":[]})", false},
        AnswerText{
            "DuplicateTag",
            R"({"tag_name":"v1","tag_name":"v2","draft":false,"prerelease":false,"assets":[]})",
            false},
        AnswerText{"NullTag", R"({"tag_name":null,"draft":false,"prerelease":false,"assets":[]})",
                   false},
        AnswerText{"DraftAsText",
                   R"({"tag_name":"v1","draft":"false","prerelease":false,"assets":[]})", false},
        AnswerText{"AssetsNotAnArray",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":{}})", false},
        AnswerText{"AssetNotAnObject",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[1]})", false},
        AnswerText{"AssetAsArray",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,)"
                   R"("assets":[["a","u","sha256:00",5]]})",
                   false},
        AnswerText{"NullDigest",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","digest":null,"size":5}]})",
                   false},
        AnswerText{"MissingDigest",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","size":5}]})",
                   false},
        AnswerText{"DuplicateSize",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","digest":"d","size":5,"size":6}]})",
                   false},
        AnswerText{"NegativeSize",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","digest":"d","size":-5}]})",
                   false},
        AnswerText{"FractionalSize",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","digest":"d","size":5.0}]})",
                   false},
        AnswerText{"SizeAsText",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","digest":"d","size":"5"}]})",
                   false},
        AnswerText{"SizeBeyond64Bits",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[)"
                   R"({"name":"a","browser_download_url":"u","digest":"d",)"
                   R"("size":18446744073709551616}]})",
                   false},
        AnswerText{"TrailingText",
                   R"({"tag_name":"v1","draft":false,"prerelease":false,"assets":[]} x)", false},
        AnswerText{"ByteOrderMark",
                   "\xEF\xBB\xBF{\"tag_name\":\"v1\",\"draft\":false,\"prerelease\":false,"
                   "\"assets\":[]}",
                   false},
        AnswerText{"ArrayInsteadOfObject", R"(["v1",false,false,[]])", false},
        AnswerText{"Empty", "", false}, AnswerText{"NotJson", "<html>rate limited</html>", false},
        AnswerText{.name = "DuplicateInsideIgnoredMember",
                   .text = answer_with(R"(,"author":{"x":1,"x":2})"),
                   .valid = true},
        AnswerText{.name = "DuplicateInsideIgnoredMemberOfAsset",
                   .text = answer_with("", R"(,"uploader":{"id":1,"id":2,"x":[{"y":1,"y":1}]})"),
                   .valid = true},
        AnswerText{.name = "IgnoredMemberTwice",
                   .text = answer_with(R"(,"body":"a","body":"a")"),
                   .valid = false},
        AnswerText{.name = "IgnoredMemberOfAssetTwice",
                   .text = answer_with("", R"(,"label":null,"label":null)"),
                   .valid = false},
        AnswerText{.name = "KnownMemberOfAssetTwiceWithEqualValues",
                   .text = answer_with("", R"(,"name":"a")"),
                   .valid = false},
        AnswerText{.name = "IgnoredMemberAtTheNestingLimit",
                   .text = answer_with(",\"x\":" + std::string(511, '[') + std::string(511, ']')),
                   .valid = true},
        AnswerText{.name = "IgnoredMemberTooDeep",
                   .text = answer_with(",\"x\":" + std::string(512, '[') + std::string(512, ']')),
                   .valid = false},
        AnswerText{.name = "NulInIgnoredMember",
                   .text = answer_with(std::string(",\"body\":\"a\0b\"", 13)),
                   .valid = false},
        AnswerText{.name = "InvalidUtf8InIgnoredMember",
                   .text = answer_with(",\"body\":\"\xC3\x28\""),
                   .valid = false}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(GithubReleaseRecord, KeepsTheValuesAndAssetOrder) {
  const auto release = parse_github_release(
      R"({"tag_name":"v2.3.1","draft":true,"prerelease":true,"assets":[)"
      R"({"size":7,"digest":"d1","browser_download_url":"u1","name":"n1"},)"
      R"({"name":"n2","browser_download_url":"u2","digest":"d2","size":18446744073709551615}]})");
  ASSERT_TRUE(release.has_value()) << release.error();
  EXPECT_EQ("v2.3.1", release->tag_name);
  EXPECT_TRUE(release->draft);
  EXPECT_TRUE(release->prerelease);
  ASSERT_EQ(2u, release->assets.size());
  EXPECT_EQ("n1", release->assets[0].name);
  EXPECT_EQ("u1", release->assets[0].browser_download_url);
  EXPECT_EQ("d1", release->assets[0].digest);
  EXPECT_EQ(7u, release->assets[0].size);
  EXPECT_EQ("n2", release->assets[1].name);
  EXPECT_EQ(UINT64_MAX, release->assets[1].size);
}

// --- The asset name. ---

struct NameCase {
  const char* bundle_name;
  const char* asset_name;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << '"' << c.bundle_name << '"'; }

class AssetName : public ::testing::TestWithParam<NameCase> {};

TEST_P(AssetName, DropsEveryTrailingAppSuffix) {
  Tool tool;
  tool.bundle_name = GetParam().bundle_name;
  EXPECT_EQ(GetParam().asset_name, asset_name_for(tool));
}

INSTANTIATE_TEST_SUITE_P(
    Names, AssetName,
    ::testing::Values(NameCase{"Clip Ledger.app", "Clip Ledger-x64-mac.zip"},
                      NameCase{"Clip Ledger.app.app", "Clip Ledger-x64-mac.zip"},
                      NameCase{"Clip Ledger", "Clip Ledger-x64-mac.zip"},
                      NameCase{"Clip.app Ledger.app", "Clip.app Ledger-x64-mac.zip"},
                      NameCase{"Clip Ledger.APP", "Clip Ledger.APP-x64-mac.zip"},
                      NameCase{"Clip Ledger.app.zip", "Clip Ledger.app.zip-x64-mac.zip"},
                      NameCase{".app", "-x64-mac.zip"}, NameCase{"", "-x64-mac.zip"}),
    [](const auto& p) { return "Name" + std::to_string(p.index); });

// --- The whole query against the local release host. ---

class LatestExternalRelease : public ::testing::Test {
 public:
  // For the table's changes: addresses and assets as the host would give them.
  std::string url_for(const std::string& tag, const std::string& name) const {
    return asset_url(tag, name);
  }
  json asset_for(const std::string& tag, std::uint64_t size) const { return asset(tag, size); }
  std::string name() const { return asset_name_for(tool_); }
  std::string web(const std::string& rest) const { return server().url(rest); }

 protected:
  static void SetUpTestSuite() { server_ = new TestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }

  void SetUp() override {
    ASSERT_TRUE(server().running()) << server().failure();
    server().clear_routes();
    const auto found = find_tool("clip-ledger");
    ASSERT_TRUE(found.has_value());
    tool_ = *found;
    config_.release_api_base = server().url("/api");
    config_.release_web_base = server().url("/web");
  }

  static TestServer& server() { return *server_; }
  std::string query_path() const {
    return "/api/repos/" + tool_.github_repository + "/releases/latest";
  }
  std::string asset_url(const std::string& tag, const std::string& name) const {
    return server().url("/web/" + tool_.github_repository + "/releases/download/" + tag + "/" +
                        name);
  }
  json asset(const std::string& tag, std::uint64_t size = 123456) const {
    return {{"name", asset_name_for(tool_)},
            {"browser_download_url", asset_url(tag, asset_name_for(tool_))},
            {"digest", digest},
            {"size", size}};
  }
  json answer(const std::string& tag) const {
    return {{"tag_name", tag}, {"draft", false}, {"prerelease", false}, {"assets", {asset(tag)}}};
  }
  void publish(const json& document) const { publish(document.dump()); }
  void publish(const std::string& text) const { server().put(query_path(), text); }

  Tool tool_;
  CoreConfig config_;

 private:
  static TestServer* server_;
};

TestServer* LatestExternalRelease::server_ = nullptr;

TEST_F(LatestExternalRelease, ChoosesTheAssetAndAsksNothingElse) {
  const json document = answer("v2.3.1");
  publish(document);
  const auto found = find_latest_external_release(config_, tool_);
  ASSERT_TRUE(found.has_value()) << found.error();
  EXPECT_EQ("v2.3.1", found->tag_name);
  EXPECT_EQ("2.3.1", found->version);
  EXPECT_EQ("ClipLedger-x64-mac.zip", found->asset.name);
  EXPECT_EQ(asset_url("v2.3.1", "ClipLedger-x64-mac.zip"), found->asset.browser_download_url);
  EXPECT_EQ(digest, found->asset.digest);
  EXPECT_EQ(123456u, found->asset.size);

  const auto requests = server().requests();
  ASSERT_EQ(1u, requests.size());
  EXPECT_EQ("/api/repos/tobranix/clip-ledger/releases/latest", requests[0].target);
  EXPECT_EQ("Kelvoma/0.1", requests[0].headers.at("user-agent"));
}

struct TagCase {
  std::string tag;
  std::optional<std::string> version;  // nullopt: not a stable release
};

void PrintTo(const TagCase& c, std::ostream* out) { *out << '"' << c.tag << '"'; }

class ReleaseTag : public LatestExternalRelease, public ::testing::WithParamInterface<TagCase> {};

TEST_P(ReleaseTag, GivesTheVersionText) {
  publish(answer(GetParam().tag));
  const auto found = find_latest_external_release(config_, tool_);
  if (GetParam().version) {
    ASSERT_TRUE(found.has_value()) << found.error();
    EXPECT_EQ(GetParam().tag, found->tag_name);
    EXPECT_EQ(*GetParam().version, found->version);
  } else {
    ASSERT_FALSE(found.has_value());
    EXPECT_EQ(unstable, found.error());
  }
}

std::string repeated(std::string_view piece, int count) {
  std::string text;
  for (int i = 0; i < count; ++i) {
    text += piece;
  }
  return text;
}

INSTANTIATE_TEST_SUITE_P(
    Tags, ReleaseTag,
    ::testing::Values(TagCase{"v2.3.1", "2.3.1"}, TagCase{"2.3.1", "2.3.1"},
                      TagCase{"V2.3.1", "V2.3.1"}, TagCase{"vv2", "v2"}, TagCase{"v", std::nullopt},
                      TagCase{"", std::nullopt}, TagCase{"v2.0-beta ž", "2.0-beta ž"},
                      TagCase{repeated("7", 40), repeated("7", 40)},
                      TagCase{"v" + repeated("7", 40), repeated("7", 40)},
                      TagCase{repeated("7", 41), std::nullopt},
                      TagCase{"v" + repeated("7", 41), std::nullopt},
                      // Bytes count, not letters: 20 two-byte letters fit, 21 do not.
                      TagCase{"v" + repeated("ž", 20), repeated("ž", 20)},
                      TagCase{repeated("ž", 21), std::nullopt}),
    [](const auto& p) { return "Tag" + std::to_string(p.index); });

struct ReleaseCase {
  const char* name;
  std::function<void(json& answer, const LatestExternalRelease& host)> change;
  std::optional<std::string> message;  // nullopt: found
};

void PrintTo(const ReleaseCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ReleaseRule : public LatestExternalRelease,
                    public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(ReleaseRule, DecidesTheRelease) {
  json document = answer("v2.3.1");
  GetParam().change(document, *this);
  publish(document);
  const auto found = find_latest_external_release(config_, tool_);
  if (GetParam().message) {
    ASSERT_FALSE(found.has_value());
    EXPECT_EQ(*GetParam().message, found.error());
  } else {
    EXPECT_TRUE(found.has_value()) << found.error();
  }
}

using Host = const LatestExternalRelease&;

void set_url(json& answer, std::string url) {
  answer["assets"][0]["browser_download_url"] = std::move(url);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, ReleaseRule,
    ::testing::Values(
        ReleaseCase{"Unchanged", [](json&, Host) {}, std::nullopt},
        ReleaseCase{"Draft", [](json& a, Host) { a["draft"] = true; }, std::string(unstable)},
        ReleaseCase{"Prerelease", [](json& a, Host) { a["prerelease"] = true; },
                    std::string(unstable)},
        ReleaseCase{"NoAssets", [](json& a, Host) { a["assets"] = json::array(); },
                    std::string(no_package)},
        ReleaseCase{"OtherProcessor",
                    [](json& a, Host) { a["assets"][0]["name"] = "Clip Ledger-arm64-mac.zip"; },
                    std::string(no_package)},
        ReleaseCase{"NameInOtherCase",
                    [](json& a, Host) { a["assets"][0]["name"] = "clip ledger-x64-mac.zip"; },
                    std::string(no_package)},
        ReleaseCase{"AssetsMissing", [](json& a, Host) { a.erase("assets"); },
                    std::string(invalid)},
        ReleaseCase{"DigestNull", [](json& a, Host) { a["assets"][0]["digest"] = nullptr; },
                    std::string(invalid)},
        ReleaseCase{"BadAssetAfterTheChosenOne",
                    [](json& a, Host) { a["assets"].push_back(json{{"name", "x"}}); },
                    std::string(invalid)},
        ReleaseCase{"ManyExtraMembers",
                    [](json& a, Host) {
                      a["id"] = 1;
                      a["body"] = nullptr;
                      a["author"] = {{"login", "tobranix"}};
                      a["assets"][0]["label"] = nullptr;
                      a["assets"][0]["download_count"] = 12;
                      a["assets"][0]["uploader"] = json::array();
                    },
                    std::nullopt},
        ReleaseCase{"OtherAssetsAround",
                    [](json& a, Host) {
                      a["assets"].insert(a["assets"].begin(),
                                         json{{"name", "notes.txt"},
                                              {"browser_download_url", "http://elsewhere/"},
                                              {"digest", "none"},
                                              {"size", 0}});
                      a["assets"].push_back(json{{"name", "Clip Ledger-arm64-mac.zip"},
                                                 {"browser_download_url", ""},
                                                 {"digest", ""},
                                                 {"size", 0}});
                    },
                    std::nullopt},
        ReleaseCase{"FirstOfTwoMatchingIsUsedAndUntrusted",
                    [](json& a, Host h) {
                      json first = h.asset_for("v2.3.1", 0);
                      a["assets"].insert(a["assets"].begin(), first);
                    },
                    std::string(untrusted)},
        ReleaseCase{"AddressInOtherCase",
                    [](json& a, Host h) {
                      set_url(a, h.web("/web/Tobranix/clip-ledger/releases/download/v2.3.1/" +
                                       h.name()));
                    },
                    std::string(untrusted)},
        ReleaseCase{"AddressOfOtherRepository",
                    [](json& a, Host h) {
                      set_url(a, h.web("/web/tobranix/clip-ledger-fork/releases/download/v2.3.1/" +
                                       h.name()));
                    },
                    std::string(untrusted)},
        ReleaseCase{"AddressOfOtherTag",
                    [](json& a, Host h) { set_url(a, h.url_for("v2.3.0", h.name())); },
                    std::string(untrusted)},
        ReleaseCase{"AddressWithoutTheTagsV",
                    [](json& a, Host h) { set_url(a, h.url_for("2.3.1", h.name())); },
                    std::string(untrusted)},
        ReleaseCase{"AddressOverHttp",
                    [](json& a, Host h) {
                      std::string url = h.url_for("v2.3.1", h.name());
                      set_url(a, "http" + url.substr(5));
                    },
                    std::string(untrusted)},
        ReleaseCase{"AddressWithQuery",
                    [](json& a, Host h) { set_url(a, h.url_for("v2.3.1", h.name()) + "?x=1"); },
                    std::string(untrusted)},
        ReleaseCase{"AddressOfAnotherAsset",
                    [](json& a, Host h) { set_url(a, h.url_for("v2.3.1", "other.zip")); },
                    std::string(untrusted)},
        ReleaseCase{"SizeZero", [](json& a, Host) { a["assets"][0]["size"] = 0; },
                    std::string(untrusted)},
        ReleaseCase{"SizeOne", [](json& a, Host) { a["assets"][0]["size"] = 1; }, std::nullopt},
        ReleaseCase{"SizeLargest", [](json& a, Host) { a["assets"][0]["size"] = 268435456; },
                    std::nullopt},
        ReleaseCase{"SizeTooLarge", [](json& a, Host) { a["assets"][0]["size"] = 268435457; },
                    std::string(untrusted)},
        ReleaseCase{"SizeNegative", [](json& a, Host) { a["assets"][0]["size"] = -1; },
                    std::string(invalid)},
        ReleaseCase{"DigestUpperCaseHex",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "sha256:" + std::string(32, 'A') +
                                                 "0123456789abcdefABCDEF0123456789";
                    },
                    std::nullopt},
        ReleaseCase{"DigestPrefixInCapitals",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "SHA256:" + std::string(64, 'a');
                    },
                    std::string(untrusted)},
        ReleaseCase{"DigestOtherAlgorithm",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "sha512:" + std::string(64, 'a');
                    },
                    std::string(untrusted)},
        ReleaseCase{"Digest63Digits",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "sha256:" + std::string(63, 'a');
                    },
                    std::string(untrusted)},
        ReleaseCase{"Digest65Digits",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "sha256:" + std::string(65, 'a');
                    },
                    std::string(untrusted)},
        ReleaseCase{"DigestWithG",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "sha256:" + std::string(63, 'a') + "g";
                    },
                    std::string(untrusted)},
        ReleaseCase{"DigestWithSpace",
                    [](json& a, Host) {
                      a["assets"][0]["digest"] = "sha256: " + std::string(63, 'a');
                    },
                    std::string(untrusted)},
        ReleaseCase{"DigestEmpty", [](json& a, Host) { a["assets"][0]["digest"] = ""; },
                    std::string(untrusted)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LatestExternalRelease, FirstOfTwoMatchingAssetsIsChosen) {
  json document = answer("v2.3.1");
  json second = asset("v2.3.1", 999);
  document["assets"].push_back(second);
  publish(document);
  const auto found = find_latest_external_release(config_, tool_);
  ASSERT_TRUE(found.has_value()) << found.error();
  EXPECT_EQ(123456u, found->asset.size);
}

TEST_F(LatestExternalRelease, DraftIsRefusedBeforeTheAssetIsLookedAt) {
  json document = answer("v2.3.1");
  document["draft"] = true;
  document["assets"] = json::array();
  publish(document);
  const auto found = find_latest_external_release(config_, tool_);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(unstable, found.error());
}

struct QueryCase {
  const char* name;
  testing::Answer answer;
  std::string message;
};

void PrintTo(const QueryCase& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class ReleaseQuery : public LatestExternalRelease,
                     public ::testing::WithParamInterface<QueryCase> {};

TEST_P(ReleaseQuery, PassesTheRunnersMessageOn) {
  server().route(query_path(), GetParam().answer);
  const auto found = find_latest_external_release(config_, tool_);
  ASSERT_FALSE(found.has_value());
  EXPECT_EQ(GetParam().message, found.error());
}

INSTANTIATE_TEST_SUITE_P(
    Failures, ReleaseQuery,
    ::testing::Values(
        QueryCase{"NoReleaseYet",
                  {.status = 404, .body = "{\"message\":\"Not Found\"}"},
                  std::string(not_published)},
        QueryCase{"RateLimited",
                  {.status = 403, .body = "{\"message\":\"API rate limit\"}"},
                  std::string(failed)},
        QueryCase{"ServerError", {.status = 500}, std::string(failed)},
        QueryCase{"Dropped", {.drop = true}, std::string(failed)},
        QueryCase{"AnswerOverOneMebibyte", {.generated = 1048577}, std::string(too_large)},
        QueryCase{"AnswerOfOneMebibyteIsRead", {.generated = 1048576}, std::string(invalid)},
        QueryCase{"EmptyAnswer", {.body = ""}, std::string(invalid)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(LatestExternalRelease, AddressesComeFromTheConfiguration) {
  config_.release_api_base = server().url("/other-api");
  config_.release_web_base = server().url("/other-web");
  json document = answer("v1");
  set_url(document, server().url("/other-web/tobranix/clip-ledger/releases/download/v1/" +
                                 asset_name_for(tool_)));
  server().put("/other-api/repos/tobranix/clip-ledger/releases/latest", document.dump());
  const auto found = find_latest_external_release(config_, tool_);
  ASSERT_TRUE(found.has_value()) << found.error();
  EXPECT_EQ("1", found->version);
}

}  // namespace
}  // namespace kelvoma
