#include "qt_dialogs.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QVBoxLayout>
#include <memory>

namespace kelvoma::app::qt {
namespace {

QString qs(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

QString QtDialogs::FolderTypes::type(const QFileInfo& info) const {
  return info.isDir() ? QCoreApplication::translate("QFileDialog", "Folder")
                      : QFileIconProvider::type(info);
}

QtDialogs::QtDialogs(std::function<QWidget*()> window) : window_(std::move(window)) {}

void QtDialogs::showAlertSheet(const std::string& message, const std::string& informative) {
  auto* alert = new QMessageBox(QMessageBox::Warning, QStringLiteral("Kelvoma"), qs(message),
                                QMessageBox::Ok, window_());
  alert->setInformativeText(qs(informative));
  alert->setWindowModality(Qt::WindowModal);
  alert->setAttribute(Qt::WA_DeleteOnClose);
  alert->open();
}

void QtDialogs::runModalAlert(const std::string& message, const std::string& informative) {
  QMessageBox alert(QMessageBox::Warning, QStringLiteral("Kelvoma"), qs(message), QMessageBox::Ok,
                    window_());
  alert.setInformativeText(qs(informative));
  alert.exec();
}

void QtDialogs::beginOpenPanelSheet(const OpenPanelOptions& options,
                                    std::function<void(std::optional<std::string>)> completion) {
  auto* panel = new QFileDialog(window_(), qs(options.title), qs(options.directory));
  panel->setFileMode(QFileDialog::Directory);  // a bundle is a folder chosen as one item
  panel->setOption(QFileDialog::ShowDirsOnly, true);
  panel->setOption(QFileDialog::DontUseNativeDialog, true);
  panel->setIconProvider(&folderTypes_);
  panel->setLabelText(QFileDialog::Accept, qs(options.prompt));
  panel->setWindowModality(Qt::WindowModal);
  panel->setAttribute(Qt::WA_DeleteOnClose);
  auto shared =
      std::make_shared<std::function<void(std::optional<std::string>)>>(std::move(completion));
  QObject::connect(panel, &QFileDialog::finished, panel, [panel, shared](int result) {
    const QStringList chosen = panel->selectedFiles();
    if (result == QDialog::Accepted && chosen.size() == 1) {
      (*shared)(chosen.front().toStdString());
    } else {
      (*shared)(std::nullopt);
    }
  });
  panel->open();
}

void QtDialogs::showTextPanel(const TextPanel& panel) {
  auto* dialog = new QDialog(window_());
  dialog->setWindowTitle(qs(panel.title));
  dialog->setAttribute(Qt::WA_DeleteOnClose);
  // A plain-text editor never interprets markup and has no links to follow;
  // read-only, it still lets the text be selected, copied and read aloud.
  auto* text = new QPlainTextEdit(dialog);
  text->setObjectName(QStringLiteral("notesText"));
  text->setReadOnly(true);
  text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  text->setPlainText(qs(panel.text));
  text->setAccessibleName(qs(panel.accessibleName));
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, dialog);
  QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::close);
  auto* layout = new QVBoxLayout(dialog);
  layout->addWidget(text);
  layout->addWidget(buttons);
  dialog->resize(520, 420);
  dialog->open();
}

}  // namespace kelvoma::app::qt
