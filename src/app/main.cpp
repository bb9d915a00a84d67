// The program entry: the user-interface framework, the process-wide state, the main window
// and the message loop. The state is released once, when the loop has ended; the process
// then ends without waiting for batch jobs that are still running.
#include <unistd.h>

#include <QApplication>
#include <QtGlobal>
#include <utility>

#include "ui/app_state.h"
#include "ui/engine.h"
#include "ui/first_paint_probe.h"
#include "ui/main_window.h"

namespace {

// Runs the clean-up once, on every way out of main.
template <typename CleanUp>
class AtExit {
 public:
  explicit AtExit(CleanUp clean_up) : clean_up_(std::move(clean_up)) {}
  ~AtExit() { clean_up_(); }
  AtExit(const AtExit&) = delete;
  AtExit& operator=(const AtExit&) = delete;

 private:
  CleanUp clean_up_;
};

}  // namespace

int main(int argc, char** argv) {
  // The embedded browser refuses to start as root with its sandbox on.
  if (::geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX")) {
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  }
  // The browser panes need an OpenGL context to share with. The window makes one right after
  // its first paint; the offscreen platform without an X display cannot make one that late,
  // so there it is asked for at start-up, the way the browser engine expects.
  if (qEnvironmentVariable("QT_QPA_PLATFORM").startsWith(QLatin1String("offscreen")) &&
      qEnvironmentVariableIsEmpty("DISPLAY")) {
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  }
  QApplication app(argc, argv);

  kestrin::AppState state;
  kestrin::init_app_state(state);
  const AtExit release([&state] { kestrin::release_app_state(state); });

  kestrin::MainWindow window(state);
  kestrin::FirstPaintProbe::attach_if_asked(window);
  window.show();
  const int status = QApplication::exec();

  // The window is closed. Batch jobs may still be in flight on detached threads that use
  // globals a normal exit would destroy under them, so once a batch has been started the
  // process ends here, at once, without running any destructor.
  kestrin::release_app_state(state);
  kestrin::end_process_if_batch_started(status);
  return status;
}
