// The download runner: against the stub transfer tool where the arguments
// and the tool's own behaviour matter, against the real curl and the local
// HTTPS server where the transfer does.
#include "fetch/fetch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "support/process_util.h"
#include "support/temp_dir.h"
#include "support/test_server.h"

namespace kelvoma {
namespace {

using testing::Answer;
using testing::child_processes;
using testing::listed_descriptors;
using testing::process_exists;
using testing::read_file;
using testing::RefusingPort;
using testing::TempDir;
using testing::TestServer;

constexpr std::string_view https_required = "Stahování vyžaduje HTTPS.";
constexpr std::string_view too_large =
    "Stažený soubor překročil povolenou velikost nebo byl přerušen.";
constexpr std::string_view not_published = "Zatím není zveřejněné dostupné vydání.";
constexpr std::string_view failed = "Stažení se nepodařilo. Zkontroluj připojení a zkus to znovu.";

std::string text_of(const ByteBuffer& body) {
  return {reinterpret_cast<const char*>(body.bytes().data()), body.size()};
}

// The generated bodies of the test server: byte i is i % 256.
std::string pattern(std::size_t length) {
  std::string bytes(length, '\0');
  for (std::size_t i = 0; i < length; ++i) {
    bytes[i] = static_cast<char>(i % 256);
  }
  return bytes;
}

// The stub transfer tool (tests/stubs/curl), linked into a directory of its
// own: it records its arguments and descriptors there and answers with the
// files placed beside it.
class StubTransferTool {
 public:
  StubTransferTool() {
    std::filesystem::create_symlink(std::string(KELVOMA_SOURCE_DIR) + "/tests/stubs/curl",
                                    dir_.file("curl"));
    config_.curl = dir_.file("curl");
  }

  const CoreConfig& config() const { return config_; }
  void set(const std::string& name, const std::string& contents) const {
    dir_.write(name, contents);
  }
  bool started() const { return std::filesystem::exists(dir_.file("arguments")); }
  std::vector<std::string> arguments() const {
    std::vector<std::string> lines;
    std::string text = read_file(dir_.file("arguments"));
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t end = text.find('\n', start);
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }
  std::string descriptors() const { return read_file(dir_.file("descriptors")); }
  pid_t pid() const { return static_cast<pid_t>(std::stol(read_file(dir_.file("pid")))); }

 private:
  TempDir dir_;
  CoreConfig config_;
};

std::vector<std::string> expected_arguments(const std::string& url, const char* max_time) {
  return {"--disable",
          "--globoff",
          "--silent",
          "--show-error",
          "--fail",
          "--location",
          "--proto",
          "=https",
          "--proto-redir",
          "=https",
          "--max-redirs",
          "5",
          "--connect-timeout",
          "15",
          "--max-time",
          max_time,
          "--speed-limit",
          "1024",
          "--speed-time",
          "60",
          "--user-agent",
          "Kelvoma/0.1",
          "--url",
          url};
}

// Puts a file on this process's standard input for the owner's lifetime.
class ScopedStandardInput {
 public:
  explicit ScopedStandardInput(const std::string& path)
      : saved_(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3)) {
    const int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    active_ = saved_ >= 0 && file >= 0 && dup2(file, STDIN_FILENO) == STDIN_FILENO;
    if (file >= 0) {
      close(file);
    }
  }
  ScopedStandardInput(const ScopedStandardInput&) = delete;
  ScopedStandardInput& operator=(const ScopedStandardInput&) = delete;
  ~ScopedStandardInput() {
    if (saved_ >= 0) {
      dup2(saved_, STDIN_FILENO);
      close(saved_);
    }
  }
  bool active() const { return active_; }

