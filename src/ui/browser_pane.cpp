#include "ui/browser_pane.h"

#include <QGuiApplication>
#include <QOpenGLContext>
#include <QWidget>
#include <QtGlobal>

#include "ui/module_loader.h"

// Qt's setter of the context all OpenGL contexts share with (exported by Qt GUI; it is what
// Qt::AA_ShareOpenGLContexts makes at start-up).
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);

namespace kestrin {
namespace {

// The browser engine draws with OpenGL where the platform has it and needs a context to
// share with, in place before the engine loads. The window draws without OpenGL, so the
// context is made here rather than at start-up, where it would hold up the first paint.
// False when there is none and none can be made: the browser engine would crash without it.
bool share_opengl_contexts() {
  if (QOpenGLContext::globalShareContext() != nullptr) return true;
  auto* context = new QOpenGLContext(qApp);
  if (!context->create()) {
    delete context;
    return false;
  }
  qt_gl_set_global_share_context(context);
  return true;
}

using MakePane = QWidget* (*)(QWidget* parent, const char* url_utf8);

MakePane pane_factory() {
  static const MakePane factory = []() -> MakePane {
    if (!share_opengl_contexts()) {
      qWarning("no OpenGL context to share with the browser engine; the panes stay empty");
      return nullptr;
    }
    const auto make = reinterpret_cast<MakePane>(resolve_in_module(
        "libkestrin_browser_pane.so", KESTRIN_BROWSER_MODULE_PATH, "kestrin_create_browser_pane"));
    if (make == nullptr) qWarning("the browser pane module could not be loaded; the panes stay empty");
    return make;
  }();
  return factory;
}

}  // namespace

QWidget* create_browser_pane(QWidget* parent, const QString& url) {
  if (const MakePane make = pane_factory()) {
    if (QWidget* pane = make(parent, url.toUtf8().constData())) return pane;
  }
  return new QWidget(parent);
}

}  // namespace kestrin
