#include "support/test_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

namespace kelvoma::testing {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* python = "/usr/bin/python3";
constexpr const char* openssl = "/usr/bin/openssl";
constexpr auto ready_timeout = 30s;
constexpr auto port_lock_timeout = 240s;

std::string script_path() {
  return std::string(KELVOMA_SOURCE_DIR) + "/tests/support/https_server.py";
}

fs::path certificate_directory() { return fs::path(KELVOMA_TEST_BINARY_DIR) / "https-server"; }

// Opens (creating) `path` and takes an exclusive lock on it, waiting at most
// `timeout`. Empty on failure, with `failure` set.
UniqueFd lock_file(const fs::path& path, std::chrono::seconds timeout, std::string& failure) {
  UniqueFd fd(::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666));
  if (!fd) {
    failure = "cannot open " + path.string() + ": " + std::strerror(errno);
    return {};
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (flock(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) {
      failure = "cannot lock " + path.string() + ": " + std::strerror(errno);
      return {};
    }
    if (std::chrono::steady_clock::now() > deadline) {
      failure = "gave up waiting for the lock " + path.string();
      return {};
    }
    std::this_thread::sleep_for(20ms);
  }
  return fd;
}

// Reads the server's "READY <port>" line, waiting at most ready_timeout.
std::string read_ready_line(int fd) {
  std::string line;
  const auto deadline = std::chrono::steady_clock::now() + ready_timeout;
  while (line.find('\n') == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) {
      break;
    }
    pollfd entry{fd, POLLIN, 0};
    const int ready = poll(&entry, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      break;
    }
    char chunk[256];
    const ssize_t count = read(fd, chunk, sizeof chunk);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      break;
    }
    line.append(chunk, static_cast<std::size_t>(count));
  }
  return line;
}

nlohmann::json answer_json(const Answer& answer) {
  nlohmann::json spec = {
      {"status", answer.status}, {"drop", answer.drop}, {"delay_ms", answer.delay_ms}};
  if (answer.body) spec["body"] = *answer.body;
  if (answer.generated) spec["bytes"] = *answer.generated;
  if (answer.file) spec["file"] = *answer.file;
  if (answer.location) spec["location"] = *answer.location;
  if (answer.content_length) spec["content_length"] = *answer.content_length;
  if (!answer.headers.empty()) spec["headers"] = answer.headers;
  if (answer.bytes_per_second != 0) spec["bytes_per_second"] = answer.bytes_per_second;
  return spec;
}

}  // namespace

std::string server_certificate(std::string& failure) {
  const fs::path directory = certificate_directory();
  std::error_code error;
  fs::create_directories(directory, error);
  if (error) {
    failure = "cannot create " + directory.string() + ": " + error.message();
    return {};
  }
  // Parallel test processes of one build share the certificate; the first
  // makes it, the others wait for it.
  const UniqueFd lock = lock_file(directory / ".lock", port_lock_timeout, failure);
  if (!lock) {
    return {};
  }
  const fs::path certificate = directory / "cert.pem";
  const fs::path key = directory / "key.pem";
  if (fs::exists(certificate) && fs::exists(key)) {
    return certificate.string();
  }
  const fs::path new_certificate = directory / "cert.pem.new";
  const fs::path new_key = directory / "key.pem.new";
  const Command make{openssl,
                     {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                      "-nodes", "-days", "3650", "-subj", "/CN=localhost", "-addext",
                      "subjectAltName=DNS:localhost,IP:127.0.0.1", "-keyout", new_key.string(),
                      "-out", new_certificate.string()}};
  if (auto made = run_command(make, "openssl could not make the certificate"); !made) {
    failure = made.error();
    return {};
  }
  // The key first: a certificate on disk means both are there.
  fs::rename(new_key, key, error);
  if (!error) {
    fs::rename(new_certificate, certificate, error);
  }
  if (error) {
    failure = "cannot store the certificate: " + error.message();
    return {};
  }
  return certificate.string();
}

TestServer::TestServer(ServerPort port) : root_(state_.file("root")) { start(port); }

