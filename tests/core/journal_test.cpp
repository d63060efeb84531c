// The journal beside cfg.dat: what it replays, how a torn or damaged tail is ignored, the fold
// into cfg.dat, and processes killed while writing either.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <set>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/journal.h"
#include "core/state_file.h"
#include "core/state_saver.h"
#include "support/temp_dir.h"

namespace orv {
namespace {

using test::TempDir;

// A received mail with two files, recipients and an address line.
int addReceived(CoreTables& t, uint64_t key, const std::string& subject) {
    MailRecord r{};
    r.key = key;
    r.kind = MailKind::Inbox;
    r.created = 1000;
    r.size = 30;
    r.fetchRequested = 1;
    int m = t.appendMail(r, subject);
    AttachmentRecord a{};
    a.total = 10;
    a.done = 10;
    a.attFlags = 1;
    t.appendAttachment(m, "/tmp/x/body" + std::to_string(key), "body", a);
    a.total = 20;
    a.done = 7;
    a.attFlags = 0;
    t.appendAttachment(m, "/tmp/x/report.txt", "report.txt", a);
    t.appendReceivedRecipient(m, "bob", "alice");
    t.appendReceivedRecipient(m, "carol", "alice");
    t.appendRecvAddress(m, "bob");
    t.appendRecvAddress(m, "carol");
    return m;
}

// An outgoing mail to two users, one of them done.
int addOutgoing(CoreTables& t, uint64_t key) {
    MailRecord r{};
    r.key = key;
    r.kind = MailKind::Outbox;
    r.created = 1001;
    int m = t.appendMail(r, "out");
    int d = t.appendDelivery(m, "bob", "alice");
    t.appendDelivery(m, "carol", "alice");
    t.appendOutAddress(m, "bob,carol");
    t.setDeliveryState(d, CoreTables::DeliveryHow::Finished);
    return m;
}

// The image of tables as a fresh load would give it.
std::vector<uint8_t> loadedImage(const CoreTables& t, const Clock& clock) {
    std::vector<uint8_t> bytes = serializeState(t);
    CoreTables copy(clock, "");
    loadState(copy, bytes.data(), bytes.size());
    return serializeState(copy);
}

TEST(Journal, ReplayOnTheLastSaveGivesTheTablesAsTheyWere) {
    TempDir dir;
    ManualClock clock;
    std::string cfg = dir.file("cfg.dat");
    CoreTables t(clock, "");
    loadState(t, nullptr, 0);
    addReceived(t, 11, "first");
    ASSERT_TRUE(saveStateFile(t, cfg));
    t.takeMailNotes();

    Journal j(cfg);
    addReceived(t, 12, "second");
    int out = addOutgoing(t, 13);
    ASSERT_TRUE(j.commit(t));
    // Later changes: a mail goes to the trash by a direct write, another one is erased.
    t.mails[out].kind = MailKind::TrashOutgoing;
    t.noteMailChanged(out);
    t.eraseMail(t.findReceived(11));
    ASSERT_TRUE(j.commit(t));
    EXPECT_EQ(j.syncCount(), 2u);

    CoreTables back(clock, "");
    loadStateFile(back, cfg);
    Journal again(cfg);
    EXPECT_EQ(again.replayAll(back), 4);
    EXPECT_EQ(serializeState(back), loadedImage(t, clock));
    // Replaying the same journal twice changes nothing more.
    again.replayAll(back);
    EXPECT_EQ(serializeState(back), loadedImage(t, clock));
}

TEST(Journal, TornOrDamagedTailsAreIgnoredAndNeverHarmTheRest) {
    ManualClock clock;
    CoreTables src(clock, "");
    loadState(src, nullptr, 0);
    std::vector<uint8_t> bytes;
    std::vector<size_t> ends;
    for (uint64_t k = 1; k <= 4; ++k) {
        addReceived(src, k, "m" + std::to_string(k));
        auto r = journalRecordFor(src, k, true);
        bytes.insert(bytes.end(), r.begin(), r.end());
        ends.push_back(bytes.size());
    }
    // Every cut: exactly the whole frames before it apply.
    for (size_t cut = 0; cut <= bytes.size(); ++cut) {
        CoreTables t(clock, "");
        loadState(t, nullptr, 0);
        ReplayReport rep = replayJournal(t, bytes.data(), cut);
        int whole =
            static_cast<int>(std::upper_bound(ends.begin(), ends.end(), cut) - ends.begin());
        ASSERT_EQ(rep.applied, whole) << cut;
        ASSERT_EQ(t.mails.count(), whole);
        ASSERT_EQ(rep.torn, cut != (whole ? ends[whole - 1] : 0)) << cut;
    }
    // A flipped byte in the third frame: the first two apply, nothing after the damage does.
    std::mt19937 g(5);
    for (int trial = 0; trial < 200; ++trial) {
        std::vector<uint8_t> b = bytes;
        size_t at = ends[1] + g() % (ends[2] - ends[1]);
        b[at] ^= static_cast<uint8_t>(1 + g() % 255);
        CoreTables t(clock, "");
        loadState(t, nullptr, 0);
        ReplayReport rep = replayJournal(t, b.data(), b.size());
        ASSERT_EQ(rep.applied, 2);
        ASSERT_TRUE(rep.torn);
    }
}

TEST(Journal, TheSaveFoldsTheJournalInAndRemovesIt) {
    TempDir dir;
    ManualClock clock;
    std::string cfg = dir.file("cfg.dat");
    CoreTables t(clock, "");
    loadState(t, nullptr, 0);
    Journal j(cfg);
    StateSaver saver(t, cfg, 3000);
    saver.setJournal(&j);
    addReceived(t, 21, "a");
    ASSERT_TRUE(j.commit(t));
    EXPECT_TRUE(std::filesystem::exists(j.fileName(1)));
    ASSERT_TRUE(saver.saveNow());
    EXPECT_FALSE(std::filesystem::exists(j.fileName(1)));
    addReceived(t, 22, "b");
    ASSERT_TRUE(j.commit(t));
    EXPECT_TRUE(std::filesystem::exists(j.fileName(2)));

    CoreTables back(clock, "");
    loadStateFile(back, cfg);
    EXPECT_EQ(back.mails.count(), 1);
    Journal again(cfg);
    EXPECT_EQ(again.replayAll(back), 1);
    EXPECT_EQ(serializeState(back), loadedImage(t, clock));
}

// A child process keeps acknowledging mails (each one written to the pipe only after its
// commit returned) and folds the journal into cfg.dat every few commits; it is killed at a
// random moment. Every load must succeed and hold every acknowledged mail.
[[noreturn]] void acknowledgeForever(const std::string& cfg, int ackFd, unsigned seed) {
    ManualClock clock;
    CoreTables t(clock, "");
    loadStateFile(t, cfg);
    Journal j(cfg);
    j.replayAll(t);
    StateSaver saver(t, cfg, 3000);
    saver.setJournal(&j);
    std::mt19937_64 g(seed);
    for (int n = 1;; ++n) {
        // A few mails per commit, as a busy pump would have.
        std::vector<uint64_t> keys;
        for (int k = 0; k < 1 + static_cast<int>(g() % 3); ++k) {
            keys.push_back(g() | 1);
            addReceived(t, keys.back(), std::string(g() % 200, 's'));
        }
        if (!j.commit(t)) ::_exit(3);
        for (uint64_t k : keys)
            if (::write(ackFd, &k, sizeof k) != sizeof k) ::_exit(4);
        if (n % 4 == 0 && !saver.saveNow()) ::_exit(5);
    }
}

TEST(Journal, KilledWhileJournalingOrFoldingLosesNothingAcknowledged) {
    TempDir dir;
    std::string cfg = dir.file("cfg.dat");
    std::set<uint64_t> acked;
    std::mt19937 g(42);
    for (int trial = 0; trial < 100; ++trial) {
        int p[2];
        ASSERT_EQ(::pipe(p), 0);
        pid_t pid = ::fork();
        if (pid == 0) {
            ::close(p[0]);
            acknowledgeForever(cfg, p[1], static_cast<unsigned>(trial));
        }
        ::close(p[1]);
        // Let it acknowledge a random number of mails (some trials none), then kill it while
        // it is busy with the next.
        int want = static_cast<int>(g() % 12);
        uint64_t k;
        for (int i = 0; i < want && ::read(p[0], &k, sizeof k) == sizeof k; ++i)
            acked.insert(k);
        ::kill(pid, SIGKILL);
        while (::read(p[0], &k, sizeof k) == sizeof k)
            acked.insert(k);
        ::close(p[0]);
        int status = 0;
        ::waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer failed with " << WEXITSTATUS(status);

        ManualClock clock;
        CoreTables t(clock, "");
        LoadReport rep = loadStateFile(t, cfg);
        ASSERT_FALSE(rep.mailsDropped);
        Journal j(cfg);
        j.replayAll(t);
        for (uint64_t key : acked) {
            int m = t.findReceived(key);
            ASSERT_GE(m, 0) << "trial " << trial << " lost " << key;
            ASSERT_EQ(t.mailFiles(m).size(), 2u);
            ASSERT_EQ(t.mailReceivedRecipients(m).size(), 2u);
        }
    }
    EXPECT_GT(acked.size(), 300u);
}

}  // namespace
}  // namespace orv
