// Idle cost of the engine: 20 open links (half inbound and identified, half outbound) on an
// engine whose user is logged in, for 30 seconds of real time. The peers send their
// keep-alives every 6 seconds from a thread of their own; the engine thread's CPU time is
// what is measured. Usage: bench_engine_idle [seconds]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/conditions.h"
#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "engine/engine.h"

namespace {

double threadCpuSeconds() {
    rusage ru{};
    getrusage(RUSAGE_THREAD, &ru);
    return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
           static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A connected loopback pair: {engine side, peer side}.
bool tcpPair(int listener, int port, int& engineSide, int& peerSide) {
    peerSide = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(peerSide, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return false;
    engineSide = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    return engineSide >= 0;
}

}  // namespace

int main(int argc, char** argv) {
    int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
    if (seconds <= 0) seconds = 30;
    constexpr int kLinks = 20;
    orv::bench::printConditions(
        {std::to_string(kLinks) + " loopback links opened before timing, the user logged in, "
                                  "nothing to send or receive but keep-alives",
         "CPU time of the engine's thread only (the peers run on a thread of their own)",
         std::to_string(seconds) + " s of real time; no yardstick: the target is absolute",
         "checked: every link is still open at the end"});

    orv::SystemClock clock;
    orv::CoreTables tables{clock};
    orv::SessionState session;
    session.currentUser = "alice";
    orv::PosixSocketApi sockets;
    orv::EngineConfig config;
    config.listenAddress = "127.0.0.1";
    config.firstPeerPort = 40000 + static_cast<int>(::getpid() % 20000);
    orv::Engine engine(tables, session, clock, sockets, config);
    engine.SocketStep();

    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener, 64) != 0 ||
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        std::fprintf(stderr, "cannot listen on loopback\n");
        return 1;
    }
    int port = ntohs(sa.sin_port);
    std::vector<int> peers;
    for (int i = 0; i < kLinks; ++i) {
        int e = -1, p = -1;
        if (!tcpPair(listener, port, e, p)) {
            std::fprintf(stderr, "cannot connect link %d\n", i);
            return 1;
        }
        bool inbound = i % 2 == 0;
        engine.openLink(e, inbound ? orv::LinkState::InboundPlain : orv::LinkState::Outbound,
                        "user" + std::to_string(i),
                        inbound ? orv::Origin::Inbound : orv::Origin::Outbound);
        peers.push_back(p);
    }
    ::close(listener);

    // The other ends: a keep-alive every 6 s on each, and whatever arrives is read.
    std::atomic<bool> done{false};
    std::atomic<long> keepAlivesSeen{0};
    std::thread other([&] {
        const char ka[8] = {10, 0, 0, 0, 0, 0, 0, 0};
        auto next = std::chrono::steady_clock::now();
        while (!done) {
            if (std::chrono::steady_clock::now() >= next) {
                for (int p : peers)
                    (void)::send(p, ka, sizeof ka, MSG_NOSIGNAL);
                next += std::chrono::seconds(6);
            }
            std::vector<pollfd> fds;
            for (int p : peers)
                fds.push_back({p, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 200);
            for (auto& f : fds) {
                if (!(f.revents & POLLIN)) continue;
                char buf[4096];
                ssize_t n = ::recv(f.fd, buf, sizeof buf, MSG_DONTWAIT);
                if (n > 0) keepAlivesSeen += n / 8;
            }
        }
    });

    auto start = std::chrono::steady_clock::now();
    auto end = start + std::chrono::seconds(seconds);
    double cpu0 = threadCpuSeconds();
    long wakeups = 0;
    while (std::chrono::steady_clock::now() < end) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        end - std::chrono::steady_clock::now())
                        .count();
        engine.runOnce(static_cast<int>(std::min<long long>(left, 1000)) + 1);
        ++wakeups;
    }
    double cpu = threadCpuSeconds() - cpu0;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done = true;
    other.join();

    std::printf("links open at end:        %d of %d%s\n", engine.links().count(), kLinks,
                engine.links().count() == kLinks ? "" : "   LINKS WERE CLOSED");
    std::printf("wall time:                %.1f s\n", wall);
    std::printf("engine wake-ups:          %ld (%.2f per second)\n", wakeups, wakeups / wall);
    std::printf("keep-alives sent to peers: %ld\n", keepAlivesSeen.load());
    std::printf("engine thread CPU:        %.1f ms = %.4f %% of one core (target < 0.5 %%)\n",
                cpu * 1000.0, 100.0 * cpu / wall);
    orv::bench::printLoadAtEnd();
    engine.shutdown();
    for (int p : peers)
        ::close(p);
    return engine.links().count() == 0 ? 0 : 1;
}
