// The local HTTP server for previews over real loopback sockets on a stepped clock: the
// answers byte for byte, ranges restarting the download, requests in pieces, the ten slots,
// idle slots, the loopback-only listener, the sliding preview window, and a preview streamed
// from a peer's shared-file delivery through the reception.
#include "engine/file_server.h"

#include <gtest/gtest.h>

#include <chrono>

#include "mail_peers.h"
#include "peer_helper.h"

namespace orv::test {
namespace {

// A player's side of one connection: blocking connect, then non-blocking reads.
class HttpClient {
  public:
    explicit HttpClient(int port, const char* address = "127.0.0.1") {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(static_cast<uint16_t>(port));
        ::inet_pton(AF_INET, address, &sa.sin_addr);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
        ::fcntl(fd_, F_SETFL, O_NONBLOCK);
    }
    ~HttpClient() { close(); }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool connected() const { return connected_; }
    void send(std::string_view s) {
        ASSERT_EQ(::send(fd_, s.data(), s.size(), 0), ssize_t(s.size()));
    }
    // Reads what has arrived; notes the end of the stream.
    void read() {
        char b[65536];
        for (;;) {
            ssize_t n = ::recv(fd_, b, sizeof b, 0);
            if (n > 0) {
                got.append(b, static_cast<size_t>(n));
                continue;
            }
            if (n == 0) ended = true;
            return;
        }
    }
    std::string header() const {
        size_t e = got.find("\r\n\r\n");
        return e == std::string::npos ? std::string() : got.substr(0, e + 4);
    }
    std::string body() const {
        size_t e = got.find("\r\n\r\n");
        return e == std::string::npos ? std::string() : got.substr(e + 4);
    }
    int fd() const { return fd_; }

    std::string got;
    bool ended = false;

  private:
    int fd_ = -1;
    bool connected_ = false;
};

std::string get(std::string_view target, std::string_view range = {}) {
    std::string r = "GET " + std::string(target) + " HTTP/1.1\r\nHost: localhost\r\n";
    if (!range.empty()) r += "Range: bytes=" + std::string(range) + "\r\n";
    return r + "\r\n";
}

class FileServerTest : public ::testing::Test {
  protected:
    FileServerTest() : tables(clock) {
        firstPort = freePort();
        server = std::make_unique<FileServer>(tables, clock, sockets, firstPort);
        server->startTransfer = [this](std::string_view p, int64_t offset) {
            starts.push_back({std::string(p), offset});
        };
        server->pauseTransfer = [this](std::string_view p) { paused.emplace_back(p); };
        addPreview("/alice/my video.mp4", 1000);
        server->FileServerStep();  // opens the listener
    }

    // A preview record as the share view adds it, and its place in the preview set.
    void addPreview(const std::string& remote, uint64_t size) {
        TransferRecord r{};
        r.kind = TransferKind::Preview;
        r.state = TransferState::Paused;
        r.total = size;
        tables.transferRemotePaths.append(remote);
        tables.transferOwners.append("bob");
        tables.transferLocalPaths.append("/tmp/" + remote.substr(remote.rfind('/') + 1));
        tables.transfers.append(r);
        tables.previewSet.append(remote);
    }

    // Steps the server until cond holds (reading every client meanwhile); false after 5 s.
    bool stepUntil(const std::function<bool()>& cond, std::vector<HttpClient*> clients = {}) {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        for (;;) {
            server->FileServerStep();
            for (auto* c : clients)
                c->read();
            if (cond()) return true;
            if (std::chrono::steady_clock::now() > end) return false;
            WaitSet w;
            server->addWaits(w);
            for (auto* c : clients)
                w.want(c->fd(), kWaitRead);
            sockets.Poll(w.entries, 5);
        }
    }
    // Steps a few times with nothing expected to happen.
    void settle(std::vector<HttpClient*> clients = {}) {
        for (int i = 0; i < 20; ++i) {
            server->FileServerStep();
            std::vector<PollEntry> none;
            sockets.Poll(none, 1);
            for (auto* c : clients)
                c->read();
        }
    }
    std::string bytes(size_t n, size_t from = 0) {
        std::string s(n, '\0');
        for (size_t i = 0; i < n; ++i)
            s[i] = static_cast<char>('a' + (from + i) % 26);
        return s;
    }
    PreviewTake feed(int32_t preview, int64_t offset, const std::string& data) {
        return server->takePreviewData(
            preview, offset,
            std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(data.data()), data.size()));
    }

