// Everything the core reaches outside of itself, fixed when the program is
// built. Operations receive it as a parameter so that tests can point them at
// local stand-ins (a local HTTPS server, stub signing programs).
#pragma once

#include <string>

namespace kelvoma {

struct CoreConfig {
  std::string curl = "/usr/bin/curl";                       // the transfer tool
  std::string codesign = "/usr/bin/codesign";               // code-signature requirement check
  std::string spctl = "/usr/sbin/spctl";                    // notarization assessment
  std::string release_api_base = "https://api.github.com";  // latest-release queries
  std::string release_web_base = "https://github.com";      // asset download addresses
};

// The configuration this executable was built with (production or fixture
// build; chosen at link time).
const CoreConfig& build_config();

}  // namespace kelvoma
