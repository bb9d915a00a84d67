// Draws the illustration of the usage page, a screenshot-like originality-check result, and
// writes it as a baseline JPEG (JFIF 1.01, 96 dpi, 700 x 594):
//   QT_QPA_PLATFORM=offscreen kestrin_make_illustration usage_illustration.jpg
#include <QFont>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>
#include <memory>
#include <vector>

#include <jpeglib.h>

namespace {

constexpr int kWidth = 700;
constexpr int kHeight = 594;

QFont font_of(int pixels, bool bold = false) {
  QFont font;
  font.setPixelSize(pixels);
  font.setBold(bold);
  return font;
}

void arrow(QPainter& painter, QPointF from, QPointF to) {
  painter.save();
  painter.setPen(QPen(QColor(230, 20, 20), 5, Qt::SolidLine, Qt::RoundCap));
  painter.drawLine(from, to - (to - from) * (14.0 / std::hypot(to.x() - from.x(), to.y() - from.y())));
  const double angle = std::atan2(to.y() - from.y(), to.x() - from.x());
  QPainterPath head;
  head.moveTo(to);
  head.lineTo(to.x() - 24 * std::cos(angle - 0.45), to.y() - 24 * std::sin(angle - 0.45));
  head.lineTo(to.x() - 24 * std::cos(angle + 0.45), to.y() - 24 * std::sin(angle + 0.45));
  head.closeSubpath();
  painter.setPen(Qt::NoPen);
  painter.setBrush(QColor(230, 20, 20));
  painter.drawPath(head);
  painter.restore();
}

QImage draw() {
  QImage image(kWidth, kHeight, QImage::Format_RGB32);
  image.fill(QColor(242, 244, 247));
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setRenderHint(QPainter::TextAntialiasing);

  // Browser-like title bar and the page head.
  painter.fillRect(0, 0, kWidth, 34, QColor(45, 95, 170));
  painter.setPen(Qt::white);
  painter.setFont(font_of(16, true));
  painter.drawText(QRect(14, 0, 500, 34), Qt::AlignVCenter, QStringLiteral("原创度检测报告 - 全文比对结果"));
  painter.setFont(font_of(12));
  painter.drawText(QRect(470, 0, 216, 34), Qt::AlignVCenter | Qt::AlignRight, QStringLiteral("检测时间 2024-05-18 10:26"));

  // Summary panel with the score.
  painter.setPen(QColor(200, 205, 214));
  painter.setBrush(Qt::white);
  painter.drawRect(12, 46, 676, 104);
  painter.setPen(QColor(60, 60, 60));
  painter.setFont(font_of(14));
  painter.drawText(QRect(28, 58, 300, 22), Qt::AlignVCenter, QStringLiteral("检测文章：企业网站如何做好内容优化"));
  painter.drawText(QRect(28, 84, 300, 22), Qt::AlignVCenter, QStringLiteral("检测句子：12 句    总字数：1,386 字"));
  painter.drawText(QRect(28, 110, 300, 22), Qt::AlignVCenter, QStringLiteral("相似句子：1 句    搜索引擎：全网比对"));
  painter.setFont(font_of(15, true));
  painter.drawText(QRect(372, 58, 160, 24), Qt::AlignVCenter, QStringLiteral("文章原创度"));
  painter.setPen(QColor(215, 25, 25));
  painter.setFont(font_of(52, true));
  painter.drawText(QRect(372, 82, 186, 62), Qt::AlignVCenter, QStringLiteral("96.8%"));
  painter.setPen(QColor(40, 150, 60));
  painter.setFont(font_of(14, true));
  painter.drawText(QRect(566, 58, 120, 24), Qt::AlignVCenter, QStringLiteral("★ 高度原创"));

  // The table of sentences with their similarity counts.
  const int top = 164;
  const int row = 32;
  const int columns[] = {12, 58, 524, 604, 688};
  painter.fillRect(12, top, 676, row, QColor(226, 232, 242));
  painter.setPen(QColor(50, 50, 50));
  painter.setFont(font_of(13, true));
  const QString heads[] = {QStringLiteral("序号"), QStringLiteral("检测句子"), QStringLiteral("相似数"), QStringLiteral("结果")};
  for (int c = 0; c < 4; ++c) {
    painter.drawText(QRect(columns[c], top, columns[c + 1] - columns[c], row), Qt::AlignCenter, heads[c]);
  }
  const char16_t* sentences[] = {
      u"网站内容是搜索引擎判断页面价值的首要依据，",
      u"原创且有用的文章更容易获得收录与排名。",
      u"很多站长为了省时间直接转载同行的文章，",
      u"结果页面长期不被收录，权重也难以提升。",
      u"写作之前先确定目标关键词和用户真正关心的问题，",
      u"再围绕问题组织段落，每段只讲清楚一件事。",
      u"标题要包含核心关键词，但不要堆砌重复的词语，",
      u"正文中适当加入图片和小标题，提升阅读体验。",
      u"定期更新旧文章，补充新的数据和案例，",
      u"让页面始终保持时效性和可读性。",
      u"内链要自然，把相关文章串联起来，",
      u"帮助搜索引擎更好地理解整个网站的结构。",
  };
  const int counts[] = {0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0};
  painter.setFont(font_of(13));
  for (int r = 0; r < 12; ++r) {
    const int y = top + row * (r + 1);
    painter.fillRect(12, y, 676, row, r % 2 == 0 ? QColor(Qt::white) : QColor(248, 249, 252));
    painter.setPen(QColor(70, 70, 70));
    painter.drawText(QRect(columns[0], y, columns[1] - columns[0], row), Qt::AlignCenter, QString::number(r + 1));
    painter.drawText(QRect(columns[1] + 8, y, columns[2] - columns[1] - 8, row), Qt::AlignVCenter,
                     QString::fromUtf16(sentences[r]));
    const bool similar = counts[r] > 0;
    painter.setPen(similar ? QColor(215, 25, 25) : QColor(40, 150, 60));
    painter.drawText(QRect(columns[2], y, columns[3] - columns[2], row), Qt::AlignCenter, QString::number(counts[r]));
    painter.drawText(QRect(columns[3], y, columns[4] - columns[3], row), Qt::AlignCenter,
                     similar ? QStringLiteral("相似") : QStringLiteral("原创"));
  }
  painter.setPen(QColor(200, 205, 214));
  painter.setBrush(Qt::NoBrush);
  painter.drawRect(12, top, 676, row * 13);
  for (int c = 1; c < 4; ++c) painter.drawLine(columns[c], top, columns[c], top + row * 13);
  for (int r = 1; r < 13; ++r) painter.drawLine(12, top + row * r, 688, top + row * r);

  // Red arrows pointing at the score.
  arrow(painter, QPointF(250, 150), QPointF(368, 118));
  arrow(painter, QPointF(668, 172), QPointF(560, 118));
  arrow(painter, QPointF(470, 270), QPointF(452, 150));
  return image;
}

// Baseline JPEG, JFIF 1.01, 96 dots per inch.
bool write_jpeg(const QImage& image, const char* path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "wb"), &std::fclose);
  if (!file) return false;
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);  // a tool of our own: libjpeg's exit on error is fine here
  jpeg_create_compress(&info);
  jpeg_stdio_dest(&info, file.get());
  info.image_width = static_cast<JDIMENSION>(image.width());
  info.image_height = static_cast<JDIMENSION>(image.height());
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, 90, TRUE);
  info.write_JFIF_header = TRUE;
  info.JFIF_major_version = 1;
  info.JFIF_minor_version = 1;
  info.density_unit = 1;  // dots per inch
  info.X_density = 96;
  info.Y_density = 96;
  jpeg_start_compress(&info, TRUE);
  const QImage rgb = image.convertToFormat(QImage::Format_RGB888);
  while (info.next_scanline < info.image_height) {
    auto* line = const_cast<JSAMPLE*>(rgb.constScanLine(static_cast<int>(info.next_scanline)));
    jpeg_write_scanlines(&info, &line, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT.jpg\n", argv[0]);
    return 2;
  }
  if (!write_jpeg(draw(), argv[1])) {
    std::fprintf(stderr, "cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
