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
#include <nlohmann/json.hpp>
#include <utility>

#include "bundle/bundle_facts.h"
#include "bundle/bundle_programs.h"
#include "bundle/bundle_walk.h"
#include "bundle/executable_facts.h"
#include "bundle/link_check.h"
#include "bundle/seal_cause.h"
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
#include "support/publish_support.h"
#include "support/refusal.h"
#include "support/worker_process.h"
#include "verify/crypto/base64.h"
#include "verify/release_notes.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

const std::string_view release_usage_text =
    "  kelvoma-publish release BALÍČEK --id ID --key TAJNÝ_KLÍČ --output SLOŽKA\n"
    "      [--archive-url ADRESA] [--previous release.json | --no-previous] [--replace]\n"
    "      [--catalog tools.json] [--team-key TÝM.pub --notary-key NOTÁŘ.pub]\n"
    "      [--notes POZNÁMKY.txt] [--drop-processor PROCESOR ...] [--json]\n"
    "      zkontroluje zapečetěný balíček, zabalí ho, podepíše, ověří jako instalace\n"
    "      a teprve pak zapíše release.json a archiv (s --notes i release-notes.json)\n"
    "      do SLOŽKY; procesor, kterému slouží zveřejněné vydání, vynechá jen\n"
    "      s --drop-processor; s --json vypíše výsledek jako jeden objekt JSON\n";

