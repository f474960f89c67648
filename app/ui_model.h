// Plain descriptions of what the user sees: the status item, its menu, the
// manager window and its controls. The controller builds them; a platform
// draws them. No toolkit types here.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kelvoma::app {

// The controller's actions that a menu item or a control can trigger.
enum class Action {
  show,
  quit,
  checkAll,
  changeAutomatic,
  changeAutomaticInstall,
  changeLogin,
  toggleTool,
  settingsTool,
  installTool,
  chooseApplication,
  trashTool,
  updateAll,
  showNotes,
};

// Who triggered an action: a menu item carries the tool id as its represented
// object, a control as its identifier; a checkbox also reports its new state.
struct Sender {
  enum class Kind { none, menuItem, control };
  Kind kind = Kind::none;
  std::string representedObject;
  std::string identifier;
  bool on = false;
};

// A rectangle in points in its parent's coordinates, origin at the parent's
// bottom-left corner, y growing upward.
struct Frame {
  double x = 0;
  double y = 0;
  double width = 0;
  double height = 0;
  bool operator==(const Frame&) const = default;
};

enum class Colour { label, secondaryLabel, systemGreen, separator, controlBackground };
enum class FontWeight { regular, semibold };
enum class Alignment { natural, right };

// size 0 means the control's default system font.
struct Font {
  double size = 0;
  FontWeight weight = FontWeight::regular;
  bool monospacedDigits = false;
  bool operator==(const Font&) const = default;
};

using ControlId = int;
inline constexpr ControlId noControl = 0;

enum class ControlKind { label, image, checkbox, pushButton, box, scrollView, progressBar };

// What a progress bar shows: a fraction of the work done (0 to 1), or a busy
// bar without one; text tells the same in words, for the tool tip and for
// assistive technology.
struct ProgressValue {
  std::optional<double> fraction;
  std::string text;
  bool operator==(const ProgressValue&) const = default;
};

struct ControlModel {
  ControlId id = noControl;
  ControlKind kind = ControlKind::label;
  Frame frame;
  std::string text;  // label text or button title
  Font font;
  Colour colour = Colour::label;
  Alignment alignment = Alignment::natural;
  int maximumLines = 0;          // 0: no limit
  std::string symbol;            // image: the symbol name of the icon
  std::optional<Action> action;  // buttons and checkboxes
  std::string identifier;        // buttons and checkboxes: the tool id
  // box: corner radius, border and fill; scroll view: the document view's size.
  double cornerRadius = 0;
  Colour borderColour = Colour::separator;
  Colour fillColour = Colour::controlBackground;
  double documentWidth = 0;
  double documentHeight = 0;
  bool hasVerticalScroller = false;
  bool drawsBackground = true;
  std::vector<ControlModel> children;  // box content, scroll document content
  bool hidden = false;
  // Controls of a tool's row name the tool, so that assistive technology can
  // tell the rows' controls apart: a control's accessible name is its text
  // followed by " – " and subject; a box's name is subject itself, its
  // description this description. An image is named by the text of the label
  // nameFrom.
  std::string subject;
  std::string description;
  ControlId nameFrom = noControl;
};

struct WindowModel {
  double width = 0;  // content size
  double height = 0;
  std::string title;
  bool closable = true;
  bool miniaturizable = true;
  bool resizable = false;
  std::vector<ControlModel> controls;
};

struct MenuItem {
  bool separator = false;
  std::string title;
  std::optional<Action> action;
  std::string representedObject;  // the tool id, or empty
  bool enabled = false;
  std::optional<std::vector<MenuItem>> submenu;
  bool operator==(const MenuItem&) const = default;
};

struct Menu {
  std::vector<MenuItem> items;
  bool autoenablesItems = false;
};

struct StatusItemModel {
  std::string autosaveName;
  std::string symbol;
  std::string accessibilityDescription;
  double imageSize = 18;
  bool templateImage = true;
  std::string accessibilityLabel;
  std::string toolTip;
};

}  // namespace kelvoma::app
