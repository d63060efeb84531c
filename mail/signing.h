#pragma once
// Signing a received mail and watching the receipts of one's own: the checks before the sign
// dialog opens, the signature (an update of the receipt at the directory, confirmed through
// the sign list), the sign list of a sent mail or of all of them, and deleting receipts. Every
// exchange runs as a background task of the session with a deadline, so a directory that does
// not answer costs a message, never a frozen window. Both front ends call this.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/core_tables.h"
#include "core/session_state.h"
#include "core/text.h"
#include "directory/directory_client.h"
#include "directory/exchange.h"
#include "directory/replies.h"

namespace orv {

namespace texts {
inline constexpr TextPair kNeedNotSign{"Email need not to be signed.", "该邮件不需要签收。"};
inline constexpr TextPair kAlreadySigned{"Email has been signed, continue?",
                                         "邮件已经被签收过，是否还要继续？"};
inline constexpr TextPair kInputOpinion{"Please input option!", "请输入签收意见！"};
inline constexpr TextPair kSignSucceeded{"Sign Mail Successful!", "签收成功!"};
inline constexpr TextPair kSignNoAnswer{
    "The directory server does not answer: the mail is not signed yet.",
    "目录服务器没有响应，邮件尚未签收。"};
inline constexpr TextPair kSignNotConfirmed{
    "The directory server did not confirm the signature: the mail is not signed.",
    "目录服务器没有确认签收，邮件尚未签收。"};
inline constexpr TextPair kReceiptsNoAnswer{"The directory server does not answer.",
                                            "目录服务器没有响应。"};
inline constexpr TextPair kSignedStatus{"Signed", "已签收"};
inline constexpr TextPair kUnsignedStatus{"Unsigned", "未签收"};
inline constexpr TextPair kNotSignedTitle{" - Not Signed", " - 未签收"};
inline constexpr TextPair kSignsMail{"This mail asks you to sign it.", "该邮件需要签收。"};
}  // namespace texts

// What the sign dialog shows of a received mail.
struct SignForm {
    uint64_t key = 0;
    std::string sender;       // the mail's distinct senders, joined with ","
    std::string subject;      // subject or text
    std::string attachments;  // names joined with ","
    std::string signer;       // the logged-in user
    std::string opinion;      // the last one entered
    int32_t created = 0;      // the send time
};

enum class SignCheck { NoSuchMail, NotRequired, AlreadySigned, Ready };

enum class ReceiptFilter {
    All,       // every receipt (signed or not)
    Signed,    // signed ones only
    Unsigned,  // not signed yet
};

// Runs a background task beside the session's other work; `done` is called once it finished.
using SignTaskStarter =
    std::function<void(std::unique_ptr<BackgroundTask>, std::function<void(BackgroundTask&)>)>;

class SigningFacade {
  public:
    // How long one operation may wait for the directory, retries included.
    static constexpr int64_t kDeadlineMillis = 20000;
    // A request without an answer is sent again after this long.
    static constexpr int64_t kRetrySpacingMillis = 1000;

    SigningFacade(CoreTables& tables, SessionState& state, const Clock& clock,
                  DirectoryClient& directory, SignTaskStarter startTask);

    // Whether the received mail can be signed now; `form` is filled for Ready and AlreadySigned.
    SignCheck check(uint64_t key, SignForm& form) const;
    // The message for NotRequired, the question for AlreadySigned, else empty.
    std::string checkText(SignCheck c) const;

    // Signs the mail with the opinion. An empty opinion is refused at once (false, with
    // "Please input option!"); otherwise the opinion is remembered, the directory is told, and
    // `done` gets the outcome once the sign list shows the signature or the deadline passed.
    // The mail's signed bit is set on success and MailSigned is announced either way.
    using SignDone = std::function<void(bool ok, const std::string& message)>;
    bool sign(uint64_t key, const std::string& opinion, SignDone done, std::string* refusal);

    // The receipts of the user's own mails: those sent at `mailTime`, or all when it is 0.
    using ListDone = std::function<void(bool answered, const std::vector<SignRecord>& receipts)>;
    void listReceipts(int32_t mailTime, ReceiptFilter filter, ListDone done);
    // Deletes receipts of the user's mails (each by its signer and send time).
    void deleteReceipts(const std::vector<SignRecord>& receipts, std::function<void(bool)> done);

    int64_t nowSeconds() const { return clock_.nowSeconds(); }

    // A receipt's cells in the sign-status list's column order: To, Sign Status, Reply, Sign
    // Time, Message, Attach, Send Time.
    std::vector<std::string> receiptCells(const SignRecord& r) const;

  private:
    CoreTables& t_;
    SessionState& state_;
    const Clock& clock_;
    DirectoryClient& dir_;
    SignTaskStarter startTask_;
};

// A sign-status list's column titles and the settings numbers that hold their widths.
struct ReceiptColumn {
    TextPair title;
    int widthSetting;
};
const std::vector<ReceiptColumn>& receiptColumns();

}  // namespace orv
