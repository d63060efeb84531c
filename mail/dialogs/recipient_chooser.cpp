#include "mail/dialogs/recipient_chooser.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include <vector>

#include "mail/dialogs/mail_dialog_texts.h"
#include "mail/recipients.h"
#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

namespace {

void fillList(QListWidget* list, const std::vector<std::string>& names) {
    list->clear();
    for (const auto& n : names)
        list->addItem(qtext(n));
}

}  // namespace

ContactEditorDialog::ContactEditorDialog(CoreTables& tables, UiLanguage lang, QWidget* parent)
    : QDialog(parent), tables_(tables) {
    setWindowTitle(qtext(lang, mailtexts::kEditorTitle));
    name_ = new QLineEdit(this);
    add_ = new QPushButton(qtext(lang, mailtexts::kAdd), this);
    delete_ = new QPushButton(qtext(lang, mailtexts::kDelete), this);
    list_ = new QListWidget(this);
    exit_ = new QPushButton(qtext(lang, mailtexts::kExit), this);
    add_->setDefault(true);

    auto* top = new QHBoxLayout;
    top->addWidget(name_, 1);
    top->addWidget(add_);
    top->addWidget(delete_);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(exit_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(new QLabel(qtext(lang, mailtexts::kCurrentContacts), this));
    layout->addWidget(list_, 1);
    layout->addLayout(bottom);

    connect(add_, &QPushButton::clicked, this, &ContactEditorDialog::addTyped);
    connect(name_, &QLineEdit::returnPressed, this, &ContactEditorDialog::addTyped);
    connect(delete_, &QPushButton::clicked, this, &ContactEditorDialog::removeSelected);
    connect(exit_, &QPushButton::clicked, this, &QDialog::accept);
    refresh();
}

void ContactEditorDialog::addTyped() {
    if (addContact(tables_, name_->text().toStdString())) {
        name_->clear();
        refresh();
    }
    name_->setFocus();
}

void ContactEditorDialog::removeSelected() {
    QString name = name_->text();
    if (QListWidgetItem* item = list_->currentItem(); item && item->isSelected())
        name = item->text();
    if (removeContact(tables_, name.toStdString())) refresh();
}

void ContactEditorDialog::refresh() {
    fillList(list_, tables_.contacts.toVector());
}

RecipientChooserDialog::RecipientChooserDialog(CoreTables& tables, const QString& toText,
                                               UiLanguage lang, QWidget* parent)
    : QDialog(parent), tables_(tables), lang_(lang) {
    setWindowTitle(qtext(lang, mailtexts::kChooserTitle));
    candidates_ = new QListWidget(this);
    candidates_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    recipients_ = new QListWidget(this);
    recipients_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    add_ = new QPushButton(QStringLiteral(">>"), this);
    remove_ = new QPushButton(QStringLiteral("<<"), this);
    edit_ = new QPushButton(qtext(lang, mailtexts::kEditContacts), this);
    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOk), qtext(lang, texts::kCancel), edit_);
    ok_ = row.ok;
    cancel_ = row.cancel;

    auto* middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(add_);
    middle->addWidget(remove_);
    middle->addStretch();
    auto* grid = new QGridLayout;
    grid->addWidget(new QLabel(qtext(lang, mailtexts::kContactList), this), 0, 0);
    grid->addWidget(new QLabel(qtext(lang, mailtexts::kRecipientList), this), 0, 2);
    grid->addWidget(candidates_, 1, 0);
    grid->addLayout(middle, 1, 1);
    grid->addWidget(recipients_, 1, 2);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid, 1);
    layout->addLayout(row.layout);

    reloadCandidates();
    fillList(recipients_, chooserRecipients(toText.toStdString()));

    connect(add_, &QPushButton::clicked, this, &RecipientChooserDialog::addSelected);
    connect(remove_, &QPushButton::clicked, this, &RecipientChooserDialog::removeSelected);
    connect(edit_, &QPushButton::clicked, this, &RecipientChooserDialog::editContacts);
    connect(candidates_, &QListWidget::itemDoubleClicked, this,
            &RecipientChooserDialog::addSelected);
    connect(recipients_, &QListWidget::itemDoubleClicked, this,
            &RecipientChooserDialog::removeSelected);
}

QString RecipientChooserDialog::toText() const {
    std::vector<std::string> names;
    for (int i = 0; i < recipients_->count(); ++i)
        names.push_back(recipients_->item(i)->text().toStdString());
    return qtext(joinRecipients(names));
}

void RecipientChooserDialog::addSelected() {
    for (int i = 0; i < candidates_->count(); ++i) {
        QListWidgetItem* item = candidates_->item(i);
        if (!item->isSelected()) continue;
        bool present = false;
        for (int r = 0; r < recipients_->count() && !present; ++r)
            present = recipients_->item(r)->text().compare(item->text(), Qt::CaseInsensitive) == 0;
        if (!present) recipients_->addItem(item->text());
    }
    candidates_->clearSelection();
}

void RecipientChooserDialog::removeSelected() {
    qDeleteAll(recipients_->selectedItems());
}

void RecipientChooserDialog::editContacts() {
    if (editor_) {
        editor_->raise();
        editor_->activateWindow();
        return;
    }
    editor_ = new ContactEditorDialog(tables_, lang_, this);
    editor_->setAttribute(Qt::WA_DeleteOnClose);
    connect(editor_, &QDialog::finished, this, [this] { reloadCandidates(); });
    editor_->open();
}

void RecipientChooserDialog::reloadCandidates() {
    fillList(candidates_, chooserCandidates(tables_));
}

}  // namespace orv