 private:
  int saved_;
  bool active_ = false;
};

// --- The https rule: refused before any process is started. ---

class HttpsRule : public ::testing::TestWithParam<const char*> {};

TEST_P(HttpsRule, RefusesWithoutStartingTheTool) {
  const StubTransferTool stub;
  const auto result = fetch_url(stub.config(), GetParam(), 65536);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(https_required, result.error());
  EXPECT_FALSE(stub.started());
}

TEST_P(HttpsRule, RefusesEvenWithAMissingTool) {
  // Starting a missing program would answer with the system error text.
  CoreConfig config;
  config.curl = "/nonexistent/curl";
  const auto result = fetch_url(config, GetParam(), 65536);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(https_required, result.error());
}

INSTANTIATE_TEST_SUITE_P(Addresses, HttpsRule,
                         ::testing::Values("http://localhost/release.json",
                                           "HTTPS://localhost/release.json",
                                           "Https://localhost/release.json", "", "h", "https:/",
                                           "https:", " https://localhost/", "https:\\\\localhost/",
                                           "ftp://localhost/", "file:///etc/passwd",
                                           "httpss://localhost/"),
                         [](const auto& p) { return "Address" + std::to_string(p.index); });

TEST(HttpsRuleBoundary, EightBytesOfSchemeAreEnough) {
  const StubTransferTool stub;
  stub.set("body", "x");
  const auto result = fetch_url(stub.config(), "https://", 65536);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_TRUE(stub.started());
  EXPECT_EQ("https://", stub.arguments().back());
}

// --- The tool's argument list, observed through the stub. ---

struct TimeLimitCase {
  std::uint64_t limit;
  const char* max_time;
};

void PrintTo(const TimeLimitCase& c, std::ostream* out) { *out << "limit " << c.limit; }

class TransferArguments : public ::testing::TestWithParam<TimeLimitCase> {};

TEST_P(TransferArguments, AreTheFixedListWithTheChosenTimeLimit) {
  const StubTransferTool stub;
  const std::string url = "https://localhost/a b/[1]{2}?q=ž&x=\"y\"";
  const auto result = fetch_url(stub.config(), url, GetParam().limit);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(expected_arguments(url, GetParam().max_time), stub.arguments());
  EXPECT_EQ(expected_arguments(url, GetParam().max_time),
            transfer_arguments(url, GetParam().limit));
}

INSTANTIATE_TEST_SUITE_P(
    Limits, TransferArguments,
    ::testing::Values(TimeLimitCase{0, "120"}, TimeLimitCase{65536, "120"},
                      TimeLimitCase{1048575, "120"}, TimeLimitCase{1048576, "120"},
                      TimeLimitCase{1048577, "900"}, TimeLimitCase{268435456, "900"},
                      TimeLimitCase{UINT64_MAX, "900"}),
    [](const auto& p) {
      return "Limit" + std::to_string(p.param.limit) + "Gives" + p.param.max_time;
    });

// --- How the tool's end becomes the result, observed through the stub. ---

struct ToolEnd {
  const char* name;
  std::string body;
  std::optional<std::string> error_text;
  std::string exit;                    // a status, or KILL
  std::optional<std::string> message;  // nullopt: the body is returned
};

void PrintTo(const ToolEnd& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class TransferToolEnd : public ::testing::TestWithParam<ToolEnd> {};

TEST_P(TransferToolEnd, DecidesTheResult) {
  const ToolEnd& end = GetParam();
  const StubTransferTool stub;
  stub.set("body", end.body);
  if (end.error_text) {
    stub.set("stderr", *end.error_text);
  }
  stub.set("exit", end.exit);
  const auto result = fetch_url(stub.config(), "https://localhost/release.json", 65536);
  if (end.message) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(*end.message, result.error());
  } else {
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(end.body, text_of(*result));
  }
  EXPECT_FALSE(process_exists(stub.pid()));
}

INSTANTIATE_TEST_SUITE_P(
    Ends, TransferToolEnd,
    ::testing::Values(
        ToolEnd{"Success", "{\"a\":1}", std::nullopt, "0", std::nullopt},
        ToolEnd{"SuccessEmpty", "", std::nullopt, "0", std::nullopt},
        // Standard error is only examined after a failure.
        ToolEnd{"SuccessDespite404Text", "ok", "warning: 404 somewhere\n", "0", std::nullopt},
        ToolEnd{"Http404", "", "curl: (22) The requested URL returned error: 404\n", "22",
                std::string(not_published)},
        ToolEnd{"Http500", "", "curl: (22) The requested URL returned error: 500\n", "22",
                std::string(failed)},
        ToolEnd{"NoErrorText", "", std::nullopt, "7", std::string(failed)},
        // A plain substring test: three digits anywhere count, also inside a
        // longer number.
        ToolEnd{"AnyOccurrenceOf404Counts", "", "curl: (28) timed out after 14040 ms\n", "28",
                std::string(not_published)},
        ToolEnd{"SplitDigits", "", "error 40 4\n", "22", std::string(failed)},
        ToolEnd{"InvalidUtf8Around404", "",
                "\xff\xfe"
                "404\xc3",
                "22", std::string(not_published)},
        ToolEnd{"BodyDroppedOnFailure", "partial", "curl: (18) transfer closed\n", "18",
                std::string(failed)},
        ToolEnd{"KilledBySignal", "partial", std::nullopt, "KILL", std::string(failed)},
        ToolEnd{"KilledBySignalAfter404", "", "404\n", "KILL", std::string(not_published)}),
    [](const auto& p) { return std::string(p.param.name); });

// --- The limit, observed through the stub. ---

TEST(FetchLimit, ExactlyTheLimitIsReturned) {
  const StubTransferTool stub;
  stub.set("body", std::string(1000, 'a'));
  const auto result = fetch_url(stub.config(), "https://localhost/", 1000);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(std::string(1000, 'a'), text_of(*result));
}

TEST(FetchLimit, OneByteMoreFailsAndTheToolIsKilledAndReaped) {
  const StubTransferTool stub;
  stub.set("body", std::string(1001, 'a'));
  stub.set("then", "sleep");  // would keep running for a minute
  const auto result = fetch_url(stub.config(), "https://localhost/", 1000);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(too_large, result.error());
  EXPECT_FALSE(process_exists(stub.pid()));
  EXPECT_EQ(std::vector<pid_t>{}, child_processes());
}

TEST(FetchLimit, ZeroAcceptsOnlyAnEmptyBody) {
  const StubTransferTool stub;
  stub.set("body", "");
  EXPECT_TRUE(fetch_url(stub.config(), "https://localhost/", 0).has_value());
  stub.set("body", "x");
  const auto result = fetch_url(stub.config(), "https://localhost/", 0);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(too_large, result.error());
}

// --- What the tool inherits. ---

TEST(FetchProcess, ToolInheritsOnlyTheStandardStreams) {
  const StubTransferTool stub;
  const int stray = open("/dev/null", O_RDONLY);  // no close-on-exec
  ASSERT_GE(stray, 3);
  const auto result = fetch_url(stub.config(), "https://localhost/", 10);
  close(stray);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ((std::vector<int>{0, 1, 2}), listed_descriptors(stub.descriptors()))
      << stub.descriptors();
}

TEST(FetchProcess, ToolReadsTheCallersStandardInput) {
  const StubTransferTool stub;
  const TempDir dir;
  const std::string input = dir.write("input", "vstup");
  // Our standard input becomes a file of our own, so that the null device
  // (a likely standard input of a test run) cannot pass by chance.
  const ScopedStandardInput replaced(input);
  ASSERT_TRUE(replaced.active());
  const auto result = fetch_url(stub.config(), "https://localhost/", 10);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_NE(std::string::npos, stub.descriptors().find(" 0 -> " + input + "\n"))
      << stub.descriptors();
}

struct MissingTool {
  const char* program;
  const char* message;
};

void PrintTo(const MissingTool& c, std::ostream* out) { *out << '"' << c.program << '"'; }

class FetchToolCannotStart : public ::testing::TestWithParam<MissingTool> {};

TEST_P(FetchToolCannotStart, GivesTheSystemErrorText) {
  CoreConfig config;
  config.curl = GetParam().program;
  const auto result = fetch_url(config, "https://localhost/", 10);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(GetParam().message, result.error());
}

INSTANTIATE_TEST_SUITE_P(
    Programs, FetchToolCannotStart,
    ::testing::Values(MissingTool{"/nonexistent/curl", "No such file or directory (os error 2)"},
                      MissingTool{"", "No such file or directory (os error 2)"}),
    [](const auto& p) { return p.index == 0 ? std::string("Missing") : std::string("Empty"); });

struct UnusableFile {
  const char* name;
  std::string contents;
  std::filesystem::perms permissions;
  const char* message;
};

void PrintTo(const UnusableFile& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class FetchToolUnusable : public ::testing::TestWithParam<UnusableFile> {};

TEST_P(FetchToolUnusable, GivesTheSystemErrorText) {
  const TempDir dir;
  const std::string program = dir.write("curl", GetParam().contents);
  std::filesystem::permissions(program, GetParam().permissions);
  CoreConfig config;
  config.curl = program;
  const auto result = fetch_url(config, "https://localhost/", 10);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(GetParam().message, result.error());
}

INSTANTIATE_TEST_SUITE_P(Files, FetchToolUnusable,
                         ::testing::Values(UnusableFile{"NotExecutable", "#!/bin/sh\nexit 0\n",
                                                        std::filesystem::perms::owner_read |
                                                            std::filesystem::perms::owner_write,
                                                        "Permission denied (os error 13)"},
                                           UnusableFile{"NoKnownFormat",
                                                        std::string("\x01\x02\x03\x04garbage", 11),
                                                        std::filesystem::perms::owner_all,
                                                        "Exec format error (os error 8)"}),
                         [](const auto& p) { return std::string(p.param.name); });

// --- Real transfers against the local HTTPS server. ---

class FetchFromServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { server_ = new TestServer(); }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    ASSERT_TRUE(server().running()) << server().failure();
    server().clear_routes();
  }