TestServer::~TestServer() {
  process_.reset();  // killed and reaped before the port lock goes
  port_lock_.reset();
}

void TestServer::start(ServerPort port) {
  const std::string certificate = server_certificate(failure_);
  if (certificate.empty()) {
    return;
  }
  const char* trusted = getenv("CURL_CA_BUNDLE");
  if (trusted == nullptr || certificate != trusted) {
    setenv("CURL_CA_BUNDLE", certificate.c_str(), 1);
  }
  std::error_code error;
  fs::create_directories(root_, error);

  int wanted_port = 0;
  if (port == ServerPort::fixture) {
    wanted_port = KELVOMA_FIXTURE_PORT;
    port_lock_ = lock_file(
        fs::temp_directory_path() / ("kelvoma-https-" + std::to_string(wanted_port) + ".lock"),
        port_lock_timeout, failure_);
    if (!port_lock_) {
      return;
    }
  }

  const std::string key = (fs::path(certificate).parent_path() / "key.pem").string();
  auto child = ChildProcess::start(
      Command{python,
              {script_path(), "--root", root_, "--state", state_.path(), "--cert", certificate,
               "--key", key, "--port", std::to_string(wanted_port)}},
      StreamSetup{.input = Stream::null_device, .output = Stream::pipe, .error = Stream::inherit});
  if (!child) {
    failure_ = "cannot start the test server: " + child.error();
    return;
  }
  const std::string line = read_ready_line(child->output().get());
  child->output().reset();
  unsigned parsed = 0;
  if (std::sscanf(line.c_str(), "READY %u", &parsed) != 1 || parsed == 0 || parsed > 65535) {
    failure_ = "the test server did not start (it said \"" + line + "\")";
    return;  // the child is killed and reaped here
  }
  port_ = static_cast<std::uint16_t>(parsed);
  process_.emplace(std::move(*child));
}

std::string TestServer::url(std::string_view path) const {
  return "https://localhost:" + std::to_string(port_) + std::string(path);
}

std::string TestServer::put(std::string_view path, std::string_view contents) const {
  const fs::path file = fs::path(root_) / fs::path(path).relative_path();
  std::error_code error;
  fs::create_directories(file.parent_path(), error);
  std::ofstream(file, std::ios::binary | std::ios::trunc)
      .write(contents.data(), static_cast<std::streamsize>(contents.size()));
  return file.string();
}

void TestServer::route(const std::string& path, const Answer& answer) {
  routes_[path] = answer;
  write_routes();
}

void TestServer::clear_routes() {
  routes_.clear();
  write_routes();
}

void TestServer::write_routes() const {
  nlohmann::json document = nlohmann::json::object();
  for (const auto& [path, answer] : routes_) {
    document[path] = answer_json(answer);
  }
  // Replaced in one rename: the server reads the file for every request.
  const std::string temporary = state_.file("routes.json.new");
  std::ofstream(temporary, std::ios::trunc) << document.dump();
  fs::rename(temporary, state_.file("routes.json"));
}

std::vector<Request> TestServer::requests() const {
  std::vector<Request> requests;
  std::istringstream lines(read_file(state_.file("requests.jsonl")));
  for (std::string line; std::getline(lines, line);) {
    const auto entry = nlohmann::json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (entry.is_discarded()) {
      continue;
    }
    Request request;
    request.method = entry.value("method", "");
    request.target = entry.value("target", "");
    if (entry.contains("headers")) {
      request.headers = entry["headers"].get<std::map<std::string, std::string>>();
    }
    requests.push_back(std::move(request));
  }
  return requests;
}

pid_t TestServer::pid() const { return process_ ? process_->pid() : -1; }

RefusingPort::RefusingPort() {
  socket_ = UniqueFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (socket_ && bind(socket_.get(), reinterpret_cast<sockaddr*>(&address), length) == 0 &&
      getsockname(socket_.get(), reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port_ = ntohs(address.sin_port);
  }
}

// The address the port is held on: "localhost" may also mean ::1, where the
// same port number is nobody's.
std::string RefusingPort::url(std::string_view path) const {
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

}  // namespace kelvoma::testing
