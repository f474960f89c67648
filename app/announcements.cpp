#include "announcements.h"

#include <cstdio>

#include "outside_text.h"

namespace kelvoma::app {
namespace {

constexpr const char* kProduct = "Kelvoma · správce nástrojů";

std::string named(const std::string& name, const std::string& version) {
  return version.empty() ? name : name + " " + version;
}

// "ve" before the hours whose spoken name starts with two consonants (dvě,
// tři, čtyři, dvanáct, třináct, čtrnáct, dvacet…), "v" before the others.
std::string atTime(LocalTime at) {
  const bool ve =
      (at.hour >= 2 && at.hour <= 4) || (at.hour >= 12 && at.hour <= 14) || at.hour >= 20;
  char clock[16];
  std::snprintf(clock, sizeof clock, "%d:%02d", at.hour, at.minute);
  return std::string(ve ? "ve " : "v ") + clock;
}

}  // namespace

std::string updatesTopic() { return "updates"; }
std::string installationTopic(const Tool& tool) { return "installation." + tool.id; }
std::string trashTopic(const Tool& tool) { return "trash." + tool.id; }

DesktopNotice updatesNotice(const std::vector<WaitingUpdate>& updates) {
  DesktopNotice notice{.topic = updatesTopic(),
                       .summary = updates.size() == 1 ? "Nová verze je připravená ke stažení"
                                                      : "Nové verze jsou připravené ke stažení",
                       .body = {},
                       .actions = {}};
  for (const WaitingUpdate& each : updates) {
    notice.body += (notice.body.empty() ? "" : "\n") + shownLine(named(each.name, each.version)) +
                   (each.notesLine.empty() ? "" : ": " + shownLine(each.notesLine));
  }
  return notice;
}

DesktopNotice installedNotice(const Tool& tool, const std::string& version) {
  return {.topic = installationTopic(tool),
          .summary = named(tool.name, shownLine(version)) + " je nainstalovaný.",
          .body = {},
          .actions = {}};
}

DesktopNotice installFailedNotice(const Tool& tool, const std::optional<std::string>& error) {
  return {.topic = installationTopic(tool),
          .summary = "Instalace nástroje " + tool.name + " se nepodařila",
          .body = shownText(error.value_or("")),
          .actions = {}};
}

std::string checkedLine(const CheckAnswer& answer, LocalTime at) {
  if (!answer.ok) {
    const std::string failed = "Kontrola " + atTime(at) + " se nepodařila";
    return answer.error && !answer.error->empty() ? failed + ": " + *answer.error : failed + ".";
  }
  return "Zkontrolováno " + atTime(at) + " · " +
         (answer.available ? "Nová verze je připravená ke stažení."
                           : "Máš nejnovější dostupnou verzi.");
}

std::string statusToolTip(const std::vector<WaitingUpdate>& updates,
                          const std::vector<std::string>& failedChecks) {
  std::string text = kProduct;
  for (const WaitingUpdate& each : updates) {
    text += "\nNová verze: " + named(each.name, each.version);
  }
  for (const std::string& name : failedChecks) {
    text += "\nKontrola se nepodařila: " + name;
  }
  return text;
}

}  // namespace kelvoma::app
