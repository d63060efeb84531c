#pragma once
// Picking recipients from the contacts and joined groups, and editing the contacts. Both edit
// the session's tables directly and are opened without a nested event loop (open()).
#include <QDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QString>

#include "core/core_tables.h"
#include "core/text.h"

namespace orv {

// The contacts: a name field with add and delete over the current list.
class ContactEditorDialog : public QDialog {
    Q_OBJECT
  public:
    ContactEditorDialog(CoreTables& tables, UiLanguage lang, QWidget* parent = nullptr);

    // Adds the typed name to the contacts; a blank or known name changes nothing.
    void addTyped();
    // Removes the selected contact, or the typed one when none is selected.
    void removeSelected();

    QLineEdit* nameEdit() const { return name_; }
    QListWidget* contactList() const { return list_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* deleteButton() const { return delete_; }
    QPushButton* exitButton() const { return exit_; }

  private:
    void refresh();
    CoreTables& tables_;
    QLineEdit* name_;
    QListWidget* list_;
    QPushButton *add_, *delete_, *exit_;
};

// Contacts and groups on the left, the To field's recipients on the right.
class RecipientChooserDialog : public QDialog {
    Q_OBJECT
  public:
    RecipientChooserDialog(CoreTables& tables, const QString& toText, UiLanguage lang,
                           QWidget* parent = nullptr);

    // The recipients joined with ",", the new To text once the dialog was accepted.
    QString toText() const;

    // Copies the selected candidates to the recipients, each recipient once (ignoring case).
    void addSelected();
    // Drops the selected recipients.
    void removeSelected();
    // Opens the contact editor; the candidates are reloaded when it closes.
    void editContacts();

    QListWidget* candidateList() const { return candidates_; }
    QListWidget* recipientList() const { return recipients_; }
    QPushButton* addButton() const { return add_; }
    QPushButton* removeButton() const { return remove_; }
    QPushButton* editContactsButton() const { return edit_; }
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }
    // The open contact editor, or nullptr.
    ContactEditorDialog* contactEditor() const { return editor_; }

  private:
    void reloadCandidates();
    CoreTables& tables_;
    UiLanguage lang_;
    QListWidget *candidates_, *recipients_;
    QPushButton *add_, *remove_, *edit_, *ok_, *cancel_;
    QPointer<ContactEditorDialog> editor_;
};

}  // namespace orv
