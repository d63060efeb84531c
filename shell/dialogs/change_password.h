#pragma once
// The password change: four small prompts one after another (user name, old password, new
// password, its confirmation), then one directory request. Nothing here waits in a nested
// loop; each prompt is opened and the next step runs when it is answered.
#include <QDialog>
#include <QLineEdit>
#include <QObject>
#include <QPointer>
#include <QPushButton>

#include "session/client_session.h"
#include "session/pump/session_pump.h"

namespace orv {

// One line of text under a title. A plain prompt's OK does nothing while the text is empty;
// a masked prompt accepts an empty text.
class TextPromptDialog : public QDialog {
    Q_OBJECT
  public:
    TextPromptDialog(const QString& title, bool masked, UiLanguage lang, QWidget* parent = nullptr);
    QString text() const { return edit_->text(); }
    QLineEdit* edit() const { return edit_; }
    QPushButton* okButton() const { return ok_; }
    void accept() override;

  private:
    QLineEdit* edit_;
    QPushButton* ok_;
    bool masked_;
};

class ChangePasswordPrompts : public QObject {
    Q_OBJECT
  public:
    // Prompts and notices are windows over `parent`.
    ChangePasswordPrompts(ClientSession& session, SessionPump& pump, QWidget* parent);
    ~ChangePasswordPrompts() override;

    // Opens the first prompt; does nothing while a change is already under way.
    void start();
    bool running() const { return step_ != Idle; }
    // The prompt currently open (null between prompts and while the request runs).
    TextPromptDialog* currentPrompt() const { return prompt_; }
    const QString& lastMessage() const { return lastMessage_; }

  Q_SIGNALS:
    void busyChanged(bool busy);
    // Ended: cancelled (no message), refused before sending, or answered.
    void finished(bool changed, const QString& message);

  private:
    enum Step { Idle, User, Old, New, Confirm, Request };
    void openPrompt(Step step);
    void answered(Step step, const QString& text);
    void end(bool changed, const QString& message);

    ClientSession& session_;
    SessionPump& pump_;
    QPointer<QWidget> parent_;
    QPointer<TextPromptDialog> prompt_;
    Step step_ = Idle;
    QString user_, old_, new_, confirm_;
    QString lastMessage_;
    // Outlives this object in the session's callback, so a late answer is ignored safely.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace orv
