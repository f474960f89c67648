// Everything the core reaches outside of itself, fixed when the program is
// built. Operations receive it as a parameter so that tests can point them at
// local stand-ins (a local HTTPS server, stub signing programs).
#pragma once

#include <string>
#include <vector>

#include "verify/architecture.h"

namespace kelvoma {

// How a bundle's code signature and notarization are established.
enum class CodeTrust {
  macos,  // the platform's signing tools, run as programs (codesign, spctl)
  seal,   // in-process: the publisher's seal and the notary's ticket (code_seal.h)
};

// A developer team's signify public key: the base64 line of its key file.
struct TeamKey {
  std::string team;
  std::string public_key;
};

struct CoreConfig {
  std::string curl = "/usr/bin/curl";                       // the transfer tool
  std::string codesign = "/usr/bin/codesign";               // code-signature requirement check
  std::string spctl = "/usr/sbin/spctl";                    // notarization assessment
  std::string release_api_base = "https://api.github.com";  // latest-release queries
  std::string release_web_base = "https://github.com";      // asset download addresses
  // Without keys every bundle is refused: a build that knows no team and no
  // notary has nobody to trust.
  CodeTrust code_trust = CodeTrust::seal;
  std::vector<TeamKey> team_keys;
  std::string notary_key;  // signify public key, base64 line; empty: none
  // The processor whose releases and programs are accepted: this build's,
  // or the one a publisher checks a release for.
  Architecture machine = this_architecture;
};

// The configuration this executable was built with (production or fixture
// build; chosen at link time).
const CoreConfig& build_config();

}  // namespace kelvoma
