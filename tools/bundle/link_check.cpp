#include "bundle/link_check.h"

#include <fcntl.h>

#include <cerrno>

#include "install/bundle/bundle_links.h"
#include "support/publish_support.h"
#include "support/refusal.h"
#include "verify/util/unique_fd.h"

namespace kelvoma::publish {

std::expected<void, std::string> check_links_stay_inside(int bundle_fd,
                                                         const std::string& shown_as) {
  const auto outside = find_outside_link(bundle_fd);
  if (!outside) {
    return std::unexpected(shown_as + "/" + outside.error());
  }
  if (!*outside) {
    return {};
  }
  const OutsideLink& link = **outside;
  return std::unexpected(refusal(
      "Odkaz " + shown_as + "/" + link.path, link.target,
      link.absolute ? "relativní cíl uvnitř balíčku" : "cíl uvnitř balíčku (i přes další odkazy)",
      "Instalace balíček s odkazem ven odmítne; zkopíruj soubor do balíčku nebo odkaz oprav "
      "a balíček znovu zapečeť."));
}

std::expected<void, std::string> check_links_stay_inside(const std::string& bundle,
                                                         const std::string& shown_as) {
  const std::string& name = shown_as.empty() ? bundle : shown_as;
  const UniqueFd fd(::open(bundle.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd) {
    return std::unexpected(system_failure_text(name, errno));
  }
  return check_links_stay_inside(fd.get(), name);
}

}  // namespace kelvoma::publish
