#include "commands/release_command.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <utility>

#include "bundle/bundle_facts.h"
#include "bundle/bundle_programs.h"
#include "bundle/bundle_walk.h"
#include "bundle/executable_facts.h"
#include "bundle/link_check.h"
#include "bundle/seal_difference.h"
#include "install/bundle/bundle.h"
#include "install/unpack/unpack.h"
#include "release/catalog_entry.h"
#include "release/dropped_processors.h"
#include "release/previous_release.h"
#include "release/release_notes_file.h"
#include "release/release_output.h"
#include "release/release_self_check.h"
#include "release/zip_writer.h"
#include "signing/release_signing.h"
#include "signing/trust_keys.h"
#include "support/refusal.h"
#include "verify/crypto/base64.h"
#include "verify/release_notes.h"
#include "verify/util/system_error.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

const std::string_view release_usage_text =
    "  kelvoma-publish release BALÍČEK --id ID --key TAJNÝ_KLÍČ --output SLOŽKA\n"
    "      [--archive-url ADRESA] [--previous release.json | --no-previous] [--replace]\n"
    "      [--catalog tools.json] [--team-key TÝM.pub --notary-key NOTÁŘ.pub]\n"
    "      [--notes POZNÁMKY.txt] [--drop-processor PROCESOR ...]\n"
    "      zkontroluje zapečetěný balíček, zabalí ho, podepíše, ověří jako instalace\n"
    "      a teprve pak zapíše release.json a archiv (s --notes i release-notes.json)\n"
    "      do SLOŽKY; procesor, kterému slouží zveřejněné vydání, vynechá jen\n"
    "      s --drop-processor\n";

namespace {

constexpr std::array<OptionSpec, 12> release_options{{
    {"--replace", false, false, true},
    {"--id"},
    {"--key"},
    {"--output"},
    {"--archive-url", false, false},
    {"--previous", false, false},
    {"--no-previous", false, false, true},
    {"--catalog", false, false},
    {"--team-key", false, false},
    {"--notary-key", false, false},
    {"--notes", false, false},
    {"--drop-processor", true, false},
}};

std::optional<std::string> optional_value(const Options& options, std::string_view name) {
  return options.contains(name) ? std::optional(single(options, name)) : std::nullopt;
}

// The version as one path segment of an address.
std::string url_segment(std::string_view text) {
  static constexpr char hex[] = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += {'%', hex[c >> 4], hex[c & 15]};
    }
  }
  return out;
}

// What is decided before the bundle is read: the catalog entry, the key's
// match with it, the keys the seal is checked with and the archive's name.
struct Plan {
  Tool tool;
  CoreConfig trust;
  std::optional<std::string> archive_url;     // --archive-url
  std::string archive_name;                   // the last segment of the address
  std::optional<PublishedRelease> published;  // what users are offered now
  std::optional<std::string> notes;           // the text of --notes
  std::vector<std::string> dropped;           // --drop-processor
};

std::expected<std::string, std::string> archive_name_of(const std::string& url) {
  const std::string name = url.substr(url.find_last_of('/') + 1);
  if (name.empty() || name == "." || name == ".." || name == "release.json") {
    return std::unexpected(
        refusal("--archive-url", url, "adresa končící názvem souboru",
                "Uveď adresu archivu včetně názvu, např. …/v1.4.0/nastroj.zip."));
  }
  return name;
}

std::expected<Plan, std::string> plan_release(const Options& options, const KeyPair& key) {
  auto tool = catalog_entry(optional_value(options, "--catalog"), single(options, "--id"));
  if (!tool) {
    return std::unexpected(tool.error());
  }
  Plan plan;
  plan.tool = std::move(*tool);
  if (auto same = check_public_key(plan.tool, encode_base64(key.public_key)); !same) {
    return std::unexpected(same.error());
  }
  plan.archive_url = optional_value(options, "--archive-url");
  if (plan.archive_url) {
    if (auto prefix = check_archive_url(plan.tool, *plan.archive_url); !prefix) {
      return std::unexpected(prefix.error());
    }
  }
  // The default address ends in the tool's id and ".zip".
  auto name = archive_name_of(plan.archive_url.value_or(plan.tool.id + ".zip"));
  if (!name) {
    return std::unexpected(name.error());
  }
  plan.archive_name = std::move(*name);
  auto trust = trust_config(optional_value(options, "--team-key"),
                            optional_value(options, "--notary-key"), plan.tool.team_id);
  if (!trust) {
    return std::unexpected(trust.error());
  }
  plan.trust = std::move(*trust);
  auto published = published_release(
      plan.trust, plan.tool,
      {.file = optional_value(options, "--previous"), .none = options.contains("--no-previous")});
  if (!published) {
    return std::unexpected(published.error());
  }
  plan.published = std::move(*published);
  const auto drop = options.find("--drop-processor");
  auto dropped =
      processors_to_drop(drop == options.end() ? std::vector<std::string>() : drop->second);
  if (!dropped) {
    return std::unexpected(dropped.error());
  }
  plan.dropped = std::move(*dropped);
  if (const auto notes = optional_value(options, "--notes")) {
    auto text = read_notes_file(*notes);
    if (!text) {
      return std::unexpected(text.error());
    }
    plan.notes = std::move(*text);
  }
  return plan;
}

