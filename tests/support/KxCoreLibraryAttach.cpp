// Attaches the library's process-wide services to kxipc_core_tests, which links the library's
// objects without kxipc.dll's entry point: the same construction at start and destruction at exit.
#include <cstdio>

#include "CIPCServiceFactorySingleton.h"

namespace {

class CKxCoreLibraryAttach {
public:
    CKxCoreLibraryAttach() {
        // Not fatal: a child role that checks a refused load must still run, and a test that
        // needs the instance fails on its absence.
        if (!CIPCServiceFactorySingleton::ConstructInstance()) {
            std::fprintf(stderr, "kxipc_core_tests: the service factory could not be built\n");
        }
    }
    ~CKxCoreLibraryAttach() { CIPCServiceFactorySingleton::DestroyInstance(); }
};

const CKxCoreLibraryAttach g_attach;

}  // namespace
