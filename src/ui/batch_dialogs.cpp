#include "ui/batch_dialogs.h"

#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QMessageBox>
#include <QStandardPaths>
#include <QStringList>
#include <string>

namespace kestrin {
namespace {

// Where the folder chooser opens: the desktop, or the home folder when there is none.
QString chooser_start() {
  const QString desktop = QStandardPaths::writableLocation(QStandardPaths::DesktopLocation);
  return !desktop.isEmpty() && QDir(desktop).exists() ? desktop : QDir::homePath();
}

}  // namespace

std::filesystem::path path_from_qt(const QString& name) {
  const QByteArray bytes = QFile::encodeName(name);
  return std::filesystem::path(std::string(bytes.constData(), static_cast<std::size_t>(bytes.size())));
}

std::optional<std::vector<std::filesystem::path>> QtBatchDialogs::open_files(QWidget* owner, const QString& title,
                                                                             const QString& start_folder) {
  QFileDialog dialog(owner, title, start_folder);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFiles);  // several files, each of which must exist
  dialog.setWindowModality(Qt::WindowModal);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  std::vector<std::filesystem::path> files;
  const QStringList chosen = dialog.selectedFiles();
  files.reserve(static_cast<std::size_t>(chosen.size()));
  for (const QString& name : chosen) files.push_back(path_from_qt(name));
  return files;
}

std::optional<std::filesystem::path> QtBatchDialogs::choose_folder(QWidget* owner, const QString& instruction) {
  QFileDialog dialog(owner, instruction, chooser_start());
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::Directory);  // the name box takes a typed folder name
  dialog.setOption(QFileDialog::ShowDirsOnly, true);
  dialog.setWindowModality(Qt::WindowModal);
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList chosen = dialog.selectedFiles();
  if (chosen.isEmpty()) return std::filesystem::path();
  return path_from_qt(chosen.front());
}

void QtBatchDialogs::show_message(const QString& title, const QString& text) {
  QMessageBox box(QMessageBox::NoIcon, title, text, QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();
}

}  // namespace kestrin
