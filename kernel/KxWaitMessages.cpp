// The two texts of WaitForAny's refusals that callers above the kernel give too.
#include "KxWaitMessages.h"

const char kKxWaitForAnyBadCount[] = "WaitForAny -> invalid sync object count";
const char kKxWaitForAnyBadPointer[] = "WaitForAny -> invalid sync object pointer";
