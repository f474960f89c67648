// A local HTTPS server for tests: tests/support/https_server.py, started and
// stopped by an RAII owner. curl (and everything started by the test
// process) trusts it through CURL_CA_BUNDLE.
//
// Serving files:
//
//   TestServer server;                       // a free port
//   ASSERT_TRUE(server.running()) << server.failure();
//   server.put("/dir/release.json", text);   // root() + path, directories made
//   fetch_url(config, server.url("/dir/release.json"), 65536);
//
// The fixture build's catalog and release-host addresses point at
// https://localhost:KELVOMA_FIXTURE_PORT (47321). TestServer(ServerPort::fixture)
// listens there; since every test process on this machine (other build
// directories too) wants that port, it first takes an exclusive lock on a
// lock file in the temporary directory and holds it for its lifetime, so such
// tests run one after another. Keep those servers short-lived (one per test
// or per suite).
//
//   TestServer server(ServerPort::fixture);
//   server.put("/tobranix/pane-keeper/releases/latest/download/release.json", manifest);
//   mini_check("pane-keeper", "14.0.0", 0);
//
// Special answers, for an exact path (the query is ignored), take effect at
// once (the server reads them for every request):
//
//   server.route("/api/repos/o/r/releases/latest", {.status = 500});
//   server.route("/a", {.status = 302, .location = "http://localhost/b"});
//   server.route("/big", {.generated = 2'000'000});         // byte i is i % 256
//   server.route("/cut", {.generated = 10, .content_length = 100});  // truncated
//   server.route("/gone", {.drop = true});                  // no answer at all
//   server.route("/slow", {.body = "x", .delay_ms = 500});
//   server.route("/same", {.file = "dir/release.json"});    // a file under root()
//
// and without any setup, generated answers under "/_/":
//   /_/status/CODE[?body=TEXT], /_/redirect/CODE?to=ADDRESS, /_/bytes/N,
//   /_/empty, /_/truncate/DECLARED/SENT, /_/drop (each also ?delay_ms=MS).
//
// requests() lists what the server was asked, in order, with the request
// headers (names in lower case), e.g. to check the user agent or that nothing
// was downloaded.
//
// The constructor sets CURL_CA_BUNDLE in this process's environment; create
// servers before starting threads. The certificate (EC, SAN localhost and
// 127.0.0.1) is made once per build directory with openssl. The destructor
// stops (SIGKILL) and reaps the server and removes its directories.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fetch/command.h"
#include "support/temp_dir.h"

namespace kelvoma::testing {

enum class ServerPort {
  any,      // a free port chosen by the system
  fixture,  // KELVOMA_FIXTURE_PORT, held under a machine-wide lock
};

// One special answer; unset fields take the defaults of a plain 200.
struct Answer {
  int status = 200;
  std::optional<std::string> body{};              // the body text
  std::optional<std::uint64_t> generated{};       // a body of this many bytes, byte i = i % 256
  std::optional<std::string> file{};              // a file relative to root()
  std::optional<std::string> location{};          // a Location header
  std::optional<std::uint64_t> content_length{};  // declared length; more than sent = truncated
  bool drop = false;                              // close the connection without answering
  int delay_ms = 0;                               // wait before answering
  std::uint64_t bytes_per_second = 0;             // a paced file or generated body; 0: no pace
  std::map<std::string, std::string> headers{};   // further response headers
};

struct Request {
  std::string method;
  std::string target;                          // path and query as sent
  std::map<std::string, std::string> headers;  // names in lower case
};

class TestServer {
 public:
  explicit TestServer(ServerPort port = ServerPort::any);
  TestServer(const TestServer&) = delete;
  TestServer& operator=(const TestServer&) = delete;
  ~TestServer();

  // Whether the server started; failure() says why not.
  bool running() const { return failure_.empty(); }
  const std::string& failure() const { return failure_; }

  std::uint16_t port() const { return port_; }
  // "https://localhost:<port>" followed by `path` (which starts with "/").
  std::string url(std::string_view path) const;
  // The served directory (empty at the start, removed at the end).
  const std::string& root() const { return root_; }
  // Writes `contents` to root() + `path`, creating directories; returns the
  // file's path.
  std::string put(std::string_view path, std::string_view contents) const;

  void route(const std::string& path, const Answer& answer);
  void clear_routes();

  std::vector<Request> requests() const;

  pid_t pid() const;

 private:
  void start(ServerPort port);
  void write_routes() const;

  TempDir state_;
  std::string root_;
  std::string failure_;
  std::uint16_t port_ = 0;
  UniqueFd port_lock_;
  std::optional<ChildProcess> process_;
  std::map<std::string, Answer> routes_;
};

// The certificate the servers present (made on first use); the value of
// CURL_CA_BUNDLE. Empty on failure, with `failure` set.
std::string server_certificate(std::string& failure);

// An https address on 127.0.0.1 where nothing listens: the port stays bound
// without listening for the owner's lifetime, so connections are refused.
class RefusingPort {
 public:
  RefusingPort();
  std::string url(std::string_view path) const;

 private:
  UniqueFd socket_;
  std::uint16_t port_ = 0;
};

}  // namespace kelvoma::testing
