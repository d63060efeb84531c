#include "groups/ui/group_page.h"

#include <QGridLayout>
#include <QLabel>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>

#include "groups/ui/group_dialogs.h"
#include "qtkit/notice.h"

namespace orv {

namespace {
std::string utf8(const QString& s) {
    return s.toUtf8().toStdString();
}
QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
constexpr int kSendMailId = 32777;

// Puts the texts in the list, keeping the chosen row chosen by its text.
void refillKeeping(QListWidget* list, const QStringList& items) {
    QString chosen = list->currentItem() ? list->currentItem()->text() : QString();
    list->blockSignals(true);
    list->clear();
    list->addItems(items);
    for (int i = 0; i < list->count(); ++i)
        if (!chosen.isEmpty() && list->item(i)->text().compare(chosen, Qt::CaseInsensitive) == 0)
            list->setCurrentRow(i);
    list->blockSignals(false);
}
}  // namespace

GroupPage::GroupPage(ClientSession& session, SessionPump& pump, QWidget* parent)
    : QWidget(parent), s_(session), pump_(pump), lang_(session.state().language) {
    tabs_ = new QTabWidget(this);
    auto makeTab = [this](QListWidget*& groups, QListWidget*& members, QPushButton** buttons,
                          std::initializer_list<std::pair<int, TextPair>> labels, bool manage) {
        auto* tab = new QWidget(tabs_);
        groups = new QListWidget(tab);
        members = new QListWidget(tab);
        members->setSelectionMode(QAbstractItemView::ExtendedSelection);
        groups->setSelectionMode(QAbstractItemView::ExtendedSelection);
        auto* grid = new QGridLayout(tab);
        grid->addWidget(new QLabel(tr2(grouptexts::kGroups), tab), 0, 0);
        grid->addWidget(new QLabel(tr2(grouptexts::kMembers), tab), 0, 1);
        grid->addWidget(groups, 1, 0);
        grid->addWidget(members, 1, 1);
        auto* row = new QHBoxLayout;
        int i = 0;
        for (const auto& [id, label] : labels) {
            auto* b = new QPushButton(tr2(label), tab);
            b->setObjectName(QString::number(id));
            connect(b, &QPushButton::clicked, this, [this, manage, id] { runButton(manage, id); });
            row->addWidget(b);
            buttons[i++] = b;
        }
        row->addStretch(1);
        grid->addLayout(row, 2, 0, 1, 2);
        return tab;
    };
    tabs_->addTab(makeTab(joined_, joinedMembers_, groupButtons_,
                          {{1000, grouptexts::kFindJoin},
                           {1001, grouptexts::kLeave},
                           {1002, grouptexts::kRefresh},
                           {kSendMailId, grouptexts::kSendMail}},
                          false),
                  tr2(grouptexts::kTabGroup));
    tabs_->addTab(makeTab(owned_, ownedMembers_, manageButtons_,
                          {{1000, grouptexts::kCreateGroup},
                           {1001, grouptexts::kDeleteGroup},
                           {1002, grouptexts::kDeleteMember}},
                          true),
                  tr2(grouptexts::kTabManage));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);

    connect(joined_, &QListWidget::currentRowChanged, this,
            [this] { fillMembers(joined_, joinedMembers_, false); });
    connect(owned_, &QListWidget::currentRowChanged, this,
            [this] { fillMembers(owned_, ownedMembers_, true); });
    connect(owned_, &QListWidget::itemDoubleClicked, this, [this] { openInfo(); });
    connect(&pump_, &SessionPump::sessionEvent, this, &GroupPage::onEvent);
    ask = [this](const QString& text) {
        return QMessageBox::question(this, QString(), text,
                                     QMessageBox::Ok | QMessageBox::Cancel) == QMessageBox::Ok;
    };
    refill();
}

QString GroupPage::tr2(TextPair t) const {
    return qtext(lang_, t);
}

void GroupPage::onEvent(const SessionEvent& e) {
    if (e.kind == EventKind::GroupChanged) refill();
}

void GroupPage::refill() {
    QStringList joined, owned;
    for (const auto& g : s_.groups().joinedGroups())
        joined << qs(g.name);
    for (const auto& g : s_.groups().ownedGroups())
        owned << qs(g.name);
    refillKeeping(joined_, joined);
    refillKeeping(owned_, owned);
    fillMembers(joined_, joinedMembers_, false);
    fillMembers(owned_, ownedMembers_, true);
}

