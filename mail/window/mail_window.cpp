#include "mail/window/mail_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

#include "core/format.h"
#include "directory/replies.h"
#include "editor/editor_panel.h"
#include "editor/html_editor.h"
#include "mail/mail_files.h"
#include "qtkit/notice.h"
#include "qtkit/window_placement.h"

namespace orv {

namespace {

constexpr TextPair kComposeTitle{"New Mail", "发送邮件"};
constexpr TextPair kFrom{"From", "发件人"};
constexpr TextPair kTo{"To", "收件人"};
constexpr TextPair kSend{"Send", "发送"};
constexpr TextPair kAttach{"Attach", "附件"};
constexpr TextPair kSave{"Save", "保存"};
constexpr TextPair kContact{"Contact", "联系人"};
constexpr TextPair kOption{"Option", "选项"};
constexpr TextPair kHtmlBox{"HTML mail", "超文本格式邮件"};
constexpr TextPair kSubject{"Subject", "标题"};
constexpr TextPair kText{"Text", "正文"};
constexpr TextPair kAttachMenu{"&Attach Files...", "添加附件(&A)..."};
constexpr TextPair kRemoveMenu{"&Remove", "删除附件(&R)"};
constexpr TextPair kAllFiles{"All Files (*)", "所有文件 (*)"};
constexpr TextPair kNoStore{"Can't write mail file!", "无法写入邮件文件！"};
constexpr TextPair kUnsavedQuestion{"This mail has changes that are not kept. Save it as a draft?",
                                    "邮件尚未保存，是否保存到草稿箱？"};
constexpr TextPair kSaveDraft{"Save Draft", "保存草稿"};
constexpr TextPair kDiscard{"Discard", "放弃"};
constexpr TextPair kKeepWriting{"Keep Writing", "继续编辑"};

// Five buttons serve both modes: the same control, another command.
struct ButtonSpec {
    int id;
    TextPair compose, read;
};
constexpr ButtonSpec kButtons[] = {
    {ComposeCommand::Send, kSend, {"Receive", "接收"}},
    {ComposeCommand::Attach, kAttach, {"Reply", "回复"}},
    {ComposeCommand::Save, kSave, {"Previous", "上一封"}},
    {ComposeCommand::Contact, kContact, {"Next", "下一封"}},
    {ComposeCommand::Option, kOption, {"Forward", "转发"}},
};

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

std::string utf8(const QString& s) {
    return s.toStdString();
}

// A dropped or chosen path names an existing file (a trailing separator dropped first).
QString existingFile(QString path) {
    while (path.size() > 1 && path.endsWith('/'))
        path.chop(1);
    if (!path.contains('/')) return {};
    QFileInfo info(path);
    return info.isFile() ? info.absoluteFilePath() : QString();
}

}  // namespace

MailWindow::MailWindow(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QWidget(parent, Qt::Window), s_(session), pump_(pump), lang_(session.state().language) {
    setAttribute(Qt::WA_DeleteOnClose, false);
    setAcceptDrops(true);
    showMessage = [this](const QString& text) { showNotice(this, text); };
    askUnsaved = [this] {
        QMessageBox box(QMessageBox::Question, windowTitle(), tr2(kUnsavedQuestion),
                        QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, this);
        box.button(QMessageBox::Save)->setText(tr2(kSaveDraft));
        box.button(QMessageBox::Discard)->setText(tr2(kDiscard));
        box.button(QMessageBox::Cancel)->setText(tr2(kKeepWriting));
        int r = box.exec();
        return r == QMessageBox::Save      ? UnsavedAnswer::Save
               : r == QMessageBox::Discard ? UnsavedAnswer::Discard
                                           : UnsavedAnswer::Stay;
    };
    chooseFiles = [this] {
        return QFileDialog::getOpenFileNames(this, tr2(kAttach), QString(), tr2(kAllFiles));
    };
    chooseSavePath = [this](const QString& name) {
        return QFileDialog::getSaveFileName(this, captionAsTitle(qtext(lang_, readTexts().saveTo)),
                                            name, tr2(kAllFiles));
    };
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };
    mailRead = [] {};
    buildWidgets();
    tick_.setInterval(200);
    connect(&tick_, &QTimer::timeout, this, &MailWindow::refreshStatus);
    // What happens to this window's mail shows at once; the timer only runs while bytes move
    // (the percentage and the speed change continuously).
    connect(&pump_, &SessionPump::sessionEvent, this, &MailWindow::onSessionEvent);
    resize(640, 520);
}

MailWindow::~MailWindow() = default;

QString MailWindow::tr2(TextPair t) const {
    return qtext(lang_, t);
}

void MailWindow::buildWidgets() {
    auto* grid = new QGridLayout;
    fromLabel_ = new QLabel;
    toLabel_ = new QLabel;
    from_ = new QLineEdit;
    from_->setReadOnly(true);
    to_ = new QLineEdit;
    chooseUsers_ = new QPushButton(">>");
    chooseUsers_->setFixedWidth(36);
    connect(chooseUsers_, &QPushButton::clicked, this,
            [this] { command(ComposeCommand::ChooseUsers); });
    time_ = new QLabel;
    auto* fromRow = new QHBoxLayout;
    fromRow->addWidget(from_, 1);
    fromRow->addWidget(time_);
    grid->addWidget(fromLabel_, 0, 0);
    grid->addLayout(fromRow, 0, 1, 1, 2);
    grid->addWidget(toLabel_, 1, 0);
    grid->addWidget(to_, 1, 1);
    grid->addWidget(chooseUsers_, 1, 2);
    htmlBox_ = new QCheckBox;
    grid->addWidget(htmlBox_, 2, 1, 1, 2);
    subjectLabel_ = new QLabel;
    subject_ = new QLineEdit;
    grid->addWidget(subjectLabel_, 3, 0);
    grid->addWidget(subject_, 3, 1, 1, 2);
    textLabel_ = new QLabel;
    grid->addWidget(textLabel_, 4, 0, Qt::AlignTop);

    body_ = new QStackedWidget;
    text_ = new QPlainTextEdit;
    body_->addWidget(text_);
    grid->addWidget(body_, 4, 1, 1, 2);
    grid->setRowStretch(4, 1);

    files_ = new QListWidget;
    files_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    files_->setMaximumHeight(96);
    files_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(files_, &QListWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        QMenu menu;
        auto add = [&](int id, TextPair t) {
            connect(menu.addAction(tr2(t)), &QAction::triggered, this, [this, id] { command(id); });
        };
        if (mode_ == Mode::Compose) {
            add(ComposeCommand::AttachMenu, kAttachMenu);
            add(ComposeCommand::RemoveAttachment, kRemoveMenu);
        } else {
            if (!files_->itemAt(p)) return;
            add(ReadCommand::OpenAttachment, readTexts().openAttachment);
            add(ReadCommand::SaveTo, readTexts().saveTo);
            add(ReadCommand::OpenFolder, readTexts().openFolder);
        }
        menu.exec(files_->viewport()->mapToGlobal(p));
    });
    connect(files_, &QListWidget::itemDoubleClicked, this, [this] {
        if (mode_ == Mode::Read) command(ReadCommand::OpenAttachment);
    });
    grid->addWidget(files_, 5, 1, 1, 2);

