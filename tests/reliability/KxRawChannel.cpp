// The reliability tests' member process: a participant whose handlers report every call on stdout
// and can be told to hold, throw, nest a send or stop at an armed point.
#include "KxReliabilityMember.h"

#include <cstdio>
#include <sstream>
#include <thread>

#include "CkxIPCParticipant.h"
#include "KxKillPoint.h"
#include "KxParticipantIdList.h"
#include "KxMessageRing.h"
#include "TKxInterProcessArray.h"
#include "TKxInterProcessGrowArray.h"

const char kKxOnSyncMessagePoint[] = "test.on-sync-message";
const char kKxOwnOnJoinPoint[] = "test.on-join.own";

namespace {

class CKxScriptedParticipant : public CkxIPCParticipant {
public:
    explicit CKxScriptedParticipant(const char* channel)
        : CkxIPCParticipant(channel), m_released(true /*manualReset*/) {}

    void Release() { m_released.Set(); }

protected:
    void OnJoin(unsigned int id, bool later) override {
        KxSay("join %u %d", id, later ? 1 : 0);
        if (!later) KxKillPoint(kKxOwnOnJoinPoint);
    }
    void OnQuit(unsigned int id) override { KxSay("quit %u", id); }
    void OnSyncMessage(unsigned int sender, unsigned int code, unsigned long long param) override {
        KxSay("sync %u %u %llu", sender, code, param);
        KxKillPoint(kKxOnSyncMessagePoint);
        if (code == kKxHoldCode || code == kKxThrowCode) m_released.Wait(INFINITE);
        if (code == kKxThrowCode) {
            throw 1;
        } else if (code == kKxNestedCode) {
            const unsigned int to = static_cast<unsigned int>(param);
            KxSay("nested %d", SendIPMessage(1, &to, kKxPlainCode, param + 1) ? 1 : 0);
        }
    }
    void OnReceive(unsigned int sender, unsigned int code, unsigned long long param) override {
        KxSay("recv %u %u %llu", sender, code, param);
    }

private:
    CKxEvent m_released;
};

// "<code> <param> all" or "<code> <param> <id> <id>...".
struct KxSendOrder {
    unsigned int code = 0;
    unsigned long long param = 0;
    std::vector<unsigned int> ids;
    bool all = false;
};

KxSendOrder ParseOrder(std::istringstream& in) {
    KxSendOrder order;
    in >> order.code >> order.param;
    std::string word;
    while (in >> word) {
        if (word == "all") {
            order.all = true;
        } else {
            order.ids.push_back(static_cast<unsigned int>(std::stoul(word)));
        }
    }
    return order;
}

}  // namespace

// args: channel name, name of the event to set when an armed point is reached.
KX_CHILD_ROLE(ReliabilityMember) {
    if (args.size() != 2) return 2;
    CKxScriptedParticipant participant(args[0].c_str());
    std::string line;
    while (KxReadLine(&line)) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        if (command == "arm") {
            std::string point;
            in >> point;
            if (KxArmKillPoint(point.c_str(), args[1].c_str())) KxSay("armed %s", point.c_str());
        } else if (command == "join") {
            participant.InitializeParticipant();
            KxSay("joined %u", participant.GetParticipantID());
        } else if (command == "send") {
            const KxSendOrder order = ParseOrder(in);
            std::thread([&participant, order] {
                const bool sent = participant.SendIPMessage(
                    static_cast<unsigned int>(order.ids.size()),
                    order.all ? nullptr : order.ids.data(), order.code, order.param);
                KxSay("sent %llu %d", order.param, sent ? 1 : 0);
            }).detach();
        } else if (command == "post") {
            const KxSendOrder order = ParseOrder(in);
            const bool posted = participant.PostIPMessage(
                static_cast<unsigned int>(order.ids.size()), order.all ? nullptr : order.ids.data(),
                order.code, order.param);
            KxSay("posted %llu %d", order.param, posted ? 1 : 0);
        } else if (command == "release") {
            participant.Release();
        } else if (command == "leave") {
            participant.UninitializeParticipant();
            KxSay("left");
        }
    }
    // Input closed: the test is done with this member. Sends still running on their threads end
    // with the process.
    participant.UninitializeParticipant();
    std::fflush(stdout);
    ExitProcess(0);
}

