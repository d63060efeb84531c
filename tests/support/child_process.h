#pragma once
// Runs a program of the build as a child process and reads its standard output line by line
// with deadlines, for tests that need real processes.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace orv::test {

inline std::string buildDir() {
    const char* d = std::getenv("ORV_BUILD_DIR");
    return d ? d : ".";
}

class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { kill(SIGKILL), wait(); }

    bool start(const std::string& program, const std::vector<std::string>& args,
               bool pipeStdin = false) {
        int out[2], in[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0) return false;
        if (pipeStdin && ::pipe2(in, O_CLOEXEC) != 0) return false;
        pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // A test that dies without its destructors (a crash, a signal) takes its servers
            // and clients with it instead of leaving them running.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(out[1], 1);
            if (pipeStdin) ::dup2(in[0], 0);
            std::vector<char*> argv;
            argv.push_back(const_cast<char*>(program.c_str()));
            for (auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(program.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        out_ = out[0];
        if (pipeStdin) {
            ::close(in[0]);
            in_ = in[1];
        }
        return pid_ > 0;
    }

    // The next line of output, or nothing when none came before the deadline or output ended.
    std::optional<std::string> readLine(int timeoutMs = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            size_t nl = buf_.find('\n');
            if (nl != std::string::npos) {
                std::string line = buf_.substr(0, nl);
                buf_.erase(0, nl + 1);
                return line;
            }
            if (out_ < 0) return std::nullopt;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            // Past the deadline, what is already there is still read.
            bool last = left <= 0;
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, last ? 0 : static_cast<int>(left)) <= 0) {
                if (last) return std::nullopt;
                continue;
            }
            char b[4096];
            ssize_t n = ::read(out_, b, sizeof b);
            if (n <= 0) {
                ::close(out_);
                out_ = -1;
                continue;
            }
            buf_.append(b, static_cast<size_t>(n));
        }
    }

    // Reads lines until one contains `needle`; returns it.
    std::optional<std::string> waitForLine(const std::string& needle, int timeoutMs = 10000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) return std::nullopt;
            auto l = readLine(static_cast<int>(left));
            if (!l) return std::nullopt;
            if (l->find(needle) != std::string::npos) return l;
        }
    }

    bool writeLine(const std::string& s) {
        std::string l = s + "\n";
        return in_ >= 0 && ::write(in_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
    }
    void closeStdin() {
        if (in_ >= 0) ::close(in_);
        in_ = -1;
    }

    void kill(int sig) {
        if (pid_ > 0) ::kill(pid_, sig);
    }
    // Exit code (or 128 + signal), waiting at most timeoutMs; -1 when it is still running.
    int wait(int timeoutMs = 10000) {
        if (pid_ <= 0) return status_;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            int st = 0;
            pid_t r = ::waitpid(pid_, &st, WNOHANG);
            if (r == pid_) {
                pid_ = -1;
                status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
                closeStdin();
                return status_;
            }
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            end - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) return -1;
            // A pidfd becomes readable when the child exits.
            int pfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
            if (pfd >= 0) {
                pollfd p{pfd, POLLIN, 0};
                ::poll(&p, 1, static_cast<int>(left));
                ::close(pfd);
            } else {
                ::usleep(2000);
            }
        }
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
    int out_ = -1, in_ = -1;
    int status_ = -1;
    std::string buf_;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

inline std::string headlessProgram() {
    return buildDir() + "/apps/headless/orvantel-headless";
}

// Starts the headless client as `user` at `server` (English, commands on its standard input,
// its account created first when asked, `extra` options last). True once it reported the
// login.
inline bool startHeadlessUser(ChildProcess& p, const std::string& dataDir,
                              const std::string& server, const std::string& user,
                              const std::string& password, bool createAccount,
                              const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args = {"--data-dir",      dataDir,
                                     "--instance-port", std::to_string(freeLoopbackPort()),
                                     "--server",        server,
                                     "--user",          user,
                                     "--password",      password,
                                     "--lang",          "en",
                                     "--http-port",     std::to_string(freeLoopbackPort())};
    if (createAccount) args.push_back("--create-account");
    args.insert(args.end(), extra.begin(), extra.end());
    return p.start(headlessProgram(), args, true) &&
           p.waitForLine("\"result\":\"logged-in\"", 15000).has_value();
}

}  // namespace orv::test
