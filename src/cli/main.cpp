// kestrinseo-cli: the rewriting services from a terminal or a script.
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/cli.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  kestrin::cli::CliStreams io;
  io.in_is_terminal = ::isatty(STDIN_FILENO) == 1;
  io.err_is_terminal = ::isatty(STDERR_FILENO) == 1;
  return kestrin::cli::run_cli(args, io);
}
