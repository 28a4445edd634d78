// Starting kxipc processes, and scenario steps that drive peers and match their lines.
#include "KxCliPeer.h"

#include <gtest/gtest.h>

#include <cctype>
#include <sstream>

std::unique_ptr<CKxChildProcess> KxCliStart(const std::vector<std::string>& args, bool withErrors) {
    return CKxChildProcess::Program(
        KxSiblingProgram("kxipc"), args,  // built beside the tests
        withErrors ? CKxLaunchedChild::Stdio::kPipedWithErrors : CKxLaunchedChild::Stdio::kPiped);
}

KxExitCode KxCliRun(const std::vector<std::string>& args, std::string* output, bool withErrors) {
    std::unique_ptr<CKxChildProcess> child = KxCliStart(args, withErrors);
    child->CloseInput();
    if (!child->WaitForExit(kKxDeadlineMs)) return kKxStillActive;  // and its output has ended
    *output = child->Output();
    return child->ExitCode();
}

bool CKxCliScenario::Run(const std::vector<std::string>& steps) {
    for (const std::string& step : steps) {
        if (!Step(step)) {
            ADD_FAILURE() << "step failed: " << step << "\n" << (m_peer ? m_peer->Output() : "");
            return false;
        }
    }
    return true;
}

CKxChildProcess* CKxCliScenario::Peer(const std::string& name) {
    const auto found = m_peers.find(name);
    return found == m_peers.end() ? nullptr : found->second.get();
}

bool CKxCliScenario::Step(const std::string& step) {
    std::istringstream in(step);
    std::string peer, op, rest;
    in >> peer;
    const size_t mark = peer.find_first_of(":>!");
    if (mark != std::string::npos) op = peer.substr(mark), peer.resize(mark);
    if (op.empty()) in >> op;
    std::getline(in >> std::ws, rest);
    if (peer == "args") {
        for (std::istringstream words(rest); words >> peer;) m_args[op].push_back(peer);
        return true;
    }
    if (peer == "peers") {
        for (std::istringstream names(op + " " + rest); names >> peer;) {
            if (!Join(peer)) return false;
        }
        return true;
    }
    if (peer == "join" || peer == "watch") return Start(peer, op, rest == "2>&1"), true;
    if (!(m_peer = Peer(peer))) return false;
    if (op == "kill") return m_peer->Kill(), true;
    if (op == "close") return m_peer->CloseInput(), true;
    if (op == "exits")
        return m_peer->WaitForExit(kKxDeadlineMs) && m_peer->ExitCode() == std::stoul(rest);
    if (op == ">") return Expect(rest);
    if (op == "!~") return m_peer->Output().find(Substitute(rest)) == std::string::npos;
    if (op == ">!") {  // "PREFIX MS": no such line comes within MS
        const size_t space = rest.rfind(' ');
        return !m_peer->WaitForLine(Substitute(rest.substr(0, space)),
                                    std::stoul(rest.substr(space)));
    }
    if (op != ":") return false;
    const size_t arrow = rest.find(" -> ");
    m_peer->WriteLine(Substitute(rest.substr(0, arrow)));
    return arrow == std::string::npos || Expect(rest.substr(arrow + 4));
}

// Starts `kxipc VERB CHANNEL ARGS` (withErrors: see KxCliStart).
void CKxCliScenario::Start(const std::string& verb, const std::string& name, bool withErrors) {
    std::vector<std::string> args{verb, m_channel};
    args.insert(args.end(), m_args[name].begin(), m_args[name].end());
    m_peer = (m_peers[name] = KxCliStart(args, withErrors)).get();
}

// Joins a peer: it meets the earlier ones in join order before its id, which must be new, and
// each earlier one then sees it join later.
bool CKxCliScenario::Join(const std::string& name) {
    const std::vector<std::string> earlier = m_order;
    m_order.push_back(name);
    Start("join", name, false);
    for (const std::string& other : earlier) {
        if (!Expect("join $" + other + " 0")) return false;
    }
    if (!Expect("id $" + name)) return false;
    for (const std::string& other : earlier) {
        if (!(m_peer = m_peers[other].get(), Expect("join $" + name + " 1"))) return false;
    }
    return true;
}

// Waits for the next line of the peer that starts like `pattern` and checks that it is the
// line (with a trailing "...": that it starts so). "id $X" binds X to a new, distinct id.
bool CKxCliScenario::Expect(std::string pattern) {
    std::string line;
    if (pattern.rfind("id $", 0) == 0 && !m_ids.count(pattern.substr(4))) {
        if (!m_peer->WaitForLine("id ", kKxDeadlineMs, &line) || line.size() <= 3) return false;
        for (const auto& other : m_ids) {
            if ("id " + other.second == line) return false;
        }
        m_ids[pattern.substr(4)] = line.substr(3);
        return true;
    }
    const bool open = pattern.size() >= 3 && pattern.compare(pattern.size() - 3, 3, "...") == 0;
    if (open) pattern.resize(pattern.size() - 3);
    pattern = Substitute(pattern);
    return m_peer->WaitForLine(pattern, kKxDeadlineMs, &line) && (open || line == pattern);
}

// Each $X replaced by X's id.
std::string CKxCliScenario::Substitute(const std::string& text) const {
    std::string result;
    for (size_t at = 0; at < text.size();) {
        size_t end = at + 1;
        while (text[at] == '$' && end < text.size() && std::isalnum(text[end] & 0xFF)) ++end;
        const auto id = m_ids.find(text.substr(at + 1, end - at - 1));
        result += text[at] == '$' && id != m_ids.end() ? id->second : text.substr(at, end - at);
        at = end;
    }
    return result;
}
