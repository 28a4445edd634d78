// Import/export decoration of the classes kxipc.dll exports.
//
// KXIPC_EXPORTS: defined while the library's own objects are compiled (they export).
// KXIPC_STATIC:  defined for code that links those objects directly instead of the DLL.
// Neither:       an application using kxipc.dll (it imports).
#pragma once

#if defined(KXIPC_EXPORTS)
#define KXIPC_API __declspec(dllexport)
#elif defined(KXIPC_STATIC)
#define KXIPC_API
#else
#define KXIPC_API __declspec(dllimport)
#endif
