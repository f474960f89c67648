// The manager window's layout: frames, texts, fonts and colours of every
// control, and the ids under which the controller rewrites them later.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tool_status.h"
#include "ui_model.h"

namespace kelvoma::app {

// The eight controls of a row that change after creation.
struct RowRecord {
  ControlId state = noControl;
  ControlId version = noControl;
  ControlId toggle = noControl;
  ControlId settings = noControl;
  ControlId trash = noControl;
  ControlId install = noControl;
  ControlId message = noControl;
  ControlId progress = noControl;  // shown only while the tool is busy
  ControlId notes = noControl;     // shown only with the offered release's notes
};

struct WindowLayout {
  WindowModel window;
  std::map<std::string, RowRecord> rows;  // by tool id
  ControlId scrollView = noControl;
  ControlId checkButton = noControl;
  ControlId updateAllButton = noControl;
  ControlId automatic = noControl;
  ControlId automaticInstall = noControl;
  ControlId login = noControl;
  double listHeight = 0;
  double scrollContentHeight = 0;
};

inline constexpr double kRowPitch = 230;
inline constexpr double kMinimumListHeight = 260;

// The list view's height for a number of tools.
double listHeightFor(std::size_t toolCount);
// The frame of the row box at index in a list of the given height.
Frame rowFrame(std::size_t index, double listHeight);

WindowLayout makeWindowLayout(const std::vector<Tool>& tools);

}  // namespace kelvoma::app