    status_ = new QLabel(" ");
    speed_ = new QLabel;
    speed_->setMinimumWidth(90);
    speed_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    progress_ = new QProgressBar;
    progress_->setRange(0, 100);
    progress_->setTextVisible(false);
    progress_->setMaximumHeight(12);
    auto* statusRow = new QHBoxLayout;
    statusRow->addWidget(status_, 1);
    statusRow->addWidget(speed_);

    auto* buttons = new QHBoxLayout;
    for (const auto& b : kButtons) {
        auto* w = new QPushButton;
        connect(w, &QPushButton::clicked, this, [this, id = b.id] { command(id); });
        buttons->addWidget(w);
        buttons_.push_back({b.id, w});
    }
    buttons->addStretch(1);

    auto* top = new QVBoxLayout(this);
    top->addLayout(buttons);
    top->addLayout(grid, 1);
    top->addLayout(statusRow);
    top->addWidget(progress_);
    // A received mail that asks for a signature says so, and signs from here.
    signNotice_ = new QPushButton(this);
    signNotice_->setObjectName("signNotice");
    signNotice_->hide();
    top->insertWidget(1, signNotice_);
    connect(signNotice_, &QPushButton::clicked, this, [this] {
        if (signMail) signMail(readKey_);
    });
    connect(&pump_, &SessionPump::sessionEvent, this, [this](const SessionEvent& e) {
        if (e.kind == EventKind::MailSigned && e.key == readKey_) updateSignNotice();
    });

