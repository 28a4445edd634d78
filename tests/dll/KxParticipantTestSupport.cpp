// Helpers shared by the tests of the participant through kxipc.dll.
#include "KxParticipantTestSupport.h"

#include <cstdio>
#include <thread>

namespace {

std::string Format(const char* format, unsigned int a, unsigned int b) {
    char line[64];
    std::snprintf(line, sizeof(line), format, a, b);
    return line;
}

}  // namespace

std::string KxJoinLine(unsigned int id, bool joinedLater) {
    return Format("join %08X %u", id, joinedLater ? 1u : 0u);
}

std::string KxQuitLine(unsigned int id) { return Format("quit %08X", id, 0); }

std::string KxSyncLine(unsigned int sender, unsigned int code) {
    return Format("sync %08X %08X", sender, code);
}

std::string KxRecvLine(unsigned int sender, unsigned int code) {
    return Format("recv %08X %08X", sender, code);
}

std::string KxHandlerSentLine(unsigned int code, bool result) {
    return Format("handler-sent %08X %u", code, result ? 1u : 0u);
}

bool KxRunsWithin(DWORD boundMs, const std::function<void()>& action, std::exception_ptr* thrown) {
    KxHandle done(CreateEventA(nullptr, TRUE /*bManualReset*/, FALSE /*bInitialState*/, nullptr));
    std::exception_ptr failure;
    std::thread runner([&] {
        try {
            action();
        } catch (...) {
            failure = std::current_exception();
        }
        SetEvent(done.get());
    });
    const bool inTime = WaitForSingleObject(done.get(), boundMs) == WAIT_OBJECT_0;
    runner.join();
    if (failure) {
        if (!thrown) std::rethrow_exception(failure);
        *thrown = failure;
    }
    return inTime;
}

KxHandle KxCreateReleaseEvent(const std::string& name) {
    return KxHandle(
        CreateEventA(nullptr, FALSE /*bManualReset*/, FALSE /*bInitialState*/, name.c_str()));
}
