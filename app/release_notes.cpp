// Release notes of an offered update: fetched on a worker once a check has
// found the release, kept with that check's answer, shown on request. The
// update never waits for them, and notes that cannot be had are simply not
// offered.
#include "controller.h"

namespace kelvoma::app {
namespace {

// The length of a character the panel leaves out at `at`, or 0: control
// characters other than line feed and tab (C0, DEL, C1), and the direction
// overrides and isolates that could make a line read other than it is
// (U+202A–U+202E, U+2066–U+2069). The core hands over UTF-8 only.
std::size_t hiddenCharacterAt(std::string_view text, std::size_t at) {
  const auto byte = [&](std::size_t i) {
    return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u;
  };
  const unsigned char lead = byte(0);
  if ((lead < 0x20 && lead != '\n' && lead != '\t') || lead == 0x7F) {
    return 1;
  }
  if (lead == 0xC2 && byte(1) >= 0x80 && byte(1) <= 0x9F) {
    return 2;
  }
  const bool overrides = byte(1) == 0x80 && byte(2) >= 0xAA && byte(2) <= 0xAE;
  const bool isolates = byte(1) == 0x81 && byte(2) >= 0xA6 && byte(2) <= 0xA9;
  return lead == 0xE2 && (overrides || isolates) ? 3 : 0;
}

}  // namespace

std::string shownNotesText(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t hidden = hiddenCharacterAt(text, at);
    if (hidden == 0) {
      shown += text[at];
    }
    at += hidden == 0 ? 1 : hidden;
  }
  return shown;
}

std::string notesFirstLine(std::string_view text) {
  constexpr std::size_t kLongest = 120;
  const std::string shown = shownNotesText(text);
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
      TextPanel{.title = title, .accessibleName = title, .text = shownNotesText(*offered->notes)});
}

}  // namespace kelvoma::app
