// The headless client: one client session without windows, run until SIGINT or SIGTERM.
// It prints one JSON line per event on standard output.
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "apps/headless/json.h"
#include "core/clock.h"
#include "shell/client_session.h"

namespace {

void emit(const std::string& line) {
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void usage() {
    std::fprintf(stderr,
                 "usage: orvantel-headless [--data-dir DIR] [--instance-port N] [--lang en|zh] "
                 "[/o] [FILE...]\n");
}

}  // namespace

int main(int argc, char** argv) {
    using namespace orv;
    ClientOptions opt;
    opt.programPath = argv[0];
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--data-dir") {
            opt.dataDir = value("--data-dir");
        } else if (a == "--instance-port") {
            opt.instancePort = std::atoi(value("--instance-port"));
        } else if (a == "--lang") {
            std::string l = value("--lang");
            opt.language = l == "en" ? UiLanguage::English : UiLanguage::Chinese;
        } else if (a == "--help" || a == "-h") {
            usage();
            return 0;
        } else {
            opt.args.push_back(a);
        }
    }

    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    sigprocmask(SIG_BLOCK, &mask, nullptr);
    int sigfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    signal(SIGPIPE, SIG_IGN);

    SystemClock clock;
    ClientSession session(clock, opt);
    if (session.start() == StartOutcome::OtherRunning) {
        emit("{\"event\":\"other-instance\"}");
        return 0;
    }
    session.onForwardIgnored = [](const std::string& line) {
        emit("{\"event\":\"forwarded\",\"acted\":false,\"files\":" +
             json::array(filesOfCommandLine(line)) + "}");
    };
    session.onSendFiles = [](const std::vector<std::string>& files) {
        emit("{\"event\":\"forwarded\",\"acted\":true,\"files\":" + json::array(files) + "}");
    };
    const auto& rep = session.loadReport();
    emit("{\"event\":\"started\",\"data\":" + json::quote(session.paths().folder) +
         ",\"state\":" + (rep.present ? "\"loaded\"" : "\"new\"") +
         ",\"mails\":" + std::to_string(session.tables().mails.count()) +
         ",\"directory\":" + json::quote(session.state().directoryServerAddress) +
         ",\"instance\":" + (session.instanceChannelValid() ? "true" : "false") + "}");

    bool running = true;
    std::vector<pollfd> fds;
    while (running) {
        fds.clear();
        fds.push_back({sigfd, POLLIN, 0});
        session.addPollFds(fds);
        int timeout = -1;
        int64_t due = session.nextDeadlineMillis();
        if (due >= 0) {
            int64_t wait = due - clock.nowMillis();
            timeout = wait < 0 ? 0 : static_cast<int>(wait > 60000 ? 60000 : wait);
        }
        int n = ::poll(fds.data(), fds.size(), timeout);
        if (n < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si;
            while (::read(sigfd, &si, sizeof si) == sizeof si)
                running = false;
        }
        if (running) session.service();
    }
    bool saved = session.shutdown();
    emit(std::string("{\"event\":\"stopped\",\"saved\":") + (saved ? "true" : "false") + "}");
    return saved ? 0 : 1;
}