  static TestServer& server() { return *server_; }
  static std::expected<ByteBuffer, std::string> fetch(const std::string& path,
                                                      std::uint64_t limit) {
    return fetch_url(CoreConfig{}, server().url(path), limit);
  }

  // How the observed fetch treats the body besides showing it to the test.
  enum class Body { kept_in_memory, shown_only };

  // The same fetch, with every piece joined as the sink sees it: either a
  // BodyCollector watched from outside, or a PieceObserver alone.
  struct Observed {
    std::expected<ByteBuffer, std::string> result;
    std::string pieces;
    std::size_t count = 0;
    std::size_t empty_pieces = 0;

    void see(std::span<const std::uint8_t> piece) {
      pieces.append(reinterpret_cast<const char*>(piece.data()), piece.size());
      ++count;
      empty_pieces += piece.empty() ? 1 : 0;
    }
  };

  // Watches what another sink takes.
  class WatchedSink final : public BodySink {
   public:
    WatchedSink(BodySink& inner, Observed& observed) : inner_(inner), observed_(observed) {}
    std::span<std::uint8_t> space() override {
      last_ = inner_.space();
      return last_;
    }
    void take(std::size_t count) override {
      observed_.see(last_.first(count));
      inner_.take(count);
    }

   private:
    BodySink& inner_;
    Observed& observed_;
    std::span<std::uint8_t> last_;
  };

