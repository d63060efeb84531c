#pragma once
// The sign dialog (187: sign a received mail with an opinion, or show one receipt read-only)
// and the sign-status dialog (186: the receipts of a sent mail). Both talk to the directory
// through the signing façade and never wait on it: a busy line shows while it answers, and a
// directory that stays silent is named.
#include <QDialog>
#include <QString>

#include <functional>
#include <vector>

#include "core/text.h"
#include "directory/replies.h"
#include "mail/signing.h"

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTableWidget;
class QTimer;

namespace orv {

class CoreTables;

namespace signtexts {
inline constexpr TextPair kSignTitle{"Sign Mail", "签收邮件"};
inline constexpr TextPair kStatusTitle{"Sign Status", "签收状态"};
inline constexpr TextPair kSender{"Sender", "邮件发送者"};
inline constexpr TextPair kSendTime{"Send time", "发送时间"};
inline constexpr TextPair kText{"Text", "正文"};
inline constexpr TextPair kAttach{"Attachments", "附件"};
inline constexpr TextPair kSigner{"Signer", "邮件签收人"};
inline constexpr TextPair kSignTime{"Sign time", "签收时间"};
inline constexpr TextPair kOpinion{"Opinion", "签收意见"};
inline constexpr TextPair kSign{"Sign", "签收"};
inline constexpr TextPair kClose{"Close", "关闭"};
inline constexpr TextPair kShowSigned{"Show signed", "显示已签收邮件"};
inline constexpr TextPair kShowUnsigned{"Show unsigned", "显示未签收邮件"};
inline constexpr TextPair kDetails{"View details", "察看详细信息"};
inline constexpr TextPair kDeleteRecord{"Delete sign record", "删除签收纪录"};
inline constexpr TextPair kWaiting{"Waiting for the directory server...", "正在等待目录服务器..."};
}  // namespace signtexts

class SignDialog : public QDialog {
    Q_OBJECT
  public:
    // Signing a received mail: the opinion is editable and Sign sends it.
    SignDialog(SigningFacade& signing, UiLanguage lang, const SignForm& form,
               QWidget* parent = nullptr);
    // One receipt, read-only (no Sign button; " - Not Signed" in the title while unsigned).
    SignDialog(UiLanguage lang, const std::string& sender, const SignRecord& receipt,
               QWidget* parent = nullptr);

    // The Sign button: refuses an empty opinion, else signs and waits for the directory.
    void sign();
    bool signing() const { return busy_; }

    QPlainTextEdit* opinionEdit() const { return opinion_; }
    QLineEdit* signTimeField() const { return signTime_; }
    QPushButton* signButton() const { return sign_; }
    QLabel* statusLine() const { return status_; }

    // Messages; the default is a notice box.
    std::function<void(const QString& text)> showMessage;
    // After a successful signature, before the dialog closes.
    std::function<void()> signedMail;

  private:
    void build(UiLanguage lang);
    SigningFacade* signing_ = nullptr;
    UiLanguage lang_;
    SignForm form_;
    QLineEdit *sender_, *sendTime_, *subject_, *attach_, *signer_, *signTime_;
    QPlainTextEdit* opinion_;
    QPushButton *sign_, *close_;
    QLabel* status_;
    QTimer* clockTimer_ = nullptr;
    bool busy_ = false;
};

class SignStatusDialog : public QDialog {
    Q_OBJECT
  public:
    SignStatusDialog(SigningFacade& signing, CoreTables& tables, UiLanguage lang,
                     const std::string& sender, int32_t mailTime, QWidget* parent = nullptr);
    ~SignStatusDialog() override;

    // As on opening: the receipts of this mail.
    void refresh();
    void showSigned();
    void showUnsigned();
    // The receipt of a row, read-only.
    SignDialog* openDetails(int row);
    // Deletes the receipts of the selected rows, then lists again.
    void deleteSelected();
    bool busy() const { return busy_; }
    const std::vector<SignRecord>& receipts() const { return rows_; }

    QTableWidget* list() const { return list_; }
    QLabel* statusLine() const { return status_; }
    QPushButton* signedButton() const { return signed_; }
    QPushButton* unsignedButton() const { return unsigned_; }

  private:
    void list(int32_t mailTime, ReceiptFilter filter);
    void setBusy(bool busy);
    SigningFacade& signing_;
    CoreTables& tables_;
    UiLanguage lang_;
    std::string sender_;
    int32_t mailTime_;
    QTableWidget* list_;
    QLabel* status_;
    QPushButton *signed_, *unsigned_, *close_;
    std::vector<SignRecord> rows_;
    bool busy_ = false;
};

}  // namespace orv