    connect(htmlBox_, &QCheckBox::toggled, this, [this](bool on) {
        if (mode_ != Mode::Compose) return;
        options_ =
            (options_ & ~MailFlags::bodyIsFirstFile) | (on ? MailFlags::bodyIsFirstFile : 0u);
        showBody(on);
        if (!on) return;
        // The text written so far becomes the page's first blocks.
        std::string page;
        for (const QString& line : text_->toPlainText().split('\n'))
            page += "<DIV>" +
                    (line.isEmpty() ? std::string("&nbsp;") : utf8(line.toHtmlEscaped())) +
                    "</DIV>";
        html_->setEditable(true);
        if (text_->toPlainText().isEmpty())
            html_->editor()->clear();
        else
            html_->editor()->setHtml("<HTML><HEAD></HEAD><BODY>" + page + "</BODY></HTML>");
    });
}

CHtmlEditor* MailWindow::htmlView() const {
    return html_ ? html_->editor() : nullptr;
}

QPushButton* MailWindow::button(int id) const {
    for (const auto& b : buttons_)
        if (b.id == id) return b.widget;
    if (id == ComposeCommand::ChooseUsers) return chooseUsers_;
    return nullptr;
}

void MailWindow::updateSignNotice() {
    int m = mode_ == Mode::Read ? s_.tables().findReceived(readKey_) : -1;
    bool asks = m >= 0 && (s_.tables().mails[m].flags & MailFlags::signRequired) &&
                !(s_.tables().mails[m].state & MailState::signedBit);
    signNotice_->setText(qtext(lang_, texts::kSignsMail));
    signNotice_->setVisible(asks);
}

void MailWindow::applyMode() {
    const bool read = mode_ == Mode::Read;
    setWindowTitle(read ? qtext(lang_, readTexts().title) : tr2(kComposeTitle));
    fromLabel_->setText(tr2(kFrom));
    toLabel_->setText(tr2(kTo));
    htmlBox_->setText(tr2(kHtmlBox));
    subjectLabel_->setText(tr2(kSubject));
    textLabel_->setText(tr2(kText));
    for (size_t i = 0; i < buttons_.size(); ++i)
        buttons_[i].widget->setText(tr2(read ? kButtons[i].read : kButtons[i].compose));
    to_->setReadOnly(read);
    time_->setVisible(read);
    subject_->setReadOnly(read);
    text_->setReadOnly(read);
    // A received mail keeps its format; a mail being written takes either.
    htmlBox_->setEnabled(!read);
    if (html_) html_->setEditable(!read);
    chooseUsers_->setVisible(!read && isOrganisationAccount(s_.state().currentUser));
    Q_EMIT modeChanged();
}

void MailWindow::showBody(bool html) {
    html_mode_ = html;
    subjectLabel_->setVisible(html);
    subject_->setVisible(html);
    textLabel_->setVisible(!html);
    if (html && !html_) {
        // Made on first use: most mails are plain, and each page costs a browser instance.
        html_ = new EditorPanel(s_.tables(), lang_);
        html_->editor()->openLink = [this](const QUrl& url) { openUrl(url); };
        // Ctrl+S in the editor keeps the mail as a draft.
        html_->editor()->saveRequested = [this] {
            if (mode_ == Mode::Compose) command(ComposeCommand::Save);
        };
        body_->addWidget(html_);
    }
    body_->setCurrentWidget(html ? static_cast<QWidget*>(html_) : text_);
}

