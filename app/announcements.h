// What Kelvoma tells the user about the tools outside a row's own controls,
// in Czech: the desktop notices of updates and installations, the status
// item's tool tip, and the line a row shows once a check ends. Pure functions.
#pragma once

#include <string>
#include <vector>

#include "core_answers.h"
#include "platform.h"

namespace kelvoma::app {

// A tool with a newer release than its installed copy.
struct WaitingUpdate {
  std::string name;
  std::string version;
  std::string notesLine{};  // the first line of its release notes, when they came
};

// One notice names every tool with an update (and the first line of its
// release notes, after a colon); its topic is always the same,
// so a later one replaces it.
DesktopNotice updatesNotice(const std::vector<WaitingUpdate>& updates);
// The topics of the notices: one for new releases, one per tool for its
// installations and one for its move to the trash.
std::string updatesTopic();
std::string installationTopic(const Tool& tool);
std::string trashTopic(const Tool& tool);
// "Orbit Action Dial 2.0.0 je nainstalovaný." (the name alone without a version).
DesktopNotice installedNotice(const Tool& tool, const std::string& version);
// The core's sentence, unchanged, as the body.
DesktopNotice installFailedNotice(const Tool& tool, const std::optional<std::string>& error);

// "Zkontrolováno ve 14:05 · <what the check found>" or
// "Kontrola ve 14:05 se nepodařila: <the core's sentence>".
std::string checkedLine(const CheckAnswer& answer, LocalTime at);

// The status item's tool tip: the product, then the tools with an update and
// those whose last check failed.
std::string statusToolTip(const std::vector<WaitingUpdate>& updates,
                          const std::vector<std::string>& failedChecks);

}  // namespace kelvoma::app
