#pragma once
// The status line a compose window shows while its mail is delivered: texts, percentage and
// whether Send is enabled, from the tables and what the engine reports. The window calls this
// on its 200 ms timer.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "core/core_tables.h"
#include "core/mail_queries.h"
#include "core/text.h"
#include "mail/compose.h"

namespace orv {

// What the status needs from outside the tables.
struct StatusProbe {
    // Whether the engine refused the mail because its receiver does not exist.
    std::function<bool(uint64_t key)> refusedNoUser;
    // The address lookup of a single waiting receiver (CoreTables::resolveUser with the
    // directory behind it).
    std::function<ResolveCode(std::string_view recipient)> resolve;
    int64_t bytesPerSecond = 0;  // the mail's send speed
    int64_t nowSeconds = 0;
};

struct ComposeStatus {
    std::string status;
    std::string speed;        // shown while sending, paced by SpeedTextPacer
    bool clearSpeed = false;  // no mail in delivery: the speed text is emptied
    bool sendEnabled = true;
    int percent = 0;  // 0 to 100
    bool sending = false;
};

// The speed text changes at most every 2 s, so it can be read.
class SpeedTextPacer {
  public:
    bool due(int64_t nowMillis) {
        if (shown_ && nowMillis - last_ < 2000) return false;
        shown_ = true;
        last_ = nowMillis;
        return true;
    }

  private:
    bool shown_ = false;
    int64_t last_ = 0;
};

ComposeStatus composeStatus(const CoreTables& t, const ComposeState& st, const StatusProbe& probe,
                            UiLanguage lang);

}  // namespace orv