void MailWindow::listFiles(const std::vector<std::string>& paths, bool asNames,
                           const std::vector<int64_t>& sizes) {
    files_->clear();
    QFileIconProvider icons;
    for (size_t i = 0; i < paths.size(); ++i) {
        const std::string& p = paths[i];
        QFileInfo info(qs(p));
        QString text = asNames ? qs(p) : info.fileName();
        // Every mail reader shows how big each file is.
        if (i < sizes.size())
            text += QStringLiteral("  (%1)").arg(qs(FormatSize(static_cast<uint64_t>(sizes[i]))));
        auto* item = new QListWidgetItem(icons.icon(info), text);
        item->setData(Qt::UserRole, qs(p));
        item->setToolTip(qs(p));
        files_->addItem(item);
    }
}

// ---- compose mode ----

void MailWindow::startCompose(const ComposeInput& in, ComposeState state) {
    mode_ = Mode::Compose;
    state_ = state;
    readKey_ = kNoMailKey;
    pacer_ = SpeedTextPacer{};
    from_->setText(qs(in.from.empty() ? s_.state().currentUser : in.from));
    to_->setText(qs(in.to));
    subject_->setText(qs(in.subjectLine));
    text_->setPlainText(qs(in.plainText));
    options_ =
        (in.options & ~MailFlags::bodyIsFirstFile) | (in.html ? MailFlags::bodyIsFirstFile : 0u);
    htmlBox_->blockSignals(true);
    htmlBox_->setChecked(in.html);
    htmlBox_->blockSignals(false);
    showBody(in.html);
    if (in.html) {
        // Written in the editor: a new page, a reply's quote or a draft as it was kept.
        html_->setEditable(true);
        if (in.htmlDocument.empty())
            html_->editor()->clear();
        else
            html_->editor()->setHtml(in.htmlDocument);
    }
    paths_ = in.attachments;
    listFiles(paths_, false);
    speed_->clear();
    status_->setText(" ");
    progress_->setValue(0);
    applyMode();
    refreshStatus();
    baseline_ = fingerprint();
}

void MailWindow::setOptions(uint32_t options) {
    // The HTML bit and the window's HTML box follow each other.
    options_ = options;
    if (mode_ == Mode::Compose) htmlBox_->setChecked((options & MailFlags::bodyIsFirstFile) != 0);
}

QStringList MailWindow::attachments() const {
    QStringList out;
    if (mode_ == Mode::Compose) {
        for (const auto& p : paths_)
            out << qs(p);
    } else {
        for (int i = 0; i < files_->count(); ++i)
            out << files_->item(i)->data(Qt::UserRole).toString();
    }
    return out;
}

void MailWindow::attachChosen(const QStringList& paths) {
    for (const QString& p : paths) {
        if (static_cast<int>(paths_.size()) >= kMaxChosenAttachments) break;
        paths_.push_back(utf8(p));
    }
    listFiles(paths_, false);
}

void MailWindow::attachDropped(const QStringList& paths) {
    for (const QString& p : paths) {
        QString f = existingFile(p);
        if (!f.isEmpty()) paths_.push_back(utf8(f));
    }
    listFiles(paths_, false);
}

void MailWindow::attach(const QStringList& paths) {
    for (const QString& p : paths)
        paths_.push_back(utf8(p));
    listFiles(paths_, false);
}

void MailWindow::removeSelectedAttachments() {
    std::vector<std::string> kept;
    for (int i = 0; i < files_->count() && i < static_cast<int>(paths_.size()); ++i)
        if (!files_->item(i)->isSelected()) kept.push_back(paths_[static_cast<size_t>(i)]);
    paths_ = std::move(kept);
    listFiles(paths_, false);
}

