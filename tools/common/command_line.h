// The companions' command line: one parse wrapper around CLI11, the exit
// statuses every program shares, and the satellite check as TAVO_L0 has it.
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace tavo_tools {

// Exit statuses of every companion.
constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;    // the work failed, or found losses
constexpr int kExitBadInput = 2;  // bad usage or bad input: nothing was done

// Parses argv into app. -1 when the program goes on; otherwise the status to
// exit with: 0 after --help or --version (printed on standard output), 2
// after a usage error, told in one line on standard error:
// "PROGRAM: MESSAGE (see PROGRAM --help)".
int parse_command_line(CLI::App& app, int argc, char** argv);

// Prints "PROGRAM: MESSAGE" on standard error, control characters in the
// message escaped, and returns status.
int report_failure(const std::string& program, const std::string& message, int status);

// The KITE number of text ("16" to "19"), as TAVO_L0 validates it; false
// with error set (TAVO_L0's message) for any other text.
bool parse_kite(const std::string& text, int& kite, std::string& error);

}  // namespace tavo_tools