CKxReliabilityMember::CKxReliabilityMember(const std::string& channel)
    : m_readyName(KxUniqueName("ready_" + std::to_string(reinterpret_cast<std::uintptr_t>(this)))),
      m_ready(m_readyName, false /*manualReset*/),
      m_process(CKxChildProcess::Role("ReliabilityMember", {channel, m_readyName})) {}

std::uint32_t CKxReliabilityMember::Join() {
    StartJoin();
    std::string line;
    if (!m_process->WaitForLine("joined ", 60000, &line)) return 0;
    m_id = static_cast<std::uint32_t>(std::stoul(line.substr(7)));
    return m_id;
}

void CKxReliabilityMember::StartJoin() { m_process->WriteLine("join"); }

bool CKxReliabilityMember::Arm(const std::string& point) {
    m_process->WriteLine("arm " + point);
    return Saw("armed " + point);
}

bool CKxReliabilityMember::WaitStopped() { return m_ready.Wait(25000); }

void CKxReliabilityMember::Kill() { m_process->Kill(); }

namespace {

std::string IdList(const std::vector<std::uint32_t>& ids) {
    if (ids.empty()) return " all";
    std::string list;
    for (std::uint32_t id : ids) list += " " + std::to_string(id);
    return list;
}

}  // namespace

void CKxReliabilityMember::Send(unsigned int code, unsigned long long param,
                                const std::vector<std::uint32_t>& ids) {
    m_process->WriteLine("send " + std::to_string(code) + " " + std::to_string(param) +
                         IdList(ids));
}

bool CKxReliabilityMember::Post(unsigned int code, unsigned long long param,
                                const std::vector<std::uint32_t>& ids) {
    m_process->WriteLine("post " + std::to_string(code) + " " + std::to_string(param) +
                         IdList(ids));
    return Saw("posted " + std::to_string(param) + " 1");
}

void CKxReliabilityMember::Command(const std::string& line) { m_process->WriteLine(line); }

bool CKxReliabilityMember::Saw(const std::string& line, unsigned long timeoutMs) {
    // Lines arrive in any order across the child's threads, so the whole output is searched
    // rather than consumed in order; the wait ends on the line, polling the collected output.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;) {
        const std::string output = "\n" + m_process->Output();
        if (output.find("\n" + line + "\n") != std::string::npos) return true;
        if (GetTickCount64() >= deadline) return false;
        Sleep(10);
    }
}

bool KxReadQueuePositions(const std::string& channel, std::uint32_t* read, std::uint32_t* write) {
    try {
        TKxInterProcessArray<std::uint32_t> queue(channel + "_Message_Queue",
                                                  CKxMessageRing::kElementCount);
        *read = queue[CKxMessageRing::kReadElement];
        *write = queue[CKxMessageRing::kWriteElement];
        return queue.Header() == 1;  // 0: no member holds the channel, a fresh segment was made
    } catch (const CKxBaseException&) {
        return false;
    }
}

int KxCountQueuedRecords(const std::string& channel) {
    try {
        TKxInterProcessArray<std::uint32_t> queue(channel + "_Message_Queue",
                                                  CKxMessageRing::kElementCount);
        int records = 0;
        if (queue.Header() != 1 ||
            !CKxMessageRing(&queue[0]).ForEachRecord([&](const KxRingRecord&) { ++records; })) {
            return -1;
        }
        return records;
    } catch (const CKxBaseException&) {
        return -1;
    }
}

std::vector<std::uint32_t> KxReadMembers(const std::string& channel) {
    std::vector<std::uint32_t> members;
    try {
        TKxInterProcessGrowArray<std::uint32_t> array(channel + "_Participant_IDs_Array",
                                                      CKxParticipantIdList::kElementCount, 20);
        CKxParticipantIdList list(&array[0]);
        for (std::uint32_t i = 0; i < list.Count(); ++i) members.push_back(list.At(i));
    } catch (const CKxBaseException&) {
    }
    return members;
}
