#pragma once
// The open mail windows of one client: new mails (also those a second start asks for with its
// files), mails opened from the lists, and the answers started from the Inbox.
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <string>
#include <vector>

#include "mail/dialogs/sign_dialogs.h"
#include "mail/mail_view.h"
#include "mail/window/mail_window.h"

namespace orv {

class MailWindows : public QObject {
    Q_OBJECT
  public:
    MailWindows(ClientSession& session, SessionPump& pump, QObject* parent = nullptr);
    ~MailWindows() override;

    // A new mail from the current user with these files attached.
    MailWindow* newMail(const std::vector<std::string>& files);
    MailWindow* compose(const ComposeInput& in, ComposeState state = {});
    // Open, Reply, Reply all, Forward and the toolbar Reply on a mail of the lists; nullptr
    // when the command does nothing for that mail.
    MailWindow* mailCommand(int commandId, const MailRef& mail);
    // Sign mail on a received mail: after its checks, the sign dialog (nullptr when none).
    SignDialog* openSign(uint64_t key);
    // View sign status on a sent mail.
    SignStatusDialog* openSignStatus(uint64_t key);

    // The windows still open, oldest first.
    std::vector<MailWindow*> windows() const;

    // Called for every new window before it is shown (tests answer its questions here).
    std::function<void(MailWindow&)> configure;
    // Messages that outlive their window.
    std::function<void(const QString& text)> showMessage;
    // A mail became read in a window.
    std::function<void()> mailRead;
    // A Yes/No question; the default is a modal box.
    std::function<bool(const QString& text)> ask;

  private:
    MailWindow* create();
    ClientSession& s_;
    SessionPump& pump_;
    std::vector<QPointer<MailWindow>> windows_;
};

}  // namespace orv
