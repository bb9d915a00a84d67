// The program entry: the user-interface framework, the process-wide state, the main window
// and the message loop. The state is released once, when the loop has ended.
#include <unistd.h>

#include <QApplication>
#include <QtGlobal>
#include <utility>

#include "ui/app_state.h"
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
  QApplication app(argc, argv);

  kestrin::AppState state;
  kestrin::init_app_state(state);
  const AtExit release([&state] { kestrin::release_app_state(state); });

  kestrin::MainWindow window(state);
  kestrin::FirstPaintProbe::attach_if_asked(window);
  window.show();
  return QApplication::exec();
}
