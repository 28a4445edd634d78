// kxipc.dll's entry point: builds the service factory at attach and destroys it at detach.
#include "CIPCServiceFactorySingleton.h"
#include "KxWindows.h"

// The runtime's own entry (MinGW's DllMainCRTStartup, MSVC's _DllMainCRTStartup) has initialised
// the C and C++ runtime before it calls this function. Building the singleton here, rather than
// from a static constructor, lets a failure make LoadLibrary return null cleanly instead of an
// exception escaping into the loader, which would end the process.
extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
    switch (reason) {
        case DLL_PROCESS_ATTACH:
            if (!CIPCServiceFactorySingleton::ConstructInstance()) return FALSE;
            // The library keeps no per-thread state: spare every thread start and end the call.
            DisableThreadLibraryCalls(instance);
            break;
        case DLL_PROCESS_DETACH:
            // Also reached right after a refused attach; there is nothing to destroy then.
            CIPCServiceFactorySingleton::DestroyInstance();
            break;
        default:
            break;
    }
    return TRUE;
}
