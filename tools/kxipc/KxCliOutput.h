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
// "members ID ID ..." on stdout.
void KxCliSayMembers(const std::vector<std::uint32_t>& ids);