ComposeInput MailWindow::gather() const {
    ComposeInput in;
    in.from = s_.state().currentUser;
    in.to = utf8(to_->text());
    in.html = html_mode_;
    in.subjectLine = utf8(subject_->text());
    in.plainText = utf8(text_->toPlainText());
    in.attachments = paths_;
    in.options = options_;
    return in;
}

void MailWindow::withPage(std::function<void(ComposeInput in)> use) {
    if (!html_mode_) {
        use(gather());
        return;
    }
    if (saving_) return;
    saving_ = true;
    html_->editor()->saveWithImages(false, true, [this, use](std::vector<std::string> files) {
        saving_ = false;
        if (files.empty()) {
            showMessage(tr2(kNoStore));
            return;
        }
        ComposeInput in = gather();
        in.bodyFiles = std::move(files);
        use(in);
    });
}

void MailWindow::send() {
    withPage([this](ComposeInput in) { sendInput(in); });
}

void MailWindow::save() {
    withPage([this](ComposeInput in) { saveInput(in); });
}

void MailWindow::sendInput(const ComposeInput& in) {
    ComposeResult r = s_.mail().send(state_, in);
    if (!r.message.empty()) showMessage(qs(r.message));
    if (!r.ok) return;
    baseline_ = fingerprint();
    pump_.kick();
    Q_EMIT sent(r.key);
    if (r.closeWindow) {
        close();
        return;
    }
    refreshStatus();
}

void MailWindow::saveInput(const ComposeInput& in) {
    ComposeResult r = s_.mail().saveDraft(state_, in);
    if (r.ok) baseline_ = fingerprint();
    if (!r.message.empty()) showMessage(qs(r.message));
    refreshStatus();
}

void MailWindow::appendRecipients(const std::vector<std::string>& names) {
    QString to = to_->text();
    for (const auto& n : names) {
        if (!to.isEmpty()) to += ',';
        to += qs(n);
    }
    to_->setText(to);
}

// ---- read mode ----

bool MailWindow::startRead(uint64_t key) {
    ReadModel model = loadReceived(s_.tables(), key, s_.state().currentUser);
    if (!model.found) return false;
    showRead(model);
    return true;
}

void MailWindow::showRead(const ReadModel& model) {
    mode_ = Mode::Read;
    readKey_ = model.key;
    state_ = ComposeState{};
    pacer_ = SpeedTextPacer{};
    bodyGate_ = BodyLoadGate{};
    from_->setText(qs(model.from));
    to_->setText(qs(model.to));
    subject_->setText(qs(model.subject));
    text_->setPlainText(qs(model.subject));
    htmlBox_->blockSignals(true);
    htmlBox_->setChecked(model.html);
    htmlBox_->blockSignals(false);
    showBody(model.html);
    if (html_) {
        html_->setEditable(false);
        html_->editor()->setAllowedFiles({});
        html_->editor()->clear();
    }
    paths_.clear();
    std::vector<std::string> names;
    std::vector<int64_t> sizes;
    for (const auto& a : model.attachments) {
        names.push_back(a.name);
        sizes.push_back(a.total);
    }
    listFiles(names, true, sizes);
    time_->setText(qs(FormatTime(model.created)));
    status_->setText(qs(model.status));
    speed_->clear();
    applyMode();
    updateSignNotice();
    refreshStatus();
    Q_EMIT mailLoaded();
}

void MailWindow::receive() {
    if (s_.mail().requestFiles(readKey_)) pump_.kick();
    refreshStatus();
}

void MailWindow::reply() {
    ReplyResult r = buildReply(s_.tables(), readKey_, s_.state().currentUser, lang_);
    if (!r.ok()) return;
    // The To field of the reading window is what the quote names as receivers.
    startCompose(r.input);
}

