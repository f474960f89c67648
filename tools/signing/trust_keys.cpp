#include "signing/trust_keys.h"

#include <algorithm>

#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/crypto/signify.h"

namespace kelvoma::publish {

std::expected<std::string, std::string> load_public_key_line(const std::string& path) {
  const auto bytes = read_whole_file(path, max_key_file_size);
  if (!bytes) {
    return std::unexpected(bytes.error());
  }
  const auto line =
      signify::key_line({reinterpret_cast<const char*>(bytes->data()), bytes->size()});
  if (!line || !signify::decode_public_key(*line)) {
    return std::unexpected(path + ": není veřejný klíč signify.");
  }
  return std::string(*line);
}

std::expected<CoreConfig, std::string> trust_config(const std::optional<std::string>& team_key,
                                                    const std::optional<std::string>& notary_key,
                                                    const std::string& team) {
  if (!team_key && !notary_key) {
    const CoreConfig& built = build_config();
    const bool knows_team = std::any_of(built.team_keys.begin(), built.team_keys.end(),
                                        [&](const TeamKey& key) { return key.team == team; });
    if (built.code_trust == CodeTrust::seal && (!knows_team || built.notary_key.empty())) {
      return std::unexpected(refusal("Klíče tohoto sestavení",
                                     knows_team ? "bez klíče notáře" : "bez klíče týmu " + team,
                                     "klíč týmu " + team + " a klíč notáře",
                                     "Uveď --team-key TÝM.pub a --notary-key NOTÁŘ.pub."));
    }
    return built;
  }
  if (!team_key || !notary_key) {
    return std::unexpected(std::string("Uveď obě volby --team-key a --notary-key, nebo žádnou."));
  }
  const auto team_line = load_public_key_line(*team_key);
  if (!team_line) {
    return std::unexpected(team_line.error());
  }
  const auto notary_line = load_public_key_line(*notary_key);
  if (!notary_line) {
    return std::unexpected(notary_line.error());
  }
  CoreConfig config = build_config();
  config.code_trust = CodeTrust::seal;
  config.team_keys = {{.team = team, .public_key = *team_line}};
  config.notary_key = *notary_line;
  return config;
}

}  // namespace kelvoma::publish