namespace {

constexpr std::array<OptionSpec, 13> release_options{{
    {"--replace", false, false, true},
    {"--json", false, false, true},
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

std::expected<Plan, Failure> plan_release(const Options& options, const KeyPair& key) {
  auto tool = catalog_entry(optional_value(options, "--catalog"), single(options, "--id"));
  if (!tool) {
    return fail(tool.error());
  }
  Plan plan;
  plan.tool = std::move(*tool);
  if (auto same = check_public_key(plan.tool, encode_base64(key.public_key)); !same) {
    return fail(same.error());
  }
  plan.archive_url = optional_value(options, "--archive-url");
  if (plan.archive_url) {
    if (auto prefix = check_archive_url(plan.tool, *plan.archive_url); !prefix) {
      return fail(prefix.error());
    }
  }
  // The default address ends in the tool's id and ".zip".
  auto name = archive_name_of(plan.archive_url.value_or(plan.tool.id + ".zip"));
  if (!name) {
    return fail(name.error());
  }
  plan.archive_name = std::move(*name);
  auto trust = trust_config(optional_value(options, "--team-key"),
                            optional_value(options, "--notary-key"), plan.tool.team_id);
  if (!trust) {
    return fail(trust.error());
  }
  plan.trust = std::move(*trust);
  if (const auto notes = optional_value(options, "--notes")) {
    auto text = read_notes_file(*notes);
    if (!text) {
      return std::unexpected(Failure{.message = text.error(), .cause = "notes", .path = *notes});
    }
    plan.notes = std::move(*text);
  }
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
    return std::unexpected(Failure{.message = dropped.error(), .cause = "drop-processor"});
  }
  plan.dropped = std::move(*dropped);
  return plan;
}

// The seal of the bundle `copy` (the bundle itself, or the copy the archive
// unpacked to, named `bundle`), checked as a Kelvoma on each of its
// programs' processors checks it (an arm64 release as an arm64 Kelvoma,
// wherever it is made); a refusal names the first cause check-bundle names.
std::expected<void, Failure> check_seal(const Plan& plan, const std::string& copy,
                                        const std::string& bundle, const BundleFacts& facts) {
  if (auto team = check_sealed_team(copy, plan.tool.team_id); !team) {
    return std::unexpected(Failure{.message = team.error(), .cause = "seal-team", .path = bundle});
  }
  const UniqueFd copy_fd(::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!copy_fd) {
    return fail(system_failure_text(copy, errno));
  }
  if (auto inside = check_links_stay_inside(copy_fd.get(), bundle); !inside) {
    return std::unexpected(Failure{.message = inside.error(), .cause = "link-out", .path = bundle});
  }
  if (auto sealed = verify_for_each_processor(plan.trust, copy, plan.tool, facts.architectures);
      !sealed) {
    // The copy's path in the cause reads as the bundle's.
    auto cause = seal_cause(plan.trust, plan.tool, copy);
    for (std::string* text : {cause ? &cause->path : nullptr, cause ? &cause->text : nullptr}) {
      for (std::size_t at;
           text != nullptr && copy != bundle && (at = text->find(copy)) != std::string::npos;) {
        text->replace(at, copy.size(), bundle);
      }
    }
    return std::unexpected(Failure{
        .message =
            refusal("Pečeť a lístek balíčku", sealed.error(),
                    "pečeť týmu " + plan.tool.team_id + " nad tímto obsahem a notářský lístek",
                    cause ? cause->text
                          : "Po poslední změně balíček znovu zapečeť (kelvoma-publish "
                            "seal) a připoj lístek (kelvoma-publish notarize)."),
        .cause = cause ? cause->cause : "seal",
        .path = cause ? cause->path : bundle});
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

// What the bundle says, read from `copy` (the bundle as given, before it is
// zipped, then the copy the archive unpacked to, so that the manifest
// describes exactly the bytes that are published).
std::expected<Release, Failure> release_of(const Plan& plan, const BundleFacts& facts,
                                           const std::string& copy, const std::string& bundle) {
  if (auto same = check_bundle_id(plan.tool, facts.identifier); !same) {
    return fail(same.error());
  }
  auto url = archive_url_of(plan, facts);
  if (!url) {
    return fail(url.error());
  }
  if (auto sealed = check_seal(plan, copy, bundle, facts); !sealed) {
    return std::unexpected(sealed.error());
  }
  if (auto newer = check_build_is_newer(
          facts.build, plan.published ? std::optional(plan.published->build) : std::nullopt);
      !newer) {
    return std::unexpected(
        Failure{.message = newer.error(), .cause = "build-not-newer", .path = bundle});
  }
  if (auto kept = check_processors_kept(plan.published, facts.architectures, plan.dropped); !kept) {
    return std::unexpected(
        Failure{.message = kept.error(), .cause = "processor-dropped", .path = bundle});
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

// Everything that needs no archive, on the bundle as given: no link where
// its identity is read, its facts, and all that release_of checks. A
// refusal here costs no zipping.
std::expected<BundleFacts, Failure> check_before_zipping(const Plan& plan,
                                                         const std::string& bundle) {
  if (auto identity = check_identity_not_linked(bundle); !identity) {
    return std::unexpected(
        Failure{.message = identity.error(), .cause = "identity-link", .path = bundle});
  }
  auto facts = read_bundle_facts(bundle, bundle);
  if (!facts) {
    return std::unexpected(facts.error());
  }
  if (auto release = release_of(plan, *facts, bundle, bundle); !release) {
    return std::unexpected(release.error());
  }
  return std::move(*facts);
}

WorkFolder::Earlier earlier_release(const Options& options) {
  return options.contains("--replace") ? WorkFolder::Earlier::replaced
                                       : WorkFolder::Earlier::refused;
}

// For the tests of an interrupted release: with KELVOMA_PUBLISH_PAUSE_BEFORE
// naming `phase`, the worker says so on its error output and stops itself
// (SIGSTOP) there, for a signal to find it in that phase.
void pause_before(std::string_view phase) {
  const char* wanted = std::getenv("KELVOMA_PUBLISH_PAUSE_BEFORE");
  if (wanted != nullptr && phase == wanted) {
    std::fprintf(stderr, "Zastaveno před fází %s.\n", wanted);
    std::fflush(stderr);
    (void)std::raise(SIGSTOP);
  }
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
    return std::unexpected(system_failure_text(bundle, errno));
  }
  pause_before("unpack");
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

// What a prepared release is: its manifest's fields and the names to move.
struct Prepared {
  Release release;
  std::vector<std::string> first;
};

nlohmann::ordered_json release_fields(const Release& release) {
  return {{"id", release.id},
          {"bundle_id", release.bundle_id},
          {"version", release.version},
          {"build", release.build},
          {"minimum_macos", release.minimum_macos},
          {"architectures", release.architectures},
          {"archive_url", release.archive_url},
          {"archive_size", release.archive_size},
          {"archive_signature", release.archive_signature}};
}

// In the worker: the archive, its check and signature, release.json and
// the notes, all inside the work folder.
std::expected<Prepared, Failure> prepare(const std::string& bundle, const KeyPair& key,
                                         const Plan& plan, const WorkFolder& work) {
  pause_before("zip");
  const auto archive = work.create_file(plan.archive_name);
  if (!archive) {
    return fail(archive.error());
  }
  const std::string copy = work.entry("unpacked/" + plan.tool.bundle_name);
  const auto size = zip_and_unpack(bundle, plan, archive->get(), work.entry("unpacked"));
  if (!size) {
    return fail(size.error());
  }
  pause_before("check");
  const auto facts = read_bundle_facts(copy, bundle);
  if (!facts) {
    return std::unexpected(facts.error());
  }
  // The archive is signed on one core while the seal is checked on another:
  // a signature over a bundle refused afterwards is simply thrown away.
  auto signing = std::async(std::launch::async, [&] {
    return sign_file(key, archive->get(), work.entry(plan.archive_name));
  });
  auto release = release_of(plan, *facts, copy, bundle);
  auto signature = signing.get();
  if (!release) {
    return std::unexpected(release.error());
  }
  std::fputs(minimum_system_warning(facts->minimum_system).c_str(), stderr);
  if (!signature) {
    return fail(signature.error());
  }
  pause_before("sign");
  release->archive_size = *size;
  release->archive_signature = std::move(*signature);
  const auto manifest = signed_manifest(key, *release);
  if (!manifest) {
    return fail(manifest.error());
  }
  const std::span<const std::uint8_t> manifest_bytes(
      reinterpret_cast<const std::uint8_t*>(manifest->data()), manifest->size());
  if (auto written = work.write("release.json", manifest_bytes); !written) {
    return fail(written.error());
  }
  auto first = write_notes(work, key, plan, *release);
  if (!first) {
    return fail(first.error());
  }
  pause_before("self-check");
  if (auto checked = check_as_installation(plan.trust, plan.tool, manifest_bytes, archive->get(),
                                           copy, *facts);
      !checked) {
    return std::unexpected(
        Failure{.message = checked.error(), .exit = Exit::internal, .cause = "self-check"});
  }
  return Prepared{std::move(*release), std::move(*first)};
}

// The worker's outcome as the text it hands to the waiting process.
std::string report(const std::expected<Prepared, Failure>& prepared) {
  if (!prepared) {
    const Failure& failure = prepared.error();
    return nlohmann::json{{"message", failure.message},
                          {"exit", static_cast<int>(failure.exit)},
                          {"cause", failure.cause},
                          {"path", failure.path}}
        .dump();
  }
  return nlohmann::json{{"release", release_fields(prepared->release)}, {"first", prepared->first}}
      .dump();
}

std::expected<Prepared, Failure> read_report(const std::string& text) {
  const auto json = nlohmann::json::parse(text, nullptr, false);
  if (json.is_discarded() || !json.is_object()) {
    return std::unexpected(Failure{.message = "Vnitřní chyba nástroje: pracovní proces vydání "
                                              "skončil bez výsledku.",
                                   .exit = Exit::internal,
                                   .cause = "internal"});
  }
  if (json.contains("message")) {
    return std::unexpected(Failure{.message = json.at("message"),
                                   .exit = static_cast<Exit>(json.at("exit").get<int>()),
                                   .cause = json.at("cause"),
                                   .path = json.at("path")});
  }
  const auto& fields = json.at("release");
  Release release;
  release.schema = 1;
  release.id = fields.at("id");
  release.bundle_id = fields.at("bundle_id");
  release.version = fields.at("version");
  release.build = fields.at("build");
  release.minimum_macos = fields.at("minimum_macos");
  release.architectures = fields.at("architectures");
  release.archive_url = fields.at("archive_url");
  release.archive_size = fields.at("archive_size");
  release.archive_signature = fields.at("archive_signature");
  return Prepared{std::move(release), json.at("first")};
}

// The files an earlier release left, as one line.
std::string joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) {
    text += (text.empty() ? "" : ", ") + name;
  }
  return text;
}

std::string published_text(const Plan& plan, const std::string& output, const Release& release,
                           const std::vector<std::string>& removed) {
  return "Zapsáno do " + output + ": " + plan.archive_name + " (" +
         std::to_string(release.archive_size) + " B) a release.json, " + plan.tool.id + " " +
         release.version + " (" + std::to_string(release.build) + "), " +
         listed_processors(release.architectures) + ", minimální systém " + release.minimum_macos +
         ".\n" +
         (removed.empty() ? std::string()
                          : "Odstraněno z dřívějšího vydání: " + joined(removed) + ".\n") +
         "Nahraj nejdřív archiv na " + release.archive_url + "\n" +
         (plan.notes
              ? "pak release-notes.json na " + release_notes_url(plan.tool.manifest_url) + "\n"
              : std::string()) +
         "a pak release.json na " + plan.tool.manifest_url + "\n";
}

std::string published_document(const Plan& plan, const std::string& output,
                               const Prepared& prepared, const std::vector<std::string>& removed,
                               const std::vector<std::string>& abandoned) {
  std::vector<std::string> files;
  for (const std::string& name : prepared.first) {
    files.push_back(output + "/" + name);
  }
  files.push_back(output + "/release.json");
  std::vector<std::string> gone;
  for (const std::string& name : removed) {
    gone.push_back(output + "/" + name);
  }
  const nlohmann::ordered_json document{
      {"result", "published"},
      {"exit", 0},
      {"manifest", release_fields(prepared.release)},
      {"manifest_url", plan.tool.manifest_url},
      {"notes_url", plan.notes ? nlohmann::ordered_json(release_notes_url(plan.tool.manifest_url))
                               : nlohmann::ordered_json()},
      {"files", files},
      {"removed", gone},
      {"abandoned_work_folders_removed", abandoned}};
  return document.dump() + "\n";
}

// The release the worker reported, moved from the work folder into the
// output; what is printed then.
std::expected<std::string, Failure> move_into_output(const Options& options, const Plan& plan,
                                                     WorkFolder& work, const std::string& worker) {
  const std::string output = without_trailing_separators(single(options, "--output"));
  const auto prepared = read_report(worker);
  if (!prepared) {
    return std::unexpected(prepared.error());
  }
  const auto moved = work.publish(prepared->first, earlier_release(options));
  if (!moved) {
    return std::unexpected(Failure{.message = moved.error(), .path = output});
  }
  return options.contains("--json")
             ? published_document(plan, output, *prepared, *moved, work.abandoned())
             : published_text(plan, output, prepared->release, *moved);
}

std::expected<std::string, Failure> publish(const Options& options, const KeyPair& key,
                                            const Plan& plan) {
  const std::string& bundle = single(options, "");
  const std::string output = without_trailing_separators(single(options, "--output"));
  if (auto folder = check_output_folder(output, plan.archive_name, earlier_release(options));
      !folder) {
    return std::unexpected(Failure{.message = folder.error(), .cause = "output", .path = output});
  }
  if (auto early = check_before_zipping(plan, bundle); !early) {
    return std::unexpected(early.error());
  }
  // From here on files exist: a stop signal ends the worker, and the work
  // folder goes before this process ends by that signal.
  int stopped_by = 0;
  std::expected<std::string, Failure> outcome;
  {
    const StopSignalsBlocked blocked;
    auto work = WorkFolder::create(output);
    if (!work) {
      return fail(work.error());
    }
    for (const std::string& folder : work->abandoned()) {
      std::fputs(("Odstraněna pracovní složka " + folder +
                  ", kterou zanechalo přerušené vydání (jeho proces už neběží).\n")
                     .c_str(),
                 stderr);
    }
    const auto ran = run_worker([&] { return report(prepare(bundle, key, plan, *work)); });
    if (!ran) {
      stopped_by = ran.error().signal;
      outcome = std::unexpected(Failure{.message = "Vnitřní chyba nástroje: pracovní proces "
                                                   "vydání skončil nečekaně.",
                                        .exit = Exit::internal,
                                        .cause = "internal"});
    } else {
      outcome = move_into_output(options, plan, *work, *ran);
    }
  }  // the work folder is gone here, then the signal mask is as it was
  if (stopped_by != 0) {
    std::fputs(("Vydání přerušeno signálem SIG" + std::string(sigabbrev_np(stopped_by)) +
                "; pracovní složka je odstraněna, do " + output + " se nic nezapsalo.\n")
                   .c_str(),
               stderr);
    end_by_signal(stopped_by);
  }
  return outcome;
}

Outcome release(std::span<const char* const> arguments) {
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
    return std::unexpected(Failure{.message = folder.error(), .cause = "output", .path = output});
  }
  KeyPair key;
  if (auto loaded = load_key(single(*options, "--key"), key); !loaded) {
    return std::unexpected(
        Failure{.message = loaded.error(), .cause = "key", .path = single(*options, "--key")});
  }
  const auto plan = plan_release(*options, key);
  if (!plan) {
    return std::unexpected(plan.error());
  }
  return publish(*options, key, *plan);
}

}  // namespace

Outcome release_command(std::span<const char* const> arguments) {
  return with_failure_document(release(arguments), arguments);
}

}  // namespace kelvoma::publish
