// Cli: the srv_zel command line (serve, import, init-demo, --help).
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace zel {

// Runs the command in args (args[0] is the first word after the program
// name). Returns the exit status: 0 success, 1 failure, 2 wrong command line.
// serve blocks until SIGINT or SIGTERM.
int SrvZelMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace zel
