// The headless front end: runs the chat server without a window and prints the event log
// on standard output. For machines without a desktop.
#pragma once

#include <string>
#include <string_view>

namespace qs {

// Makes a log line safe for a terminal: control characters other than line feed and tab
// (C0, DEL and C1) become \xHH with the character's number in two upper-case hex digits.
std::string EscapeForTerminal(std::string_view utf8);

std::string UsageText(std::string_view program);

// Runs until SIGINT or SIGTERM; returns the exit code (0, or 1 when the port is taken).
int RunHeadless();

}  // namespace qs
