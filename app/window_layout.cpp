#include "window_layout.h"

#include <algorithm>
#include <utility>

namespace kelvoma::app {
namespace {

// Hands out control ids; 0 stays "no control".
class Ids {
 public:
  ControlId next() { return ++last_; }

 private:
  ControlId last_ = noControl;
};

ControlModel label(std::string text, Frame frame) {
  ControlModel made;
  made.kind = ControlKind::label;
  made.text = std::move(text);
  made.frame = frame;
  return made;
}

ControlModel button(ControlKind kind, std::string title, Frame frame, Action action,
                    std::string identifier = {}) {
  ControlModel made;
  made.kind = kind;
  made.text = std::move(title);
  made.frame = frame;
  made.action = action;
  made.identifier = std::move(identifier);
  return made;
}

ControlModel rowBox(const Tool& tool, Frame frame, RowRecord& record, Ids& ids) {
  ControlModel box;
  box.kind = ControlKind::box;
  box.frame = frame;
  box.cornerRadius = 10;
  box.borderColour = Colour::separator;
  box.fillColour = Colour::controlBackground;
  box.subject = tool.name;
  box.description = tool.description;

  ControlModel image;
  image.kind = ControlKind::image;
  image.frame = {20, 145, 34, 34};
  image.symbol = tool.symbol;
  box.children.push_back(std::move(image));

  ControlModel name = label(tool.name, {68, 155, 330, 26});
  name.font = {17, FontWeight::semibold, false};
  box.children.push_back(std::move(name));

  ControlModel state = label("", {420, 157, 130, 24});
  state.id = record.state = ids.next();
  state.alignment = Alignment::right;
  box.children.push_back(std::move(state));
  box.children.front().nameFrom = record.state;  // the symbol is read as the tool's state

  ControlModel description = label(tool.description, {20, 106, 530, 40});
  description.colour = Colour::secondaryLabel;
  box.children.push_back(std::move(description));

  ControlModel version = label("", {20, 78, 386, 24});
  version.id = record.version = ids.next();
  version.font = {12, FontWeight::regular, true};
  box.children.push_back(std::move(version));

  ControlModel toggle =
      button(ControlKind::checkbox, "Zapnuto", {20, 22, 116, 32}, Action::toggleTool, tool.id);
  toggle.id = record.toggle = ids.next();
  toggle.subject = tool.name;
  box.children.push_back(std::move(toggle));

  ControlModel settings = button(ControlKind::pushButton, settingsButtonTitle(tool),
                                 {146, 22, 120, 32}, Action::settingsTool, tool.id);
  settings.id = record.settings = ids.next();
  settings.subject = tool.name;
  box.children.push_back(std::move(settings));

  ControlModel install = button(ControlKind::pushButton, "Nainstalovat", {422, 22, 132, 32},
                                Action::installTool, tool.id);
  install.id = record.install = ids.next();
  install.subject = tool.name;
  box.children.push_back(std::move(install));

  ControlModel message = label(initialMessage(tool), {20, 52, 534, 24});
  message.id = record.message = ids.next();
  message.font = {11, FontWeight::regular, false};
  message.colour = Colour::secondaryLabel;
  message.maximumLines = 1;
  box.children.push_back(std::move(message));

  ControlModel progress = label("Průběh instalace", {20, 6, 534, 10});
  progress.kind = ControlKind::progressBar;
  progress.id = record.progress = ids.next();
  progress.subject = tool.name;
  progress.hidden = true;
  box.children.push_back(std::move(progress));

  ControlModel trash = button(ControlKind::pushButton, "Přesunout do koše", {274, 22, 140, 32},
                              Action::trashTool, tool.id);
  trash.id = record.trash = ids.next();
  trash.subject = tool.name;
  box.children.push_back(std::move(trash));

  ControlModel notes = button(ControlKind::pushButton, "Co je nového", {414, 74, 140, 30},
                              Action::showNotes, tool.id);
  notes.id = record.notes = ids.next();
  notes.subject = tool.name;
  notes.hidden = true;
  box.children.push_back(std::move(notes));
  return box;
}

}  // namespace

double listHeightFor(std::size_t toolCount) {
  return std::max(kRowPitch * static_cast<double>(toolCount), kMinimumListHeight);
}

Frame rowFrame(std::size_t index, double listHeight) {
  return {4, listHeight - kRowPitch * static_cast<double>(index + 1) + 8, 588, 212};
}

WindowLayout makeWindowLayout(const std::vector<Tool>& tools) {
  Ids ids;
  WindowLayout layout;
  WindowModel& window = layout.window;
  window.width = 660;
  window.height = 520;
  window.title = "Kelvoma · Nástroje";
  window.closable = true;
  window.miniaturizable = true;
  window.resizable = false;

  ControlModel heading = label("Malé aplikace. Jedno místo.", {28, 445, 400, 36});
  heading.font = {24, FontWeight::semibold, false};
  window.controls.push_back(std::move(heading));

  ControlModel subheading = label("Tvoje nástroje, připravené k zapnutí.", {28, 410, 600, 24});
  subheading.colour = Colour::secondaryLabel;
  window.controls.push_back(std::move(subheading));

  ControlModel scroll;
  scroll.kind = ControlKind::scrollView;
  scroll.id = layout.scrollView = ids.next();
  scroll.frame = {20, 132, 620, 260};
  scroll.hasVerticalScroller = true;
  scroll.drawsBackground = false;
  layout.listHeight = listHeightFor(tools.size());
  layout.scrollContentHeight = scroll.frame.height;
  scroll.documentWidth = 600;
  scroll.documentHeight = layout.listHeight;
  for (std::size_t i = 0; i < tools.size(); ++i) {
    RowRecord record;
    scroll.children.push_back(rowBox(tools[i], rowFrame(i, layout.listHeight), record, ids));
    layout.rows[tools[i].id] = record;
  }
  window.controls.push_back(std::move(scroll));

  ControlModel check =
      button(ControlKind::pushButton, "Zkontrolovat verze", {28, 86, 194, 32}, Action::checkAll);
  check.id = layout.checkButton = ids.next();
  window.controls.push_back(std::move(check));

  ControlModel automatic = button(ControlKind::checkbox, "Hledat aktualizace každou hodinu",
                                  {242, 86, 390, 32}, Action::changeAutomatic);
  automatic.id = layout.automatic = ids.next();
  window.controls.push_back(std::move(automatic));

  ControlModel automaticInstall =
      button(ControlKind::checkbox, "Instalovat aktualizace automaticky", {242, 54, 390, 30},
             Action::changeAutomaticInstall);
  automaticInstall.id = layout.automaticInstall = ids.next();
  window.controls.push_back(std::move(automaticInstall));

  ControlModel login = button(ControlKind::checkbox, "Spustit Kelvoma při přihlášení",
                              {28, 18, 370, 30}, Action::changeLogin);
  login.id = layout.login = ids.next();
  window.controls.push_back(std::move(login));

  // Shown while two or more tools have an update.
  ControlModel updateAll =
      button(ControlKind::pushButton, "Aktualizovat vše", {440, 447, 192, 32}, Action::updateAll);
  updateAll.id = layout.updateAllButton = ids.next();
  updateAll.hidden = true;
  window.controls.push_back(std::move(updateAll));
  return layout;
}

}  // namespace kelvoma::app