  static Observed fetch_observed(const std::string& path, std::uint64_t limit,
                                 Body body = Body::kept_in_memory) {
    Observed observed{.result = std::unexpected(std::string()), .pieces = {}};
    std::expected<void, std::string> fetched;
    BodyCollector collector(limit);
    if (body == Body::kept_in_memory) {
      WatchedSink watched(collector, observed);
      fetched = fetch_url(CoreConfig{}, server().url(path), limit, watched);
    } else {
      PieceObserver shown([&](std::span<const std::uint8_t> piece) { observed.see(piece); });
      fetched = fetch_url(CoreConfig{}, server().url(path), limit, shown);
    }
    if (fetched) {
      observed.result = std::move(collector.body());
    } else {
      observed.result = std::unexpected(fetched.error());
    }
    return observed;
  }

 private:
  static TestServer* server_;
};

TestServer* FetchFromServer::server_ = nullptr;

TEST_F(FetchFromServer, ReturnsAServedFileUnchanged) {
  const std::string manifest = "{\"payload\":\"ž\",\"signature\":\"\\u0000\"}\n";
  server().put("/tobranix/release.json", manifest);
  const auto result = fetch("/tobranix/release.json", 65536);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(manifest, text_of(*result));
}

TEST_F(FetchFromServer, SendsOnlyItsUserAgent) {
  server().put("/a.txt", "a");
  ASSERT_TRUE(fetch("/a.txt", 10).has_value());
  const auto requests = server().requests();
  ASSERT_FALSE(requests.empty());
  const auto& request = requests.back();
  EXPECT_EQ("GET", request.method);
  EXPECT_EQ("/a.txt", request.target);
  EXPECT_EQ(
      (std::map<std::string, std::string>{{"accept", "*/*"},
                                          {"host", "localhost:" + std::to_string(server().port())},
                                          {"user-agent", "Kelvoma/0.1"}}),
      request.headers);
}

