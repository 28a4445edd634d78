// Lending, giving back and looking up acknowledge events.
#include "CKxIPCAcknowledgeEventPoolManager.h"

#include <memory>
#include <new>

#include "CKxEvent.h"
#include "CKxIPCAcknowledgeEventPoolElement.h"
#include "CKxMutex.h"
#include "KxChannelLayout.h"
#include "KxLiveness.h"
#include "KxScopeGuard.h"
#include "KxSystemScope.h"

namespace {

// Created at load and never waited on (see the class comment).
const int kElementsMadeAtLoad = 10;
// New foreign keys between two looks for the events of ended processes. A look asks once per
// process with keys in the map, which stays cheap at this rate; between looks the map grows by at
// most this many entries.
const std::size_t kForeignGrowthBeforeLook = 32;
// Kept events per live process. A process lends the elements it made at load, and more only while
// more of its sends wait at once, so its keys in use are few; but each element that retires takes
// a fresh key for good, and a key once kept would stay open as long as its process lives. The
// least recently used one goes first: a retired key is never used again.
const std::size_t kKeptKeysPerProcess = static_cast<std::size_t>(kElementsMadeAtLoad);

}  // namespace

CKxIPCAcknowledgeEventPoolManager::CKxIPCAcknowledgeEventPoolManager()
    : m_mutex(nullptr), m_nextSequence(1), m_foreignCountAtLastLook(0), m_foreignUses(0) {
    m_mutex = new CKxMutex(KxUserScopedName(kKxPoolMutexName));
    // No destructor runs for a constructor that throws: undo the elements made so far here.
    TKxScopeGuard undo([this] {
        for (CKxIPCAcknowledgeEventPoolElement* element : m_freeElements) delete element;
        m_freeElements.clear();
        delete m_mutex;
    });
    m_freeElements.reserve(kElementsMadeAtLoad);  // so that the pushes below cannot throw
    for (int i = 0; i < kElementsMadeAtLoad; ++i) m_freeElements.push_back(MakeElement());
    undo.Dismiss();
}

CKxIPCAcknowledgeEventPoolManager::~CKxIPCAcknowledgeEventPoolManager() {
    while (!m_freeElements.empty()) {
        delete m_freeElements.back();
        m_freeElements.pop_back();
    }
    for (auto& entry : m_foreignEvents) delete entry.second.element;
    m_foreignEvents.clear();
    delete m_mutex;
}

CKxIPCAcknowledgeEventPoolElement* CKxIPCAcknowledgeEventPoolManager::MakeElement() {
    std::unique_ptr<CKxIPCAcknowledgeEventPoolElement> element(
        new CKxIPCAcknowledgeEventPoolElement(m_nextSequence, KxCurrentProcessId()));
    // The name is new to this process, but an earlier process of the same identifier may have
    // left an event of that name open in another process's pool, signalled for a wait of its own.
    element->GetEvent()->Wait(0);
    ++m_nextSequence;
    return element.release();
}

CKxIPCAcknowledgeEventPoolElement* CKxIPCAcknowledgeEventPoolManager::AcquireElement() {
    CKxSlimLock::Exclusive hold(m_freeLock);
    if (m_freeElements.empty()) return MakeElement();
    CKxIPCAcknowledgeEventPoolElement* element = m_freeElements.back();
    m_freeElements.pop_back();
    return element;
}

void CKxIPCAcknowledgeEventPoolManager::ReleaseElement(CKxIPCAcknowledgeEventPoolElement* element) {
    if (!element) return;
    if (element->IsRetired()) {
        delete element;
        return;
    }
    CKxSlimLock::Exclusive hold(m_freeLock);
    try {
        m_freeElements.push_back(element);
    } catch (const std::bad_alloc&) {
        delete element;  // a list that cannot grow loses the element, never the caller's path
    }
}

CKxEvent* CKxIPCAcknowledgeEventPoolManager::GetEventByKey(std::uint64_t key) {
    CKxSlimLock::Exclusive hold(m_foreignLock);
    return ForeignElement(key)->GetEvent();
}

void CKxIPCAcknowledgeEventPoolManager::SetEventByKey(std::uint64_t key) {
    CKxSlimLock::Exclusive hold(m_foreignLock);
    // Set under the lock: no look-up on another thread can close the event meanwhile.
    ForeignElement(key)->GetEvent()->Set();
}

CKxIPCAcknowledgeEventPoolElement* CKxIPCAcknowledgeEventPoolManager::ForeignElement(
    std::uint64_t key) {
    // One lock over look-up, creation and insertion: two threads asking for a new key at once
    // must not both open it, or one element would leak outside the map.
    auto found = m_foreignEvents.find(key);
    if (found != m_foreignEvents.end()) {
        found->second.lastUse = ++m_foreignUses;
        return found->second.element;
    }
    // Before the map grows, never after: the entry made below is the caller's to use.
    if (m_foreignEvents.size() >= m_foreignCountAtLastLook + kForeignGrowthBeforeLook) {
        CloseEventsOfEndedProcesses();
    }
    const std::uint32_t owner = static_cast<std::uint32_t>(key >> 32);
    std::unique_ptr<CKxIPCAcknowledgeEventPoolElement> element(
        new CKxIPCAcknowledgeEventPoolElement(key & 0xFFFFFFFFu, owner));
    CloseLeastRecentKeyOfFullProcess(owner);
    m_foreignEvents.emplace(key, KeptEvent{element.get(), ++m_foreignUses});
    return element.release();
}

void CKxIPCAcknowledgeEventPoolManager::CloseLeastRecentKeyOfFullProcess(std::uint32_t owner) {
    // Keys order by process identifier first: the owner's keys are one run of the map.
    const auto first = m_foreignEvents.lower_bound(static_cast<std::uint64_t>(owner) << 32);
    auto oldest = first;
    std::size_t kept = 0;
    for (auto entry = first;
         entry != m_foreignEvents.end() && static_cast<std::uint32_t>(entry->first >> 32) == owner;
         ++entry, ++kept) {
        if (entry->second.lastUse < oldest->second.lastUse) oldest = entry;
    }
    if (kept < kKeptKeysPerProcess) return;
    // Closing is safe while the owner runs: as long as it holds its element's event, the name
    // reopens that same kernel event at the next acknowledgement to the key; once it no longer
    // does, nothing waits on that event any more.
    delete oldest->second.element;
    m_foreignEvents.erase(oldest);
}

void CKxIPCAcknowledgeEventPoolManager::CloseEventsOfEndedProcesses() {
    const std::uint32_t self = KxCurrentProcessId();
    auto entry = m_foreignEvents.begin();
    while (entry != m_foreignEvents.end()) {
        // Keys order by process identifier first: one answer covers the run of that process's
        // keys. Nothing can wait on an ended process's event, so closing it changes nothing that
        // another process could observe.
        const std::uint32_t owner = static_cast<std::uint32_t>(entry->first >> 32);
        const bool ended = owner != self && KxProcessHasEnded(owner);
        while (entry != m_foreignEvents.end() &&
               static_cast<std::uint32_t>(entry->first >> 32) == owner) {
            if (ended) {
                delete entry->second.element;
                entry = m_foreignEvents.erase(entry);
            } else {
                ++entry;
            }
        }
    }
    m_foreignCountAtLastLook = m_foreignEvents.size();
}
