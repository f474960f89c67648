// Release notes of an offered update: fetched on a worker once a check has
// found the release, kept with that check's answer, shown on request. The
// update never waits for them, and notes that cannot be had are simply not
// offered.
#include "controller.h"
#include "outside_text.h"

namespace kelvoma::app {

std::string notesFirstLine(std::string_view text) {
  constexpr std::size_t kLongest = 120;
  const std::string shown = shownText(text);
  std::string_view rest = shown;
  std::string_view line;
  while (!rest.empty() && line.find_first_not_of(" \t") == std::string_view::npos) {
    const std::size_t end = rest.find('\n');
    line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
  }
  const std::size_t start = line.find_first_not_of(" \t");
  line = start == std::string_view::npos ? std::string_view() : line.substr(start);
  if (line.size() <= kLongest) {
    return std::string(line);
  }
  std::size_t cut = kLongest;
  while (cut > 0 && (static_cast<unsigned char>(line[cut]) & 0xC0) == 0x80) {
    --cut;  // back to the start of a character
  }
  return std::string(line.substr(0, cut)) + "…";
}

void Kelvoma::fetchNotes(const Tool& target, const CheckAnswer& offered) {
  platform_.scheduler.runOnWorker([this, id = target.id, offered] {
    auto text = askReleaseNotes(core_, id, offered.build, offered.version);
    if (!text) {
      return;
    }
    platform_.scheduler.runOnMain([this, id, offered, text = std::move(*text)]() mutable {
      // A later check may have found another release meanwhile: the model
      // keeps notes only for the release they belong to.
      if (const Tool* noted = tool(id)) {
        apply(*noted,
              event::NotesCame{
                  .build = offered.build, .version = offered.version, .text = std::move(text)});
        refresh();
      }
    });
  });
}

void Kelvoma::showNotes(const Sender& sender) {
  const Tool* shown = tool(identifier(sender));
  if (shown == nullptr) {
    return;
  }
  const auto& offered = records_.at(shown->id).offered;
  if (!offered || !offered->notes) {
    return;
  }
  const std::string title = "Co je nového – " + shown->name + " " + offered->version;
  platform_.dialogs.showTextPanel(
      TextPanel{.title = title, .accessibleName = title, .text = shownText(*offered->notes)});
}

}  // namespace kelvoma::app
