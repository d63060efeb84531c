#include "mail/compose_status.h"

#include <cstdio>

#include "core/format.h"
#include "mail/mail_view.h"

namespace orv {

ComposeStatus composeStatus(const CoreTables& t, const ComposeState& st, const StatusProbe& probe,
                            UiLanguage lang) {
    ComposeStatus out;
    int m = st.created() ? outboxMail(t, st.key) : -1;
    if (m < 0) {
        out.clearSpeed = true;
        out.sendEnabled = true;
        if (!st.created() || st.saved)
            out.status = pick(lang, "Hint:Click \"Send\" Button to send Mail",
                              "提示：点击“ 发送”开始发送邮件");
        else if (probe.refusedNoUser && probe.refusedNoUser(st.key))
            out.status = pick(lang, kNoSuchUser);
        else
            out.status = pick(lang, "Transfer complete ", "发送邮件完毕");
        return out;
    }
    out.percent = deliveryPercent(t, m);
    if (!refusedRecipients(t, m).empty()) {
        // Shown until the user corrects the address line and sends the mail again.
        out.clearSpeed = true;
        out.sendEnabled = true;
        out.status = pick(lang, kNoSuchUser);
        return out;
    }
    out.sendEnabled = false;
    switch (deliverySummary(t, m)) {
        case DeliverySummary::SingleWaiting: {
            const auto& ds = t.mailDeliveries(m);
            ResolveCode c = probe.resolve ? probe.resolve(t.deliveryRecipients.view(ds[0]))
                                          : ResolveCode::FreshNoPort;
            if (c == ResolveCode::CachedNoPort || c == ResolveCode::NoAddress)
                out.status = pick(lang, "User is not online, Email will be transferred later.",
                                  "该用户不在线，邮件将稍后自动发送");
            else if (c == ResolveCode::FreshNoPort)
                out.status = pick(lang, "Getting user address...", "正在获取用户地址...");
            else
                out.status = pick(lang, "Connecting to user...", "正在连接中...");
            break;
        }
        case DeliverySummary::AllDelivered:
            out.status = pick(lang, "Transfer complete ", "邮件发送完毕");
            break;
        default: {
            out.sending = true;
            out.speed = FormatRate(probe.bytesPerSecond);
            int64_t e = probe.nowSeconds - t.mails[m].created;
            if (e < 0) e = 0;
            char buf[160];
            std::snprintf(buf, sizeof buf,
                          lang == UiLanguage::Chinese ? "发送中(用时 %d:%d:%02d,%d%%)..."
                                                      : "Sending(elapse %d:%d:%02d,%d%%)... ",
                          static_cast<int>(e / 3600), static_cast<int>(e % 3600 / 60),
                          static_cast<int>(e % 60), out.percent);
            out.status = buf;
            break;
        }
    }
    return out;
}

}  // namespace orv