void GroupPage::fillMembers(QListWidget* groups, QListWidget* members, bool owned) {
    QStringList names;
    int row = groups->currentRow();
    auto all = owned ? s_.groups().ownedGroups() : s_.groups().joinedGroups();
    if (row >= 0 && row < static_cast<int>(all.size()))
        for (const auto& m : all[static_cast<size_t>(row)].members)
            names << qs(m.name);
    refillKeeping(members, names);
}

QPushButton* GroupPage::groupButton(int id) const {
    for (auto* b : groupButtons_)
        if (b && b->objectName() == QString::number(id)) return b;
    return nullptr;
}

QPushButton* GroupPage::manageButton(int id) const {
    for (auto* b : manageButtons_)
        if (b && b->objectName() == QString::number(id)) return b;
    return nullptr;
}

GroupDialog* GroupPage::openCreate() {
    auto* d = new GroupDialog(lang_, true, this);
    d->setAttribute(Qt::WA_DeleteOnClose);
    connect(d, &QDialog::accepted, this, [this, d] {
        s_.groups().createGroup(utf8(d->name()), utf8(d->intro()), d->isPublic());
        refill();
        pump_.kick();
    });
    d->open();
    return d;
}

GroupDialog* GroupPage::openInfo() {
    int row = owned_->currentRow();
    auto owned = s_.groups().ownedGroups();
    if (row < 0 || row >= static_cast<int>(owned.size())) return nullptr;
    const GroupInfo g = owned[static_cast<size_t>(row)];
    auto* d = new GroupDialog(lang_, false, this);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->setValues(qs(g.name), qs(g.intro), g.isPublic);
    connect(d, &QDialog::accepted, this, [this, d, old = g.name] {
        s_.groups().editGroup(old, utf8(d->name()), utf8(d->intro()), d->isPublic());
        refill();
        pump_.kick();
    });
    d->open();
    return d;
}

JoinDialog* GroupPage::openJoin() {
    auto* d = new JoinDialog(s_.groups(), lang_, this);
    d->setAttribute(Qt::WA_DeleteOnClose);
    connect(d, &QDialog::accepted, this, [this] { pump_.kick(); });
    d->open();
    return d;
}

void GroupPage::sendMail() {
    if (!compose) return;
    std::vector<std::string> names;
    QListWidget* members = tabs_->currentIndex() == 1 ? ownedMembers_ : joinedMembers_;
    QListWidget* groups = tabs_->currentIndex() == 1 ? owned_ : joined_;
    for (auto* item : members->selectedItems())
        names.push_back(utf8(item->text()));
    if (names.empty()) {
        auto all =
            tabs_->currentIndex() == 1 ? s_.groups().ownedGroups() : s_.groups().joinedGroups();
        for (auto* item : groups->selectedItems()) {
            int r = groups->row(item);
            if (r < 0 || r >= static_cast<int>(all.size())) continue;
            for (const auto& m : all[static_cast<size_t>(r)].members) {
                // A mail to one's own group goes to the others.
                bool seen = equalsIgnoreCase(m.name, s_.state().currentUser);
                for (const auto& n : names)
                    seen = seen || equalsIgnoreCase(n, m.name);
                if (!seen) names.push_back(m.name);
            }
        }
    }
    std::string to;
    for (const auto& n : names)
        to += (to.empty() ? "" : ",") + n;
    compose(to);
}

void GroupPage::runButton(bool manage, int id) {
    GroupsFacade& g = s_.groups();
    if (!manage) {
        if (id == 1000) {
            openJoin();
        } else if (id == 1001) {
            int row = joined_->currentRow();
            auto joined = g.joinedGroups();
            if (row < 0 || row >= static_cast<int>(joined.size())) return;
            if (!ask(tr2(texts::kExitGroupQuestion))) return;
            const GroupInfo& j = joined[static_cast<size_t>(row)];
            g.leaveGroup(j.name, j.creator);
        } else if (id == 1002) {
            g.requestSync();
        } else if (id == kSendMailId) {
            sendMail();
        }
    } else {
        if (id == 1000) {
            openCreate();
        } else if (id == 1001) {
            QListWidgetItem* item = owned_->currentItem();
            if (!item || !ask(tr2(texts::kDeleteGroupQuestion))) return;
            g.deleteGroup(utf8(item->text()));
            refill();
        } else if (id == 1002) {
            QListWidgetItem* group = owned_->currentItem();
            QListWidgetItem* member = ownedMembers_->currentItem();
            if (!group || !member || !ask(tr2(texts::kRemoveMemberQuestion))) return;
            g.removeMember(utf8(group->text()), utf8(member->text()));
            refill();
        }
    }
    pump_.kick();
}

}  // namespace orv
