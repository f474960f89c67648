// The settings part of the Qt platform: one INI store per domain in the
// configuration folder, each write synced at once.
#pragma once

#include <QSettings>
#include <map>
#include <memory>
#include <string>

#include "platform.h"

namespace kelvoma::app::qt {

class QtSettings : public Settings {
 public:
  explicit QtSettings(std::string configDirectory);
  ~QtSettings() override;

  std::string settingsPath(std::string_view domain) const;

  std::optional<SettingValue> readSetting(std::string_view domain, std::string_view key) override;
  void writeSetting(std::string_view domain, std::string_view key,
                    const SettingValue& value) override;

 private:
  QSettings& store(std::string_view domain);

  std::string configDirectory_;
  std::map<std::string, std::unique_ptr<QSettings>, std::less<>> stores_;
};

}  // namespace kelvoma::app::qt
