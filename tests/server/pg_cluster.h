#pragma once
// A throwaway PostgreSQL cluster for the server tests: initdb into a temporary folder, started
// with pg_ctl on a free loopback port, one fresh database per test, stopped and removed when the
// test program ends. PostgreSQL refuses to run as root, so under root the cluster's commands run
// as the unprivileged user "nobody". The binaries are looked for in ORV_PG_BIN, then in
// /usr/lib/postgresql/<version>/bin.
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace orv::test {

class PgCluster {
  public:
    // The cluster of this test program, started on first use.
    static PgCluster& shared() {
        static PgCluster cluster;
        static std::once_flag started;
        std::call_once(started, [] { cluster.start(); });
        return cluster;
    }

    ~PgCluster() { stop(); }

    bool available() const { return running_; }
    const std::string& error() const { return error_; }
    // CI sets this so that a missing PostgreSQL fails the tests instead of skipping them.
    static bool required() {
        const char* v = std::getenv("ORV_REQUIRE_POSTGRES");
        return v && *v && std::string(v) != "0";
    }

    // A new empty database; its connection URI, or "" on failure.
    std::string createDatabase() {
        std::string name = "orv_" + std::to_string(::getpid()) + "_" + std::to_string(++count_);
        if (run({bin_ + "/createdb", "-h", "127.0.0.1", "-p", std::to_string(port_), "-U", "orv",
                 name}) != 0) {
            return {};
        }
        return uri(name);
    }

    std::string uri(const std::string& database) const {
        return "postgresql://orv@127.0.0.1:" + std::to_string(port_) + "/" + database;
    }

  private:
    PgCluster() = default;

    static std::string findBin() {
        if (const char* env = std::getenv("ORV_PG_BIN"); env && *env) return env;
        std::error_code ec;
        std::string best;
        for (const auto& e : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
            std::string bin = (e.path() / "bin").string();
            if (std::filesystem::exists(bin + "/initdb", ec) && bin > best) best = bin;
        }
        return best;
    }

    static int freePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0) {
            port = ntohs(a.sin_port);
        }
        ::close(fd);
        return port;
    }

    // Runs a command to its end, as the cluster's owner; output goes to the cluster's log.
    int run(const std::vector<std::string>& args) {
        pid_t pid = ::fork();
        if (pid == 0) {
            int log = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (log >= 0) {
                ::dup2(log, 1);
                ::dup2(log, 2);
            }
            if (uid_ != ::getuid()) {
                if (::setgid(gid_) != 0 || ::setuid(uid_) != 0) ::_exit(126);
            }
            if (::chdir(dir_.c_str()) != 0) ::_exit(126);
            std::vector<char*> argv;
            std::vector<std::string> copy = args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
        int status = 0;
        if (pid < 0 || ::waitpid(pid, &status, 0) < 0) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    void start() {
        bin_ = findBin();
        if (bin_.empty()) {
            error_ = "no PostgreSQL binaries (install postgresql or set ORV_PG_BIN)";
            return;
        }
        // Under root the folder is handed to nobody, who may not be able to reach a TMPDIR
        // inside root's home; /tmp is open to everyone.
        std::filesystem::path base = ::getuid() == 0 ? std::filesystem::path("/tmp")
                                                     : std::filesystem::temp_directory_path();
        std::string tmpl = (base / "orv-pg-XXXXXX").string();
        if (!::mkdtemp(tmpl.data())) {
            error_ = "cannot make a temporary folder";
            return;
        }
        dir_ = tmpl;
        log_ = dir_ + "/log";
        uid_ = ::getuid();
        gid_ = ::getgid();
        if (uid_ == 0) {
            passwd* nobody = ::getpwnam("nobody");
            if (!nobody) {
                error_ = "running as root and there is no user nobody";
                return;
            }
            uid_ = nobody->pw_uid;
            gid_ = nobody->pw_gid;
            if (::chown(dir_.c_str(), uid_, gid_) != 0) {
                error_ = "cannot hand the temporary folder to nobody";
                return;
            }
        }
        ::chmod(dir_.c_str(), 0700);
        data_ = dir_ + "/data";
        if (run({bin_ + "/initdb", "-D", data_, "-U", "orv", "-A", "trust", "--no-sync", "-E",
                 "UTF8", "--no-locale"}) != 0) {
            error_ = "initdb failed, see " + log_;
            return;
        }
        // A port taken between the probe and the start makes pg_ctl fail; another one is tried.
        for (int attempt = 0; attempt < 5 && !running_; ++attempt) {
            port_ = freePort();
            std::string options = "-p " + std::to_string(port_) + " -k " + dir_ +
                                  " -c listen_addresses=127.0.0.1 -c fsync=off"
                                  " -c synchronous_commit=off -c full_page_writes=off"
                                  " -c max_connections=200";
            running_ = run({bin_ + "/pg_ctl", "-D", data_, "-l", dir_ + "/server.log", "-w", "-t",
                            "60", "-o", options, "start"}) == 0;
        }
        if (!running_) error_ = "pg_ctl start failed, see " + dir_ + "/server.log";
    }

    void stop() {
        if (running_) {
            run({bin_ + "/pg_ctl", "-D", data_, "-m", "fast", "-w", "stop"});
            running_ = false;
        }
        if (!dir_.empty() && !std::getenv("ORV_KEEP_PG")) {
            std::error_code ec;
            std::filesystem::remove_all(dir_, ec);
        }
    }

    std::string bin_;
    std::string dir_;
    std::string data_;
    std::string log_;
    std::string error_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
    int port_ = 0;
    bool running_ = false;
    std::atomic<int> count_{0};
};

}  // namespace orv::test