TEST_F(FetchFromServer, TakesBracketsAndBracesLiterally) {
  server().put("/v[1]/{a}.txt", "literal");
  const auto result = fetch("/v[1]/{a}.txt", 100);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ("literal", text_of(*result));
}

struct SizeCase {
  std::uint64_t body;
  std::uint64_t limit;
  bool accepted;
};

void PrintTo(const SizeCase& c, std::ostream* out) {
  *out << "body " << c.body << ", limit " << c.limit;
}

class FetchSize : public FetchFromServer, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FetchSize, AcceptsAtMostTheLimit) {
  const SizeCase& size = GetParam();
  const auto result = fetch("/_/bytes/" + std::to_string(size.body), size.limit);
  if (size.accepted) {
    ASSERT_TRUE(result.has_value()) << result.error();
    EXPECT_EQ(size.body, result->size());
    EXPECT_TRUE(text_of(*result) == pattern(size.body));
  } else {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(too_large, result.error());
  }
  EXPECT_EQ(std::vector<pid_t>{server().pid()}, child_processes());
}

// An observer changes nothing, and on success it has seen exactly the bytes
// returned, in order; what it saw of a refused body does not matter.
TEST_P(FetchSize, ObserverSeesExactlyTheReturnedBytes) {
  const SizeCase& size = GetParam();
  const auto observed = fetch_observed("/_/bytes/" + std::to_string(size.body), size.limit);
  if (size.accepted) {
    ASSERT_TRUE(observed.result.has_value()) << observed.result.error();
    EXPECT_TRUE(text_of(*observed.result) == pattern(size.body));
    EXPECT_TRUE(observed.pieces == text_of(*observed.result));
    // A body larger than a pipe's content arrives in several pieces: the
    // observer keeps pace with the transfer instead of seeing it at the end.
    if (size.body > 1048576) {
      EXPECT_GE(observed.count, 2u);
    }
  } else {
    ASSERT_FALSE(observed.result.has_value());
    EXPECT_EQ(too_large, observed.result.error());
  }
  EXPECT_EQ(0u, observed.empty_pieces);
  EXPECT_EQ(std::vector<pid_t>{server().pid()}, child_processes());
}

