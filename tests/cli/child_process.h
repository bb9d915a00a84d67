// Runs a program as a child process with given arguments, stdin bytes and extra environment
// variables, and collects its stdout, stderr and exit status.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kestrin::cli_test {

struct ChildResult {
  int exit_code = -1;  // the exit status; -1 when it did not exit normally
  std::string out;
  std::string err;
  bool timed_out = false;  // killed after the time limit
  std::string spawn_error;  // not empty when the program could not be started
};

using EnvList = std::vector<std::pair<std::string, std::string>>;

// Runs `program` with `args`, feeding `input` on its stdin (closed afterwards), with the
// test's environment plus `env` (an entry replaces a variable of the same name). Kills the
// child after timeout_ms.
[[nodiscard]] ChildResult run_child(const std::string& program,
                                    const std::vector<std::string>& args,
                                    const std::string& input = {}, const EnvList& env = {},
                                    int timeout_ms = 120'000);

}  // namespace kestrin::cli_test
