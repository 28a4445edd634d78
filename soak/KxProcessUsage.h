// The calling process's open handles and private bytes, as leak checks compare them.
#pragma once

#include <cstdint>

// GetProcessHandleCount; where the platform answers 0 (Wine does), the handles are counted by
// asking for each handle value's flags, which succeeds exactly for open handles.
std::uint32_t KxOpenHandleCount();

// The private commit of GetProcessMemoryInfo; where the platform leaves it 0 (Wine does), the
// page-file usage, which counts the same private pages.
std::uint64_t KxPrivateBytes();