// A body that is not kept reaches the observer alone, whole, under the same
// limit and message.
TEST_P(FetchSize, BodyNotKeptIsShownWholeToTheObserver) {
  const SizeCase& size = GetParam();
  const auto observed =
      fetch_observed("/_/bytes/" + std::to_string(size.body), size.limit, Body::shown_only);
  if (size.accepted) {
    ASSERT_TRUE(observed.result.has_value()) << observed.result.error();
    EXPECT_TRUE(observed.pieces == pattern(size.body));
  } else {
    ASSERT_FALSE(observed.result.has_value());
    EXPECT_EQ(too_large, observed.result.error());
  }
  EXPECT_EQ(0u, observed.empty_pieces);
  EXPECT_EQ(std::vector<pid_t>{server().pid()}, child_processes());
}

// A sink offers whatever room it has; the runner never reads past limit + 1
// bytes into it, however the room and the limit fall against each other.
TEST_P(FetchSize, SinkWithLittleRoomNeverTakesMoreThanLimitPlusOne) {
  class SmallRoom final : public BodySink {
   public:
    std::span<std::uint8_t> space() override { return room_; }
    void take(std::size_t count) override {
      taken.append(reinterpret_cast<const char*>(room_.data()), count);
    }
    std::string taken;

   private:
    std::array<std::uint8_t, 4093> room_{};
  };
  const SizeCase& size = GetParam();
  SmallRoom sink;
  const auto result = fetch_url(CoreConfig{}, server().url("/_/bytes/" + std::to_string(size.body)),
                                size.limit, sink);
  EXPECT_EQ(result.has_value(), size.accepted);
  // min(body, limit + 1), without overflowing a limit of UINT64_MAX.
  const std::uint64_t most = std::min(size.body, size.limit) + (size.body > size.limit ? 1 : 0);
  EXPECT_LE(sink.taken.size(), most);
  if (size.accepted) {
    EXPECT_TRUE(sink.taken == pattern(size.body));
  }
  EXPECT_EQ(std::vector<pid_t>{server().pid()}, child_processes());
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, FetchSize,
    ::testing::Values(SizeCase{0, 0, true}, SizeCase{1, 0, false}, SizeCase{1, 1, true},
                      SizeCase{65536, 65536, true}, SizeCase{65537, 65536, false},
                      SizeCase{70000, 65536, false}, SizeCase{1048576, 1048576, true},
                      SizeCase{1048577, 1048576, false}, SizeCase{3000001, 3000001, true},
                      SizeCase{3000001, 3000000, false}, SizeCase{20000000, 65536, false},
                      SizeCase{5, UINT64_MAX, true}),
    [](const auto& p) {
      return "Body" + std::to_string(p.param.body) + "Limit" + std::to_string(p.param.limit);
    });

struct ServerAnswer {
  const char* name;
  std::string path;
  std::optional<std::string> message;  // nullopt: success
};

void PrintTo(const ServerAnswer& c, std::ostream* out) { *out << '"' << c.name << '"'; }

class FetchAnswer : public FetchFromServer, public ::testing::WithParamInterface<ServerAnswer> {
 protected:
  void SetUp() override {
    FetchFromServer::SetUp();
    if (HasFatalFailure()) {
      return;
    }
    server().put("/a.txt", "a");
    // Redirect chains: /hop/N leads to /hop/N-1, /hop/0 to the file.
    for (int hop = 0; hop < 7; ++hop) {
      server().route(
          "/hop/" + std::to_string(hop),
          Answer{.status = 302,
                 .location = hop == 0 ? server().url("/a.txt")
                                      : server().url("/hop/" + std::to_string(hop - 1))});
    }
    server().route(
        "/to-http",
        Answer{.status = 301,
               .location = "http://localhost:" + std::to_string(server().port()) + "/a.txt"});
  }
};

TEST_P(FetchAnswer, GivesTheExpectedResult) {
  const auto result = fetch(GetParam().path, 65536);
  if (GetParam().message) {
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(*GetParam().message, result.error());
  } else {
    EXPECT_TRUE(result.has_value()) << result.error();
  }
}

