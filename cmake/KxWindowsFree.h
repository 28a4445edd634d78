// Included first in every source of a Windows-free layer (kxipc_windows_free): poisons names that
// <windows.h> defines or that only Win32 code uses, so that reaching <windows.h> or naming its
// types and calls fails to compile. The library above kernel/ names platform types through
// KxPlatformTypes.h and calls the platform through the kernel's functions.
#pragma once

#pragma GCC poison DWORD HANDLE SIZE_T BOOL SRWLOCK INFINITE LPVOID WINAPI
#pragma GCC poison WaitForSingleObject WaitForMultipleObjects GetCurrentThreadId
#pragma GCC poison GetCurrentProcessId CloseHandle CoInitializeEx OpenThread
