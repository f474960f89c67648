#include "release/previous_release.h"

#include <sys/wait.h>

#include <algorithm>
#include <array>

#include "fetch/command.h"
#include "fetch/fetch.h"
#include "install/files/file_io.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/crypto/base64.h"
#include "verify/manifest.h"

namespace kelvoma::publish {
namespace {

// Why the transfer tool failed, by its exit code: what the publisher can
// act on (the connection, the server, the certificate).
struct TransferCause {
  int code;
  std::string_view cause;
  std::string_view text;
};

constexpr std::array<TransferCause, 13> transfer_causes{{
    {6, "no-connection", "název serveru nejde přeložit na adresu (DNS); zkontroluj připojení"},
    {7, "no-connection", "spojení se serverem nejde navázat (odmítnuto nebo nedostupné)"},
    {28, "no-connection", "server neodpověděl včas"},
    {52, "no-connection", "server spojení ukončil bez odpovědi"},
    {56, "no-connection", "spojení se serverem se přerušilo"},
    {35, "certificate", "zabezpečené spojení (TLS) se serverem nejde navázat"},
    {51, "certificate", "certifikát serveru nepatří k jeho názvu"},
    {60, "certificate", "certifikát serveru nejde ověřit (není od důvěryhodné autority)"},
    {77, "certificate", "důvěryhodné certifikáty (CURL_CA_BUNDLE) nejde přečíst"},
    {83, "certificate", "vydavatele certifikátu serveru nejde ověřit"},
    {91, "certificate", "certifikát serveru je odvolaný nebo jeho stav nejde ověřit"},
    {47, "http-status", "server přesměrovává příliš mnohokrát"},
    {1, "http-status", "server přesměrovává mimo HTTPS"},
}};

// The status of an HTTP answer in the transfer tool's message "… returned
// error: 500", or nothing.
std::optional<std::string> http_status(std::string_view message) {
  const auto at = message.find("returned error: ");
  if (at == std::string_view::npos) {
    return std::nullopt;
  }
  std::string status;
  for (const char c : message.substr(at + 16)) {
    if (c < '0' || c > '9') {
      break;
    }
    status += c;
  }
  return status.empty() ? std::nullopt : std::optional(status);
}

Failure transfer_failure(const std::string& url, int code, std::string_view message) {
  std::string cause = "no-connection";
  std::string text = "přenos skončil chybou " + std::to_string(code);
  if (const auto status = http_status(message)) {
    cause = "http-status";
    text = "server odpověděl stavem HTTP " + *status;
  } else if (const auto known = std::ranges::find(transfer_causes, code, &TransferCause::code);
             known != transfer_causes.end()) {
    cause = known->cause;
    text = known->text;
  }
  return Failure{.message = "Zveřejněné vydání z " + url + " nelze stáhnout: " + text +
                            ". Oprav to, nebo ho uveď jako --previous release.json, nebo (jen "
                            "když žádné není) --no-previous.",
                 .exit = Exit::network,
                 .cause = std::move(cause),
                 .path = url};
}

// The published manifest as the application fetches it (the same transfer
// tool and options); nothing when the server answers 404.
std::expected<std::optional<std::vector<std::uint8_t>>, Failure> fetch_published(
    const CoreConfig& config, const std::string& url) {
  auto child = ChildProcess::start(Command{config.curl, transfer_arguments(url, max_manifest_size)},
                                   StreamSetup{});
  if (!child) {
    return std::unexpected(Failure{.message = config.curl + " nejde spustit (" +
                                              in_czech(child.error()) +
                                              "); release stahuje zveřejněné vydání programem "
                                              "curl, nainstaluj ho.",
                                   .exit = Exit::internal,
                                   .path = config.curl});
  }
  auto body = read_to_end(child->output().get(), max_manifest_size + 1);
  child->output().reset();
  std::string message;
  (void)read_to_end(child->error().get(), message);
  const auto status = child->wait();
  if (!status || !WIFEXITED(*status)) {
    return std::unexpected(transfer_failure(url, -1, message));
  }
  if (WEXITSTATUS(*status) != 0) {
    if (http_status(message) == "404") {
      return std::nullopt;
    }
    return std::unexpected(transfer_failure(url, WEXITSTATUS(*status), message));
  }
  if (!body) {
    return std::unexpected(Failure{
        .message = system_failure_text(url, body.error()), .exit = Exit::network, .path = url});
  }
  return std::move(*body);
}

// The tool a release.json names, read without its signature: a signature
// that fails because the file is another tool's is not a bad signature.
std::optional<std::string> unverified_id(std::span<const std::uint8_t> manifest) {
  const auto release = unverified_release(manifest);
  return release ? std::optional(release->id) : std::nullopt;
}

std::expected<std::optional<PublishedRelease>, Failure> release_of(
    const Tool& tool, std::span<const std::uint8_t> manifest, const std::string& where) {
  if (const auto id = unverified_id(manifest); id && *id != tool.id) {
    return fail(refusal("Zveřejněné vydání (" + where + ")", "vydání nástroje " + *id,
                        "vydání nástroje " + tool.id,
                        "Uveď --previous s release.json nástroje " + tool.id + "."));
  }
  const auto release = verify_release_manifest(tool, manifest);
  if (!release) {
    return std::unexpected(Failure{.message = "Zveřejněné vydání (" + where +
                                              ") neprošlo kontrolou: " + release.error() +
                                              " Oprav je, nebo uveď --previous se správným "
                                              "release.json.",
                                   .cause = "previous-invalid",
                                   .path = where});
  }
  return PublishedRelease{
      .build = release->build, .architectures = release->architectures, .where = where};
}

}  // namespace

std::optional<Release> unverified_release(std::span<const std::uint8_t> manifest) {
  const auto envelope =
      parse_envelope({reinterpret_cast<const char*>(manifest.data()), manifest.size()});
  const auto payload = envelope ? decode_base64(envelope->payload) : std::nullopt;
  auto release =
      payload ? parse_release({reinterpret_cast<const char*>(payload->data()), payload->size()})
              : std::unexpected(std::string());
  return release ? std::optional(std::move(*release)) : std::nullopt;
}

std::expected<std::optional<PublishedRelease>, Failure> published_release(
    const CoreConfig& config, const Tool& tool, const PreviousSource& source) {
  if (source.none) {
    return std::nullopt;
  }
  if (source.file) {
    const auto bytes = read_whole_file(*source.file, max_manifest_size);
    if (!bytes) {
      return fail(bytes.error());
    }
    return release_of(tool, *bytes, *source.file);
  }
  const auto fetched = fetch_published(config, tool.manifest_url);
  if (!fetched) {
    return std::unexpected(fetched.error());
  }
  if (!*fetched) {
    return std::nullopt;  // none published yet
  }
  return release_of(tool, **fetched, tool.manifest_url);
}

std::expected<void, std::string> check_build_is_newer(std::uint64_t build,
                                                      std::optional<std::uint64_t> published) {
  if (!published || build > *published) {
    return {};
  }
  return std::unexpected(refusal(
      "CFBundleVersion", std::to_string(build), "víc než " + std::to_string(*published),
      "Zveřejněné vydání má sestavení " + std::to_string(*published) +
          " a uživatelům se nabízí jen vyšší; zvyš CFBundleVersion (bundle --build) a balíček "
          "znovu zapečeť."));
}

}  // namespace kelvoma::publish
