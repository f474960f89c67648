#include "qt_settings.h"

#include <type_traits>
#include <variant>

#include "system/replaced_file.h"

namespace kelvoma::app::qt {

QtSettings::QtSettings(std::string configDirectory)
    : configDirectory_(std::move(configDirectory)) {}

QtSettings::~QtSettings() = default;

std::string QtSettings::settingsPath(std::string_view domain) const {
  return configDirectory_ + "/" + std::string(domain) + ".ini";
}

QSettings& QtSettings::store(std::string_view domain) {
  auto found = stores_.find(domain);
  if (found == stores_.end()) {
    auto made = std::make_unique<QSettings>(QString::fromStdString(settingsPath(domain)),
                                            QSettings::IniFormat);
    found = stores_.emplace(std::string(domain), std::move(made)).first;
  }
  return *found->second;
}

std::optional<SettingValue> QtSettings::readSetting(std::string_view domain, std::string_view key) {
  const QVariant value = store(domain).value(QString::fromUtf8(key.data(), qsizetype(key.size())));
  if (!value.isValid()) {
    return std::nullopt;
  }
  switch (value.typeId()) {
    case QMetaType::Bool:
      return value.toBool();
    case QMetaType::Double:
    case QMetaType::Int:
    case QMetaType::LongLong:
      return value.toDouble();
    default:
      // The INI file keeps every kind as text; the readers interpret it.
      return value.toString().toStdString();
  }
}

void QtSettings::writeSetting(std::string_view domain, std::string_view key,
                              const SettingValue& value) {
  QSettings& settings = store(domain);
  const QString name = QString::fromUtf8(key.data(), qsizetype(key.size()));
  std::visit(
      [&](const auto& v) {
        using V = std::decay_t<decltype(v)>;
        if constexpr (std::is_same_v<V, std::string>) {
          settings.setValue(name, QString::fromStdString(v));
        } else {
          settings.setValue(name, v);
        }
      },
      value);
  settings.sync();  // written through, so that other processes see it at once
  // Qt renames the new file over the old one but leaves the folder unflushed:
  // a power cut could take back a choice the window already shows.
  if (settings.status() == QSettings::NoError) {
    system::flushFolder(configDirectory_);
  }
}

}  // namespace kelvoma::app::qt
