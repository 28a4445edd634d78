// The fixed texts of the multiple waits' failures, the same on every platform (kernel-private).
#pragma once

#include "KxWaitFunctions.h"

// The texts of one caller; each names the caller in front.
struct KxWaitMessages {
    const char* badCount;
    const char* badPointer;
    const char* failed;
};

inline const KxWaitMessages kKxWaitForAllMessages = {
    "WaitForAll -> invalid sync object count",
    "WaitForAll -> invalid sync object pointer",
    "WaitForAll -> WaitForMultipleObjects failed",
};
inline const KxWaitMessages kKxWaitForAnyMessages = {
    kKxWaitForAnyBadCount,
    kKxWaitForAnyBadPointer,
    "WaitForAny -> WaitForMultipleObjects failed",
};
