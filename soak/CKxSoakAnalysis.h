// The soak's verdict: reads every worker's log and the channel's state after the run, checks.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

// What the driver knows of one worker process apart from its log.
struct KxSoakWorkerOutcome {
    unsigned number = 0;
    std::string logPath;
    bool killed = false;         // ended by the driver's TerminateProcess
    std::uint64_t killedAt = 0;  // KxSoakNowMs just before the TerminateProcess
    bool idle = false;           // set its idle event in time
    bool finished = false;       // exited by itself after the final measurement
    unsigned long exitCode = 0;
};

// The channel's shared state once the survivors were idle, read from the raw segments.
struct KxSoakChannelState {
    bool read = false;
    bool ringConsistent = false;
    std::uint32_t readPosition = 0;
    std::uint32_t writePosition = 0;
    std::uint32_t records = 0;
    std::uint32_t pendingEntries = 0;  // entries not acknowledged, of members or not
    std::vector<std::uint32_t> members;
};

// Single-threaded; Analyse once, then read the figures, Print and WriteJson.
class CKxSoakAnalysis {
public:
    void Analyse(const std::vector<KxSoakWorkerOutcome>& workers, const KxSoakChannelState& state);
    bool Passed() const { return m_failures.empty(); }
    void Print() const;
    // Every figure and the run's parameters (given as ready JSON members) in one object.
    bool WriteJson(const std::string& path, const std::string& parameters) const;

private:
    struct Generation {
        unsigned worker, slot, generation;
        std::uint32_t id;
        std::uint64_t joinStart, joinEnd;
        // Registered at least until: its L, its worker's kill or, for a worker that crashed,
        // that worker's last line; ~0 while still a member at the end.
        std::uint64_t end;
        bool leftBeforeIdle;
    };
    struct Send {
        char kind;
        unsigned worker, slot, generation;
        std::uint32_t seq;
        bool ok;
        std::uint64_t start, end, nested;
        bool broadcast;
        std::vector<std::uint32_t> ids;
    };
    struct Measure {
        bool present = false;
        unsigned long handles = 0;
        unsigned long long privateBytes = 0;
        std::uint64_t time = 0;
    };
    // One OnJoin or OnQuit of a generation (E line).
    struct ViewEvent {
        char what;  // p, j or q
        std::uint32_t id;
        std::uint64_t time;
        bool listed;  // GetMembers held id during the call
    };
    // A generation's settled view (K line).
    struct View {
        std::uint32_t id = 0;
        std::uint64_t waitedMs = 0;
        std::vector<std::uint32_t> known;
    };
    struct WorkerLog {
        Measure warm, final;
        int borrowersHigh = 0;
        std::uint64_t lastTime = 0;
        bool sawIdle = false;
    };
    using GenerationKey = std::uint64_t;  // worker << 40 | slot << 24 | generation

    void ReadLog(const KxSoakWorkerOutcome& worker);
    void Fail(const std::string& what);
    // Every generation's OnJoin and OnQuit, replayed: each identifier joins before it quits, never
    // twice without a quit between, and not after its quit unless a new member holds it; inside
    // each call GetMembers lists the joined identifier and no longer the one that quit.
    void CheckViewOrder();
    // Whether a generation other than the one that quit was seen holding id, first after the
    // quit at quitTime and by the OnJoin at joinTime (the library's thread identifiers recur).
    bool HeldAgain(std::uint32_t id, std::uint64_t quitTime, std::uint64_t joinTime) const;
    // Every live generation's settled view against the live participants less itself.
    void CheckViews(const std::map<std::uint32_t, const Generation*>& live);
    // Refusals whose sender and recipients were all members throughout: with every party
    // registered, the library refuses a message with a valid code only for want of room.
    void CountRefusals();
    std::string Describe(GenerationKey key) const;
    // The generation's OnJoin and OnQuit for id, as "j@time q@time ...".
    std::string EventsFor(GenerationKey key, std::uint32_t id) const;

    std::map<GenerationKey, Generation> m_generations;
    std::map<std::uint64_t, Send> m_sends;  // by parameter
    std::map<std::uint64_t, std::map<GenerationKey, unsigned>> m_handled;
    std::map<unsigned, WorkerLog> m_logs;
    std::map<GenerationKey, std::vector<ViewEvent>> m_viewEvents;
    std::map<GenerationKey, View> m_views;
    // Per identifier, each generation that held it and the first time it was seen doing so (its
    // first OnJoin call, or the end of its join).
    std::map<std::uint32_t, std::map<GenerationKey, std::uint64_t>> m_firstHeld;

    // Figures.
    unsigned m_workersStarted = 0, m_kills = 0, m_survivors = 0, m_crashes = 0, m_notIdle = 0;
    unsigned m_joins = 0, m_joinFailures = 0, m_leaves = 0, m_sendExceptions = 0;
    unsigned m_handlerJoins = 0, m_handlerLeaves = 0;
    std::map<char, unsigned> m_sendsByKind, m_sendsOkByKind;
    unsigned long long m_handledCount = 0, m_duplicates = 0, m_lost = 0, m_lostChecked = 0;
    unsigned long long m_misdelivered = 0;
    unsigned m_hangs = 0;
    unsigned long long m_viewEventCount = 0, m_viewEventsOutOfOrder = 0;
    unsigned long long m_sendsToGone = 0, m_sendsToGoneQueued = 0;
    unsigned m_viewsChecked = 0, m_viewsDiffering = 0;
    std::uint64_t m_longestViewSettleMs = 0;
    unsigned long long m_refused = 0, m_refusedRingFull = 0;
    std::vector<std::string> m_viewFindings;  // evidence, the first few of each check
    std::uint64_t m_longestSendWaitMs = 0, m_longestInitializeMs = 0;
    KxSoakChannelState m_state;
    bool m_membersMatch = false;
    std::set<std::uint32_t> m_liveIds;
    std::vector<std::string> m_resourceLines;          // per survivor: warm -> final
    std::map<std::string, unsigned> m_exceptionTexts;  // "where: text" -> how often
    std::vector<std::string> m_failures;
};
