#include "cli/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>

extern char** environ;

namespace kestrin::cli_test {
namespace {

struct Fd {
  int fd = -1;
  ~Fd() { close(); }
  void close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
};

bool make_pipe(Fd& read_end, Fd& write_end) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return false;
  read_end.fd = fds[0];
  write_end.fd = fds[1];
  return true;
}

}  // namespace

ChildResult run_child(const std::string& program, const std::vector<std::string>& args,
                      const std::string& input, const EnvList& env, int timeout_ms) {
  ::signal(SIGPIPE, SIG_IGN);  // a child that exits before reading all of stdin
  ChildResult result;
  Fd in_r, in_w, out_r, out_w, err_r, err_w;
  if (!make_pipe(in_r, in_w) || !make_pipe(out_r, out_w) || !make_pipe(err_r, err_w)) {
    result.spawn_error = std::strerror(errno);
    return result;
  }

  std::map<std::string, std::string> variables;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::size_t eq = entry.find('=');
    if (eq != std::string::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
  }
  for (const auto& [name, value] : env) variables[name] = value;
  std::vector<std::string> env_strings;
  for (const auto& [name, value] : variables) env_strings.push_back(name + "=" + value);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);

  std::vector<std::string> argv_strings{program};
  argv_strings.insert(argv_strings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& s : argv_strings) argv.push_back(s.data());
  argv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_r.fd, 0);
  posix_spawn_file_actions_adddup2(&actions, out_w.fd, 1);
  posix_spawn_file_actions_adddup2(&actions, err_w.fd, 2);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    result.spawn_error = std::strerror(rc);
    return result;
  }
  in_r.close();
  out_w.close();
  err_w.close();
  ::fcntl(in_w.fd, F_SETFL, O_NONBLOCK);

  std::size_t written = 0;
  if (input.empty()) in_w.close();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (out_r.fd >= 0 || err_r.fd >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      result.timed_out = true;
      ::kill(pid, SIGKILL);
      break;
    }
    pollfd fds[3];
    nfds_t n = 0;
    if (out_r.fd >= 0) fds[n++] = {out_r.fd, POLLIN, 0};
    if (err_r.fd >= 0) fds[n++] = {err_r.fd, POLLIN, 0};
    if (in_w.fd >= 0) fds[n++] = {in_w.fd, POLLOUT, 0};
    if (::poll(fds, n, static_cast<int>(left.count())) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (nfds_t k = 0; k < n; ++k) {
      if (fds[k].revents == 0) continue;
      if (fds[k].fd == in_w.fd) {
        const ssize_t w = ::write(in_w.fd, input.data() + written, input.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN) written = input.size();
        if (written >= input.size()) in_w.close();
        continue;
      }
      char buffer[65536];
      const ssize_t r = ::read(fds[k].fd, buffer, sizeof buffer);
      if (r > 0) {
        (fds[k].fd == out_r.fd ? result.out : result.err).append(buffer, static_cast<std::size_t>(r));
      } else if (r == 0 || errno != EINTR) {
        (fds[k].fd == out_r.fd ? out_r : err_r).close();
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exit_code = WEXITSTATUS(status);
  return result;
}

}  // namespace kestrin::cli_test
