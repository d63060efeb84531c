#include "mail/dialogs/choose_users_dialog.h"

#include <QHBoxLayout>
#include <QTreeWidgetItemIterator>
#include <QVBoxLayout>

#include "mail/dialogs/mail_dialog_texts.h"
#include "mail/recipients.h"
#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

namespace {

constexpr int kFullNameRole = Qt::UserRole;

void addChildren(QTreeWidgetItem* parent, QTreeWidget* tree, const UserTreeNode& node) {
    for (const UserTreeNode& c : node.children) {
        auto* item = parent ? new QTreeWidgetItem(parent) : new QTreeWidgetItem(tree);
        item->setText(0, qtext(c.component));
        item->setData(0, kFullNameRole, qtext(c.fullName));
        item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
        item->setCheckState(0, Qt::Unchecked);
        addChildren(item, tree, c);
        if (c.onOwnPath && !c.children.empty()) item->setExpanded(true);
    }
}

}  // namespace

ChooseUsersDialog::ChooseUsersDialog(const CoreTables& tables, std::string_view user,
                                     UiLanguage lang, QWidget* parent)
    : QDialog(parent) {
    setWindowTitle(qtext(lang, mailtexts::kChooseUsersTitle));
    tree_ = new QTreeWidget(this);
    tree_->setHeaderHidden(true);
    tree_->setColumnCount(1);
    addChildren(nullptr, tree_, buildUserTree(tables, user));

    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOk), qtext(lang, texts::kCancel));
    ok_ = row.ok;
    cancel_ = row.cancel;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tree_, 1);
    layout->addLayout(row.layout);
}

std::vector<std::string> ChooseUsersDialog::chosenNames() const {
    std::vector<std::string> out;
    for (QTreeWidgetItemIterator it(tree_); *it; ++it) {
        if ((*it)->checkState(0) == Qt::Checked)
            out.push_back((*it)->data(0, kFullNameRole).toString().toStdString());
    }
    return out;
}

QTreeWidgetItem* ChooseUsersDialog::itemFor(std::string_view fullName) const {
    const QString wanted = qtext(fullName);
    for (QTreeWidgetItemIterator it(tree_); *it; ++it) {
        if ((*it)->data(0, kFullNameRole).toString().compare(wanted, Qt::CaseInsensitive) == 0)
            return *it;
    }
    return nullptr;
}

}  // namespace orv
