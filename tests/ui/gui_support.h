// Shared pieces of the window tests: the product site's pages served on loopback, and
// lookup of the window's controls by their names.
#pragma once

#include <QString>
#include <QWidget>
#include <QtGlobal>
#include <memory>
#include <string>
#include <vector>

#include "support/loopback_server.h"

namespace kestrin::ui_test {

inline constexpr const char* kHomeTitle = "Kestrin home (loopback)";
inline constexpr const char* kLinksTitle = "Kestrin links (loopback)";

// Serves /gg/index.html and /gg/you.html (each with its own title; 404 for anything else)
// on 127.0.0.1 and points KESTRIN_SITE_HOST at it. Start it before the window reads the
// host, which happens once per process.
class LoopbackSite {
 public:
  LoopbackSite() : server_(std::make_unique<testing::LoopbackServer>(&LoopbackSite::answer)) {
    qputenv("KESTRIN_SITE_HOST", QByteArray::fromStdString(host()));
  }

  // "127.0.0.1:PORT".
  [[nodiscard]] std::string host() const { return "127.0.0.1:" + std::to_string(server_->port()); }
  [[nodiscard]] testing::LoopbackServer& server() { return *server_; }

 private:
  static testing::ScriptedReply answer(const std::string& request) {
    const std::string line = testing::parse_request(request).request_line;
    const std::vector<std::string> html = {"Content-Type: text/html; charset=utf-8"};
    auto page = [&html](const char* title) {
      const std::string body = std::string("<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>") + title +
                               "</title></head><body><h1>" + title + "</h1></body></html>";
      return testing::ScriptedReply{testing::http_reply("200 OK", body, html)};
    };
    if (line.starts_with("GET /gg/index.html ")) return page(kHomeTitle);
    if (line.starts_with("GET /gg/you.html ")) return page(kLinksTitle);
    return testing::ScriptedReply{testing::http_reply("404 Not Found", "not here", html)};
  }

  std::unique_ptr<testing::LoopbackServer> server_;
};

// The control named `name` under `root`, nullptr when there is none of that type.
template <typename Control>
Control* control(const QWidget& root, const char16_t* name) {
  return root.findChild<Control*>(QString::fromUtf16(name));
}

}  // namespace kestrin::ui_test
