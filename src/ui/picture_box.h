// A picture control: draws its picture at the picture's own size from the top-left corner,
// without scaling; what lies beyond the control's edges is cut off.
#pragma once

#include <QImage>
#include <QWidget>

namespace kestrin {

class PictureBox : public QWidget {
 public:
  explicit PictureBox(QWidget* parent = nullptr);

  // Replaces the picture; a null image leaves the box empty.
  void set_picture(QImage picture);
  // The picture as decoded, at full size.
  [[nodiscard]] const QImage& picture() const noexcept { return picture_; }

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  QImage picture_;
};

}  // namespace kestrin
