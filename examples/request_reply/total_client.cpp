// total_client: adds numbers to total_server's running total, one call per input line.
//
//     total_client.exe [CHANNEL]        then type numbers; prints "total T" for each
//
// A call is a synchronous send to the server, whose handler posts the answer back. What the
// send's result says, and what it does not:
//   false  nothing was queued: the server is no longer a member, or the channel is full.
//   true   the request was queued. SendIPMessage then waited for the server's acknowledgement,
//          but for at most 25 000 ms, and it returns true in both cases: true does NOT say that
//          the server handled the request. Only the answer does.
// So the client waits for the answer itself, a little longer than the library's 25 000 ms, and
// stops early if the server quits. A call given up on keeps its number; an answer that turns up
// later carries that number and is reported as late instead of being taken for the next call's.
#include <kxipc/kxipc.h>

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <string>

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

class CTotalClient : public CkxIPCParticipant {
public:
    explicit CTotalClient(const char* channel) : CkxIPCParticipant(channel) {}

    // Waits until a server has introduced itself; false after timeout.
    bool WaitForServer(std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_lock);
        return m_changed.wait_for(lock, timeout, [this] { return m_server != 0; });
    }

    // One call from the main thread: adds value, stores the new total. false when there is no
    // server or no answer came; the reason has been printed.
    bool Add(unsigned long long value, unsigned long long* total) {
        unsigned int server = 0;
        unsigned int sequence = 0;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            server = m_server;
            sequence = m_sequence = (m_sequence + 1) & total::kSequenceMask;
            m_answered = false;
        }
        if (server == 0) {
            Say("no server");
            return false;
        }
        // The answer may arrive on the waiting thread before this call even returns.
        if (!SendIPMessage(1, &server, total::kAdd | sequence, value)) {
            Say("request refused: the server left or the channel is full");
            return false;
        }
        std::unique_lock<std::mutex> lock(m_lock);
        // 25 000 ms the send may have waited, plus a margin for the answer already on its way.
        const bool answered = m_changed.wait_for(lock, std::chrono::seconds(30),
                                                 [&] { return m_answered || m_server != server; });
        if (!answered) {
            Say("no answer to call %u: the server is busy or hung", sequence);
            return false;
        }
        if (!m_answered) {
            Say("the server left before answering");
            return false;
        }
        *total = m_total;
        return true;
    }

protected:
    // Handlers run on the waiting thread; the main thread waits in Add and WaitForServer.
    void OnJoin(unsigned int, bool) override {}

    void OnQuit(unsigned int id) override {
        std::lock_guard<std::mutex> lock(m_lock);
        if (id != m_server) return;
        m_server = 0;
        Say("* server left");
        m_changed.notify_all();
    }

    void OnSyncMessage(unsigned int, unsigned int, unsigned long long) override {}

    void OnReceive(unsigned int sender, unsigned int code, unsigned long long param) override {
        std::lock_guard<std::mutex> lock(m_lock);
        const unsigned int kind = code & total::kKindMask;
        if (kind == total::kHello && m_server == 0) {
            m_server = sender;
            Say("* server is %u", sender);
        } else if (kind == total::kTotal && sender == m_server) {
            const unsigned int sequence = code & total::kSequenceMask;
            if (sequence != m_sequence || m_answered) {
                Say("* late answer to call %u ignored (total %llu)", sequence, param);
                return;
            }
            m_total = param;
            m_answered = true;
        } else {
            return;
        }
        m_changed.notify_all();
    }

private:
    std::mutex m_lock;  // guards everything below
    std::condition_variable m_changed;
    unsigned int m_server = 0;    // the server's identifier, 0 while none is known
    unsigned int m_sequence = 0;  // number of the latest call
    bool m_answered = false;      // the latest call's answer has arrived
    unsigned long long m_total = 0;
};

}  // namespace

int main(int argc, char** argv) {
    const char* channel = argc > 1 ? argv[1] : "kxipc-total";
    try {
        CTotalClient client(channel);
        client.InitializeParticipant();
        Say("* client %u on %s, waiting for a server", client.GetParticipantID(), channel);
        if (!client.WaitForServer(std::chrono::seconds(30))) Say("no server yet");
        for (std::string line; std::getline(std::cin, line);) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(line.c_str(), &end, 10);
            if (line.empty() || (*end != '\0' && *end != '\r')) {
                Say("not a number: %s", line.c_str());
                continue;
            }
            unsigned long long total = 0;
            if (client.Add(value, &total)) Say("total %llu", total);
        }
        client.UninitializeParticipant();
    } catch (const CKxBaseException& failure) {
        std::fprintf(stderr, "total_client: %s\n", failure.GetErrorMessage().c_str());
        return 1;
    }
    return 0;
}
