// The POSIX baselines: a futex ping-pong in a shared page, a Unix-domain socket (round trips and
// messages per second) and a POSIX message queue (messages per second), with their peers.
#include <fcntl.h>
#include <linux/futex.h>
#include <mqueue.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "CKxBenchChild.h"
#include "CKxBenchReport.h"
#include "KxBenchBaselines.h"
#include "KxBenchStats.h"

namespace {

const int kPeerTimeoutSeconds = 30;
const size_t kMessageBytes = 16;

std::string Unique(const std::string& what) {
    return "kxbench_" + std::to_string(getpid()) + "_" + what;
}

[[noreturn]] void Fail(const std::string& call) {
    throw std::runtime_error(call + ": " + std::strerror(errno));
}

void Say(const char* line) {
    std::puts(line);
    std::fflush(stdout);
}

// The turn word of the futex ping-pong, in a page both processes map: odd while the peer's turn,
// even while this process's. Waits on the word are process-shared (no FUTEX_PRIVATE_FLAG).
using Turn = std::atomic<std::uint32_t>;
static_assert(sizeof(Turn) == sizeof(std::uint32_t), "a futex word is 32 bits");

// Waits while the word still holds value; false once the peer's time-out passed.
bool WaitWhile(Turn* turn, std::uint32_t value) {
    const timespec limit = {kPeerTimeoutSeconds, 0};
    while (turn->load() == value) {
        if (syscall(SYS_futex, turn, FUTEX_WAIT, value, &limit, nullptr, 0) != 0 &&
            errno == ETIMEDOUT) {
            return false;
        }
    }
    return true;
}

void Advance(Turn* turn) {
    turn->fetch_add(1);
    syscall(SYS_futex, turn, FUTEX_WAKE, 1, nullptr, nullptr, 0);
}

// The shared page of name, created (O_EXCL) or opened; throws when neither works.
Turn* MapTurn(const std::string& name, bool create) {
    const int fd = shm_open(name.c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
    if (fd < 0) Fail("shm_open");
    if (create && ftruncate(fd, sizeof(Turn)) != 0) Fail("ftruncate");
    void* page = mmap(nullptr, sizeof(Turn), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (page == MAP_FAILED) Fail("mmap");
    return static_cast<Turn*>(page);
}

// Line 1: this process hands the turn over and waits for it back; the peer (role "futex") waits
// for its turn and hands it back, roundTrips times, then ends.
class CKxBenchFutexPair : public CKxBenchRoundTrip {
public:
    explicit CKxBenchFutexPair(unsigned int roundTrips)
        : CKxBenchRoundTrip("1", "futex", "baseline: futex wait/wake in a shared page, round trip"),
          m_name("/" + Unique("futex")),
          m_turn(MapTurn(m_name, true)),
          m_peer({"futex", m_name, std::to_string(roundTrips)}) {
        m_peer.Expect("ready");
        shm_unlink(m_name.c_str());  // both have it mapped; nothing is left behind
    }
    ~CKxBenchFutexPair() override { munmap(m_turn, sizeof(Turn)); }
    void RoundTrip() override {
        Advance(m_turn);  // odd: the peer's turn
        if (!WaitWhile(m_turn, m_turn->load() | 1u)) {
            throw std::runtime_error("timed out waiting for the futex peer");
        }
    }

private:
    const std::string m_name;
    Turn* const m_turn;
    CKxBenchChild m_peer;  // last, so that it ends first
};

// An abstract Unix-domain address (no file): a leading NUL, then the name.
sockaddr_un Address(const std::string& name, socklen_t* length) {
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name.data(),
                std::min(name.size(), sizeof(address.sun_path) - 2));
    *length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return address;
}

// A connected SOCK_SEQPACKET socket to a peer started with {role, name, count}: this process
// listens, starts the peer, accepts. Message boundaries are kept, as in the named pipe.
class CKxBenchSocket {
public:
    CKxBenchSocket(const char* role, unsigned int count) : m_name(Unique(role)) {
        const int listener = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        if (listener < 0) Fail("socket");
        socklen_t length = 0;
        const sockaddr_un address = Address(m_name, &length);
        if (bind(listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            listen(listener, 1) != 0) {
            close(listener);
            Fail("bind");
        }
        m_peer.reset(new CKxBenchChild({role, m_name, std::to_string(count)}));
        m_socket = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        close(listener);
        if (m_socket < 0) Fail("accept");
        const timeval limit = {kPeerTimeoutSeconds, 0};
        setsockopt(m_socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    }
    ~CKxBenchSocket() {
        close(m_socket);
        m_peer.reset();
    }
    void Send(const char* what) {
        char message[kMessageBytes] = "kxbench message";
        if (send(m_socket, message, sizeof(message), MSG_NOSIGNAL) != sizeof(message)) {
            throw std::runtime_error(std::string("the socket peer stopped ") + what);
        }
    }
    void Receive() {
        char reply[kMessageBytes];
        if (recv(m_socket, reply, sizeof(reply), 0) != sizeof(reply)) {
            throw std::runtime_error("the socket peer stopped answering");
        }
    }
    CKxBenchChild& Peer() { return *m_peer; }

private:
    const std::string m_name;
    std::unique_ptr<CKxBenchChild> m_peer;
    int m_socket = -1;
};

// Line 2: a 16-byte request and reply over a Unix-domain socket, answered by the peer (role
// "socket") roundTrips times.
class CKxBenchSocketPair : public CKxBenchRoundTrip {
public:
    explicit CKxBenchSocketPair(unsigned int roundTrips)
        : CKxBenchRoundTrip("2", "socket", "baseline: Unix-domain socket, 16 B round trip"),
          m_socket("socket", roundTrips) {}
    void RoundTrip() override {
        m_socket.Send("answering");
        m_socket.Receive();
    }

private:
    CKxBenchSocket m_socket;
};

// Messages per second of count 16-byte messages over a Unix-domain socket, sent back to back and
// counted at the peer (role "socket-sink").
double SocketRate(unsigned int count) {
    CKxBenchSocket sink("socket-sink", count);
    sink.Peer().Expect("ready");
    const double start = KxNowMicroseconds();
    for (unsigned int i = 0; i < count; ++i) sink.Send("receiving");
    return count / ((std::stod(sink.Peer().Expect("done ").substr(5)) - start) / 1e6);
}

// The same over a POSIX message queue (role "mq-sink"), at the default depth of 10 messages.
double QueueRate(unsigned int count) {
    const std::string name = "/" + Unique("mq");
    mq_attr attributes = {};
    attributes.mq_maxmsg = 10;
    attributes.mq_msgsize = kMessageBytes;
    const mqd_t queue =
        mq_open(name.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600, &attributes);
    if (queue == static_cast<mqd_t>(-1)) Fail("mq_open");
    double rate = 0;
    try {
        CKxBenchChild sink({"mq-sink", name, std::to_string(count)});
        sink.Expect("ready");
        mq_unlink(name.c_str());  // both have it open; nothing is left behind
        const char message[kMessageBytes] = "kxbench message";
        const double start = KxNowMicroseconds();
        for (unsigned int i = 0; i < count; ++i) {
            if (mq_send(queue, message, sizeof(message), 0) != 0) Fail("mq_send");
        }
        rate = count / ((std::stod(sink.Expect("done ").substr(5)) - start) / 1e6);
    } catch (...) {
        mq_close(queue);
        mq_unlink(name.c_str());
        throw;
    }
    mq_close(queue);
    return rate;
}

// futex NAME COUNT: maps the shared page, says "ready", then COUNT times waits for its turn and
// hands it back.
int FutexEcho(const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    Turn* turn = MapTurn(args[0], false);
    Say("ready");
    const unsigned long count = std::stoul(args[1]);
    for (unsigned long i = 0; i < count; ++i) {
        if (!WaitWhile(turn, turn->load() & ~1u)) return 4;  // even: not yet this side's turn
        Advance(turn);
    }
    return 0;
}

int Connect(const std::string& name) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    socklen_t length = 0;
    const sockaddr_un address = Address(name, &length);
    if (fd < 0 || connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0) return -1;
    return fd;
}

// socket NAME COUNT: echoes COUNT 16-byte messages. socket-sink NAME COUNT: says "ready", takes
// COUNT messages, then says "done MICROSECONDS" (the shared monotonic clock).
int SocketPeer(const std::vector<std::string>& args, bool echo) {
    if (args.size() != 2) return 2;
    const int fd = Connect(args[0]);
    if (fd < 0) return 3;
    if (!echo) Say("ready");
    const unsigned long count = std::stoul(args[1]);
    char message[kMessageBytes];
    for (unsigned long i = 0; i < count; ++i) {
        if (recv(fd, message, sizeof(message), 0) != sizeof(message)) return 4;
        if (echo && send(fd, message, sizeof(message), MSG_NOSIGNAL) != sizeof(message)) return 4;
    }
    if (!echo) Say(("done " + std::to_string(KxNowMicroseconds())).c_str());
    close(fd);
    return 0;
}

// mq-sink NAME COUNT: as socket-sink, from the message queue of that name.
int QueuePeer(const std::vector<std::string>& args) {
    if (args.size() != 2) return 2;
    const mqd_t queue = mq_open(args[0].c_str(), O_RDONLY | O_CLOEXEC);
    if (queue == static_cast<mqd_t>(-1)) return 3;
    Say("ready");
    const unsigned long count = std::stoul(args[1]);
    char message[kMessageBytes];
    for (unsigned long i = 0; i < count; ++i) {
        if (mq_receive(queue, message, sizeof(message), nullptr) != sizeof(message)) return 4;
    }
    Say(("done " + std::to_string(KxNowMicroseconds())).c_str());
    mq_close(queue);
    return 0;
}

}  // namespace

std::vector<std::unique_ptr<CKxBenchRoundTrip>> KxStartRoundTrips(unsigned int roundTrips) {
    std::vector<std::unique_ptr<CKxBenchRoundTrip>> baselines;
    baselines.emplace_back(new CKxBenchFutexPair(roundTrips));
    baselines.emplace_back(new CKxBenchSocketPair(roundTrips));
    return baselines;
}

void KxAddBaselineRates(const KxLatencySummary&, unsigned int messages, CKxBenchReport* report) {
    const std::string note = std::to_string(messages) + " messages of 16 B, back to back";
    report->AddThroughput("5b", "baseline: Unix-domain socket, messages counted at the peer",
                          SocketRate(messages), note);
    report->AddThroughput("5c", "baseline: POSIX message queue, messages counted at the peer",
                          QueueRate(messages), note);
}

void KxAddBaselineRatios(CKxBenchReport* report) {
    report->AddRatio("3/1", "3", "1", "synchronous send / futex round trip",
                     KxBenchTarget::AtMost(3.0));
    report->AddRatio("3/2", "3", "2", "synchronous send / Unix socket round trip",
                     KxBenchTarget::AtMost(1.0));
    report->AddRatio("4/1", "4", "1", "send from a handler / futex round trip");
    report->AddRatio("4/3", "4", "3", "send from a handler / from an application thread");
    report->AddRatio("5/5b", "5", "5b", "posted messages/s / Unix socket messages/s",
                     KxBenchTarget::AtLeast(1.0));
    report->AddRatio("5/5c", "5", "5c", "posted messages/s / message queue messages/s");
}

int KxRunBaselinePeer(const std::string& role, const std::vector<std::string>& args) {
    if (role == "futex") return FutexEcho(args);
    if (role == "socket") return SocketPeer(args, true);
    if (role == "socket-sink") return SocketPeer(args, false);
    if (role == "mq-sink") return QueuePeer(args);
    return 2;
}

void KxServerTraceMark(const std::string&) {}
