// kxipc_bench_alloc: the library's objects linked in with a counting operator new, so that a
// run shows how many heap allocations synchronous sends and posts make once warmed up (both sides
// in this process: the sender on the main thread, the receiver on its waiting thread).
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <thread>

#include "CIPCServiceFactorySingleton.h"
#include "CKxBenchParticipant.h"
#include "KxBenchStats.h"
#include "KxLiveness.h"

namespace {

std::atomic<unsigned long long> g_allocations(0);

void* CountedAllocation(std::size_t size) {
    g_allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* block = std::malloc(size ? size : 1)) return block;
    throw std::bad_alloc();
}

// Waits until the participant has received count messages in all.
bool WaitForReceived(const CKxBenchParticipant& participant, unsigned long long count) {
    for (int slice = 0; slice < 30000 && participant.received.load() < count; ++slice) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return participant.received.load() >= count;
}

}  // namespace

void* operator new(std::size_t size) { return CountedAllocation(size); }
void* operator new[](std::size_t size) { return CountedAllocation(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return CountedAllocation(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

int main(int argc, char** argv) {
    const unsigned int count = argc > 1 ? static_cast<unsigned int>(std::stoul(argv[1])) : 1000;
    if (count == 0) return 2;
    if (!CIPCServiceFactorySingleton::ConstructInstance()) return 3;
    const std::string channel = "kxbench_alloc_" + std::to_string(KxCurrentProcessId());
    unsigned long long sendAllocations = 0, postAllocations = 0;
    bool complete = false;
    {
        CKxBenchParticipant sender(channel.c_str()), receiver(channel.c_str());
        sender.InitializeParticipant();
        receiver.InitializeParticipant();
        const unsigned int to = receiver.GetParticipantID();
        const unsigned int warmUp = 50;
        for (unsigned int i = 0; i < warmUp; ++i) {
            sender.SendIPMessage(1, &to, 1, i);
            while (!sender.PostIPMessage(1, &to, 2, i)) std::this_thread::yield();
        }
        complete = WaitForReceived(receiver, 2 * warmUp);

        const unsigned long long before = g_allocations.load();
        for (unsigned int i = 0; i < count; ++i) sender.SendIPMessage(1, &to, 1, i);
        complete = complete && WaitForReceived(receiver, 2 * warmUp + count);
        sendAllocations = g_allocations.load() - before;

        const unsigned long long beforePosts = g_allocations.load();
        for (unsigned int i = 0; i < count; ++i) {
            while (!sender.PostIPMessage(1, &to, 2, i)) std::this_thread::yield();
        }
        complete = complete && WaitForReceived(receiver, 2 * warmUp + 2 * count);
        postAllocations = g_allocations.load() - beforePosts;
    }
    CIPCServiceFactorySingleton::DestroyInstance();
    std::printf(
        "heap allocations (operator new, sender and receiver) after warm-up: %llu in %u "
        "synchronous sends, %llu in %u posts%s\n",
        sendAllocations, count, postAllocations, count,
        complete ? "" : " (INCOMPLETE: not every message arrived)");
    const KxBenchTarget noAllocation = KxBenchTarget::AtMost(0);
    KxPrintFigure("heap allocations per synchronous send after warm-up (" +
                      std::to_string(sendAllocations) + " in " + std::to_string(count) + ")",
                  static_cast<double>(sendAllocations) / count, noAllocation);
    KxPrintFigure("heap allocations per post after warm-up (" + std::to_string(postAllocations) +
                      " in " + std::to_string(count) + ")",
                  static_cast<double>(postAllocations) / count, noAllocation);
    return complete ? 0 : 1;
}
