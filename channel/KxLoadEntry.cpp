// libkxipc.so's load and unload: builds the service factory when the library is loaded and
// destroys it when it is unloaded (DllMain's part on Windows).
#include <cstdio>

#include "CIPCServiceFactorySingleton.h"

namespace {

// A constructor cannot refuse the load as DllMain can: the library then stays without its
// instance, and every participant fails on its absence.
__attribute__((constructor)) void KxLibraryLoaded() {
    if (!CIPCServiceFactorySingleton::ConstructInstance()) {
        std::fprintf(stderr, "kxipc: the service factory could not be built\n");
    }
}

__attribute__((destructor)) void KxLibraryUnloaded() {
    CIPCServiceFactorySingleton::DestroyInstance();
}

}  // namespace
