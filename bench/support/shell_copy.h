#pragma once
// The yardsticks' timed copy over loopback: a receiving shell command started first, then a
// sending one tried again until the receiver is listening (a refused connect sends nothing).
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

namespace orv::bench {

// Seconds from the start of the send that got through to the receiver's end; negative when
// the send never got through.
inline double timedShellCopy(const std::string& receive, const std::string& send) {
    using Steady = std::chrono::steady_clock;
    pid_t listener = fork();
    if (listener == 0) {
        execl("/bin/sh", "sh", "-c", receive.c_str(), nullptr);
        _exit(127);
    }
    Steady::time_point t0;
    int rc = -1;
    for (int i = 0; i < 400 && rc != 0; ++i) {
        if (i) usleep(5000);
        t0 = Steady::now();
        rc = std::system(send.c_str());
    }
    int status = 0;
    waitpid(listener, &status, 0);
    std::chrono::duration<double> took = Steady::now() - t0;
    return rc == 0 ? took.count() : -1;
}

}  // namespace orv::bench