    ManualClock clock{1'700'000'000};
    CoreTables tables;
    PosixSocketApi sockets;
    int firstPort = 0;
    std::unique_ptr<FileServer> server;
    std::vector<std::pair<std::string, int64_t>> starts;
    std::vector<std::string> paused;
};

TEST_F(FileServerTest, AnswersWholeAndRangedRequestsByteForByte) {
    const std::string whole =
        "HTTP/1.1 200 OK\r\nServer: Microsoft-IIS/5.0\r\nContent-Type: application/octet-stream\r\n"
        "Accept-Ranges: bytes\r\nContent-Length:  1000\r\n\r\n";
    {
        HttpClient c(server->port());
        c.send(get("/alice/my%20video.mp4"));
        ASSERT_TRUE(stepUntil([&] { return !c.header().empty(); }, {&c}));
        EXPECT_EQ(c.header(), whole);
        ASSERT_EQ(starts.size(), 1u);
        EXPECT_EQ(starts[0], (std::pair<std::string, int64_t>{"/alice/my video.mp4", 0}));
        // The bytes follow as they arrive, and the connection ends with the content.
        EXPECT_EQ(feed(0, 0, bytes(600)), PreviewTake::Taken);
        ASSERT_TRUE(stepUntil([&] { return c.body().size() == 600; }, {&c}));
        EXPECT_FALSE(c.ended);
        EXPECT_EQ(feed(0, 600, bytes(400, 600)), PreviewTake::Taken);
        ASSERT_TRUE(stepUntil([&] { return c.ended; }, {&c}));
        EXPECT_EQ(c.body(), bytes(1000));
    }
    {
        HttpClient c(server->port());
        c.send(get("/alice/my%20video.mp4", "500-"));
        ASSERT_TRUE(stepUntil([&] { return !c.header().empty(); }, {&c}));
        EXPECT_EQ(c.header(),
                  "HTTP/1.1 206 Partial Content\r\nServer: Apache/1.3.26 (Unix) PHP/4.1.2 "
                  "mod_ssl/2.8.10 OpenSSL/0.9.6e\r\nAccept-Ranges: bytes\r\nContent-Length:        "
                  "500\r\nContent-Range: bytes 500-999/1000\r\n\r\n");
        ASSERT_EQ(starts.size(), 2u);
        EXPECT_EQ(starts[1].second, 500);
        EXPECT_EQ(server->window().start, 500);
        // Bytes of the earlier stretch no longer fit the window.
        EXPECT_EQ(feed(0, 0, bytes(10)), PreviewTake::Dropped);
        EXPECT_EQ(feed(0, 500, bytes(500, 500)), PreviewTake::Taken);
        ASSERT_TRUE(stepUntil([&] { return c.ended; }, {&c}));
        EXPECT_EQ(c.body(), bytes(500, 500));
    }
    // A range from 0, and one at or past the end, are served whole from the start.
    for (std::string range : {"0-", "1000-", "5000-10000"}) {
        HttpClient c(server->port());
        c.send(get("/ALICE/My%20Video.mp4", range));
        ASSERT_TRUE(stepUntil([&] { return !c.header().empty(); }, {&c})) << range;
        EXPECT_EQ(c.header(), whole) << range;
        EXPECT_EQ(starts.back().second, 0) << range;
        EXPECT_EQ(server->window().start, 0) << range;
    }
}

TEST_F(FileServerTest, EncodingAndMalformedRequests) {
    EXPECT_EQ(percentEncodePath("/alice/my video #1.mp4"), "/alice/my%20video%20%231.mp4");
    EXPECT_EQ(percentEncodePath("/张/a.mkv"), "/%E5%BC%A0/a.mkv");
    EXPECT_EQ(percentDecode("/%E5%bc%A0/a%2"), "/张/a%2");
    HttpRequest r = parseHttpRequest(get("/%E5%BC%A0/POST%20x.mp4", "-500"));
    EXPECT_TRUE(r.get);
    EXPECT_EQ(r.target, "/张/POST x.mp4");
    EXPECT_EQ(r.rangeStart, -500);
    EXPECT_FALSE(parseHttpRequest("POST /alice/my%20video.mp4 HTTP/1.1\r\n\r\n").get);
    EXPECT_FALSE(parseHttpRequest("GET /alice/my%20video.mp4\r\n\r\n").get);

    // A UTF-8 target finds the preview whose remote path holds those characters.
    addPreview("/alice/张三的视频.mkv", 10);
    HttpClient c(server->port());
    c.send(get(percentEncodePath("/alice/张三的视频.mkv")));
    ASSERT_TRUE(stepUntil([&] { return !c.header().empty(); }, {&c}));
    EXPECT_NE(c.header().find("Content-Length:  10\r\n"), std::string::npos);
    EXPECT_EQ(server->window().preview, 1);

    // A request in two pieces is read once its header block has ended.
    HttpClient pieces(server->port());
    pieces.send("GET /alice/my%20vi");
    settle({&pieces});
    EXPECT_TRUE(pieces.got.empty());
    pieces.send("deo.mp4 HTTP/1.1\r\nRange: bytes=500-\r\n\r\n");
    ASSERT_TRUE(stepUntil([&] { return !pieces.header().empty(); }, {&pieces}));
    EXPECT_EQ(pieces.header().substr(0, 13), "HTTP/1.1 206 ");
    // Making the first preview current again stops the one it replaces.
    EXPECT_EQ(paused, (std::vector<std::string>{"/alice/张三的视频.mkv"}));

    // Unknown targets and other methods get no answer; the slot goes after 11 idle seconds.
    HttpClient unknown(server->port()), post(server->port());
    unknown.send(get("/alice/nothing.mp4"));
    post.send("POST /alice/my%20video.mp4 HTTP/1.1\r\n\r\n");
    settle({&unknown, &post});
    EXPECT_TRUE(unknown.got.empty());
    EXPECT_TRUE(post.got.empty());
    EXPECT_FALSE(unknown.ended);
    clock.advanceSeconds(kHttpIdleSeconds);
    ASSERT_TRUE(stepUntil([&] { return unknown.ended && post.ended; }, {&unknown, &post}));
}

TEST_F(FileServerTest, TenClientsAtOnceTheEleventhWaitsInTheBacklog) {
    std::vector<std::unique_ptr<HttpClient>> clients;
    for (int i = 0; i < 11; ++i)
        clients.push_back(std::make_unique<HttpClient>(server->port()));
    ASSERT_TRUE(stepUntil([&] { return server->clientCount() == 10; }));
    settle();
    EXPECT_EQ(server->clientCount(), 10);
    // The listener is not watched while the slots are full.
    WaitSet w;
    server->addWaits(w);
    EXPECT_EQ(w.eventsFor(server->listener()), 0);
    clients[10]->send(get("/alice/my%20video.mp4"));
    settle({clients[10].get()});
    EXPECT_TRUE(clients[10]->got.empty());
    // One goes away: the eleventh is taken and answered.
    clients[0]->close();
    ASSERT_TRUE(stepUntil([&] { return !clients[10]->header().empty(); }, {clients[10].get()}));
}

TEST_F(FileServerTest, AnIdleSlotClosesAfterElevenSeconds) {
    HttpClient c(server->port());
    c.send(get("/alice/my%20video.mp4"));
    ASSERT_TRUE(stepUntil([&] { return !c.header().empty(); }, {&c}));
    WaitSet w;
    server->addWaits(w);
    EXPECT_EQ(w.deadlineMs, clock.nowMillis() + kHttpIdleSeconds * 1000);
    clock.advanceSeconds(kHttpIdleSeconds - 1);
    settle({&c});
    EXPECT_FALSE(c.ended);
    EXPECT_EQ(server->clientCount(), 1);
    // Content read keeps it open.
    EXPECT_EQ(feed(0, 0, bytes(100)), PreviewTake::Taken);
    ASSERT_TRUE(stepUntil([&] { return c.body().size() == 100; }, {&c}));
    clock.advanceSeconds(kHttpIdleSeconds - 1);
    settle({&c});
    EXPECT_FALSE(c.ended);
    clock.advanceSeconds(1);
    ASSERT_TRUE(stepUntil([&] { return c.ended; }, {&c}));
    EXPECT_EQ(server->clientCount(), 0);
}

TEST_F(FileServerTest, ListensOnLoopbackOnlyFromTheConfiguredPortUpward) {
    EXPECT_GE(server->port(), firstPort);
    HttpClient stranger(server->port(), "127.0.0.2");
    EXPECT_FALSE(stranger.connected());
    settle();
    EXPECT_EQ(server->clientCount(), 0);

    // A taken port makes the server try the next one.
    int busy = freePort();
    int holder = listenOn(busy);
    ASSERT_GE(holder, 0);
    FileServer second(tables, clock, sockets, busy);
    second.FileServerStep();
    ASSERT_NE(second.listener(), kInvalidSocket);
    EXPECT_GT(second.port(), busy);
    ::close(holder);
}

TEST_F(FileServerTest, AcceptsPauseAfterASecondAndTheBacklogWaits) {
    HttpClient first(server->port());
    ASSERT_TRUE(stepUntil([&] { return server->clientCount() == 1; }));
    clock.advanceSeconds(1);
    HttpClient later(server->port());
    settle();
    EXPECT_EQ(server->clientCount(), 1);
    WaitSet w;
    server->addWaits(w);
    EXPECT_EQ(w.eventsFor(server->listener()), 0);
    EXPECT_EQ(w.deadlineMs, clock.nowMillis() + kHttpAcceptPauseSeconds * 1000);
    clock.advanceSeconds(kHttpAcceptPauseSeconds);
    ASSERT_TRUE(stepUntil([&] { return server->clientCount() == 2; }));
}

TEST_F(FileServerTest, TheWindowHoldsQuarterMegabyteAndSlidesByAnEighth) {
    const size_t total = 700'000;
    tables.transfers[0].total = total;
    std::string data = randomBytes(total, 7);
    HttpClient c(server->port());
    c.send(get("/alice/my%20video.mp4"));
    ASSERT_TRUE(stepUntil([&] { return !c.header().empty(); }, {&c}));
    // Fed in chunks as the peer sends them; the window refuses what does not fit.
    size_t fed = 0;
    int refused = 0;
    auto feedAll = [&] {
        while (fed < total) {
            size_t n = std::min<size_t>(2016, total - fed);
            PreviewTake r = feed(0, static_cast<int64_t>(fed), data.substr(fed, n));
            if (r != PreviewTake::Taken) {
                EXPECT_EQ(r, PreviewTake::NotNow);
                ++refused;
                return;
            }
            fed += n;
        }
    };
    feedAll();
    EXPECT_EQ(refused, 1);
    EXPECT_LE(server->window().length, static_cast<int64_t>(kPreviewWindowBytes));
    EXPECT_GT(server->window().length, static_cast<int64_t>(kPreviewWindowBytes) - 2016);
    ASSERT_TRUE(stepUntil(
        [&] {
            feedAll();
            EXPECT_LE(server->window().length, static_cast<int64_t>(kPreviewWindowBytes));
            EXPECT_EQ(server->window().start % kPreviewSlideBytes, 0);
            return c.ended;
        },
        {&c}));
    EXPECT_GT(server->window().start, 0);
    EXPECT_TRUE(c.body() == data);
}

// ---------------------------------------------------------------- through the reception

using PreviewReception = MailPeers;

TEST_F(PreviewReception, ASharedFileWithAPreviewTargetStreamsToThePlayer) {
    MailPeer& alice = addPeer("alice");
    MailPeer& bob = addPeer("bob");
    std::string clip = makeFile("clip.bin", 900'000, 5);
    const std::string remote = "/alice/clip.bin";
    TransferRecord r{};
    r.kind = TransferKind::Preview;
    r.total = 900'000;
    bob.tables.transferRemotePaths.append(remote);
    bob.tables.transferOwners.append("bob");
    bob.tables.transferLocalPaths.append(bob.receiveFolder + "/clip.bin");
    bob.tables.transfers.append(r);
    bob.tables.previewSet.append(remote);
    FileServer server(bob.tables, clock, bob.sockets, freePort());
    connectFileServerHooks(*bob.engine, *bob.reception, server);
    std::vector<int64_t> starts;
    server.startTransfer = [&](std::string_view, int64_t offset) { starts.push_back(offset); };
    bob.reception->sharedFileTarget = [&](int) {
        return std::optional<SharedFileTarget>(
            SharedFileTarget{bob.receiveFolder + "/clip.bin", 0, 0});
    };
    bool complete = false;
    bob.reception->sharedFileProgress = [&](int, int64_t received, bool done) {
        complete = done && received == 900'000;
    };
    ASSERT_TRUE(pumpUntil([&] { return server.listener() != kInvalidSocket; }));

    HttpClient player(server.port());
    player.send(get(remote));
    ASSERT_TRUE(pumpUntil([&] {
        player.read();
        return !player.header().empty();
    }));
    EXPECT_EQ(starts, std::vector<int64_t>{0});
    // The file comes as alice's shared-file delivery (a kind-22 item).
    int m = alice.compose({"bob"}, remote, {clip});
    alice.tables.mails[m].kind = MailKind::SharedFileDelivery;
    ASSERT_TRUE(pumpUntil(
        [&] {
            player.read();
            return player.ended;
        },
        60000));
    EXPECT_TRUE(player.body() == readFile(clip));
    int got = bob.findMail(alice.tables.mails[m].key);
    ASSERT_GE(got, 0);
    EXPECT_EQ(bob.tables.mails[got].kind, MailKind::SharedFileReceived);
    const AttachmentRecord& a = bob.tables.attachments[bob.tables.mailFiles(got)[0]];
    EXPECT_EQ(a.previewMark, 1);
    EXPECT_EQ(a.done, 900'000);
    EXPECT_TRUE(complete);
    // Nothing of a preview is written to the disk.
    EXPECT_FALSE(std::filesystem::exists(bob.receiveFolder + "/clip.bin"));
}

}  // namespace
}  // namespace orv::test
