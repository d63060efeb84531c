#pragma once
// Several clients in one process, each with its own tables, engine, delivery and reception,
// talking over real loopback sockets. One manual clock serves them all; it moves on only
// when nobody had anything to do, so long waits pass quickly while transfers run at full
// speed. Addresses come from a small in-test directory.
#include <sys/stat.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/random.h"
#include "engine/delivery.h"
#include "engine/reception.h"
#include "engine/relay.h"
#include "peer_helper.h"
#include "support/temp_dir.h"

namespace orv::test {

// User name (lower case) to "host:port", "" for a user who is offline; a missing name is a
// user the directory does not know.
using Directory = std::map<std::string, std::string>;

inline std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

inline void writeFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::string randomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i += 4) {
        uint32_t v = gen();
        std::memcpy(s.data() + i, &v, std::min<size_t>(4, n - i));
    }
    return s;
}

inline int64_t fileSize(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

class MailPeer {
    ManualClock& clock_;
    Directory& directory_;
    std::string user_;
    int32_t relayLimitKB_ = 0;

  public:
    MailPeer(ManualClock& clock, Directory& directory, std::string user, const std::string& root,
             int32_t relayLimitKB = 0)
        : clock_(clock),
          directory_(directory),
          user_(std::move(user)),
          relayLimitKB_(relayLimitKB),
          tables(clock, root + "/recvfile") {
        session.currentUser = user_;
        tables.setSettingNumber(Setting::AutoReceiveMB, 10);
        receiveFolder = root + "/incoming";
        tables.setSettingString(SettingString::ReceiveFolder, receiveFolder);
        startEngine();
    }
    ~MailPeer() { stopEngine(); }

    // Comes online: the directory gives out its address.
    void online() { directory_[user_] = "127.0.0.1:" + std::to_string(engine->peerPort()); }
    void offline() { directory_[user_] = ""; }

    // Like closing the program and starting it again: files are closed, runtime state is
    // dropped, deliveries not yet delivered start over, and the listener has a new port.
    void restart() {
        engine->shutdown();
        stopEngine();
        tables.clearRuntime();
        for (auto& d : tables.deliveries)
            if (d.state != DeliveryState::Delivered) d.state = 0;
        startEngine();
        online();
    }

    // An outgoing mail from this user with the files (full paths) to the recipients.
    int compose(const std::vector<std::string>& recipients, const std::string& subject,
                const std::vector<std::string>& files = {}, uint32_t flags = 0,
                const std::vector<std::string>& names = {}) {
        MailRecord r{};
        r.recipientCount = static_cast<int32_t>(recipients.size());
        r.created = static_cast<int32_t>(clock_.nowSeconds());
        r.key = newMailKey();
        r.flags = flags;
        int m = tables.appendMail(r, subject);
        for (size_t i = 0; i < files.size(); ++i) {
            AttachmentRecord a{};
            a.total = fileSize(files[i]);
            tables.mails[m].size += a.total;
            std::string name =
                i < names.size() ? names[i] : files[i].substr(files[i].rfind('/') + 1);
            tables.appendAttachment(m, files[i], name, a);
        }
        for (const auto& to : recipients) {
            tables.appendDelivery(m, to, user_);
            tables.appendOutAddress(m, to);
        }
        return m;
    }

    int32_t deliveryState(uint64_t key, std::string_view to) const {
        for (int d = 0; d < tables.deliveries.count(); ++d) {
            int m = tables.deliveries[d].mail;
            if (m >= 0 && tables.mails[m].key == key &&
                equalsIgnoreCase(tables.deliveryRecipients.view(d), to))
                return tables.deliveries[d].state;
        }
        return -1;
    }
    // State of the connect attempt towards user, -1 when there is none.
    int32_t connectionAttemptState(std::string_view user) {
        const auto& t = engine->connectAttempts();
        for (int i = 0; i < t.count(); ++i)
            if (equalsIgnoreCase(t.names.view(i), user)) return t.records[i].state;
        return -1;
    }
    int findMail(uint64_t key) const {
        for (int m = 0; m < tables.mails.count(); ++m)
            if (tables.mails[m].key == key) return m;
        return -1;
    }
    int countMails(uint64_t key) const {
        int n = 0;
        for (const auto& m : tables.mails)
            if (m.key == key) ++n;
        return n;
    }
    // The received mail's file j: its path, or "" when there is none.
    std::string receivedPath(uint64_t key, int j) {
        int m = tables.findReceived(key);
        if (m < 0) return {};
        const auto& files = tables.mailFiles(m);
        if (j >= static_cast<int>(files.size())) return {};
        return tables.attachmentPaths.str(files[static_cast<size_t>(j)]);
    }
    bool received(uint64_t key) {
        int m = tables.findReceived(key);
        return m >= 0 && tables.sumDone(m) == tables.mails[m].size &&
               tables.completeFileCount(m) == static_cast<int>(tables.mailFiles(m).size());
    }

    bool pump() { return engine->runOnce(0); }

    CoreTables tables;
    SessionState session;
    PosixSocketApi sockets;
    std::unique_ptr<Engine> engine;
    std::unique_ptr<MailDelivery> delivery;
    std::unique_ptr<MailReception> reception;
    std::unique_ptr<Relay> relay;  // at work only in relay mode (session.connectMode 1)
    std::string receiveFolder;
    int itemsReceived = 0;                  // item messages handed to the reception
    std::vector<int32_t> statesAfterReply;  // delivery 0's state after each reply

  private:
    void startEngine() {
        EngineConfig cfg;
        cfg.listenAddress = "127.0.0.1";
        cfg.firstPeerPort = freePort();
        cfg.relayPassLimitKB = relayLimitKB_;
        engine = std::make_unique<Engine>(tables, session, clock_, sockets, cfg);
        delivery = std::make_unique<MailDelivery>(*engine, tables, session, clock_);
        delivery->setAskAddress([this](std::string_view user) {
            auto it = directory_.find(toLowerAscii(user));
            if (it == directory_.end()) return AddressAnswer{AddressAnswer::NoSuchUser, {}};
            if (it->second.empty()) return AddressAnswer{AddressAnswer::Empty, {}};
            return AddressAnswer{AddressAnswer::Found, it->second};
        });
        reception = std::make_unique<MailReception>(*engine, tables, session, clock_, *delivery);
        connectMailHooks(*engine, *delivery, *reception);
        relay = std::make_unique<Relay>(*engine, session, clock_);
        connectRelayHooks(*engine, *delivery, *reception, *relay);
        auto& h = engine->hooks();
        auto item = h.itemMessage;
        h.itemMessage = [this, item](const InboundMessage& m) {
            ++itemsReceived;
            item(m);
        };
        auto reply = h.itemReply;
        h.itemReply = [this, reply](const InboundMessage& m) {
            reply(m);
            if (tables.deliveries.count() > 0)
                statesAfterReply.push_back(tables.deliveries[0].state);
        };
        engine->SocketStep();  // opens the listener
    }
    void stopEngine() {
        reception.reset();
        delivery.reset();
        engine.reset();
        relay.reset();
    }
};

class MailPeers : public ::testing::Test {
  protected:
    ManualClock clock{1'700'000'000};
    Directory directory;
    TempDir dir;
    std::vector<std::unique_ptr<MailPeer>> peers;

    MailPeer& addPeer(const std::string& user, bool online = true, int32_t relayLimitKB = 0) {
        std::string root = dir.path() + "/" + user;
        std::filesystem::create_directories(root);
        peers.push_back(std::make_unique<MailPeer>(clock, directory, user, root, relayLimitKB));
        if (online) peers.back()->online();
        return *peers.back();
    }

    // Pumps every peer until cond holds. The clock moves on by idleStepMs whenever a round
    // found nothing to do (0: to the earliest time a peer waits for, as a real clock would
    // wake it). False after timeoutMs of real time.
    bool pumpUntil(const std::function<bool()>& cond, int timeoutMs = 20000, int idleStepMs = 100) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int idle = 0;
        while (!cond()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            bool work = false;
            for (auto& p : peers)
                if (p->pump()) work = true;
            if (work) {
                idle = 0;
                continue;
            }
            // Give bytes in flight a moment before time moves on.
            std::vector<PollEntry> all;
            int64_t due = -1;
            for (auto& p : peers) {
                WaitSet w;
                p->engine->waitSet(w);
                all.insert(all.end(), w.entries.begin(), w.entries.end());
                if (w.deadlineMs >= 0 && (due < 0 || w.deadlineMs < due)) due = w.deadlineMs;
            }
            if (++idle < 3) {
                peers.front()->sockets.Poll(all, 1);
                continue;
            }
            idle = 0;
            if (idleStepMs > 0)
                clock.advanceMillis(idleStepMs);
            else
                clock.advanceMillis(due < 0 ? 100 : std::max<int64_t>(1, due - clock.nowMillis()));
        }
        return true;
    }

    // Moves the clock on by s seconds and lets every peer react.
    void stepSeconds(int s) {
        clock.advanceSeconds(s);
        for (int i = 0; i < 3; ++i)
            for (auto& p : peers)
                p->pump();
    }

    std::string makeFile(const std::string& name, size_t size, uint32_t seed = 1) {
        std::string path = dir.path() + "/" + name;
        writeFile(path, randomBytes(size, seed));
        return path;
    }
};

}  // namespace orv::test
