// CommandLine: what the programs' command lines share on top of CLI11: a
// --help that opens with the usage line as the man pages write it, then
// tells what the command does, its options and a closing note; and parsing
// whose errors name the option and the value in the programs' own words.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace zel {

// app's --help starts with "Usage: " + usage, then text (what the command
// does; a subcommand's one-line description stays for its parent's list);
// options are listed with their descriptions from column width on.
void SetUsage(CLI::App& app, std::string usage, std::string text, std::size_t width);

// A command line CLI11 refused, with the reason.
class CommandLineError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Parses args (the words after the program name, in order). Throws
// CLI::CallForHelp and CLI::CallForVersion as CLI11 does, and
// CommandLineError for a wrong command line: "option --wait needs a value",
// "unknown option "--raw=1"" (a value given to a flag), or CLI11's reason.
void ParseArgs(CLI::App& app, const std::vector<std::string>& args);

}  // namespace zel