void MailWindow::forward() {
    ReplyResult r = buildForward(s_.tables(), readKey_, s_.state().currentUser, lang_);
    if (!r.ok()) {
        if (!r.message.empty()) showMessage(qs(r.message));
        return;
    }
    startCompose(r.input);
}

void MailWindow::step(bool previous) {
    const std::string& user = s_.state().currentUser;
    ReadModel m = previous ? loadPrevious(s_.tables(), readKey_, user)
                           : loadNext(s_.tables(), readKey_, user);
    if (m.found) showRead(m);
}

void MailWindow::attachmentCommand(int id) {
    int row = files_->currentRow();
    if (row < 0) return;
    if (id == ReadCommand::SaveTo) {
        QString path = chooseSavePath(files_->item(row)->text());
        if (!path.isEmpty()) saveAttachmentTo(s_.tables(), readKey_, row, utf8(path));
        pump_.kick();
        return;
    }
    ReadCheck c = id == ReadCommand::OpenAttachment
                      ? openAttachment(s_.tables(), readKey_, row, lang_)
                      : openContainingFolder(s_.tables(), readKey_, row, lang_);
    if (!c.ok()) {
        if (!c.message.empty()) showMessage(qs(c.message));
        return;
    }
    openUrl(QUrl::fromLocalFile(qs(c.path)));
}

// ---- commands and the status line ----

void MailWindow::command(int id) {
    if (mode_ == Mode::Compose) {
        switch (id) {
            case ComposeCommand::Send:
                send();
                return;
            case ComposeCommand::Attach:
            case ComposeCommand::AttachMenu:
                attachChosen(chooseFiles());
                return;
            case ComposeCommand::RemoveAttachment:
                removeSelectedAttachments();
                return;
            case ComposeCommand::Save:
                save();
                return;
            case ComposeCommand::Contact:
                if (chooseRecipients) chooseRecipients(*this);
                return;
            case ComposeCommand::Option:
                if (editOptions) editOptions(*this);
                return;
            case ComposeCommand::ChooseUsers:
                if (isOrganisationAccount(s_.state().currentUser) && chooseUsers)
                    chooseUsers(*this);
                return;
        }
        return;
    }
    switch (id) {
        case ReadCommand::Receive:
            receive();
            return;
        case ReadCommand::Reply:
            reply();
            return;
        case ReadCommand::Previous:
            step(true);
            return;
        case ReadCommand::Next:
            step(false);
            return;
        case ReadCommand::Forward:
            forward();
            return;
        case ReadCommand::OpenAttachment:
        case ReadCommand::SaveTo:
        case ReadCommand::OpenFolder:
            attachmentCommand(id);
            return;
    }
}

void MailWindow::onSessionEvent(const SessionEvent& e) {
    const uint64_t key = mode_ == Mode::Compose ? (state_.created() ? state_.key : 0) : readKey_;
    if (key == 0 || e.key != key) return;
    switch (e.kind) {
        case EventKind::DeliveryChanged:
        case EventKind::DeliveryDone:
        case EventKind::MailRefused:
        case EventKind::FilesComplete:
        case EventKind::MailArrived:
            scheduleRefresh();
            break;
        default:
            break;
    }
}

void MailWindow::scheduleRefresh() {
    if (refreshQueued_ || !isVisible()) return;
    refreshQueued_ = true;
    QTimer::singleShot(0, this, [this] {
        refreshQueued_ = false;
        refreshStatus();
    });
}

void MailWindow::refreshStatus() {
    if (mode_ == Mode::Compose)
        composeTick();
    else
        readTick();
    Q_EMIT statusRefreshed();
}

void MailWindow::composeTick() {
    ComposeStatus st = s_.mail().composeStatus(state_);
    status_->setText(qs(st.status));
    progress_->setValue(st.percent);
    if (st.clearSpeed) speed_->clear();
    if (st.sending && pacer_.due(s_.clock().nowMillis())) speed_->setText(qs(st.speed));
    button(ComposeCommand::Send)->setEnabled(st.sendEnabled);
    // Ticks only while the mail is on its way (the elapsed time moves).
    if (!st.sendEnabled && isVisible())
        tick_.start();
    else
        tick_.stop();
}

