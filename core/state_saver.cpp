#include "core/state_saver.h"

#include "core/state_file.h"

namespace orv {

StateSaver::StateSaver(CoreTables& tables, std::string path, int64_t debounceMillis)
    : tables_(tables), path_(std::move(path)), debounce_(debounceMillis) {
    savedChanges_ = tables_.changeCount();
    worker_ = std::thread([this] { workerLoop(); });
}

StateSaver::~StateSaver() {
    {
        std::lock_guard<std::mutex> lk(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    worker_.join();
}

void StateSaver::markClean() {
    savedChanges_ = tables_.changeCount();
    dirtySince_ = -1;
}

void StateSaver::poll() {
    uint64_t c = tables_.changeCount();
    if (c == savedChanges_) {
        dirtySince_ = -1;
        return;
    }
    int64_t now = tables_.clock().nowMillis();
    if (dirtySince_ < 0) dirtySince_ = now;
    if (now - dirtySince_ < debounce_) return;
    {
        // One save at a time; the next one starts when this one is done.
        std::lock_guard<std::mutex> lk(mu_);
        if (writing_ || hasPending_) return;
    }
    std::vector<uint8_t> image = serializeState(tables_);
    queue(std::move(image), journal_ ? journal_->rotate() : 0);
    savedChanges_ = c;
    dirtySince_ = -1;
}

int64_t StateSaver::nextDeadlineMillis() const {
    if (tables_.changeCount() == savedChanges_) return -1;
    int64_t now = tables_.clock().nowMillis();
    if (dirtySince_ < 0) return now + debounce_;
    return dirtySince_ + debounce_;
}

void StateSaver::queue(std::vector<uint8_t> bytes, uint64_t journalUpTo) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        pending_ = std::move(bytes);
        pendingJournal_ = journalUpTo;
        hasPending_ = true;
    }
    cv_.notify_all();
}

bool StateSaver::saveNow() {
    std::vector<uint8_t> bytes = serializeState(tables_);
    uint64_t journalUpTo = journal_ ? journal_->rotate() : 0;
    {
        // Let a save in flight finish first, so the final image is the one left on disk.
        std::unique_lock<std::mutex> lk(mu_);
        cv_.wait(lk, [this] { return !writing_ && !hasPending_; });
    }
    bool ok = writeFileAtomically(path_, bytes);
    if (ok && journalUpTo) journal_->dropThrough(journalUpTo);
    std::lock_guard<std::mutex> lk(mu_);
    if (ok) {
        ++completed_;
        savedChanges_ = tables_.changeCount();
        dirtySince_ = -1;
    }
    failed_ = !ok;
    return ok;
}

void StateSaver::workerLoop() {
    std::unique_lock<std::mutex> lk(mu_);
    for (;;) {
        cv_.wait(lk, [this] { return stop_ || hasPending_; });
        if (hasPending_) {
            std::vector<uint8_t> bytes = std::move(pending_);
            uint64_t journalUpTo = pendingJournal_;
            hasPending_ = false;
            writing_ = true;
            lk.unlock();
            bool ok = writeFileAtomically(path_, bytes);
            // Only once the image is on disk may the journal it folds in go.
            if (ok && journalUpTo) journal_->dropThrough(journalUpTo);
            lk.lock();
            writing_ = false;
            failed_ = !ok;
            if (ok) ++completed_;
            cv_.notify_all();
            continue;
        }
        if (stop_) return;
    }
}

uint64_t StateSaver::savesCompleted() const {
    std::lock_guard<std::mutex> lk(mu_);
    return completed_;
}

bool StateSaver::lastSaveFailed() const {
    std::lock_guard<std::mutex> lk(mu_);
    return failed_;
}

}  // namespace orv
