#include "shell/ui/main_window.h"

#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QDesktopServices>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTableView>
#include <QTimer>

#include "core/mail_queries.h"
#include "qtkit/window_placement.h"
#include "shell/ui/mail_list_model.h"
#include "shell/ui/ui_texts.h"

namespace orv {
namespace {

QString qs(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool isListView(int view) {
    return !viewColumns(view).empty();
}

// Index of a child page by its view (4, 6, 7), or -1.
int pageSlot(int view) {
    return view == View::Group ? 0 : view == View::ShareFile ? 1 : view == View::Transfer ? 2 : -1;
}

// The window and tray icon: a blue envelope on a rounded square.
QIcon appIcon() {
    QPixmap p(32, 32);
    p.fill(Qt::transparent);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    g.setPen(Qt::NoPen);
    g.setBrush(QColor(30, 100, 190));
    g.drawRoundedRect(0, 0, 32, 32, 6, 6);
    g.setPen(QPen(Qt::white, 2));
    g.setBrush(Qt::NoBrush);
    g.drawRect(6, 9, 20, 14);
    g.drawLine(6, 9, 16, 17);
    g.drawLine(26, 9, 16, 17);
    return QIcon(p);
}

const char* kButtonStyle =
    "QPushButton { font-family: Tahoma; border: 1px solid #8aa4c8; color: #102040;"
    " background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffffff, stop:1 #c8d8f0); }"
    "QPushButton:hover { border-color: #3060a0; }"
    "QPushButton:pressed, QPushButton:checked { background: qlineargradient(x1:0, y1:0, x2:0,"
    " y2:1, stop:0 #a8c0e8, stop:1 #e8f0ff); }";

// Slices of the search stay short so the window keeps answering while it runs.
constexpr int kSearchSliceMillis = 15;
constexpr int kSearchSliceMails = 64;
constexpr int kDefaultColumnWidth = 90;

}  // namespace

MainWindow::MainWindow(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QMainWindow(parent), s_(session), pump_(pump), lang_(session.state().language) {
    filter_ = s_.tables().settingNumber(Setting::InboxCategory);
    // A value from a damaged file would hide the whole Inbox.
    if (filter_ != InboxCategory::All && filter_ != InboxCategory::Private &&
        filter_ != InboxCategory::Bulletin && filter_ != InboxCategory::Announce &&
        filter_ != InboxCategory::News)
        filter_ = InboxCategory::All;

    askDeleteFiles = [this] {
        TextPair q = deleteAttachQuestion();
        return QMessageBox::question(this, windowTitle(), tr2(q),
                                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    askKeyword = [this]() -> std::optional<QString> {
        bool ok = false;
        QString text = QInputDialog::getText(this, tr2(ui::kFindTitle), tr2(ui::kFindLabel),
                                             QLineEdit::Normal, QString(), &ok);
        if (!ok) return std::nullopt;
        return text;
    };
    showMessage = [this](const QString& text) {
        QMessageBox::information(this, windowTitle(), text);
    };
    askYesNo = [this](const QString& text) {
        return QMessageBox::question(this, windowTitle(), text,
                                     QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
    };
    showNewMailNotice = [this](const QString& text) {
        QMessageBox box(QMessageBox::Information, windowTitle(), text, QMessageBox::Ok, this);
        box.exec();
    };
    openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    setWindowTitle("Orvantel");
    setWindowIcon(appIcon());
    resize(820, 580);
    buildWidgets();
    buildTray();
    buildShortcuts();
    refreshHomePage();

    s_.onSendFiles = [this](const std::vector<std::string>& files) {
        // Posted, so a compose window never opens inside a service of the session.
        QTimer::singleShot(0, this, [this, files] {
            if (!files.empty() && openCompose) openCompose(files);
        });
    };
    connect(&pump_, &SessionPump::sessionEvent, this, &MainWindow::onSessionEvent);
    connect(&pump_, &SessionPump::serviced, this, &MainWindow::onServiced);

    showView(View::Inbox);
    // The login comes first, as soon as the event loop runs.
    QTimer::singleShot(0, this, [this] { command(Cmd::Login); });
}

MainWindow::~MainWindow() {
    s_.onSendFiles = nullptr;
    if (tray_) tray_->hide();
}

QString MainWindow::tr2(TextPair t) const {
    return qs(pick(lang_, t));
}

void MainWindow::buildWidgets() {
    central_ = new QWidget(this);
    central_->installEventFilter(this);
    setCentralWidget(central_);
    central_->setStyleSheet(kButtonStyle);

    auto makeButton = [this](int id, TextPair label, bool checkable) {
        auto* b = new QPushButton(tr2(label), central_);
        b->setCheckable(checkable);
        b->setFocusPolicy(Qt::NoFocus);
        connect(b, &QPushButton::clicked, this, [this, id] { command(id); });
        return b;
    };
    const std::pair<int, TextPair> tools[] = {
        {Cmd::Login, ui::kLogin},      {Cmd::NewMail, ui::kNewMail}, {Cmd::Reply, ui::kReply},
        {Cmd::Find, ui::kFind},        {Cmd::Setting, ui::kSetting}, {Cmd::Exit, ui::kExit},
        {Cmd::HomePage, ui::kHomePage}};
    for (auto& [id, label] : tools)
        toolbar_.push_back({id, makeButton(id, label, false)});
    const std::pair<int, TextPair> folders[] = {
        {Cmd::ShowInbox, ui::kFolderIn},          {Cmd::ShowOutbox, ui::kFolderOut},
        {Cmd::ShowSent, ui::kFolderSent},         {Cmd::ShowTrash, ui::kFolderTrash},
        {Cmd::ShowDrafts, ui::kFolderEdit},       {Cmd::ShowShare, ui::kFolderShare},
        {Cmd::ShowTransfer, ui::kFolderTransfer}, {Cmd::ShowGroup, ui::kFolderGroup}};
    for (auto& [id, label] : folders)
        folders_.push_back({id, makeButton(id, label, true)});
    filterButton_ = makeButton(Cmd::FilterButton, ui::kFilterAll, false);

    userField_ = new QLabel(central_);
    userField_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    folderCaption_ = new QLabel(tr2(ui::kMailFolder), central_);
    folderCaption_->setAlignment(Qt::AlignCenter);
    folderCaption_->setStyleSheet("background: #3060a0; color: white; font-family: Tahoma;");
    caption_ = new QLabel(central_);
    caption_->setStyleSheet(
        "background: #d8e4f4; color: #102040; font-family: Tahoma; font-weight: bold;"
        " padding-left: 6px;");
    progress_ = new QProgressBar(central_);
    progress_->setRange(0, 100);
    progress_->hide();

    model_ = new MailListModel(lang_, this);
    list_ = new QTableView(central_);
    list_->setModel(model_);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(false);
    list_->setWordWrap(false);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(20);
    list_->horizontalHeader()->setSectionsClickable(true);
    list_->horizontalHeader()->setHighlightSections(false);
    // The last column takes whatever width the others leave.
    list_->horizontalHeader()->setStretchLastSection(true);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QTableView::doubleClicked, this, [this] { command(Cmd::Open); });
    connect(list_, &QTableView::customContextMenuRequested, this, [this](const QPoint& at) {
        auto menu = buildListMenu();
        menu->exec(list_->viewport()->mapToGlobal(at));
    });
    connect(list_->horizontalHeader(), &QHeaderView::sectionClicked, this, [this](int pos) {
        if (pos == sortColumn_)
            descending_ = !descending_;
        else
            sortColumn_ = pos, descending_ = false;
        command(Cmd::Sort);
    });

    const TextPair pageNames[] = {viewName(View::Group), viewName(View::ShareFile),
                                  viewName(View::Transfer)};
    for (int i = 0; i < 3; ++i) {
        auto* page = new QLabel(tr2(pageNames[i]), central_);
        page->setAlignment(Qt::AlignCenter);
        page->hide();
        pages_[i] = page;
    }
}

void MainWindow::buildTray() {
    tray_ = new QSystemTrayIcon(windowIcon(), this);
    tray_->setToolTip(tr2(ui::kTrayTip));
    trayMenu_ = new QMenu(this);
    auto add = [this](int id, TextPair text) {
        QAction* a = trayMenu_->addAction(tr2(text));
        a->setData(id);
        connect(a, &QAction::triggered, this, [this, id] { command(id); });
        return a;
    };
    add(Cmd::About, ui::kTrayAbout);
    add(Cmd::TrayOpen, ui::kTrayOpen);
    trayHomePage_ = add(Cmd::HomePageTray, ui::kTrayHomePage);
    trayMenu_->addSeparator();
    add(Cmd::Exit, ui::kTrayExit);
    tray_->setContextMenu(trayMenu_);
    connect(tray_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
        if (r == QSystemTrayIcon::DoubleClick) toggleFromTray();
    });
    connect(tray_, &QSystemTrayIcon::messageClicked, this, [this] { command(Cmd::TrayOpen); });
    tray_->show();
}

void MainWindow::buildShortcuts() {
    // The keys of desktop mail clients, on top of the menus and buttons.
    auto bind = [this](QWidget* owner, QKeySequence keys, int id, Qt::ShortcutContext where) {
        auto* a = new QAction(owner);
        a->setShortcut(keys);
        a->setShortcutContext(where);
        connect(a, &QAction::triggered, this, [this, id] { command(id); });
        owner->addAction(a);
    };
    bind(list_, QKeySequence(Qt::Key_Delete), Cmd::Delete, Qt::WidgetShortcut);
    bind(list_, QKeySequence(Qt::Key_Return), Cmd::Open, Qt::WidgetShortcut);
    bind(list_, QKeySequence(Qt::Key_Enter), Cmd::Open, Qt::WidgetShortcut);
    bind(this, QKeySequence(Qt::CTRL | Qt::Key_N), Cmd::NewMail, Qt::WindowShortcut);
    bind(this, QKeySequence(Qt::CTRL | Qt::Key_F), Cmd::Find, Qt::WindowShortcut);
    bind(this, QKeySequence(Qt::CTRL | Qt::Key_R), Cmd::Reply, Qt::WindowShortcut);
}

QString MainWindow::homePage() const {
    return qs(s_.tables().settingString(SettingString::HomePage)).trimmed();
}

void MainWindow::refreshHomePage() {
    const bool set = !homePage().isEmpty();
    if (QPushButton* b = button(Cmd::HomePage)) b->setVisible(set);
    if (trayHomePage_) trayHomePage_->setVisible(set);
}

void MainWindow::toggleFromTray() {
    // Decided by what the user sees, so a window minimised away always comes back.
    if (isVisible() && !isMinimized()) {
        hide();
    } else {
        showNormal();
        raise();
        activateWindow();
    }
}

void MainWindow::showPlaced() {
    if (storedMaximized(s_.tables())) {
        showMaximized();
        return;
    }
    if (auto r = storedPlacement(s_.tables())) {
        setGeometry(r->left, r->top, r->width, r->height);
    } else if (QScreen* screen = QGuiApplication::primaryScreen()) {
        // Nothing stored (a first start): the middle of the screen, title bar in sight.
        QRect frame(QPoint(), size());
        frame.moveCenter(screen->availableGeometry().center());
        move(frame.topLeft());
    }
    show();
}

QWidget* MainWindow::childPage(int view) const {
    int slot = pageSlot(view);
    return slot < 0 ? nullptr : pages_[slot];
}

void MainWindow::setChildPage(int view, QWidget* page) {
    int slot = pageSlot(view);
    if (slot < 0 || !page) return;
    delete pages_[slot];
    page->setParent(central_);
    pages_[slot] = page;
    page->setVisible(view_ == view);
    layoutWindow();
}

QPushButton* MainWindow::button(int id) const {
    if (id == Cmd::FilterButton) return filterButton_;
    for (auto* group : {&toolbar_, &folders_})
        for (const auto& b : *group)
            if (b.id == id) return b.widget;
    return nullptr;
}

QString MainWindow::captionText() const {
    return caption_->text();
}

bool MainWindow::eventFilter(QObject* watched, QEvent* e) {
    if (watched == central_ && e->type() == QEvent::Resize) layoutWindow();
    return QMainWindow::eventFilter(watched, e);
}

void MainWindow::layoutWindow() {
    if (!central_) return;
    const int w = central_->width(), h = central_->height();
    static const int toolWidths[] = {80, 92, 80, 80, 80, 80, 80};
    int x = 12;
    for (size_t i = 0; i < toolbar_.size(); ++i) {
        toolbar_[i].widget->setGeometry(x, 3, toolWidths[i], 32);
        x += toolWidths[i];
    }
    userField_->setGeometry(x + 8, 3, std::max(0, w - x - 16), 32);

    folderCaption_->setGeometry(0, 40, 135, 26);
    int y = 66;
    for (auto& b : folders_) {
        b.widget->setGeometry(0, y, 135, 32);
        y += 32;
    }

    const int workW = std::max(0, w - 140);
    const bool inbox = view_ == View::Inbox;
    const int filterW = inbox ? 110 : 0;
    const int progressW = progress_->isVisible() ? std::min(200, workW / 3) : 0;
    caption_->setGeometry(140, 40, std::max(0, workW - filterW - progressW), 28);
    progress_->setGeometry(140 + workW - filterW - progressW, 44, progressW, 20);
    filterButton_->setVisible(inbox);
    if (inbox) filterButton_->setGeometry(140 + workW - filterW, 40, filterW, 28);

    const QRect work(140, 68, workW, std::max(0, h - 68));
    list_->setGeometry(work);
    for (auto* page : pages_)
        if (page) page->setGeometry(work);
}

void MainWindow::retitle() {
    caption_->setText(tr2(viewName(view_)));
    TextPair label = filter_ == InboxCategory::Private    ? ui::kFilterPrivate
                     : filter_ == InboxCategory::Bulletin ? ui::kFilterBulletin
                     : filter_ == InboxCategory::News     ? ui::kFilterNews
                                                          : ui::kFilterAll;
    filterButton_->setText(tr2(label));
    for (auto& b : folders_) {
        int v = b.id == Cmd::ShowInbox    ? View::Inbox
                : b.id == Cmd::ShowOutbox ? View::Outbox
                : b.id == Cmd::ShowSent   ? View::Sent
                : b.id == Cmd::ShowTrash  ? View::Trash
                : b.id == Cmd::ShowDrafts ? View::Drafts
                : b.id == Cmd::ShowShare  ? View::ShareFile
                : b.id == Cmd::ShowGroup  ? View::Group
                                          : View::Transfer;
        b.widget->setChecked(v == view_);
    }
}

void MainWindow::saveWidths() {
    // Before the first list is filled the header holds Qt's defaults, not the user's widths:
    // writing those back would lose the stored ones at every start.
    if (!widthsApplied_ || model_->view() != view_ || !isListView(view_)) return;
    std::vector<int32_t> widths;
    auto* header = list_->horizontalHeader();
    for (int i = 0; i < header->count(); ++i)
        widths.push_back(header->sectionSize(i));
    if (widths.size() == viewColumns(view_).size()) storeColumnWidths(s_.tables(), view_, widths);
}

void MainWindow::applyWidths() {
    auto widths = columnWidths(s_.tables(), view_);
    widthsApplied_ = true;
    auto* header = list_->horizontalHeader();
    for (int i = 0; i < header->count() && static_cast<size_t>(i) < widths.size(); ++i)
        header->resizeSection(i, widths[static_cast<size_t>(i)] > 0 ? widths[static_cast<size_t>(i)]
                                                                    : kDefaultColumnWidth);
}

void MainWindow::fillList() {
    std::vector<MailRow> rows;
    if (view_ != View::Search || searchMatch_) rows = s_.mail().view(view_, filter_, searchMatch_);
    if (sortColumn_ >= 0) sortRows(rows, view_, sortColumn_, descending_);
    model_->reset(view_, std::move(rows));
    applyWidths();
    auto* header = list_->horizontalHeader();
    header->setSortIndicatorShown(sortColumn_ >= 0);
    if (sortColumn_ >= 0)
        header->setSortIndicator(sortColumn_,
                                 descending_ ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void MainWindow::showView(int view) {
    if (view < View::Inbox || view > View::Search) return;
    saveWidths();
    if (view != view_) {
        // A column position means another column in another view.
        sortColumn_ = -1;
        descending_ = false;
        if (view_ == View::Search && search_) {
            search_.reset();
            progress_->hide();
        }
    }
    for (auto* page : pages_)
        if (page) page->hide();
    view_ = view;
    if (isListView(view)) {
        fillList();
        list_->show();
    } else {
        list_->hide();
        if (QWidget* page = childPage(view)) page->show();
    }
    listStale_ = false;
    retitle();
    layoutWindow();
    Q_EMIT viewShown(view);
}

void MainWindow::setFilter(int filter) {
    filter_ = filter;
    s_.tables().setSettingNumber(Setting::InboxCategory, filter);
    showView(View::Inbox);
}

// ---------------------------------------------------------------- events and duties

void MainWindow::onSessionEvent(const SessionEvent& e) {
    switch (e.kind) {
        case EventKind::LoggedInElsewhere:
            elsewhereMessage_ = e.text;
            break;
        case EventKind::MailArrived:
            // A mail that arrives while another view is shown is listed when the Inbox is
            // shown again, without a notice.
            if (view_ == View::Inbox) listStale_ = newMail_ = true;
            break;
        case EventKind::FilesComplete:
            if (view_ == View::Inbox) listStale_ = true;
            break;
        case EventKind::MailRefused:
            // Only a mail the user wrote is news; control items go without a word.
            if (outboxMail(s_.tables(), e.key) >= 0) refusedUsers_.push_back(e.text);
            [[fallthrough]];
        case EventKind::DeliveryChanged:
        case EventKind::DeliveryDone:
            if (view_ == View::Outbox || view_ == View::Sent) listStale_ = true;
            break;
        default:
            break;
    }
}

void MainWindow::onServiced() {
    // A modal box opened by a duty runs the event loop, and with it the session; the duties
    // of those services wait until the box is gone.
    if (inDuties_) return;
    inDuties_ = true;
    if (elsewhereMessage_) {
        std::string message = *elsewhereMessage_;
        elsewhereMessage_.reset();
        if (showMessage) showMessage(message.empty() ? tr2(ui::kLoggedInElsewhere) : qs(message));
        command(Cmd::Login);
    }
    if (!shuttingDown_) {
        if (shownUser_ != s_.state().currentUser) {
            shownUser_ = s_.state().currentUser;
            userField_->setText(qs(shownUser_));
        }
        if (listStale_ && isListView(view_)) showView(view_);
        listStale_ = false;
        for (const std::string& user : std::exchange(refusedUsers_, {}))
            if (showMessage) showMessage(tr2(ui::kNoSuchUserNotice).arg(qs(user)));
        if (newMail_) announceNewMail();
        groupNotices();
    }
    newMail_ = false;
    inDuties_ = false;
}

void MainWindow::groupNotices() {
    if (!s_.state().loggedIn()) return;
    GroupsFacade& g = s_.groups();
    // One question per pass: a second request waits for the next service.
    if (auto q = g.nextJoinQuestion()) {
        bool yes =
            askYesNo && askYesNo(qs(fillIn(lang_, texts::kJoinQuestion, {q->applicant, q->group})));
        g.answerJoin(q->group, q->applicant, yes);
        pump_.kick();
    }
    if (auto refused = g.takeRefusal(); refused && showMessage)
        showMessage(qs(fillIn(lang_, texts::kJoinRefused, {*refused})));
    if (auto joined = g.takeJoinConfirmation(); joined && showMessage)
        showMessage(qs(fillIn(lang_, texts::kJoinSucceeded, {*joined})));
}

void MainWindow::announceNewMail() {
    if (s_.tables().settingNumber(Setting::NotifyNewMail) == 0 || isActiveWindow()) return;
    showNormal();
    raise();
    activateWindow();
    const QString text = tr2(ui::kNewMailNotice);
    if (tray_ && QSystemTrayIcon::supportsMessages())
        tray_->showMessage(tr2(ui::kTrayTip), text, QSystemTrayIcon::Information, 5000);
    if (showNewMailNotice) showNewMailNotice(text);
}

// ---------------------------------------------------------------- commands

const MailRow* MainWindow::currentRow() const {
    QModelIndex i = list_->currentIndex();
    if (!list_->selectionModel()->isRowSelected(i.row(), {})) {
        auto sel = list_->selectionModel()->selectedRows();
        if (sel.isEmpty()) return nullptr;
        i = sel.first();
    }
    return model_->row(i.row());
}

std::vector<MailRef> MainWindow::selectedRefs() const {
    std::vector<MailRef> refs;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows())
        if (const MailRow* r = model_->row(i.row())) refs.push_back(refOf(*r));
    return refs;
}

void MainWindow::moveCommand(int id) {
    if (!isListView(view_) || (view_ == View::Search && id != Cmd::Delete)) return;
    // One question per command, whatever the number of mails it deletes.
    std::optional<bool> answer;
    AskDeleteFiles ask = [this, &answer] {
        if (!answer) answer = askDeleteFiles ? askDeleteFiles() : false;
        return *answer;
    };
    MoveOutcome out;
    if (id == Cmd::Delete) {
        auto refs = selectedRefs();
        if (refs.empty()) return;
        out = s_.mail().remove(refs, ask);
    } else if (view_ != View::Trash) {
        return;
    } else if (id == Cmd::Restore) {
        auto refs = selectedRefs();
        if (refs.empty()) return;
        out = s_.mail().restore(refs);
    } else if (id == Cmd::DeleteAll) {
        out = s_.mail().removeAllTrash(ask);
    } else if (id == Cmd::RestoreAll) {
        out = s_.mail().restoreAllTrash();
    }
    pump_.kick();
    // Erasing lowers the indexes the results were found at: search again for the same text.
    if (view_ == View::Search && out.erased) return startSearch(searchText_);
    showView(view_);
}

void MainWindow::addSender() {
    if (view_ != View::Inbox) return;
    const MailRow* r = currentRow();
    if (!r) return;
    MailRef ref = refOf(*r);
    CoreTables& t = s_.tables();
    if (ref.mail < 0 || ref.mail >= t.mails.count() || t.mails[ref.mail].key != ref.key) return;
    ContactOutcome c = addSenderToContacts(t, ref.mail, lang_);
    if (c.added) {
        t.noteChange();
        pump_.kick();
        if (showMessage) showMessage(tr2(ui::kContactAdded));
    } else if (!c.message.empty() && showMessage) {
        showMessage(qs(c.message));
    }
}

void MainWindow::startSearch(const QString& text) {
    searchText_ = text;
    search_ = s_.mail().startSearch(text.toStdString());
    searchMatch_ = matchMails({}, 0);
    showView(View::Search);
    progress_->setValue(0);
    progress_->show();
    layoutWindow();
    QTimer::singleShot(0, this, &MainWindow::searchSlice);
}

void MainWindow::searchSlice() {
    if (!search_) return;
    QElapsedTimer clock;
    clock.start();
    MailSearch::Progress p;
    do {
        p = search_->step(kSearchSliceMails);
    } while (!p.finished && clock.elapsed() < kSearchSliceMillis);
    progress_->setValue(p.percent());
    if (!p.finished) {
        QTimer::singleShot(0, this, &MainWindow::searchSlice);
        return;
    }
    searchMatch_ = search_->matcher();
    search_.reset();
    progress_->hide();
    if (view_ == View::Search) showView(View::Search);
    Q_EMIT searchFinished();
}

std::unique_ptr<QMenu> MainWindow::buildFilterMenu() {
    auto menu = std::make_unique<QMenu>();
    const std::pair<int, TextPair> items[] = {{Cmd::FilterAll, ui::kFilterAll},
                                              {Cmd::FilterPrivate, ui::kFilterPrivate},
                                              {Cmd::FilterBulletin, ui::kFilterBulletin},
                                              {Cmd::FilterNews, ui::kFilterNews}};
    for (auto& [cmd, text] : items) {
        int c = cmd;
        QAction* a = menu->addAction(tr2(text));
        a->setData(c);
        connect(a, &QAction::triggered, this, [this, c] { command(c); });
    }
    return menu;
}

std::unique_ptr<QMenu> MainWindow::buildListMenu() {
    auto menu = std::make_unique<QMenu>();
    auto add = [&](int id, TextPair text, bool enabled = true) {
        QAction* a = menu->addAction(tr2(text));
        a->setEnabled(enabled);
        a->setData(id);
        connect(a, &QAction::triggered, this, [this, id] { command(id); });
    };
    if (view_ == View::Trash) {
        add(Cmd::Delete, ui::kTrashDelete);
        add(Cmd::Restore, ui::kTrashRestore);
        add(Cmd::DeleteAll, ui::kTrashDeleteAll);
        add(Cmd::RestoreAll, ui::kTrashRestoreAll);
        return menu;
    }
    const bool inbox = view_ == View::Inbox;
    add(Cmd::Open, ui::kMenuOpen);
    menu->addSeparator();
    add(Cmd::Reply, ui::kMenuReply, inbox);
    add(Cmd::ReplyAll, ui::kMenuReplyAll, inbox);
    add(Cmd::Forward, ui::kMenuForward, inbox);
    menu->addSeparator();
    add(Cmd::Delete, ui::kMenuDelete);
    menu->addSeparator();
    add(Cmd::AddSender, ui::kMenuAddSender, inbox);
    add(Cmd::SignStatus, ui::kMenuSignStatus, !inbox);
    add(Cmd::SignMail, ui::kMenuSignMail, view_ != View::Outbox && view_ != View::Sent);
    return menu;
}

void MainWindow::command(int id) {
    switch (id) {
        case Cmd::Login:
            if (openLoginDialog) openLoginDialog();
            showView(View::Inbox);
            return;
        case Cmd::NewMail:
            // A mail without a sender would be listed nowhere and sent by nobody.
            if (!s_.state().loggedIn()) {
                if (showMessage) showMessage(tr2(ui::kLoginFirst));
                command(Cmd::Login);
                return;
            }
            if (openCompose) openCompose({});
            return;
        case Cmd::Reply:
        case Cmd::ReplyHidden:
        case Cmd::ReplyAll:
        case Cmd::Forward:
            if (view_ != View::Inbox) return;
            [[fallthrough]];
        case Cmd::Open:
        case Cmd::SignStatus:
        case Cmd::SignMail:
            if (const MailRow* r = currentRow(); r && mailCommand) mailCommand(id, refOf(*r));
            return;
        case Cmd::AddSender:
            addSender();
            return;
        case Cmd::Find:
            if (askKeyword)
                if (auto text = askKeyword()) startSearch(*text);
            return;
        case Cmd::Sort:
            showView(view_);
            return;
        case Cmd::Setting:
            if (openSettingsDialog) openSettingsDialog();
            return;
        case Cmd::Exit:
            close();
            return;
        case Cmd::HomePage:
        case Cmd::HomePageTray:
            if (QString page = homePage(); !page.isEmpty() && openUrl) openUrl(QUrl(page));
            return;
        case Cmd::TrayOpen:
            showNormal();
            raise();
            activateWindow();
            return;
        case Cmd::About:
            QMessageBox::about(this, tr2(ui::kAboutTitle),
                               tr2(ui::kAboutText).arg(QStringLiteral(ORV_VERSION)));
            return;
        case Cmd::ShowInbox:
            return showView(View::Inbox);
        case Cmd::ShowOutbox:
            return showView(View::Outbox);
        case Cmd::ShowSent:
            return showView(View::Sent);
        case Cmd::ShowTrash:
            return showView(View::Trash);
        case Cmd::ShowDrafts:
            return showView(View::Drafts);
        case Cmd::ShowGroup:
            return showView(View::Group);
        case Cmd::ShowShare:
            return showView(View::ShareFile);
        case Cmd::ShowTransfer:
            return showView(View::Transfer);
        case Cmd::FilterButton: {
            auto menu = buildFilterMenu();
            menu->exec(filterButton_->mapToGlobal(QPoint(0, filterButton_->height())));
            return;
        }
        case Cmd::FilterAll:
        case Cmd::FilterPrivate:
        case Cmd::FilterBulletin:
        case Cmd::FilterNotice:
        case Cmd::FilterNews:
            return setFilter(inboxCategoryForCommand(id));
        case Cmd::Delete:
        case Cmd::Restore:
        case Cmd::DeleteAll:
        case Cmd::RestoreAll:
            return moveCommand(id);
        default:
            return;
    }
}

// ---------------------------------------------------------------- window events

void MainWindow::closeEvent(QCloseEvent* e) {
    shuttingDown_ = true;
    search_.reset();
    saveWidths();
    const QRect normal = isMaximized() ? normalGeometry() : geometry();
    recordPlacement(s_.tables(), isMaximized(),
                    {normal.x(), normal.y(), normal.width(), normal.height()});
    s_.tables().setSettingNumber(Setting::InboxCategory, filter_);
    s_.tables().noteChange();
    if (tray_) tray_->hide();
    e->accept();
    Q_EMIT closed();
}

void MainWindow::changeEvent(QEvent* e) {
    QMainWindow::changeEvent(e);
    // Minimised, the window leaves the task bar; the tray icon brings it back.
    if (e->type() == QEvent::WindowStateChange && isMinimized() && !shuttingDown_)
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) hide();
        });
}

}  // namespace orv
