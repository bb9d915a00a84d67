#include "ui/site.h"

#include <QStringList>
#include <QtGlobal>

namespace kestrin {

const QString& product_site_host() {
  static const QString host = [] {
    const QString configured = qEnvironmentVariable("KESTRIN_SITE_HOST").trimmed();
    return configured.isEmpty() ? QStringLiteral("www.kestrinseo.com") : configured;
  }();
  return host;
}

QString product_site_url(const QString& path) { return QStringLiteral("http://") + product_site_host() + path; }

QString main_window_title() {
  return QStringLiteral("KestrinSEO—原创内容生成软件 -全网独家原创算法（非近义词伪原创）适合任何行业使用 官方网址：") +
         product_site_host();
}

QString usage_text() {
  const QStringList lines = {
      QStringLiteral("使用说明："),
      QString(),
      QStringLiteral("您只需将互联网的文章复制到待原创处理区，然后进行原创处理（本站全网独家原创算法，并非是市面上的垃圾近义词替换的伪原创）"),
      QStringLiteral("本站原创处理的内容原创率在百分之95以上，而且拥有高质量的可读性，支持批量处理！同时本站支持开发者api调用处理，"),
      QString(),
      QStringLiteral("调用接口说明地址 ") + product_site_url(QStringLiteral("/api/api.docx")) + QStringLiteral("    官方网址 ") +
          product_site_host(),
      QStringLiteral("客服QQ ") + QString::fromUtf16(kContactNumber),
  };
  return lines.join(u'\n');
}

QString product_description() {
  return QStringLiteral(
      "KestrinSEO原创文章生成网是全网独家最好的原创内容生成工具，为SEO优化者免费提供高质量原创内容生成服务，"
      "快速提升搜索引擎收录和关键词排名，SEO网站优化首选的站长工具，100%原创内容生成而并非伪原创（非近义词）处理，"
      "相关性原创文章一键生成，让天下再也没有难写的原创文章！");
}

QString contact_line() { return QStringLiteral("交换友情交换联系客服QQ ") + QString::fromUtf16(kContactNumber); }

}  // namespace kestrin
