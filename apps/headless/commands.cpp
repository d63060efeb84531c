#include "apps/headless/commands.h"

#include <memory>

#include "apps/headless/json.h"
#include "apps/headless/mail_watch.h"
#include "mail/receipts.h"
#include "session/client_session.h"

namespace orv {

std::vector<std::string> splitCommandLine(std::string_view line) {
    std::vector<std::string> words;
    std::string cur;
    bool quoted = false, any = false;
    for (size_t i = 0; i < line.size(); ++i) {
        char c = line[i];
        if (quoted) {
            if (c == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) {
                cur.push_back(line[++i]);
            } else if (c == '"') {
                quoted = false;
            } else {
                cur.push_back(c);
            }
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ' ' || c == '\t' || c == '\r') {
            if (any) words.push_back(std::move(cur));
            cur.clear();
            any = false;
        } else {
            cur.push_back(c);
            any = true;
        }
    }
    if (any) words.push_back(std::move(cur));
    return words;
}

void startReceipts(ClientSession& s, int mail, uint64_t key,
                   const std::function<void(const std::string&)>& emit) {
    auto event = [key](bool ok, const std::string& message) {
        return "{\"event\":\"receipts\",\"key\":\"" + hexKey(key) +
               "\",\"ok\":" + (ok ? "true" : "false") +
               (message.empty() ? "" : ",\"message\":" + json::quote(message)) + "}";
    };
    const SessionState& st = s.state();
    ReceiptPlan plan = planReceipts(s.tables(), mail, st.language);
    if (!plan.ok) {
        emit(event(false, plan.message));
        return;
    }
    s.startTask(
        std::make_unique<ReceiptRegistration>(s.directory(), s.directory().clock(), std::move(plan),
                                              st.currentPassword, st.language),
        [emit, event](BackgroundTask& t) {
            auto& r = static_cast<ReceiptRegistration&>(t);
            emit(event(r.succeeded(), r.message()));
        });
}

}  // namespace orv
