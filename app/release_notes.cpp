// Release notes of an offered update: fetched on a worker once a check has
// found the release, kept with that check's answer, shown on request. The
// update never waits for them, and notes that cannot be had are simply not
// offered.
#include "controller.h"

namespace kelvoma::app {
namespace {

bool sameRelease(const CheckAnswer& a, const CheckAnswer& b) {
  return a.ok && b.ok && a.build == b.build && a.version == b.version;
}

}  // namespace

void Kelvoma::fetchNotes(const std::string& id, const CheckAnswer& offered) {
  platform_.scheduler.runOnWorker([this, id, offered] {
    auto text = askReleaseNotes(core_, id, offered.build, offered.version);
    if (!text) {
      return;
    }
    platform_.scheduler.runOnMain([this, id, offered, text = std::move(*text)]() mutable {
      finishNotes(id, offered, std::move(text));
    });
  });
}

void Kelvoma::finishNotes(const std::string& id, const CheckAnswer& offered, std::string text) {
  const auto release = releases_.find(id);
  // A later check may have found another release meanwhile.
  if (release == releases_.end() || !sameRelease(release->second, offered)) {
    return;
  }
  release->second.notes = std::move(text);
  refresh();
}

void Kelvoma::showNotes(const Sender& sender) {
  const Tool* shown = tool(identifier(sender));
  if (shown == nullptr) {
    return;
  }
  const auto release = releases_.find(shown->id);
  if (release == releases_.end() || !release->second.notes) {
    return;
  }
  const std::string title = "Co je nového – " + shown->name + " " + release->second.version;
  platform_.dialogs.showTextPanel(
      TextPanel{.title = title, .accessibleName = title, .text = *release->second.notes});
}

}  // namespace kelvoma::app
