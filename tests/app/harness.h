// A controller on the fake platform and the fake core, with the three
// catalog tools and helpers to put their bundles and processes in place.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "controller.h"
#include "fake_core.h"
#include "fake_platform.h"

namespace kelvoma::app::testing {

inline constexpr const char* kOrbit = "orbit-action-dial";
inline constexpr const char* kPane = "pane-keeper";
inline constexpr const char* kClip = "clip-ledger";
inline constexpr const char* kDomain = "cz.tobranix.tools-manager";

struct CatalogTool {
  std::string id;
  std::string bundleId;
  std::string bundleName;
};

inline CatalogTool catalogTool(const std::string& id) {
  if (id == kOrbit) return {id, "cz.tobranix.orbit-action-dial", "Orbit Action Dial.app"};
  if (id == kPane) return {id, "cz.tobranix.pane-keeper", "Pane Keeper.app"};
  return {id, "cz.tobranix.clip-ledger", "ClipLedger.app"};
}

class ControllerHarness : public ::testing::Test {
 protected:
  FakePlatform platform;
  FakeCore core;
  std::unique_ptr<Kelvoma> controller;

  ~ControllerHarness() override {
    controller.reset();
    EXPECT_EQ(core.badFrees(), 0) << "a text was freed twice or was not the core's";
  }

  // Checks answer at once unless a test says otherwise.
  void start(std::vector<std::string> args = {"kelvoma"},
             Timing timing = Timing{.checkShownAtLeast = 0.0}) {
    platform.args = std::move(args);
    controller = std::make_unique<Kelvoma>(platformOf(platform), core.core(), timing);
    platform.delegate = controller.get();
    controller->applicationDidFinishLaunching();
    platform.drainMain();
  }

  // Keeps start-up from checking, so tests see rows without a release record.
  void automaticChecksOff() { platform.settings[kDomain]["automaticChecks"] = false; }

  std::string systemPath(const std::string& id) {
    return "/Applications/" + catalogTool(id).bundleName;
  }
  std::string homePath(const std::string& id) {
    return platform.home + "/Applications/" + catalogTool(id).bundleName;
  }
  std::string installAt(const std::string& path, const std::string& id,
                        std::optional<std::string> build = "5",
                        std::optional<std::string> version = "1.2.0") {
    platform.addBundle(path, catalogTool(id).bundleId, build, version);
    return path;
  }
  std::string install(const std::string& id, std::optional<std::string> build = "5",
                      std::optional<std::string> version = "1.2.0") {
    return installAt(systemPath(id), id, build, version);
  }
  RunningApplication run(const std::string& id, const std::string& path = {}) {
    return platform.startProcess(path.empty() ? systemPath(id) : path, catalogTool(id).bundleId);
  }

  const Tool& tool(const std::string& id) { return *controller->tool(id); }
  const RowRecord& row(const std::string& id) { return controller->rows().at(id); }
  const ControlState& control(ControlId id) { return platform.controls.at(id); }
  const ControlState& global(ControlId WindowLayout::*which) {
    return platform.controls.at(controller->layout().*which);
  }

  static Sender menuSender(const std::string& id) {
    return Sender{
        .kind = Sender::Kind::menuItem, .representedObject = id, .identifier = {}, .on = false};
  }
  static Sender controlSender(const std::string& id, bool on = false) {
    return Sender{
        .kind = Sender::Kind::control, .representedObject = {}, .identifier = id, .on = on};
  }

  // The tool's item in the status menu, by catalog index.
  const MenuItem& toolItem(std::size_t index) { return platform.menu->items.at(2 + index); }

  std::optional<SettingValue> setting(const std::string& key, const std::string& domain = kDomain) {
    return platform.readSetting(domain, key);
  }
};

}  // namespace kelvoma::app::testing
