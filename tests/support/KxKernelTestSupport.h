// Helpers shared by the kernel wrapper tests: exact exception checks and mutexes held, probed or
// abandoned by child processes.
#pragma once

#include <memory>
#include <string>
#include <typeinfo>

#include <gtest/gtest.h>

#include "CKxSynchronizationObject.h"
#include "KxExceptions.h"
#include "KxTestHarness.h"


// What a wait on an abandoned mutex throws, as callers see it.
const char kAbandonedMessage[] =
    "CKxHandleSyncObject::Wait -> WaitForSingleObject returned WAIT_ABANDONED... This might be ok?";

// Expects action() to throw exactly Expected (not a class derived from it) with this message,
// caught through CKxBaseException as an application would.
template <class Expected, class Action>
void ExpectKxThrow(Action action, const std::string& message) {
    try {
        action();
        ADD_FAILURE() << "nothing thrown; expected \"" << message << "\"";
    } catch (const CKxBaseException& e) {
        EXPECT_EQ(typeid(Expected), typeid(e)) << "thrown: " << typeid(e).name();
        EXPECT_EQ(message, e.GetErrorMessage());
    }
}

// What a fresh child process finds when it tries the named mutex with Wait(0): "took" (it obtained
// and released it), "busy", "abandoned" (it now owned it and released it), or "" if the child
// failed.
std::string TryMutexInChild(const std::string& name);

// Starts a child that takes the named mutex and keeps it until told "release" (after which it
// prints "released") or "exit" (it then ends still owning it). Null if the child did not report
// "held".
std::unique_ptr<CKxChildProcess> HoldMutexInChild(const std::string& name);

enum class KxChildEnd { Exit, Kill };
// A child takes the named mutex and ends without releasing it, by returning or by being killed,
// which leaves the mutex abandoned. false if the child did not get that far.
bool AbandonMutexInChild(const std::string& name, KxChildEnd end);

// Whether another thread of this process obtains object with Wait(0) (released again at once).
bool TakeOnOtherThread(CKxSynchronizationObject* object);
