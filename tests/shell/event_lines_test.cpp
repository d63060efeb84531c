// The headless client prints each event of a service once, in the order pushed, as its line;
// a service with nothing new prints nothing.
#include <gtest/gtest.h>

#include "apps/headless/event_lines.h"
#include "session/client_session.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

TEST(HeadlessEvents, EachEventOncePrintedInOrder) {
    test::TempDir dir;
    SystemClock clock;
    ClientOptions opt;
    opt.programPath = "orvantel-headless";
    opt.dataDir = dir.file("erin");
    opt.instancePort = test::freeLoopbackPort();
    ClientSession s(clock, opt);
    ASSERT_EQ(s.start(), StartOutcome::Running);
    std::vector<std::string> lines;
    s.onEvent = [&](const SessionEvent& e) { lines.push_back(eventLine(e, s.tables())); };

    MailRecord r{};
    r.key = 0xAB;
    r.kind = MailKind::Inbox;
    int m = s.tables().appendMail(r, "hello \"you\"");
    s.tables().appendReceivedRecipient(m, "erin", "frank");
    AttachmentRecord a{};
    s.tables().appendAttachment(m, "a.txt", "a.txt", a);

    s.service();
    EXPECT_TRUE(lines.empty());  // nothing happened yet

    SessionState& st = s.state();
    st.events.push(EventKind::MailArrived, 0xAB);
    st.events.push(EventKind::FilesComplete, 0xAB);
    st.events.push(EventKind::DeliveryChanged, 0xCD, DeliveryState::AwaitingReply);
    st.events.push(EventKind::MailRefused, 0xCD, 0, "nosuchuser");
    st.events.push(EventKind::DeliveryDone, 0xCD);
    st.events.push(EventKind::ReceiptsDone, 0xCD, 0, "no answer");
    s.service();
    s.service();
    const std::vector<std::string> want = {
        R"({"event":"mail-arrived","key":"00000000000000AB","from":"frank","subject":"hello \"you\"","files":1})",
        R"({"event":"files-complete","key":"00000000000000AB"})",
        R"({"event":"delivery-state","key":"00000000000000CD","state":13})",
        R"({"event":"refused","key":"00000000000000CD","user":"nosuchuser"})",
        R"({"event":"delivery-done","key":"00000000000000CD"})",
        R"({"event":"receipts","key":"00000000000000CD","ok":false,"message":"no answer"})",
    };
    EXPECT_EQ(lines, want);

    // Logged in elsewhere: announced once with its message, and nobody is current any more.
    lines.clear();
    st.currentUser = "erin";
    st.loggedInElsewhere = true;
    s.service();
    s.service();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("\"event\":\"logged-in-elsewhere\""), std::string::npos);
    EXPECT_FALSE(st.loggedIn());
    EXPECT_TRUE(s.shutdown());
}

}  // namespace
}  // namespace orv