TEST_P(FetchAnswer, ObserverChangesNothing) {
  const auto kept = fetch_observed(GetParam().path, 65536, Body::kept_in_memory);
  const auto shown = fetch_observed(GetParam().path, 65536, Body::shown_only);
  if (GetParam().message) {
    ASSERT_FALSE(kept.result.has_value());
    EXPECT_EQ(*GetParam().message, kept.result.error());
    ASSERT_FALSE(shown.result.has_value());
    EXPECT_EQ(*GetParam().message, shown.result.error());
  } else {
    ASSERT_TRUE(kept.result.has_value()) << kept.result.error();
    EXPECT_TRUE(kept.pieces == text_of(*kept.result));
    ASSERT_TRUE(shown.result.has_value()) << shown.result.error();
    EXPECT_TRUE(shown.pieces == kept.pieces);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Answers, FetchAnswer,
    ::testing::Values(
        ServerAnswer{"MissingFile", "/missing/release.json", std::string(not_published)},
        ServerAnswer{"Status404", "/_/status/404", std::string(not_published)},
        ServerAnswer{"Status500", "/_/status/500", std::string(failed)},
        // The body of an error answer never reaches the 404 test.
        ServerAnswer{"Status500Mentioning404", "/_/status/500?body=404", std::string(failed)},
        ServerAnswer{"Status403", "/_/status/403", std::string(failed)},
        ServerAnswer{"Status410", "/_/status/410", std::string(failed)},
        ServerAnswer{"Status204", "/_/status/204", std::nullopt},
        ServerAnswer{"Empty", "/_/empty", std::nullopt},
        ServerAnswer{"TruncatedBody", "/_/truncate/1000/10", std::string(failed)},
        ServerAnswer{"DroppedConnection", "/_/drop", std::string(failed)},
        ServerAnswer{"RedirectToHttp", "/to-http", std::string(failed)},
        ServerAnswer{"FiveRedirects", "/hop/4", std::nullopt},
        ServerAnswer{"SixRedirects", "/hop/5", std::string(failed)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST_F(FetchFromServer, EmptyBodyIsAnEmptyResult) {
  const auto result = fetch("/_/empty", 65536);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ(0u, result->size());
}

TEST_F(FetchFromServer, RedirectToHttpsIsFollowed) {
  server().put("/target.txt", "cíl");
  server().route("/moved", Answer{.status = 301, .location = server().url("/target.txt")});
  const auto result = fetch("/moved", 100);
  ASSERT_TRUE(result.has_value()) << result.error();
  EXPECT_EQ("cíl", text_of(*result));
}

TEST_F(FetchFromServer, RedirectToHttpIsNeverRequested) {
  server().route(
      "/moved",
      Answer{.status = 302,
             .location = "http://localhost:" + std::to_string(server().port()) + "/plain"});
  EXPECT_FALSE(fetch("/moved", 100).has_value());
  for (const auto& request : server().requests()) {
    EXPECT_NE("/plain", request.target);
  }
}

TEST(FetchConnection, RefusedConnectionFails) {
  const RefusingPort refusing;
  const auto result = fetch_url(CoreConfig{}, refusing.url("/release.json"), 65536);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(failed, result.error());
}

TEST(FetchConnection, UnknownHostFails) {
  const auto result = fetch_url(CoreConfig{}, "https://kelvoma-test.invalid/release.json", 65536);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(failed, result.error());
}

TEST(FetchConnection, UntrustedCertificateFails) {
  TestServer server;
  ASSERT_TRUE(server.running()) << server.failure();
  server.put("/a.txt", "a");
  const std::string trusted = getenv("CURL_CA_BUNDLE");
  setenv("CURL_CA_BUNDLE", "/etc/ssl/certs/ca-certificates.crt", 1);
  const auto result = fetch_url(CoreConfig{}, server.url("/a.txt"), 100);
  setenv("CURL_CA_BUNDLE", trusted.c_str(), 1);
  ASSERT_FALSE(result.has_value());
  EXPECT_EQ(failed, result.error());
}

}  // namespace
}  // namespace kelvoma
