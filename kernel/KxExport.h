// Import/export decoration of the classes kxipc.dll exports, and the time-out type of their
// signatures.
//
// KXIPC_EXPORTS: defined while the library's own objects are compiled (they export).
// KXIPC_STATIC:  defined for code that links those objects directly instead of the DLL.
// Neither:       an application using kxipc.dll (it imports).
// Elsewhere than on Windows a shared library exports by symbol visibility, the same for all three.
#pragma once

#if !defined(_WIN32)
#define KXIPC_API __attribute__((visibility("default")))
#elif defined(KXIPC_EXPORTS)
#define KXIPC_API __declspec(dllexport)
#elif defined(KXIPC_STATIC)
#define KXIPC_API
#else
#define KXIPC_API __declspec(dllimport)
#endif

/// A time-out in milliseconds in an exported signature: unsigned long on Windows, where it is the
/// platform's 32-bit DWORD and part of the exported names; 32 bits on every platform.
#if defined(_WIN32)
typedef unsigned long KxIPCTimeout;
#else
typedef unsigned int KxIPCTimeout;
#endif
