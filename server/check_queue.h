#pragma once
// The pages that check a password run here, on a fixed set of threads, because a password hash
// takes far longer than any other answer. The waiting work is bounded per network address and in
// total, and the threads take turns between the addresses that wait: a flood of logins from one
// address is refused at once beyond its share and delays another address's login by at most one
// round, instead of queueing everyone behind it without bound.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace orv::server {

struct CheckQueueLimits {
    int threads = 2;
    std::size_t perAddress = 16;  // waiting or running, from one network address
    std::size_t total = 256;      // waiting or running, from everyone
};

class CheckQueue {
  public:
    explicit CheckQueue(CheckQueueLimits limits);
    ~CheckQueue();
    CheckQueue(const CheckQueue&) = delete;
    CheckQueue& operator=(const CheckQueue&) = delete;

    // Queues the job for `address`; false, without running it, when a bound is reached or the
    // queue has stopped.
    bool submit(const std::string& address, std::function<void()> job);

    // Drops the waiting jobs and joins the threads. Safe to call twice.
    void stop();

  private:
    void run();

    CheckQueueLimits limits_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_map<std::string, std::deque<std::function<void()>>> waiting_;
    std::unordered_map<std::string, std::size_t> inFlight_;  // waiting or running, per address
    std::deque<std::string> turns_;  // addresses with waiting jobs, next first
    std::size_t total_ = 0;
    bool stopped_ = false;
    std::vector<std::thread> threads_;
};

}  // namespace orv::server
