#pragma once
// Registering the receipts of a sign-required mail with the directory: an insert-sign request
// for every receiver still pending, then the sign list of (sender, created time); a receiver
// the list shows is registered. Passes repeat until nobody is pending. It never waits: the
// session steps it when its socket is ready or its deadline is due, and it gives up when the
// directory stays silent or stops making progress.
#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/text.h"
#include "directory/directory_client.h"
#include "directory/exchange.h"
#include "mail/compose.h"

namespace orv {

class ReceiptRegistration final : public BackgroundTask {
  public:
    // A request without an answer is sent again after this long.
    static constexpr int64_t kRetrySpacingMillis = 1000;
    // Given up when the directory has not answered anything for this long: a directory that
    // is down (or accepts and never replies) costs at most a minute of retries.
    static constexpr int64_t kSilenceLimitMillis = 60000;
    // Given up after this many passes in a row whose sign list adds nobody: the directory
    // answers but refuses (an unknown receiver, a changed password), which retrying will not
    // mend. Such passes are spaced like retries.
    static constexpr int kMaxPassesWithoutProgress = 5;

    // A plan that was refused (too many receivers) finishes at once with its message.
    ReceiptRegistration(DirectoryClient& dir, const Clock& clock, ReceiptPlan plan,
                        std::string password, UiLanguage lang);

    bool step() override;
    bool finished() const { return phase_ == Phase::Done; }
    bool succeeded() const { return succeeded_; }
    // Empty on success.
    const std::string& message() const { return message_; }
    // The receivers the sign list has not shown yet, in the plan's order.
    const std::vector<std::string>& pending() const { return pending_; }
    const ReceiptPlan& plan() const { return plan_; }

    void addPollEntries(std::vector<PollEntry>& out) const override;
    int64_t nextDeadlineMillis() const override;

  private:
    enum class Phase { Insert, List, Done };
    void send();
    void onAnswer(int64_t now);
    // `silent`: given up because the directory stopped answering (else it answered without
    // registering everyone).
    void finish(bool ok, bool silent = true);

    DirectoryClient& dir_;
    const Clock& clock_;
    ReceiptPlan plan_;
    std::string password_;
    UiLanguage lang_;
    DirectoryExchange ex_;
    Phase phase_ = Phase::Insert;
    std::vector<std::string> pending_;
    size_t nextInsert_ = 0;   // index into pending_ during the insert phase
    int64_t sendAt_ = -1;     // the next request goes out then; -1 while one is under way
    int64_t lastAnswer_ = 0;  // when the directory last answered (the start counts)
    int passesWithoutProgress_ = 0;
    std::vector<std::string> refusedInserts_;  // receivers whose insert the directory refused
    bool succeeded_ = false;
    std::string message_;
};

}  // namespace orv
