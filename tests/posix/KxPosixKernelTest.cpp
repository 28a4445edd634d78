// The Linux kernel layer's building blocks across real processes: named objects and their
// lifetime, mutexes abandoned by killed owners, events, multiple waits, and thread ends.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>

#include "CKxPosixLifeLock.h"
#include "CKxThread.h"
#include "CKxPosixNamedObject.h"
#include "KxPosixWaitable.h"

namespace {

constexpr std::uint32_t kDeadlineMs = 60000;

long long NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

// A forked child that runs body(tell) and exits with its result; tell(value) sends the parent a
// number (its readiness, a thread identifier, a time).
struct Child {
    pid_t pid;
    int pipe;
    long long Read() {
        long long value = -1;
        return read(pipe, &value, sizeof(value)) == sizeof(value) ? value : -1;
    }
    int Wait() {  // the exit status, or 128 + the signal that ended it
        int status = 0;
        waitpid(pid, &status, 0);
        close(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Kill() { return kill(pid, SIGKILL), Wait(); }
};

template <class Body>
Child Fork(Body body) {
    int fds[2];
    EXPECT_EQ(0, pipe(fds));
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const int out = fds[1];
        _exit(body([out](long long value) { (void)!write(out, &value, sizeof(value)); }));
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// Waits until the process sleeps in the kernel (its wait has started).
bool Sleeping(pid_t pid) {
    for (const long long end = NowNs() + kDeadlineMs * 1000000LL; NowNs() < end;) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidField, command, state;
        stat >> pidField >> command >> state;
        if (state == "S") return true;
        sched_yield();
    }
    return false;
}

std::string UniqueName(const char* what) {
    static int sequence = 0;
    return std::string("test/") + what + "." + std::to_string(getpid()) + "." +
           std::to_string(++sequence);
}

bool Exists(const std::string& fileName) {
    return access(("/dev/shm/" + fileName).c_str(), F_OK) == 0;
}

std::unique_ptr<CKxPosixNamedObject> Open(const std::string& name, KxPosixObjectKind kind,
                                          bool manualReset = false, bool* created = nullptr) {
    bool fresh = false;
    int error = 0;
    auto init = [](void* payload, void* manual) {
        if (*static_cast<bool*>(manual))
            KxPosixInitEvent(static_cast<KxPosixEventState*>(payload), true);
        if (!*static_cast<bool*>(manual))
            KxPosixInitMutex(static_cast<pthread_mutex_t*>(payload), true);
    };
    // An event's payload starts as an unsignalled automatic one (all zero), a segment's as zeros.
    void (*initializer)(void*, void*) =
        kind == KxPosixObjectKind::Mutex || manualReset ? +init : nullptr;
    auto object =
        CKxPosixNamedObject::OpenOrCreate(KxPosixObjectFileName(name), kind, 100, initializer,
                                          &manualReset, created ? created : &fresh, &error);
    EXPECT_TRUE(object || error == EEXIST || error == EACCES) << error;
    return object;
}

KxPosixWaitResult WaitOne(KxPosixWaitable waitable, std::uint32_t timeoutMs) {
    KxPosixWaitable* objects[] = {&waitable};
    return KxPosixWaitForAny(objects, 1, timeoutMs);
}
KxPosixWaitResult WaitEvent(CKxPosixNamedObject& object, std::uint32_t timeoutMs) {
    return WaitOne(KxPosixEventWaitable(static_cast<KxPosixEventState*>(object.Payload())),
                   timeoutMs);
}
KxPosixWaitResult WaitMutex(CKxPosixNamedObject& object, std::uint32_t timeoutMs) {
    return WaitOne(KxPosixMutexWaitable(static_cast<pthread_mutex_t*>(object.Payload())),
                   timeoutMs);
}
#define EXPECT_STATUS(expected, result) EXPECT_EQ(KxPosixWaitStatus::expected, (result).status)

}  // namespace

TEST(KxPosixNamedObject, OpenKeepsStateAndKindOwnerOnlyAndNoObjectOutlivesItsHolders) {
    const std::string name = UniqueName("segment"), file = KxPosixObjectFileName(name);
    bool created = false;
    auto segment = Open(name, KxPosixObjectKind::Segment, false, &created);
    ASSERT_TRUE(segment && created);
    struct stat status;
    ASSERT_EQ(0, stat(("/dev/shm/" + file).c_str(), &status));
    EXPECT_EQ(0600u, status.st_mode & 0777);
    static_cast<char*>(segment->Payload())[0] = 42;
    Child opener = Fork([&](auto) {
        bool again = true;
        auto same = Open(name, KxPosixObjectKind::Segment, false, &again);
        return same && !again && static_cast<char*>(same->Payload())[0] == 42 ? 0 : 1;
    });
    EXPECT_EQ(0, opener.Wait()) << "a second opener shares the state";
    EXPECT_FALSE(Open(name, KxPosixObjectKind::Event)) << "another kind under the name";
    Child stranger = Fork([&](auto) {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
        int error = 0;
        bool fresh;
        return !CKxPosixNamedObject::OpenOrCreate(file, KxPosixObjectKind::Segment, 100, nullptr,
                                                  nullptr, &fresh, &error) &&
                       error == EACCES
                   ? 0
                   : 1;
    });
    EXPECT_EQ(0, stranger.Wait()) << "another user may not open it";

    // A killed holder's lock goes with it: the last holder left, killed or not, removes the name.
    Child holder = Fork([&](auto tell) {
        auto same = Open(name, KxPosixObjectKind::Segment);
        tell(1);
        pause();
        return 0;
    });
    ASSERT_EQ(1, holder.Read());
    segment.reset();
    EXPECT_TRUE(Exists(file));
    holder.Kill();
    EXPECT_TRUE(Exists(file)) << "left by a killed last holder";
    segment = Open(name, KxPosixObjectKind::Segment, false, &created);
    EXPECT_TRUE(created) << "the next opener starts afresh";
    EXPECT_EQ(0, static_cast<char*>(segment->Payload())[0]);
    segment.reset();
    EXPECT_FALSE(Exists(file));

    // A killed participant's own objects are never opened by name again: the next thread start of
    // any process removes them.
    Child participant = Fork([&](auto tell) {
        auto same = Open(name, KxPosixObjectKind::Segment);
        tell(1);
        pause();
        return 0;
    });
    ASSERT_EQ(1, participant.Read());
    participant.Kill();
    // So is what a creator killed before it linked its object leaves under its private name, and
    // only that: a live creator's file stays.
    const pid_t dead = participant.pid;
    const std::string leftover =
        std::string(kKxPosixObjectPrefix) + "~." + std::to_string(dead) + ".1";
    const std::string building =
        std::string(kKxPosixObjectPrefix) + "~." + std::to_string(getpid()) + ".99999";
    for (const std::string& each : {leftover, building})
        close(open(("/dev/shm/" + each).c_str(), O_RDWR | O_CREAT | O_EXCL, 0600));
    CKxThread next;
    next.Create([](void*) -> unsigned { return 0; }, nullptr, false, 0, false);
    EXPECT_FALSE(Exists(file)) << "left after the next thread start";
    EXPECT_FALSE(Exists(leftover)) << "a dead creator's file left after the next thread start";
    EXPECT_TRUE(Exists(building)) << "a live creator's file removed";
    unlink(("/dev/shm/" + building).c_str());

    Child leaver = Fork([&](auto tell) {
        auto same = Open(name, KxPosixObjectKind::Segment);
        tell(1);
        pause();
        return 0;
    });
    ASSERT_EQ(1, leaver.Read());
    leaver.Kill();
    // Another process's thread start may have removed it first: only its absence is certain.
    KxPosixRemoveUnheldObjects();
    EXPECT_FALSE(Exists(file)) << "cleaning removes what nobody holds";
}

TEST(KxPosixMutex, RecursiveSharedAndAbandonedOnceWhenItsOwnerEnds) {
    for (const char* end : {"killed", "exited", "thread returned"}) {
        SCOPED_TRACE(end);
        const std::string name = UniqueName("mutex");
        auto mutex = Open(name, KxPosixObjectKind::Mutex);
        ASSERT_TRUE(mutex);
        auto* lock = static_cast<pthread_mutex_t*>(mutex->Payload());
        EXPECT_EQ(EPERM, KxPosixReleaseMutex(lock)) << "not owned by its creator";
        if (end[0] == 't') {
            std::thread([&] { EXPECT_STATUS(Signalled, WaitMutex(*mutex, 0)); }).join();
        } else {
            auto go = Open(name + ".go", KxPosixObjectKind::Event, true);
            Child owner = Fork([&](auto tell) {
                auto same = Open(name, KxPosixObjectKind::Mutex);
                const bool twice = WaitMutex(*same, 0).status == KxPosixWaitStatus::Signalled &&
                                   WaitMutex(*same, 0).status == KxPosixWaitStatus::Signalled;
                tell(twice);
                WaitEvent(*Open(name + ".go", KxPosixObjectKind::Event, true), kDeadlineMs);
                return 0;
            });
            ASSERT_EQ(1, owner.Read()) << "the owner takes it again";
            EXPECT_STATUS(TimedOut, WaitMutex(*mutex, 0));
            if (end[0] == 'e') KxPosixSetEvent(static_cast<KxPosixEventState*>(go->Payload()));
            end[0] == 'k' ? owner.Kill() : owner.Wait();
        }
        const KxPosixWaitResult abandoned = WaitMutex(*mutex, kDeadlineMs);
        EXPECT_STATUS(Abandoned, abandoned);
        EXPECT_EQ(0, abandoned.index);
        EXPECT_EQ(0, Fork([&](auto) {
                         return WaitMutex(*Open(name, KxPosixObjectKind::Mutex), 0).status ==
                                        KxPosixWaitStatus::TimedOut
                                    ? 0
                                    : 1;
                     }).Wait());
        EXPECT_EQ(0, KxPosixReleaseMutex(lock));
        EXPECT_EQ(0, Fork([&](auto) {
                         return WaitMutex(*Open(name, KxPosixObjectKind::Mutex), 0).status ==
                                        KxPosixWaitStatus::Signalled
                                    ? 0
                                    : 1;
                     }).Wait())
            << "reported once";
    }
}

// The kernel wakes one waiter of a mutex whose owner dies. When that waiter is a thread of the
// killed process itself, it dies too: each waiter of the other processes must still get the mutex.
TEST(KxPosixMutex, EveryWaiterGetsItWhenItsOwnerIsKilledWithAWaiterOfItsOwn) {
    for (int round = 0; round < 24; ++round) {
        SCOPED_TRACE(round);
        const std::string name = UniqueName("mutex");
        auto mutex = Open(name, KxPosixObjectKind::Mutex);
        ASSERT_TRUE(mutex);
        Child owner = Fork([&](auto tell) {
            auto same = Open(name, KxPosixObjectKind::Mutex);
            std::atomic<bool> held{false};
            std::thread([&] {
                held = WaitMutex(*same, 0).status == KxPosixWaitStatus::Signalled;
                pause();
            }).detach();
            while (!held) sched_yield();
            tell(1);
            WaitMutex(*same, kDeadlineMs);
            return 0;
        });
        ASSERT_EQ(1, owner.Read());
        ASSERT_TRUE(Sleeping(owner.pid));
        Child waiters[3] = {};
        for (Child& waiter : waiters) {
            waiter = Fork([&](auto tell) {
                auto same = Open(name, KxPosixObjectKind::Mutex);
                const KxPosixWaitStatus status = WaitMutex(*same, kDeadlineMs).status;
                tell(1);
                KxPosixReleaseMutex(static_cast<pthread_mutex_t*>(same->Payload()));
                return status == KxPosixWaitStatus::Signalled ||
                               status == KxPosixWaitStatus::Abandoned
                           ? 0
                           : 1;
            });
        }
        for (Child& waiter : waiters) ASSERT_TRUE(Sleeping(waiter.pid));
        owner.Kill();
        for (Child& waiter : waiters) EXPECT_EQ(0, waiter.Wait());
    }
}

TEST(KxPosixEvent, AutoResetReleasesOneWaiterManualAllAndOpeningKeepsTheMode) {
    for (const bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "manual" : "automatic");
        const std::string name = UniqueName("event");
        auto event = Open(name, KxPosixObjectKind::Event, manual);
        ASSERT_TRUE(event);
        auto* state = static_cast<KxPosixEventState*>(event->Payload());
        Child waiters[2] = {};
        for (Child& waiter : waiters) {
            waiter = Fork([&](auto) {
                auto same = Open(name, KxPosixObjectKind::Event, !manual);  // the mode stays
                return WaitEvent(*same, kDeadlineMs).status == KxPosixWaitStatus::Signalled ? 0 : 1;
            });
            ASSERT_TRUE(Sleeping(waiter.pid));
        }
        KxPosixSetEvent(state);
        if (manual) {
            EXPECT_EQ(0, waiters[0].Wait() + waiters[1].Wait());
            EXPECT_STATUS(Signalled, WaitEvent(*event, 0)) << "stays signalled";
            KxPosixResetEvent(state);
        } else {
            int status = 1;
            const pid_t first = waitpid(-1, &status, 0);  // these two are the only children left
            EXPECT_EQ(0, status);
            Child& other = first == waiters[0].pid ? waiters[1] : waiters[0];
            close((first == waiters[0].pid ? waiters[0] : waiters[1]).pipe);
            EXPECT_STATUS(TimedOut, WaitEvent(*event, 0)) << "the one released consumed it";
            KxPosixSetEvent(state);
            EXPECT_EQ(0, other.Wait());
        }
        EXPECT_STATUS(TimedOut, WaitEvent(*event, 0));
    }
}

TEST(KxPosixWaits, AnyTakesTheLowestOf64AllTakesAllOrNothingAndTimeOuts) {
    KxPosixEventState events[kKxPosixMaximumWaitObjects];
    KxPosixWaitable waitables[kKxPosixMaximumWaitObjects];
    KxPosixWaitable* objects[kKxPosixMaximumWaitObjects + 1];
    for (int i = 0; i < kKxPosixMaximumWaitObjects; ++i) {
        KxPosixInitEvent(&events[i], false);
        waitables[i] = KxPosixEventWaitable(&events[i]);
        objects[i] = &waitables[i];
    }
    objects[kKxPosixMaximumWaitObjects] = &waitables[0];
    EXPECT_STATUS(Failed, KxPosixWaitForAny(objects, 0, 0));
    EXPECT_STATUS(Failed, KxPosixWaitForAny(objects, kKxPosixMaximumWaitObjects + 1, 0));
    objects[63] = nullptr;
    KxPosixSetEvent(&events[62]);
    EXPECT_STATUS(Failed, KxPosixWaitForAny(objects, 64, 0)) << "a null pointer consumes nothing";
    objects[63] = &waitables[63];
    KxPosixSetEvent(&events[63]);
    KxPosixSetEvent(&events[40]);
    EXPECT_EQ(40, KxPosixWaitForAny(objects, 64, 0).index);
    EXPECT_EQ(62, KxPosixWaitForAny(objects, 64, 0).index);

    EXPECT_STATUS(TimedOut, KxPosixWaitForAll(objects + 62, 2, 0)) << "only 63 is signalled";
    std::thread setter([&] { KxPosixSetEvent(&events[62]); });
    EXPECT_STATUS(Signalled, KxPosixWaitForAll(objects + 62, 2, kDeadlineMs));
    setter.join();
    EXPECT_STATUS(TimedOut, KxPosixWaitForAny(objects, 64, 0)) << "all signals consumed";
    const long long start = NowNs();
    EXPECT_EQ(-1, KxPosixWaitForAny(objects, 64, 30).index);
    EXPECT_GE(NowNs() - start, 30000000LL);
}

// Three processes watch a thread of a fourth; each sees its end, however it comes, while the
// kernel itself wakes only one of them. This process watches too without waiting at that moment.
// When the process is killed, a thread of its own may wait for that end before everyone else (the
// kernel's one wake-up would go to it, and die with it): killed that way, in rounds, as the order
// in which the dying threads leave their waits varies.
TEST(KxPosixLifeLock, EveryWatcherSeesAThreadsEndHoweverItComes) {
    const char* const ends[] = {"released", "thread ended holding it", "process killed"};
    for (int round = 0; round < 3 + 12; ++round) {
        const char* const end = ends[std::min(round, 2)];
        const bool ownWaiter = round > 2;
        SCOPED_TRACE(std::string(end) + (ownWaiter ? ", a thread of its own waiting" : ""));
        const std::string go = UniqueName("go");
        auto goEvent = Open(go, KxPosixObjectKind::Event, true);
        Child member = Fork([&](auto tell) {
            std::atomic<std::uint32_t> holder{0};
            std::thread thread([&] {
                int error = 0;
                auto life = CKxPosixLifeLock::Hold(&error);
                holder = life ? KxPosixCurrentThreadId() : 1;
                WaitEvent(*Open(go, KxPosixObjectKind::Event), kDeadlineMs);
                if (end[0] == 't') life.release();
            });
            while (holder == 0) sched_yield();
            tell(holder);
            int error = 0;
            if (auto own = ownWaiter ? CKxPosixLifeLock::Watch(holder, &error) : nullptr)
                WaitOne(*own->Waitable(), kDeadlineMs);
            thread.join();
            pause();
            return 0;
        });
        const long long tid = member.Read();
        ASSERT_GT(tid, 1);
        if (ownWaiter) {
            ASSERT_TRUE(Sleeping(member.pid));
        }
        Child watchers[3] = {};
        for (Child& watcher : watchers) {
            watcher = Fork([&](auto tell) {
                int failure = 0;
                auto life = CKxPosixLifeLock::Watch(tid, &failure);
                KxPosixEventState never;
                KxPosixInitEvent(&never, true);
                KxPosixWaitable event = KxPosixEventWaitable(&never);
                KxPosixWaitable* objects[] = {&event, life ? life->Waitable() : &event};
                const bool seen = KxPosixWaitForAny(objects, 2, kDeadlineMs).index == 1;
                tell(NowNs());
                return seen ? 0 : 1;
            });
        }
        for (Child& watcher : watchers) ASSERT_TRUE(Sleeping(watcher.pid));
        // Watched here only now: a watching process runs a helper thread, and the children above
        // are forked from a process of one thread.
        int error = 0;
        auto busy = CKxPosixLifeLock::Watch(tid, &error);
        ASSERT_TRUE(busy) << error;
        if (end[0] == 'p') {
            EXPECT_FALSE(busy->HasEnded());
        }
        const long long start = NowNs();
        end[0] == 'p' ? (void)kill(member.pid, SIGKILL)
                      : KxPosixSetEvent(static_cast<KxPosixEventState*>(goEvent->Payload()));
        long long slowest = 0;
        for (Child& watcher : watchers) {
            slowest = std::max(slowest, watcher.Read() - start);
            EXPECT_EQ(0, watcher.Wait());
        }
        if (end[0] == 'p' && !ownWaiter)
            std::printf("[ timing ] 3 watchers saw the kill within %.3f ms\n", slowest / 1e6);
        EXPECT_TRUE(busy->HasEnded()) << "seen at the next look";
        member.Kill();
        busy.reset();
        EXPECT_FALSE(CKxPosixLifeLock::Watch(tid, &error)) << "gone with its last watcher";
        EXPECT_EQ(ENOENT, error);
    }
}

// Two processes bounce the signal of two automatic events: the futex round trip the library's
// synchronous send is measured against.
TEST(KxPosixEvent, PingPongBetweenTwoProcesses) {
    const std::string ping = UniqueName("ping"), pong = UniqueName("pong");
    auto pingEvent = Open(ping, KxPosixObjectKind::Event),
         pongEvent = Open(pong, KxPosixObjectKind::Event);
    constexpr int kRounds = 20000;
    Child echo = Fork([&](auto) {
        auto in = Open(ping, KxPosixObjectKind::Event), out = Open(pong, KxPosixObjectKind::Event);
        for (int i = 0; i < kRounds; ++i) {
            if (WaitEvent(*in, kDeadlineMs).status != KxPosixWaitStatus::Signalled) return 1;
            KxPosixSetEvent(static_cast<KxPosixEventState*>(out->Payload()));
        }
        return 0;
    });
    const long long start = NowNs();
    int round = 0;
    for (; round < kRounds; ++round) {
        KxPosixSetEvent(static_cast<KxPosixEventState*>(pingEvent->Payload()));
        if (WaitEvent(*pongEvent, kDeadlineMs).status != KxPosixWaitStatus::Signalled) break;
    }
    EXPECT_EQ(kRounds, round);
    std::printf("[ timing ] futex round trip %.2f us\n", (NowNs() - start) / 1e3 / kRounds);
    EXPECT_EQ(0, echo.Wait());
}

// What a thread wrote is seen by whoever waited for its end (the thread sanitizer checks the order;
// it notices a missing one in some runs only, hence the rounds).
TEST(KxPosixThread, AWaitForItsEndSeesWhatTheThreadWrote) {
    for (int round = 0; round < 20; ++round) {
        std::string text;
        CKxThread thread;
        thread.Create(
            [](void* argument) -> unsigned {
                *static_cast<std::string*>(argument) = "written by the thread";
                return 7;
            },
            &text, false, 0, false);
        ASSERT_TRUE(thread.Wait(kDeadlineMs));
        EXPECT_EQ("written by the thread", text);
        EXPECT_EQ(7u, thread.GetExitCode());
    }
}
