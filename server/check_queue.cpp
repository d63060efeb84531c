#include "server/check_queue.h"

namespace orv::server {

CheckQueue::CheckQueue(CheckQueueLimits limits) : limits_(limits) {
    if (limits_.threads < 1) limits_.threads = 1;
    for (int i = 0; i < limits_.threads; ++i)
        threads_.emplace_back([this] { run(); });
}

CheckQueue::~CheckQueue() {
    stop();
}

bool CheckQueue::submit(const std::string& address, std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        if (stopped_ || total_ >= limits_.total) return false;
        std::size_t& mine = inFlight_[address];
        if (mine >= limits_.perAddress) return false;
        ++mine;
        ++total_;
        auto& queue = waiting_[address];
        if (queue.empty()) turns_.push_back(address);
        queue.push_back(std::move(job));
    }
    wake_.notify_one();
    return true;
}

void CheckQueue::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopped_ && threads_.empty()) return;
        stopped_ = true;
        waiting_.clear();
        turns_.clear();
    }
    wake_.notify_all();
    for (auto& t : threads_)
        t.join();
    threads_.clear();
}

void CheckQueue::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopped_ || !turns_.empty(); });
        if (stopped_) return;
        std::string address = std::move(turns_.front());
        turns_.pop_front();
        auto it = waiting_.find(address);
        std::function<void()> job = std::move(it->second.front());
        it->second.pop_front();
        if (it->second.empty()) {
            waiting_.erase(it);
        } else {
            turns_.push_back(address);  // its next job waits for the others' turns
        }
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
        auto left = inFlight_.find(address);
        if (left != inFlight_.end() && --left->second == 0) inFlight_.erase(left);
        --total_;
    }
}

}  // namespace orv::server
