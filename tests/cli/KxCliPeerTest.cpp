// kxipc.exe peers in separate processes: joins, sends and posts, leaves, deaths and bad input, as
// seen through the line protocol.
#include <gtest/gtest.h>

#include "KxCliPeer.h"
#include "KxCountingParticipant.h"

namespace {

// Three peers A, B, C joined in that order, every join seen by all.
class KxCliPeerTest : public testing::Test {
protected:
    void JoinThree(const std::vector<std::string>& extraArgsForB = {},
                   const std::vector<std::string>& extraArgsForC = {}) {
        m_channel = KxUniqueName("cli");
        a.reset(new CKxCliPeer(m_channel));
        ASSERT_TRUE(a->WaitForId());
        b.reset(new CKxCliPeer(m_channel, extraArgsForB));
        ASSERT_TRUE(b->Expect("join " + a->IdText() + " 0")) << b->Output();
        ASSERT_TRUE(b->WaitForId());
        ASSERT_TRUE(a->Expect("join " + b->IdText() + " 1")) << a->Output();
        c.reset(new CKxCliPeer(m_channel, extraArgsForC));
        ASSERT_TRUE(c->Expect("join " + a->IdText() + " 0")) << c->Output();
        ASSERT_TRUE(c->Expect("join " + b->IdText() + " 0")) << c->Output();
        ASSERT_TRUE(c->WaitForId());
        ASSERT_TRUE(a->Expect("join " + c->IdText() + " 1")) << a->Output();
        ASSERT_TRUE(b->Expect("join " + c->IdText() + " 1")) << b->Output();
    }

