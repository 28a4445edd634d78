// Threads, what every platform does alike: the name a new wrapper carries, and the wait for the
// thread's end before its handle goes. Create, the exit code and the naming are the platform's.
#include "CKxThread.h"

#include <cstring>

namespace {
const char kThreadName[] = "Quorel CKxThread";
}  // namespace

CKxThread::CKxThread() : m_threadId(0) {
    std::strncpy(m_name, kThreadName, sizeof(m_name) - 1);
    m_name[sizeof(m_name) - 1] = '\0';
}

CKxThread::~CKxThread() {
    if (!GetHandle()) return;
    try {
        Wait(kKxWaitForever);
    } catch (...) {
        // A destructor must not throw; the handle is closed all the same.
    }
}
