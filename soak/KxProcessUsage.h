// The calling process's open handles and private bytes, as leak checks compare them, and the
// threads of a process.
#pragma once

#include <cstdint>

#include "KxPlatformTypes.h"

// Windows: GetProcessHandleCount; where the platform answers 0 (Wine does), the handles are
// counted by asking for each handle value's flags, which succeeds exactly for open handles.
// POSIX: the open file descriptors (/proc/self/fd).
std::uint32_t KxOpenHandleCount();

// Windows: the private commit of GetProcessMemoryInfo; where the platform leaves it 0 (Wine does),
// the page-file usage, which counts the same private pages. POSIX: the resident anonymous memory
// (RssAnon of /proc/self/status), the pages written by this process alone.
std::uint64_t KxPrivateBytes();

// The threads of the process of that identifier, as the system lists them; 0 once it has ended.
std::uint32_t KxThreadCount(KxProcessId processId);