void MailWindow::readTick() {
    CoreTables& t = s_.tables();
    ReadProgress p = s_.mail().readProgress(readKey_, pacer_);
    if (!p.found) {
        tick_.stop();
        return;
    }
    progress_->setValue(p.percent);
    status_->setText(qs(p.status));
    if (p.clearSpeed) speed_->clear();
    if (p.setSpeed) speed_->setText(qs(p.speed));
    if (p.nowRead) mailRead();
    // The names stay; the tooltips follow where the files are being written.
    int m = t.findReceived(readKey_);
    if (m >= 0) {
        StringPool paths;
        t.mailAttachmentPaths(m, paths);
        for (int i = 0; i < files_->count() && i < paths.count(); ++i)
            files_->item(i)->setToolTip(qs(paths.str(i)));
        if (html_mode_) {
            StringPool body;
            bool complete = t.mailBodyPaths(m, body);
            if (bodyGate_.due(readKey_, complete) && body.count() > 0) {
                // The page names its pictures by file name; here they lie in the mail store.
                std::vector<std::string> from, to;
                for (int a : t.mailFiles(m)) {
                    if (!isBodyFile(t, a)) continue;
                    from.push_back(t.attachmentNames.str(a));
                    to.push_back(fileUrl(bodyFileLocation(t, a)));
                }
                html_->editor()->setAllowedFiles(body.toVector());
                html_->editor()->loadFile(body.str(0), from, to);
            }
        }
        const bool requested = t.mails[m].fetchRequested != 0;
        if (requested && p.percent < 100 && isVisible())
            tick_.start();
        else
            tick_.stop();
    }
}

// ---- window events ----

void MailWindow::showPlaced() {
    const int base = mode_ == Mode::Read ? kReadPlacementSetting : kComposePlacementSetting;
    const CoreTables& t = s_.tables();
    WindowRect r{t.settingNumber(base), t.settingNumber(base + 1), t.settingNumber(base + 2),
                 t.settingNumber(base + 3)};
    if (placementUsable(r)) setGeometry(r.left, r.top, r.width, r.height);
    show();
    raise();
    activateWindow();
    refreshStatus();
}

std::string MailWindow::fingerprint() const {
    ComposeInput in = gather();
    std::string f = in.to + '\0' + (in.html ? "h" : "p") + '\0' + in.subjectLine + '\0' +
                    in.plainText + '\0' + in.htmlDocument + '\0' + std::to_string(in.options);
    for (const auto& p : in.attachments)
        f += '\0' + p;
    return f;
}

void MailWindow::closeEvent(QCloseEvent* e) {
    // What the user wrote is not dropped without asking.
    if (mode_ == Mode::Compose && fingerprint() != baseline_ && askUnsaved) {
        switch (askUnsaved()) {
            case UnsavedAnswer::Stay:
                e->ignore();
                return;
            case UnsavedAnswer::Save:
                save();
                break;
            case UnsavedAnswer::Discard:
                break;
        }
    }
    tick_.stop();
    const QRect g = geometry();
    storeWindowPlacement(s_.tables(), mode_ == Mode::Read, g.x(), g.y(), g.width(), g.height(),
                         isMaximized() || isMinimized());
    QWidget::closeEvent(e);
    Q_EMIT closed();
}

void MailWindow::dragEnterEvent(QDragEnterEvent* e) {
    if (mode_ == Mode::Compose && e->mimeData()->hasUrls()) e->acceptProposedAction();
}

void MailWindow::dropEvent(QDropEvent* e) {
    if (mode_ != Mode::Compose) return;
    QStringList paths;
    for (const QUrl& u : e->mimeData()->urls())
        if (u.isLocalFile()) paths << u.toLocalFile();
    attachDropped(paths);
    e->acceptProposedAction();
}

}  // namespace orv
