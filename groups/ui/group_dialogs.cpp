#include "groups/ui/group_dialogs.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

namespace {
std::string utf8(const QString& s) {
    return s.toUtf8().toStdString();
}
QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
}  // namespace

// ---------------------------------------------------------------- group dialog

GroupDialog::GroupDialog(UiLanguage lang, bool create, QWidget* parent) : QDialog(parent) {
    setWindowTitle(qtext(lang, create ? grouptexts::kCreateTitle : grouptexts::kInfoTitle));
    name_ = new QLineEdit(this);
    name_->setObjectName("name");
    name_->setMaxLength(static_cast<int>(GroupsFacade::kMaxNameBytes));
    intro_ = new QLineEdit(this);
    intro_->setObjectName("intro");
    intro_->setMaxLength(static_cast<int>(GroupsFacade::kMaxNameBytes));
    public_ = new QCheckBox(qtext(lang, grouptexts::kPublic), this);
    public_->setChecked(true);
    auto* form = new QFormLayout;
    form->addRow(qtext(lang, grouptexts::kGroupName), name_);
    form->addRow(qtext(lang, grouptexts::kIntro), intro_);
    form->addRow(public_);
    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOk), qtext(lang, texts::kCancel));
    ok_ = row.ok;
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(row.layout);
}

void GroupDialog::setValues(const QString& name, const QString& intro, bool isPublic) {
    name_->setText(name);
    intro_->setText(intro);
    public_->setChecked(isPublic);
}

QString GroupDialog::name() const {
    return name_->text().trimmed();
}
QString GroupDialog::intro() const {
    return intro_->text();
}
bool GroupDialog::isPublic() const {
    return public_->isChecked();
}

void GroupDialog::accept() {
    if (name().isEmpty()) return;
    QDialog::accept();
}

// ---------------------------------------------------------------- find dialog

FindGroupsDialog::FindGroupsDialog(GroupsFacade& groups, UiLanguage lang, QWidget* parent)
    : QDialog(parent), groups_(groups), lang_(lang) {
    setWindowTitle(qtext(lang, grouptexts::kFindTitle));
    list_ = new QTreeWidget(this);
    list_->setRootIsDecorated(false);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setHeaderLabels({qtext(lang, grouptexts::kColName), qtext(lang, grouptexts::kColCreator),
                            qtext(lang, grouptexts::kColNumber)});
    list_->setColumnWidth(0, 110);
    list_->setColumnWidth(1, 90);
    list_->setColumnWidth(2, 80);
    intro_ = new QPlainTextEdit(this);
    intro_->setReadOnly(true);
    intro_->setMaximumHeight(80);
    status_ = new QLabel(this);
    join_ = new QPushButton(qtext(lang, grouptexts::kJoin), this);
    close_ = new QPushButton(qtext(lang, grouptexts::kClose), this);
    search_ = new QPushButton(qtext(lang, grouptexts::kSearch), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status_, 1);
    buttons->addWidget(search_);
    buttons->addWidget(join_);
    buttons->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(intro_);
    layout->addLayout(buttons);
    resize(340, 320);

    connect(list_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        int r = item ? list_->indexOfTopLevelItem(item) : -1;
        intro_->setPlainText(r >= 0 && r < static_cast<int>(found_.size())
                                 ? qs(found_[static_cast<size_t>(r)].intro)
                                 : QString());
    });
    connect(list_, &QTreeWidget::itemDoubleClicked, this, [this] { choose(); });
    connect(join_, &QPushButton::clicked, this, [this] { choose(); });
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    connect(search_, &QPushButton::clicked, this, [this] { search(); });
    search();
}

void FindGroupsDialog::search() {
    if (searching_) return;
    searching_ = true;
    search_->setEnabled(false);
    status_->setText(qtext(lang_, grouptexts::kSearching));
    setCursor(Qt::BusyCursor);
    QPointer<FindGroupsDialog> self(this);
    groups_.findPublicGroups([self](bool answered, const std::vector<PublicGroup>& found) {
        if (!self) return;
        self->searching_ = false;
        self->search_->setEnabled(true);
        self->unsetCursor();
        self->list_->clear();
        self->intro_->clear();
        self->found_ = found;
        self->status_->setText(answered ? QString() : qtext(self->lang_, texts::kFindNoAnswer));
        for (const auto& g : found)
            self->list_->addTopLevelItem(
                new QTreeWidgetItem({qs(g.name), qs(g.creator), QString::number(g.members)}));
    });
}

void FindGroupsDialog::choose() {
    QTreeWidgetItem* item = list_->currentItem();
    if (!item) return;
    group_ = item->text(0);
    creator_ = item->text(1);
    accept();
}

// ---------------------------------------------------------------- join dialog

JoinDialog::JoinDialog(GroupsFacade& groups, UiLanguage lang, QWidget* parent)
    : QDialog(parent), groups_(groups), lang_(lang) {
    setWindowTitle(qtext(lang, grouptexts::kJoinTitle));
    creator_ = new QLineEdit(this);
    creator_->setObjectName("creator");
    group_ = new QComboBox(this);
    group_->setEditable(true);
    group_->setObjectName("group");
    find_ = new QPushButton(qtext(lang, grouptexts::kFind), this);
    auto* groupRow = new QHBoxLayout;
    groupRow->addWidget(group_, 1);
    groupRow->addWidget(find_);
    auto* form = new QFormLayout;
    form->addRow(qtext(lang, grouptexts::kCreator), creator_);
    form->addRow(qtext(lang, grouptexts::kGroupToJoin), groupRow);
    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOk), qtext(lang, texts::kCancel));
    ok_ = row.ok;
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(row.layout);
    connect(find_, &QPushButton::clicked, this, [this] { openFind(); });
}

FindGroupsDialog* JoinDialog::openFind() {
    auto* d = new FindGroupsDialog(groups_, lang_, this);
    d->setAttribute(Qt::WA_DeleteOnClose);
    connect(d, &QDialog::accepted, this, [this, d] {
        creator_->setText(d->creator());
        group_->setEditText(d->group());
    });
    d->open();
    return d;
}

void JoinDialog::accept() {
    if (!groups_.join(utf8(creator_->text().trimmed()), utf8(group_->currentText().trimmed())))
        return;
    QDialog::accept();
}

}  // namespace orv
