// The dialogs of the batch mode: the multi-select open-file dialog of 按钮2, the folder
// chooser of 按钮4 and the message box of 按钮3. The window asks them through BatchDialogs,
// so that tests can put pre-answered dialogs in place of the real ones.
#pragma once

#include <QString>
#include <filesystem>
#include <optional>
#include <vector>

class QWidget;

namespace kestrin {

class BatchDialogs {
 public:
  virtual ~BatchDialogs() = default;

  // The files picked in a multi-select open-file dialog titled `title` that starts in
  // `start_folder`, lists every file and accepts only existing ones, modal to `owner`; each
  // is a full path in the file system's own form. nullopt when the dialog was cancelled.
  [[nodiscard]] virtual std::optional<std::vector<std::filesystem::path>> open_files(QWidget* owner,
                                                                                     const QString& title,
                                                                                     const QString& start_folder) = 0;

  // The folder picked in a folder chooser that shows `instruction`, lists folders only and
  // takes a typed folder name, modal to `owner`. nullopt when it was cancelled.
  [[nodiscard]] virtual std::optional<std::filesystem::path> choose_folder(QWidget* owner,
                                                                          const QString& instruction) = 0;

  // Shows `text` under `title` with one OK button and no icon, modal to the whole
  // application and owned by no window; returns once it is closed.
  virtual void show_message(const QString& title, const QString& text) = 0;
};

// The real dialogs: QFileDialog and QMessageBox, native where the platform has them.
class QtBatchDialogs final : public BatchDialogs {
 public:
  [[nodiscard]] std::optional<std::vector<std::filesystem::path>> open_files(QWidget* owner, const QString& title,
                                                                             const QString& start_folder) override;
  [[nodiscard]] std::optional<std::filesystem::path> choose_folder(QWidget* owner,
                                                                  const QString& instruction) override;
  void show_message(const QString& title, const QString& text) override;
};

// A name as Qt shows it, as the file system's own path (the inverse of how Qt decodes file
// names, so that every name round-trips). An empty name gives an empty path.
[[nodiscard]] std::filesystem::path path_from_qt(const QString& name);

}  // namespace kestrin
