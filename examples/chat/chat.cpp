// Console chat: every line typed is posted to every other member of the channel; members arriving
// and leaving (or crashing) are shown as they happen. Run it in several consoles:
//
//     chat.exe [CHANNEL]          (end of input, Ctrl+Z then Enter on Windows, leaves the chat)
//
// A kxipc message carries a 32-bit code and a 64-bit parameter, not text, so a line travels as a
// run of posted messages of up to 8 bytes each. All of them come from one sender through the
// channel's single queue, so each member receives them in the order they were posted.
#include <kxipc/kxipc.h>

#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

// Code of one piece of a line: 0x00C40000 | (last piece ? 0x100 : 0) | number of bytes (0 to 8).
// Application codes must stay below 0xFFFF0000, which the library reserves.
const unsigned int kPieceCode = 0x00C40000;
const unsigned int kPieceLast = 0x100;
const unsigned int kPieceMask = 0xFFFF0000;

std::mutex g_outputLock;  // the main thread and the waiting thread both print

void Print(const char* format, ...) {
    std::lock_guard<std::mutex> lock(g_outputLock);
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::putchar('\n');
    std::fflush(stdout);
}

class CChatMember : public CkxIPCParticipant {
public:
    explicit CChatMember(const char* channel) : CkxIPCParticipant(channel) {}

    // Called from the main thread while the waiting thread may change the member set.
    bool Alone() {
        std::lock_guard<std::mutex> lock(m_membersLock);
        return m_members.empty();
    }

protected:
    // Handlers run one at a time on this participant's waiting thread; m_partialLines is touched
    // only there, m_members also by Alone() on the main thread.
    void OnJoin(unsigned int id, bool joinedLater) override {
        {
            std::lock_guard<std::mutex> lock(m_membersLock);
            m_members.insert(id);
        }
        Print(joinedLater ? "* %u joined" : "* %u is here", id);
    }

    void OnQuit(unsigned int id) override {
        {
            std::lock_guard<std::mutex> lock(m_membersLock);
            m_members.erase(id);
        }
        m_partialLines.erase(id);  // a member that died mid-line leaves half a line behind
        Print("* %u left", id);
    }

    // Lines are posted, never sent synchronously: nothing to do before the acknowledgement.
    void OnSyncMessage(unsigned int, unsigned int, unsigned long long) override {}

    void OnReceive(unsigned int sender, unsigned int code, unsigned long long param) override {
        if ((code & kPieceMask) != kPieceCode) return;  // not chat text
        std::string& line = m_partialLines[sender];
        for (unsigned int i = 0; i < (code & 0xF) && i < 8; ++i) {
            line += static_cast<char>((param >> (8 * i)) & 0xFF);
        }
        if (code & kPieceLast) {
            Print("%u: %s", sender, line.c_str());
            m_partialLines.erase(sender);
        }
    }

private:
    std::mutex m_membersLock;
    std::set<unsigned int> m_members;
    std::map<unsigned int, std::string> m_partialLines;  // sender -> text received so far
};

// Posts one piece to every other member. The channel's ring holds only a few dozen messages, so a
// post is refused (false) while it is full: wait for the readers to catch up, for at most the
// library's own 25 s. A refusal because the last other member has just left ends the retries.
bool PostPiece(CChatMember* member, unsigned int code, unsigned long long param) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(25);
    while (!member->PostIPMessage(0, nullptr /*every other member*/, code, param)) {
        if (member->Alone() || std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

void PostLine(CChatMember* member, const std::string& line) {
    if (member->Alone()) {
        Print("* nobody else is here");
        return;
    }
    for (std::size_t offset = 0; offset == 0 || offset < line.size(); offset += 8) {
        const std::size_t count = std::min<std::size_t>(8, line.size() - offset);
        unsigned long long param = 0;
        for (std::size_t i = 0; i < count; ++i) {
            param |= static_cast<unsigned long long>(static_cast<unsigned char>(line[offset + i]))
                     << (8 * i);
        }
        const bool last = offset + count >= line.size();
        const unsigned int code =
            kPieceCode | (last ? kPieceLast : 0) | static_cast<unsigned int>(count);
        if (!PostPiece(member, code, param)) {
            Print("* line not delivered (nobody left, or the channel stayed full)");
            return;
        }
        if (last) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const char* channel = argc > 1 ? argv[1] : "kxipc-chat";
    try {
        CChatMember member(channel);
        member.InitializeParticipant();
        Print("* you are %u on %s", member.GetParticipantID(), channel);
        for (std::string line; std::getline(std::cin, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) PostLine(&member, line);
        }
        // Leave before the derived object is destroyed: its handlers must not run any more.
        member.UninitializeParticipant();
        Print("* bye");
    } catch (const CKxBaseException& failure) {
        // A kernel object could not be created or opened, e.g. the channel name is taken by an
        // object of another kind.
        std::fprintf(stderr, "chat: %s\n", failure.GetErrorMessage().c_str());
        return 1;
    }
    return 0;
}
