#include "bundle/seal_difference.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <map>
#include <vector>

#include "install/bundle/info_plist.h"
#include "install/bundle/seal_list.h"
#include "install/files/file_tree.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/crypto/signify.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {
namespace {

// One line of the list, split at its tabs.
struct Line {
  std::vector<std::string_view> fields;
  std::string_view kind() const { return fields.front(); }
  // The entry's path: after "x"/"-" and the digest for files, first otherwise.
  std::string_view path() const {
    if (kind() == "file") {
      return fields.size() > 3 ? fields[3] : std::string_view();
    }
    return fields.size() > 1 ? fields[1] : std::string_view();
  }
};

Line split(std::string_view text) {
  Line line;
  while (true) {
    const auto tab = text.find('\t');
    line.fields.push_back(text.substr(0, tab));
    if (tab == std::string_view::npos) {
      return line;
    }
    text.remove_prefix(tab + 1);
  }
}

// Header lines under their own names ("identifier", "team") first, then the
// entries by path.
std::map<std::string, Line, std::less<>> lines_by_key(std::string_view list) {
  std::map<std::string, Line, std::less<>> lines;
  while (!list.empty()) {
    const auto end = list.find('\n');
    const Line line = split(list.substr(0, end));
    const bool entry = line.kind() == "directory" || line.kind() == "file" || line.kind() == "link";
    lines.emplace((entry ? "\2" : "\1") + std::string(entry ? line.path() : line.kind()), line);
    list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
  }
  return lines;
}

std::string kind_name(std::string_view kind) {
  return kind == "directory" ? "složka" : kind == "file" ? "soubor" : "odkaz";
}

std::string how(const Line& sealed, const Line& now) {
  if (sealed.kind() != now.kind()) {
    return kind_name(sealed.kind()) + " → " + kind_name(now.kind());
  }
  if (sealed.kind() == "file" && sealed.fields[2] != now.fields[2]) {
    return "změněný obsah";
  }
  if (sealed.kind() == "file") {
    return "změněný bit spuštění";
  }
  if (sealed.kind() == "link") {
    return "změněný cíl odkazu";
  }
  return "v pečeti „" + std::string(sealed.fields.back()) + "“, nyní „" +
         std::string(now.fields.back()) + "“";
}

std::string named(const std::string& key, std::string_view what) {
  return key.substr(1) + " (" + std::string(what) + ")";
}

}  // namespace

std::optional<std::string> first_seal_difference(std::string_view sealed, std::string_view now) {
  const auto before = lines_by_key(sealed);
  const auto after = lines_by_key(now);
  auto b = before.begin();
  auto a = after.begin();
  while (b != before.end() || a != after.end()) {
    if (a == after.end() || (b != before.end() && b->first < a->first)) {
      return named(b->first, "chybí");
    }
    if (b == before.end() || a->first < b->first) {
      return named(a->first, "přidáno");
    }
    if (b->second.fields != a->second.fields) {
      return named(b->first, how(b->second, a->second));
    }
    ++b;
    ++a;
  }
  return std::nullopt;
}

namespace {

// Anything in the seal's folder but the seal and the ticket, each a file.
std::optional<std::string> seal_folder_difference(const std::string& bundle) {
  const std::string folder = bundle + "/" + std::string(seal_folder);
  const UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    return std::nullopt;
  }
  for (const std::string& name : folder_names(fd.get())) {
    struct stat info {};
    const std::string path = std::string(seal_folder) + "/" + name;
    if (name != "CodeSeal" && name != "Notarization") {
      return path + " (přidáno)";
    }
    if (::fstatat(fd.get(), name.c_str(), &info, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(info.st_mode)) {
      return path + " (není obyčejný soubor)";
    }
  }
  return std::nullopt;
}

}  // namespace

namespace {

// The identifier and team lines of the list signed in the bundle's seal.
struct SealedHeader {
  std::string message;
  std::string team;
};

std::optional<SealedHeader> sealed_header(const std::string& bundle) {
  const auto seal =
      read_whole_file(bundle + "/" + std::string(seal_folder) + "/CodeSeal", max_seal_file_size);
  if (!seal) {
    return std::nullopt;
  }
  const auto embedded =
      signify::split_embedded({reinterpret_cast<const char*>(seal->data()), seal->size()});
  if (!embedded) {
    return std::nullopt;
  }
  const auto lines = lines_by_key(embedded->message);
  const auto identifier = lines.find("\1identifier");
  const auto team = lines.find("\1team");
  if (identifier == lines.end() || team == lines.end() || identifier->second.fields.size() < 2 ||
      team->second.fields.size() < 2) {
    return std::nullopt;
  }
  return SealedHeader{std::string(embedded->message), std::string(team->second.fields[1])};
}

}  // namespace

std::expected<void, std::string> check_sealed_team(const std::string& bundle,
                                                   const std::string& team) {
  const auto header = sealed_header(bundle);
  if (!header || header->team == team) {
    return {};
  }
  return std::unexpected(refusal("Tým pečeti", header->team, team,
                                 "Instalace přijme jen pečeť týmu " + team +
                                     " z katalogu; zapečeť balíček jeho klíčem (kelvoma-publish "
                                     "seal --team " +
                                     team + " --key " + team +
                                     ".sec) a připoj lístek (kelvoma-publish notarize)."));
}

std::optional<std::string> first_seal_difference(const std::string& bundle) {
  if (auto extra = seal_folder_difference(bundle)) {
    return extra;
  }
  const auto header = sealed_header(bundle);
  if (!header) {
    return std::nullopt;
  }
  const auto now =
      seal_list(bundle, read_info_string(bundle, "CFBundleIdentifier").value_or(""), header->team);
  if (!now) {
    return std::nullopt;
  }
  return first_seal_difference(header->message, *now);
}

}  // namespace kelvoma::publish
