#pragma once
// Runs orvantel-directory as a child process and talks raw HTTP to it over loopback sockets.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace orv::test {

using Clock = std::chrono::steady_clock;

inline int msLeft(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() < 0 ? 0 : static_cast<int>(left.count());
}

// Reads everything from fd until end of file or the deadline; false on timeout.
inline bool readAll(int fd, std::string* out, Clock::time_point deadline) {
    char buf[16384];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        int r = ::poll(&p, 1, msLeft(deadline));
        if (r <= 0) return false;
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n == 0) return true;
        if (n < 0) return false;
        out->append(buf, static_cast<std::size_t>(n));
    }
}

class DirectoryProcess {
  public:
    DirectoryProcess() = default;
    DirectoryProcess(const DirectoryProcess&) = delete;
    DirectoryProcess& operator=(const DirectoryProcess&) = delete;
    ~DirectoryProcess() { kill(SIGKILL); }

    // Starts "serve" on a free loopback port and waits for its "listening on" line. `db` is
    // anything "--db" takes (a SQLite path or a PostgreSQL URI); `extra` options come last and
    // override the test defaults.
    bool start(const std::string& db, const std::vector<std::string>& extra = {},
               std::chrono::milliseconds within = std::chrono::seconds(10)) {
        std::vector<std::string> args = {"serve", "--db", db, "--listen", "127.0.0.1:0",
                                         "--hash-memory-kib", "8", "--hash-iterations", "1",
                                         "--threads", "2",
                                         // Tests log in with made-up addresses; those that
                                         // check reachability turn the test connection on.
                                         "--reach-timeout-ms", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        if (!spawn(args)) return false;
        auto deadline = Clock::now() + within;
        std::string line;
        while (line.find('\n') == std::string::npos) {
            pollfd p{out_, POLLIN, 0};
            if (::poll(&p, 1, msLeft(deadline)) <= 0) return false;
            char c[256];
            ssize_t n = ::read(out_, c, sizeof c);
            if (n <= 0) return false;
            line.append(c, static_cast<std::size_t>(n));
        }
        const std::string prefix = "listening on 127.0.0.1:";
        if (line.rfind(prefix, 0) != 0) return false;
        port_ = std::stoi(line.substr(prefix.size()));
        output_ = line;
        return port_ > 0;
    }

    // Sends the signal and waits for the exit; returns the exit status (or -1 on timeout).
    int stop(int signal = SIGTERM, std::chrono::milliseconds within = std::chrono::seconds(10)) {
        if (pid_ <= 0) return -1;
        ::kill(pid_, signal);
        bool ended = readAll(out_, &output_, Clock::now() + within);
        if (!ended) ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        ::close(out_);
        out_ = -1;
        if (!ended) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    void kill(int signal) {
        if (pid_ > 0) stop(signal);
    }

    int port() const { return port_; }
    const std::string& output() const { return output_; }

    static std::string program() { return ORV_DIRECTORY_EXE; }

    // Runs "admin --db DB args..." to completion; returns its exit code and fills *out.
    static int admin(const std::string& db, const std::vector<std::string>& args,
                     std::string* out = nullptr) {
        std::vector<std::string> all = {
            "admin", "--db", db, "--hash-memory-kib", "8", "--hash-iterations", "1"};
        all.insert(all.end(), args.begin(), args.end());
        return run(all, out);
    }

    // Runs the program with these arguments to completion; its exit code, its output in *out.
    static int run(const std::vector<std::string>& all, std::string* out = nullptr) {
        DirectoryProcess p;
        if (!p.spawn(all)) return -1;
        std::string text;
        bool ended = readAll(p.out_, &text, Clock::now() + std::chrono::seconds(10));
        if (!ended) ::kill(p.pid_, SIGKILL);
        int status = 0;
        ::waitpid(p.pid_, &status, 0);
        p.pid_ = -1;
        ::close(p.out_);
        p.out_ = -1;
        if (out) *out = text;
        return ended && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    bool spawn(const std::vector<std::string>& args) {
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return false;
        std::string exe = program();
        std::vector<char*> argv;
        argv.push_back(exe.data());
        std::vector<std::string> copy = args;
        for (auto& a : copy)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            // A test that dies without its destructors (a crash, a signal) takes its servers
            // and clients with it instead of leaving them running.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) ::_exit(127);
            ::dup2(fds[1], 1);
            ::execv(exe.c_str(), argv.data());
            ::_exit(127);
        }
        ::close(fds[1]);
        out_ = fds[0];
        return pid_ > 0;
    }

    pid_t pid_ = -1;
    int out_ = -1;
    int port_ = 0;
    std::string output_;
};

struct Answer {
    int status = 0;  // 0: no answer
    std::string statusLine;
    std::string body;
    std::string raw;
};

// Connects to 127.0.0.1:port, from the loopback address `from` when one is given: 127.0.0.2 and
// 127.0.0.3 stand for other machines.
inline int connectLoopback(int port, const char* from = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (from) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, from, &local.sin_addr);
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            ::close(fd);
            return -1;
        }
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

inline Answer parseAnswer(std::string raw) {
    Answer a;
    a.raw = std::move(raw);
    std::size_t eol = a.raw.find("\r\n");
    if (eol == std::string::npos) return a;
    a.statusLine = a.raw.substr(0, eol);
    if (a.statusLine.size() >= 12) a.status = std::atoi(a.statusLine.c_str() + 9);
    std::size_t sep = a.raw.find("\r\n\r\n");
    if (sep != std::string::npos) a.body = a.raw.substr(sep + 4);
    return a;
}

// Sends raw bytes, reads until the server closes.
inline Answer exchangeRaw(int port, const std::string& request, const char* from = nullptr) {
    int fd = connectLoopback(port, from);
    if (fd < 0) return {};
    std::size_t sent = 0;
    while (sent < request.size()) {
        ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += static_cast<std::size_t>(n);
    }
    std::string raw;
    readAll(fd, &raw, Clock::now() + std::chrono::seconds(10));
    ::close(fd);
    return parseAnswer(std::move(raw));
}

// The request the desktop client sends for a page.
inline std::string pageRequest(const std::string& pathAndQuery) {
    return "GET /chat/" + pathAndQuery +
           " HTTP/1.1\r\n"
           "User-Agent: Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.1)\r\n"
           "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
           "application/x-shockwave-flash, */*\r\n"
           "Accept-Language: zh-cn\r\n"
           "Host: directory.test\r\n"
           "Connection: Close\r\n\r\n";
}

// A GET with the header lines the desktop client sends, from `from` when given.
inline Answer get(int port, const std::string& pathAndQuery, const char* from = nullptr) {
    return exchangeRaw(port, pageRequest(pathAndQuery), from);
}

// The client's value encoding: every byte as %xx in lower case.
inline std::string enc(const std::string& bytes) {
    static const char* hex = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

// Splits at every separator; a trailing separator leaves no empty last field.
inline std::vector<std::string> splitFields(const std::string& body, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : body) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

}  // namespace orv::test
