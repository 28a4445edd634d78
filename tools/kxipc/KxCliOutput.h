// Whole-line output of kxipc.exe, shared by the main thread and the participant's waiting thread.
//
// Every line is written under one process-wide lock and flushed before the call returns: stdout
// is usually a pipe read by a script or a test that waits for each line as it comes, and events
// printed by handlers must never interleave with the main thread's replies.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// printf-style line on stdout (the text without its end of line). Any thread.
void KxCliSay(const char* format, ...);
// "error: " + text on stderr. Any thread.
void KxCliError(const std::string& text);
// "ID", or with withOrigin "ID pid PID EXE": the process of the member's waiting thread and its
// executable file name (pid 0 and EXE "?" where the platform does not tell).
std::string KxCliMemberText(std::uint32_t id, bool withOrigin);
// "members" and each member's text, on stdout.
void KxCliSayMembers(const std::vector<std::uint32_t>& ids, bool withOrigin = false);