// The seal of the bundle as the archive holds it (`copy`, named `bundle`),
// checked as a Kelvoma on each of its programs' processors checks it: an
// arm64 release as an arm64 Kelvoma, wherever it is made.
std::expected<void, std::string> check_seal(const Plan& plan, const std::string& copy,
                                            const std::string& bundle, const BundleFacts& facts) {
  if (auto team = check_sealed_team(copy, plan.tool.team_id); !team) {
    return team;
  }
  const UniqueFd copy_fd(::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (auto inside = check_links_stay_inside(copy_fd.get(), bundle); !inside) {
    return inside;
  }
  if (auto sealed = verify_for_each_processor(plan.trust, copy, plan.tool, facts.architectures);
      !sealed) {
    const auto difference = first_seal_difference(copy);
    return std::unexpected(
        refusal("Pečeť a lístek balíčku",
                sealed.error() + (difference ? " První rozdíl: " + *difference + "." : ""),
                "pečeť týmu " + plan.tool.team_id + " nad tímto obsahem a notářský lístek",
                "Po poslední změně balíček znovu zapečeť (kelvoma-publish seal) a připoj lístek "
                "(kelvoma-publish notarize); check-bundle ukáže první rozdíl."));
  }
  return {};
}

std::expected<std::string, std::string> archive_url_of(const Plan& plan, const BundleFacts& facts) {
  if (plan.archive_url) {
    return *plan.archive_url;
  }
  if (!is_dotted_version(facts.version)) {
    return std::unexpected(refusal(
        "CFBundleShortVersionString", facts.version, "číslice s tečkami: 1, 1.2 nebo 1.2.3",
        "Z takové verze nevznikne adresa archivu v…; oprav verzi (bundle --version) a balíček "
        "znovu zapečeť, nebo uveď --archive-url."));
  }
  std::string url =
      plan.tool.archive_prefix + "v" + url_segment(facts.version) + "/" + plan.tool.id + ".zip";
  if (auto prefix = check_archive_url(plan.tool, url); !prefix) {
    return std::unexpected(prefix.error());
  }
  return url;
}

// What the bundle says, read from the copy the archive unpacked to: the
// manifest describes exactly the bytes that are published.
std::expected<Release, std::string> release_of(const Plan& plan, const BundleFacts& facts,
                                               const std::string& copy, const std::string& bundle) {
  if (auto same = check_bundle_id(plan.tool, facts.identifier); !same) {
    return std::unexpected(same.error());
  }
  auto url = archive_url_of(plan, facts);
  if (!url) {
    return std::unexpected(url.error());
  }
  if (auto sealed = check_seal(plan, copy, bundle, facts); !sealed) {
    return std::unexpected(sealed.error());
  }
  if (auto newer = check_build_is_newer(
          facts.build, plan.published ? std::optional(plan.published->build) : std::nullopt);
      !newer) {
    return std::unexpected(newer.error());
  }
  if (auto kept = check_processors_kept(plan.published, facts.architectures, plan.dropped); !kept) {
    return std::unexpected(kept.error());
  }
  Release release;
  release.schema = 1;
  release.id = plan.tool.id;
  release.bundle_id = facts.identifier;
  release.version = facts.version;
  release.build = facts.build;
  release.minimum_macos = facts.minimum_system;
  release.architectures = facts.architectures;
  release.archive_url = std::move(*url);
  return release;
}

WorkFolder::Earlier earlier_release(const Options& options) {
  return options.contains("--replace") ? WorkFolder::Earlier::replaced
                                       : WorkFolder::Earlier::refused;
}

// The archive made from one walk of the bundle, unpacked as the
// installation unpacks it: the copy every later check reads.
std::expected<std::uint64_t, std::string> zip_and_unpack(const std::string& bundle,
                                                         const Plan& plan, int archive_fd,
                                                         const std::string& unpacked) {
  std::expected<std::uint64_t, std::string> size;
  {
    const auto tree = walk_bundle(bundle);
    if (!tree) {
      return std::unexpected(tree.error());
    }
    size = zip_bundle(*tree, bundle, plan.tool.bundle_name, archive_fd);
  }
  if (!size) {
    return size;
  }
  if (::fsync(archive_fd) != 0) {
    return std::unexpected(bundle + ": " + system_error_text(errno));
  }
  if (auto done = unpack_archive(archive_fd, unpacked); !done) {
    return std::unexpected("Archiv balíčku nejde rozbalit jako při instalaci: " + done.error());
  }
  return size;
}

// Writes release-notes.json into the work folder when --notes was given,
// signed for the release; the names to move into the output before
// release.json: the archive, then the notes.
std::expected<std::vector<std::string>, std::string> write_notes(const WorkFolder& work,
                                                                 const KeyPair& key,
                                                                 const Plan& plan,
                                                                 const Release& release) {
  std::vector<std::string> first{plan.archive_name};
  if (!plan.notes) {
    return first;
  }
  const auto notes = signed_release_notes(key, plan.tool, release, *plan.notes);
  if (!notes) {
    return std::unexpected(notes.error());
  }
  first.emplace_back(notes_file_name);
  if (auto written = work.write(
          first.back(), {reinterpret_cast<const std::uint8_t*>(notes->data()), notes->size()});
      !written) {
    return std::unexpected(written.error());
  }
  return first;
}

std::expected<std::string, std::string> publish(const Options& options, const KeyPair& key,
                                                const Plan& plan) {
  const std::string& bundle = single(options, "");
  const std::string output = without_trailing_separators(single(options, "--output"));
  if (auto folder = check_output_folder(output, plan.archive_name, earlier_release(options));
      !folder) {
    return std::unexpected(folder.error());
  }
  auto work = WorkFolder::create(output);
  if (!work) {
    return std::unexpected(work.error());
  }
  const auto archive = work->create_file(plan.archive_name);
  if (!archive) {
    return std::unexpected(archive.error());
  }
  const std::string copy = work->entry("unpacked/" + plan.tool.bundle_name);
  const auto size = zip_and_unpack(bundle, plan, archive->get(), work->entry("unpacked"));
  if (!size) {
    return std::unexpected(size.error());
  }
  const auto facts = read_bundle_facts(copy, bundle);
  if (!facts) {
    return std::unexpected(facts.error());
  }
  // The archive is signed on one core while the seal is checked on another:
  // a signature over a bundle refused afterwards is simply thrown away.
  auto signing = std::async(std::launch::async, [&] {
    return sign_file(key, archive->get(), work->entry(plan.archive_name));
  });
  auto release = release_of(plan, *facts, copy, bundle);
  auto signature = signing.get();
  if (!release) {
    return std::unexpected(release.error());
  }
  std::fputs(minimum_system_warning(facts->minimum_system).c_str(), stderr);
  if (!signature) {
    return std::unexpected(signature.error());
  }
  release->archive_size = *size;
  release->archive_signature = std::move(*signature);
  const auto manifest = signed_manifest(key, *release);
  if (!manifest) {
    return std::unexpected(manifest.error());
  }
  const std::span<const std::uint8_t> manifest_bytes(
      reinterpret_cast<const std::uint8_t*>(manifest->data()), manifest->size());
  if (auto written = work->write("release.json", manifest_bytes); !written) {
    return std::unexpected(written.error());
  }
  const auto first = write_notes(*work, key, plan, *release);
  if (!first) {
    return std::unexpected(first.error());
  }
  if (auto checked = check_as_installation(plan.trust, plan.tool, manifest_bytes, archive->get(),
                                           copy, *facts);
      !checked) {
    return std::unexpected(checked.error());
  }
  if (auto moved = work->publish(*first, earlier_release(options)); !moved) {
    return std::unexpected(moved.error());
  }
  return "Zapsáno do " + output + ": " + plan.archive_name + " (" + std::to_string(*size) +
         " B) a release.json, " + plan.tool.id + " " + release->version + " (" +
         std::to_string(release->build) + "), " + listed_processors(release->architectures) +
         ", minimální systém " + release->minimum_macos + ".\nNahraj nejdřív archiv na " +
         release->archive_url + "\n" +
         (plan.notes
              ? "pak release-notes.json na " + release_notes_url(plan.tool.manifest_url) + "\n"
              : std::string()) +
         "a pak release.json na " + plan.tool.manifest_url + "\n";
}

}  // namespace

Outcome release_command(std::span<const char* const> arguments) {
  const auto options = parse_options(release_options, arguments, 1);
  if (!options) {
    return std::unexpected(options.error());
  }
  if (options->contains("--previous") && options->contains("--no-previous")) {
    return usage_error("Uveď nejvýš jednu z voleb --previous a --no-previous.");
  }
  const std::string output = without_trailing_separators(single(*options, "--output"));
  if (auto folder = check_output_folder(output, "release.json", earlier_release(*options));
      !folder) {
    return fail(folder.error());
  }
  KeyPair key;
  if (auto loaded = load_key(single(*options, "--key"), key); !loaded) {
    return fail(loaded.error());
  }
  const auto plan = plan_release(*options, key);
  if (!plan) {
    return fail(plan.error());
  }
  auto published = publish(*options, key, *plan);
  if (!published) {
    return fail(published.error());
  }
  return std::move(*published);
}

}  // namespace kelvoma::publish
