#pragma once
// The mail window in its two modes: writing a mail (to users, contacts and groups, with files
// and send options) and following its delivery, or reading a received one, fetching its files
// and answering it. Reply and Forward turn a reading window into a writing one. What it shows
// comes from the mail logic; the window only gathers input and runs the commands.
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "mail/compose.h"
#include "mail/compose_status.h"
#include "mail/read.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QStackedWidget;

namespace orv {

class CHtmlEditor;
class EditorPanel;

// Control ids of the window in compose mode (read mode: ReadCommand).
namespace ComposeCommand {
enum : int {
    Send = 1000,
    ChooseUsers = 1001,
    Attach = 1002,
    Save = 1003,
    Contact = 1004,
    Option = 1010,
    AttachMenu = 32816,
    RemoveAttachment = 32817,
};
}

// Files added through the file chooser stop at this many in the list.
constexpr int kMaxChosenAttachments = 8;

class MailWindow : public QWidget {
    Q_OBJECT
  public:
    enum class Mode { Compose, Read };

    MailWindow(ClientSession& session, SessionPump& pump, QWidget* parent = nullptr);
    ~MailWindow() override;

    // Compose mode with `in`: a new mail (state unset), a draft to send once, or an outgoing
    // mail shown with its delivery.
    void startCompose(const ComposeInput& in, ComposeState state = {});
    // Read mode for received mail `key` (kNoMailKey: the newest). False when there is none.
    bool startRead(uint64_t key);
    // The stored position of the mode, when usable, then shows the window.
    void showPlaced();

    // Runs a button or menu command of the current mode by its id.
    void command(int id);
    // Appends files as the file chooser does: only while the list holds fewer than eight.
    void attachChosen(const QStringList& paths);
    // Appends files as dropping them does: each existing file.
    void attachDropped(const QStringList& paths);
    // Appends files without a limit (the files of a second start).
    void attach(const QStringList& paths);
    void removeSelectedAttachments();
    // The status line's tick: texts, percentage, speed, Send enabled; in read mode also the
    // body page once complete.
    void refreshStatus();

    Mode mode() const { return mode_; }
    // Read mode: the mail shown. Compose mode: the mail created or opened, or kNoMailKey.
    uint64_t key() const { return mode_ == Mode::Read ? readKey_ : state_.key; }
    const ComposeState& composeState() const { return state_; }
    uint32_t options() const { return options_; }
    void setOptions(uint32_t options);
    QStringList attachments() const;  // compose: local paths; read: the names listed

    QLineEdit* fromField() const { return from_; }
    QLineEdit* toField() const { return to_; }
    QLineEdit* subjectField() const { return subject_; }
    QPlainTextEdit* textField() const { return text_; }
    QCheckBox* htmlBox() const { return htmlBox_; }
    // The HTML editor (made when a mail first needs it): the page being written, or the
    // received page shown.
    CHtmlEditor* htmlView() const;
    EditorPanel* editorPanel() const { return html_; }
    QListWidget* attachmentList() const { return files_; }
    QLabel* statusText() const { return status_; }
    QLabel* speedText() const { return speed_; }
    QLabel* timeText() const { return time_; }
    QProgressBar* progressBar() const { return progress_; }
    QPushButton* button(int id) const;

    // ---- hooks; the defaults use dialogs and the desktop, tests answer them directly ----
    std::function<void(const QString& text)> showMessage;
    // Closing a compose window whose contents changed since they were last kept.
    enum class UnsavedAnswer { Save, Discard, Stay };
    std::function<UnsavedAnswer()> askUnsaved;
    std::function<QStringList()> chooseFiles;
    std::function<QString(const QString& name)> chooseSavePath;
    std::function<void(const QUrl& url)> openUrl;
    // The mail shown became read: the main window clears its new-mail indication.
    std::function<void()> mailRead;
    // The dialogs of compose mode: the recipient chooser, the user tree of organisation
    // accounts and the send options; they put their answer into the window.
    std::function<void(MailWindow&)> chooseRecipients, chooseUsers, editOptions;
    // Read mode: the user asks to sign the mail shown (it asks for a signature).
    std::function<void(uint64_t key)> signMail;
    QPushButton* signNotice() const { return signNotice_; }
    // Appends chosen user names to the To text, with "," between entries.
    void appendRecipients(const std::vector<std::string>& names);

  Q_SIGNALS:
    void modeChanged();
    void mailLoaded();
    void statusRefreshed();
    // A mail was handed to the engine.
    void sent(quint64 key);
    void closed();

  protected:
    void closeEvent(QCloseEvent* e) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dropEvent(QDropEvent* e) override;

  private:
    void updateSignNotice();
    void buildWidgets();
    void applyMode();
    void showRead(const ReadModel& model);
    void showBody(bool html);
    ComposeInput gather() const;
    void send();
    void save();
    // HTML mail: the editor saves the page with its pictures, then `use` gets the input.
    void withPage(std::function<void(ComposeInput in)> use);
    void sendInput(const ComposeInput& in);
    void saveInput(const ComposeInput& in);
    void receive();
    void reply();
    void forward();
    void step(bool previous);
    void attachmentCommand(int id);
    void composeTick();
    void readTick();
    void onSessionEvent(const SessionEvent& e);
    void scheduleRefresh();
    void listFiles(const std::vector<std::string>& paths, bool asNames,
                   const std::vector<int64_t>& sizes = {});
    QString tr2(TextPair t) const;
    // The compose contents; compared with baseline_ (as last opened, saved or sent).
    std::string fingerprint() const;
    std::string baseline_;

    ClientSession& s_;
    SessionPump& pump_;
    UiLanguage lang_;
    Mode mode_ = Mode::Compose;
    ComposeState state_;
    uint32_t options_ = 0;
    bool html_mode_ = false;
    bool saving_ = false;  // the editor is writing the page for Send or Save
    std::vector<std::string> paths_;
    uint64_t readKey_ = kNoMailKey;
    BodyLoadGate bodyGate_;
    SpeedTextPacer pacer_;
    bool refreshQueued_ = false;

    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QLabel* fromLabel_ = nullptr;
    QLabel* toLabel_ = nullptr;
    QLabel* subjectLabel_ = nullptr;
    QLabel* textLabel_ = nullptr;
    QLabel* time_ = nullptr;  // read mode: when the mail was sent
    QLineEdit* subject_ = nullptr;
    QPlainTextEdit* text_ = nullptr;
    EditorPanel* html_ = nullptr;
    QStackedWidget* body_ = nullptr;
    QCheckBox* htmlBox_ = nullptr;
    QListWidget* files_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* signNotice_ = nullptr;
    QLabel* speed_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QPushButton* chooseUsers_ = nullptr;
    struct Button {
        int id;  // the same control in both modes
        QPushButton* widget;
    };
    std::vector<Button> buttons_;
    QTimer tick_;
};

}  // namespace orv