    std::string m_channel;
    std::unique_ptr<CKxCliPeer> a, b, c;
};

TEST_F(KxCliPeerTest, JoinEventsComeInJoinOrderAndMembersFollowThem) {
    JoinThree();
    EXPECT_NE(a->Id(), b->Id());
    EXPECT_NE(b->Id(), c->Id());
    // Each peer's "join ... 0" lines came before its own "id" line: JoinThree waited in that order
    // on one stream. Its member list is the others, in the order their joins arrived.
    EXPECT_TRUE(a->Ask("members", "members " + b->IdText() + " " + c->IdText()));
    EXPECT_TRUE(b->Ask("members", "members " + a->IdText() + " " + c->IdText()));
    EXPECT_TRUE(c->Ask("members", "members " + a->IdText() + " " + b->IdText()));
    // The join notice is the library's own message: it reaches no sync/recv line.
    EXPECT_EQ(a->Output().find("sync "), std::string::npos);
    EXPECT_EQ(a->Output().find("recv "), std::string::npos);
}

TEST_F(KxCliPeerTest, PostToAllReachesEveryOtherMemberOnlyAsReceive) {
    JoinThree();
    ASSERT_TRUE(a->Ask("post * 7 0xFFFFFFFFFFFFFFFF", "ok"));
    const std::string expected = "recv " + a->IdText() + " 7 18446744073709551615";
    EXPECT_TRUE(b->Expect(expected)) << b->Output();
    EXPECT_TRUE(c->Expect(expected)) << c->Output();
    EXPECT_EQ(b->Output().find("sync "), std::string::npos);
    // Never to the sender itself: a send to A from B is the next thing A sees.
    ASSERT_TRUE(b->Ask("post " + a->IdText() + " 8 1", "ok"));
    EXPECT_TRUE(a->Expect("recv " + b->IdText() + " 8 1")) << a->Output();
    EXPECT_EQ(a->Output().find("recv " + a->IdText()), std::string::npos);
}

TEST_F(KxCliPeerTest, SendReturnsOnlyAfterTheSlowRecipientHandledIt) {
    // C holds each synchronous message 4 s in its handler before acknowledging it.
    JoinThree({}, {"--sync-delay", "4000"});
    a->Tell("send " + b->IdText() + "," + c->IdText() + " 5 6");
    ASSERT_TRUE(b->Expect("sync " + a->IdText() + " 5 6")) << b->Output();
    ASSERT_TRUE(c->Expect("sync " + a->IdText() + " 5 6")) << c->Output();
    // C is now inside its 4 s handler, so A's send cannot have returned for a good while yet.
    EXPECT_FALSE(a->Process().WaitForLine("ok", 1000)) << "send returned before C acknowledged";
    EXPECT_TRUE(a->Expect("ok")) << a->Output();
    EXPECT_TRUE(b->Expect("recv " + a->IdText() + " 5 6"));
    EXPECT_TRUE(c->Expect("recv " + a->IdText() + " 5 6"));
}

TEST_F(KxCliPeerTest, RefusedSendsQueueNothing) {
    JoinThree();
    const std::string toB = " " + b->IdText() + " ";
    EXPECT_TRUE(a->Ask("send" + toB + "0xFFFF0000 0", "refused"));  // the join notice's code
    EXPECT_TRUE(a->Ask("send-report" + toB + "0xFFFF0000 0", "refused reserved-code"));
    EXPECT_TRUE(a->Ask("post" + toB + "0xFFFFFFFF 0", "refused"));
    EXPECT_TRUE(a->Ask("post" + toB + "0xFFFEFFFF 1", "ok"));  // the largest application code
    EXPECT_TRUE(b->Expect("recv " + a->IdText() + " 4294901759 1")) << b->Output();
    // An identifier that is no member (thread identifiers are multiples of 4) refuses the whole
    // message, also for the member listed with it.
    EXPECT_TRUE(a->Ask("send " + b->IdText() + ",3 9 9", "refused"));
    EXPECT_TRUE(a->Ask("send-report 3," + b->IdText() + ",7 9 9", "refused absent=3,7"));
    EXPECT_TRUE(a->Ask("post " + b->IdText() + " 10 10", "ok"));
    EXPECT_TRUE(b->Expect("recv " + a->IdText() + " 10 10")) << b->Output();
    EXPECT_EQ(b->Output().find(" 9 9"), std::string::npos);
    // After leaving, nothing goes out.
    ASSERT_TRUE(a->Ask("leave", "left"));
    EXPECT_TRUE(a->Ask("post * 1 1", "refused")) << a->Output();
    EXPECT_TRUE(a->Ask("send" + toB + "1 1", "refused"));
    EXPECT_TRUE(a->Ask("send-report" + toB + "1 1", "refused not-running"));
    // Alone in the channel, "every other member" is nobody.
    ASSERT_TRUE(b->Ask("leave", "left"));
    ASSERT_TRUE(c->ExpectAll({"quit " + a->IdText(), "quit " + b->IdText()})) << c->Output();
    EXPECT_TRUE(c->Ask("send-report * 1 1", "refused no-targets"));
}

TEST_F(KxCliPeerTest, SendReportTellsWhoAcknowledgedAndWhoDiedHoldingTheMessage) {
    // C holds each synchronous message far longer than this test runs.
    JoinThree({}, {"--sync-delay", "60000"});
    const std::string toBAndC = " " + b->IdText() + "," + c->IdText() + " ";
    a->Tell("send-report" + toBAndC + "5 6");
    ASSERT_TRUE(c->Expect("sync " + a->IdText() + " 5 6")) << c->Output();
    c->Process().Kill();
    EXPECT_TRUE(a->Expect("report acked=" + b->IdText() + " departed=" + c->IdText() + " pending="))
        << a->Output();
    // The departed identifier is no member any more: nothing is queued, and the report names it.
    EXPECT_TRUE(a->Ask("send-report" + toBAndC + "7 8", "refused absent=" + c->IdText()));
}

TEST_F(KxCliPeerTest, SendReportListsAMemberHoldingPastTheTimeOutAsPendingSlow) {
    // B holds each synchronous message well past the sender's 25 000 ms wait.
    JoinThree({"--sync-delay", "40000"});
    a->Tell("send-report " + b->IdText() + "," + c->IdText() + " 5 6");
    ASSERT_TRUE(b->Expect("sync " + a->IdText() + " 5 6")) << b->Output();
    std::string report;
    ASSERT_TRUE(a->Process().WaitForLine("report ", 2 * kCliLineTimeoutMs, &report)) << a->Output();
    EXPECT_EQ(report, "report acked=" + c->IdText() + " departed= pending=" + b->IdText());
}

TEST_F(KxCliPeerTest, LeaveIsSeenAsQuitAndRejoinComesBackUnderANewId) {
    JoinThree();
    const std::string oldB = b->IdText();
    ASSERT_TRUE(b->Ask("leave", "left"));
    EXPECT_TRUE(a->Expect("quit " + oldB)) << a->Output();
    EXPECT_TRUE(c->Expect("quit " + oldB)) << c->Output();
    EXPECT_TRUE(b->Ask("members", "members"));
    EXPECT_TRUE(a->Ask("members", "members " + c->IdText()));

    b->Tell("rejoin");
    EXPECT_TRUE(b->Expect("join " + a->IdText() + " 0")) << b->Output();
    EXPECT_TRUE(b->Expect("join " + c->IdText() + " 0")) << b->Output();
    ASSERT_TRUE(b->WaitForId());
    EXPECT_NE(b->IdText(), oldB);
    EXPECT_TRUE(a->Expect("join " + b->IdText() + " 1")) << a->Output();
    EXPECT_TRUE(c->Expect("join " + b->IdText() + " 1")) << c->Output();
    // The new identifier receives; the old one is refused.
    EXPECT_TRUE(a->Ask("post " + b->IdText() + " 1 2", "ok"));
    EXPECT_TRUE(b->Expect("recv " + a->IdText() + " 1 2"));
    EXPECT_TRUE(a->Ask("post " + oldB + " 1 2", "refused"));

    b->Tell("exit");
    ASSERT_TRUE(b->Process().WaitForExit(kCliLineTimeoutMs));
    EXPECT_EQ(b->Process().ExitCode(), 0u);
    EXPECT_TRUE(a->Expect("quit " + b->IdText())) << a->Output();
}

TEST_F(KxCliPeerTest, KilledPeerIsSeenAsQuitByEveryOther) {
    JoinThree();
    c->Process().Kill();
    EXPECT_TRUE(a->Expect("quit " + c->IdText())) << a->Output();
    EXPECT_TRUE(b->Expect("quit " + c->IdText())) << b->Output();
    EXPECT_TRUE(a->Ask("members", "members " + b->IdText()));
    // The dead member is gone from the channel: a send to all reaches B alone and returns.
    EXPECT_TRUE(a->Ask("send * 3 4", "ok"));
    EXPECT_TRUE(b->Expect("sync " + a->IdText() + " 3 4"));
    EXPECT_TRUE(a->Ask("post " + c->IdText() + " 3 4", "refused"));
}

TEST_F(KxCliPeerTest, ArmedSendsRunInsideTheNextHandler) {
    JoinThree();
    // From inside B's OnReceive: a synchronous send to all that returns once A and C acknowledged.
    ASSERT_TRUE(b->Ask("on-recv send * 21 22", "armed"));
    ASSERT_TRUE(a->Ask("post " + b->IdText() + " 20 0", "ok"));
    EXPECT_TRUE(b->Expect("recv " + a->IdText() + " 20 0")) << b->Output();
    EXPECT_TRUE(a->Expect("sync " + b->IdText() + " 21 22")) << a->Output();
    EXPECT_TRUE(c->Expect("sync " + b->IdText() + " 21 22")) << c->Output();
    EXPECT_TRUE(b->Expect("handler-send ok")) << b->Output();
    // Armed once only: the next message runs no handler send.
    ASSERT_TRUE(a->Ask("post " + b->IdText() + " 23 0", "ok"));
    EXPECT_TRUE(b->Expect("recv " + a->IdText() + " 23 0"));

    // From inside A's OnSyncMessage, while B's own send to A still waits: a synchronous send
    // back to B, which B's waiting thread handles while its main thread is blocked.
    ASSERT_TRUE(a->Ask("on-sync send " + b->IdText() + " 31 32", "armed"));
    b->Tell("send " + a->IdText() + " 30 0");
    EXPECT_TRUE(a->Expect("sync " + b->IdText() + " 30 0")) << a->Output();
    EXPECT_TRUE(b->Expect("sync " + a->IdText() + " 31 32")) << b->Output();
    EXPECT_TRUE(a->Expect("handler-send ok")) << a->Output();
    EXPECT_TRUE(b->Expect("ok")) << b->Output();

    // A handler post to a non-member is refused inside the handler, and the peer goes on.
    ASSERT_TRUE(c->Ask("on-recv post 3 1 1", "armed"));
    ASSERT_TRUE(a->Ask("post " + c->IdText() + " 40 0", "ok"));
    EXPECT_TRUE(c->Expect("recv " + a->IdText() + " 40 0"));
    EXPECT_TRUE(c->Expect("handler-post refused")) << c->Output();
    EXPECT_TRUE(c->Ask("members", "members " + a->IdText() + " " + b->IdText()));
}

// stderr is not piped by the harness: run the peer through cmd.exe with 2>&1 to see error lines.
TEST(KxCliBadInputTest, BadInputPrintsAnErrorLineAndThePeerGoesOn) {
    std::unique_ptr<CKxChildProcess> peer = CKxChildProcess::Program(
        "cmd.exe", {"/c", KxCliExe() + " join " + KxUniqueName("cli") + " 2>&1"});
    ASSERT_TRUE(peer);
    ASSERT_TRUE(peer->WaitForLine("id ", kCliLineTimeoutMs)) << peer->Output();
    const char* const bad[] = {
        "frobnicate",   "send",          "send * 1",     "send * 1 2 3",
        "send 12x 1 1", "send 1,,2 1 1", "post * 0x 1",  "post * 4294967296 1",
        "members now",  "on-recv * 1 1", "on-sync exit", "post * 1 18446744073709551616",
    };
    for (const char* line : bad) {
        peer->WriteLine(line);
        std::string got;
        EXPECT_TRUE(peer->WaitForLine("error: ", kCliLineTimeoutMs, &got)) << line;
        // Still serving, and the bad line did nothing: the next command is answered normally.
        peer->WriteLine("members");
        EXPECT_TRUE(peer->WaitForLine("members", kCliLineTimeoutMs, &got)) << line;
        EXPECT_EQ(got, "members") << line;
    }
    peer->WriteLine("leave");
    ASSERT_TRUE(peer->WaitForLine("left", kCliLineTimeoutMs));
    peer->WriteLine("leave");
    EXPECT_TRUE(peer->WaitForLine("error: not joined", kCliLineTimeoutMs));
    peer->WriteLine("exit");
    ASSERT_TRUE(peer->WaitForExit(kCliLineTimeoutMs));
    EXPECT_EQ(peer->ExitCode(), 0u);
    EXPECT_EQ(peer->Output().find("ok"), std::string::npos) << peer->Output();

    // A name the platform would reject is refused before anything is tried, saying why; the
    // longest name that every derived object name can hold works.
    std::string longest = KxUniqueName("cli");
    longest.resize(208, 'x');
    const struct {
        std::string name, why;
    } badNames[] = {{"a\\b", "backslash"}, {longest + "x", "at most 208 characters"}};
    for (const auto& badName : badNames) {
        for (const char* verb : {"join", "members"}) {
            std::string output;
            EXPECT_EQ(KxCliRun({verb, badName.name}, &output, true /*withErrors*/), 1u) << verb;
            EXPECT_EQ(output.rfind("error: ", 0), 0u) << output;
            EXPECT_NE(output.find(badName.why), std::string::npos) << output;
        }
    }
    CKxCliPeer edge(longest);
    EXPECT_TRUE(edge.WaitForId()) << edge.Output();
}

TEST(KxCliBadInputTest, FiftyFirstParticipantIsRefusedAtOnce) {
    const std::string channel = KxUniqueName("full");
    std::vector<std::unique_ptr<CKxCountingParticipant>> members;
    for (int i = 0; i < 50; ++i) {
        members.emplace_back(new CKxCountingParticipant(channel.c_str()));
        members.back()->InitializeParticipant();
    }
    CKxCountingParticipant fiftyFirst(channel.c_str());
    const ULONGLONG start = GetTickCount64();
    EXPECT_THROW(fiftyFirst.InitializeParticipant(), CKxChannelFullException);
    EXPECT_LT(GetTickCount64() - start, 1000u);

    std::string output;
    EXPECT_EQ(KxCliRun({"join", channel}, &output, true /*withErrors*/), 1u);
    EXPECT_EQ(output, "error: channel " + channel + " is full (50 members)\n");
}

}  // namespace
