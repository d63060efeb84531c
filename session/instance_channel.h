#pragma once
// The single-instance channel: a loopback listener that a second start of the program sends
// its command line to, so the running instance can attach the files it names.
#include <poll.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orv {

class InstanceChannel {
  public:
    static constexpr size_t kMaxLine = 2047;
    static constexpr int64_t kReadWindowMillis = 1000;

    InstanceChannel() = default;
    ~InstanceChannel();
    InstanceChannel(const InstanceChannel&) = delete;
    InstanceChannel& operator=(const InstanceChannel&) = delete;

    // Binds 127.0.0.1:port; false (and invalid) when another instance holds it.
    bool open(int port);
    bool valid() const { return listenFd_ >= 0; }
    void close();

    // Accepts a waiting start and reads its command line without blocking: the text comes
    // back once the sender closes, 2047 bytes have arrived, or a second has passed.
    std::optional<std::string> service(int64_t nowMillis);
    void addPollFds(std::vector<pollfd>& fds) const;
    int64_t nextDeadlineMillis() const;  // -1 when nothing is being read

  private:
    std::optional<std::string> finish();
    int listenFd_ = -1;
    int connFd_ = -1;
    int64_t connDeadline_ = -1;
    std::string received_;
};

// What a second start does: send the whole command line with its terminating zero byte.
bool forwardCommandLine(int port, const std::string& commandLine);

}  // namespace orv
