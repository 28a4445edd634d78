// The event waiter's array management and its wait.
#include "CKxIPCEventWaiter.h"

#include <algorithm>

#include "CKxHandleSyncObject.h"
#include "KxExceptions.h"
#include "KxScopeGuard.h"
#include "KxWaitFunctions.h"

// Applications allocate waiters themselves, laid out from the public header.
static_assert(sizeof(CKxIPCEventWaiter) == sizeof(void*) + 2 * sizeof(unsigned int),
              "CKxIPCEventWaiter's layout is part of kxipc.dll's interface");

namespace {

const unsigned int kInitialCapacity = 32;
const unsigned int kGrowthStep = 50;
// A removal shrinks the array only when more than this many entries would stay unused, so that
// adding and removing around one size does not reallocate each time.
const unsigned int kShrinkSlack = 100;
const unsigned int kMaxWaitObjects = kKxMaxWaitObjects;

// Sets capacity and has resize move the entries into an array of that size. If the allocation
// throws, capacity keeps its old value, which still describes the old array.
template <class Resize>
void ChangeCapacity(unsigned int& capacity, unsigned int newCapacity, Resize resize) {
    const unsigned int previous = capacity;
    TKxScopeGuard restoreOnThrow([&capacity, previous] { capacity = previous; });
    capacity = newCapacity;
    resize();
    restoreOnThrow.Dismiss();
}

}  // namespace

CKxIPCEventWaiter::CKxIPCEventWaiter()
    : m_events(new CKxHandleSyncObject*[kInitialCapacity]()),
      m_count(0),
      m_capacity(kInitialCapacity) {}

CKxIPCEventWaiter::~CKxIPCEventWaiter() {
    delete[] m_events;
    m_events = nullptr;
}

CKxIPCEventWaiter::CKxIPCEventWaiter(const CKxIPCEventWaiter& other)
    : m_events(new CKxHandleSyncObject*[other.m_capacity]()),
      m_count(other.m_count),
      m_capacity(other.m_capacity) {
    std::copy(other.m_events, other.m_events + other.m_count, m_events);
}

CKxIPCEventWaiter& CKxIPCEventWaiter::operator=(const CKxIPCEventWaiter& other) {
    if (this == &other) return *this;
    // Allocate first: if that throws, this waiter stays as it was.
    CKxHandleSyncObject** events = new CKxHandleSyncObject*[other.m_capacity]();
    std::copy(other.m_events, other.m_events + other.m_count, events);
    delete[] m_events;
    m_events = events;
    m_count = other.m_count;
    m_capacity = other.m_capacity;
    return *this;
}

bool CKxIPCEventWaiter::AddEvent(CKxHandleSyncObject* object, unsigned int* index) {
    if (!object) return false;
    if (m_count >= m_capacity) {
        ChangeCapacity(m_capacity, m_capacity + kGrowthStep, [this] { ResizeEventsArray(); });
    }
    if (index) *index = m_count;
    m_events[m_count++] = object;
    return true;
}

bool CKxIPCEventWaiter::RemoveEvent(const CKxHandleSyncObject* object, unsigned int* index) {
    if (!object) return false;
    CKxHandleSyncObject** end = m_events + m_count;
    CKxHandleSyncObject** found = std::find(m_events, end, object);
    if (found != end) {
        if (index) *index = static_cast<unsigned int>(found - m_events);
        std::copy(found + 1, end, found);
        m_events[--m_count] = nullptr;
    }
    // Checked whether or not the object was registered.
    if (m_count + kShrinkSlack < m_capacity) {
        ChangeCapacity(m_capacity, m_capacity - kGrowthStep, [this] { ResizeEventsArray(); });
    }
    return true;
}

void CKxIPCEventWaiter::ClearIPCEventWaiter() { m_count = 0; }

int CKxIPCEventWaiter::WaitOnEvents(KxIPCTimeout timeout, unsigned int extraCount,
                                    CKxHandleSyncObject** extraObjects) {
    // Refused before the array grows or anything is read: more than a wait can take in all (a
    // count that would wrap the total around included), and extras that are not there.
    const unsigned int room = m_count < kMaxWaitObjects ? kMaxWaitObjects - m_count : 0;
    if (extraCount > room) throw CKxHandleSyncObjectException(kKxWaitForAnyBadCount);
    if (extraCount > 0 && !extraObjects) {
        throw CKxHandleSyncObjectException(kKxWaitForAnyBadPointer);
    }
    if (m_count + extraCount >= m_capacity) {
        ChangeCapacity(m_capacity, m_capacity + extraCount + kGrowthStep,
                       [this] { ResizeEventsArray(); });
    }
    // The extras go behind the registered objects without being counted: the next AddEvent
    // overwrites them, and the next wait does not see them.
    if (extraCount > 0) std::copy(extraObjects, extraObjects + extraCount, m_events + m_count);
    return WaitForAny(m_events, static_cast<int>(m_count + extraCount), timeout);
}

void CKxIPCEventWaiter::ResizeEventsArray() {
    CKxHandleSyncObject** events = new CKxHandleSyncObject*[m_capacity]();
    std::copy(m_events, m_events + m_count, events);
    delete[] m_events;
    m_events = events;
}
