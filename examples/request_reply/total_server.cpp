// total_server: keeps a running total that any member of the channel can add to.
//
//     total_server.exe [CHANNEL] [--think MS]      (ends at end of input)
//
// A client's call is a synchronous send: its SendIPMessage waits (at most 25 000 ms) until this
// server has run OnSyncMessage and acknowledged the message. The answer is posted back from that
// handler, so it is queued for the client before the client's send returns.
//
// --think MS makes each answer take MS milliseconds. Above 25 000 the client's send gives up
// waiting before the answer exists; see total_client for what it does then. Work that may take
// that long belongs in OnReceive (after the acknowledgement), answered by a later post: the
// client then never blocks on it.
#include <kxipc/kxipc.h>

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>

#include "TotalProtocol.h"

namespace {

std::mutex g_outputLock;  // the main thread and the waiting thread both print

void Say(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_outputLock);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
}

class CTotalServer : public CkxIPCParticipant {
public:
    CTotalServer(const char* channel, unsigned int thinkMs)
        : CkxIPCParticipant(channel), m_thinkMs(thinkMs) {}

protected:
    // Every handler runs on the waiting thread, one at a time: m_total needs no lock.
    void OnJoin(unsigned int id, bool) override {
        // Introduce ourselves to every member, present or new; clients wait for this.
        PostIPMessage(1, &id, total::kHello, 0);
    }

    void OnQuit(unsigned int id) override { Say("client %u gone", id); }

    void OnSyncMessage(unsigned int sender, unsigned int code, unsigned long long param) override {
        if ((code & total::kKindMask) != total::kAdd) return;
        if (m_thinkMs) std::this_thread::sleep_for(std::chrono::milliseconds(m_thinkMs));
        m_total += param;
        const unsigned int reply = total::kTotal | (code & total::kSequenceMask);
        // false: the client is gone already, or the channel is full; the client will time out.
        const bool posted = PostIPMessage(1, &sender, reply, m_total);
        Say("add %llu from %u -> %llu%s", param, sender, m_total, posted ? "" : " (not answered)");
    }

    // The sent requests arrive here too, after their acknowledgement: nothing more to do.
    void OnReceive(unsigned int, unsigned int, unsigned long long) override {}

private:
    const unsigned int m_thinkMs;
    unsigned long long m_total = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const char* channel = "kxipc-total";
    unsigned int thinkMs = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--think") == 0 && i + 1 < argc) {
            thinkMs = static_cast<unsigned int>(std::strtoul(argv[++i], nullptr, 10));
        } else {
            channel = argv[i];
        }
    }
    try {
        CTotalServer server(channel, thinkMs);
        server.InitializeParticipant();
        Say("server %u ready on %s", server.GetParticipantID(), channel);
        for (std::string line; std::getline(std::cin, line);) {
        }
        server.UninitializeParticipant();
    } catch (const CKxBaseException& failure) {
        std::fprintf(stderr, "total_server: %s\n", failure.GetErrorMessage().c_str());
        return 1;
    }
    return 0;
}
