// Start-up time: from starting the process to the first painted main window, for kestrinseo
// and, in the same run, for a bare Qt window holding one empty QTabWidget. Each program is
// started N times (alternating, after one unmeasured warm-up each) with the first-paint
// probe on; the figure is the time until it reports the first paint.
//   kestrin_startup_bench [runs]      (default 15; QT_QPA_PLATFORM defaults to offscreen)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kPaintTimeoutMs = 30000;

// Starts `program` with its standard output on a pipe and returns the milliseconds until it
// writes "first-paint", or nothing when it never does.
std::optional<double> time_first_paint(const char* program) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  char* argv[] = {const_cast<char*>(program), nullptr};

  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, program, &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    ::close(out[0]);
    return std::nullopt;
  }

  std::optional<double> elapsed;
  std::string seen;
  char buffer[256];
  while (!elapsed) {
    pollfd ready{out[0], POLLIN, 0};
    const int left = kPaintTimeoutMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                              Clock::now() - start).count());
    if (left <= 0 || ::poll(&ready, 1, left) <= 0) break;
    const ssize_t got = ::read(out[0], buffer, sizeof buffer);
    if (got <= 0) break;
    seen.append(buffer, static_cast<std::size_t>(got));
    if (seen.find("first-paint\n") != std::string::npos) {
      elapsed = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    }
  }
  ::close(out[0]);
  if (!elapsed) ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return elapsed;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 15;
  ::setenv("KESTRIN_STARTUP_PROBE", "1", 1);
  ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ::setenv("QTWEBENGINE_DISABLE_SANDBOX", "1", 0);
  ::setenv("KESTRIN_SITE_HOST", "127.0.0.1:9", 0);  // the panes' pages: nothing on the internet

  const char* programs[] = {KESTRIN_APP_PATH, KESTRIN_BARE_PATH};
  std::vector<double> times[2];
  for (int round = -1; round < runs; ++round) {  // round -1 warms the page cache
    for (int which = 0; which < 2; ++which) {
      const int p = (round % 2 == 0) ? which : 1 - which;  // alternate who goes first
      const auto elapsed = time_first_paint(programs[p]);
      if (!elapsed) {
        std::fprintf(stderr, "%s did not report its first paint\n", programs[p]);
        return 1;
      }
      if (round >= 0) times[p].push_back(*elapsed);
    }
  }
  const double app = median(times[0]);
  const double bare = median(times[1]);
  std::printf("start to first paint, median of %d runs (platform %s):\n", runs, std::getenv("QT_QPA_PLATFORM"));
  std::printf("  kestrinseo main window          %8.1f ms  (min %.1f, max %.1f)\n", app,
              *std::min_element(times[0].begin(), times[0].end()), *std::max_element(times[0].begin(), times[0].end()));
  std::printf("  baseline: bare QTabWidget window %7.1f ms  (min %.1f, max %.1f)\n", bare,
              *std::min_element(times[1].begin(), times[1].end()), *std::max_element(times[1].begin(), times[1].end()));
  std::printf("  ratio %.2fx (target at most 1.5x)\n", app / bare);
  return 0;
}
