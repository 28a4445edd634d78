// The one place that includes <windows.h>: every other file includes this header instead, so the
// macros that trim and tame the Windows headers are set identically everywhere.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif

#include <windows.h>

// COM (CoInitializeEx) is cut from <windows.h> by WIN32_LEAN_AND_MEAN.
#include <objbase.h>

// <winuser.h> maps GetMessage to GetMessageA; the library's queue and channel have operations of
// that name, which must not be renamed in some files and not in others.
#undef GetMessage
