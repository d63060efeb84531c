#pragma once
// The users of an organisation account as a tree of name components ("org/dept/alice"), with
// check boxes; opened expanded along the user's own name, without a nested event loop.
#include <QDialog>
#include <QPushButton>
#include <QTreeWidget>

#include <string>
#include <string_view>
#include <vector>

#include "core/core_tables.h"
#include "core/text.h"

namespace orv {

class ChooseUsersDialog : public QDialog {
    Q_OBJECT
  public:
    ChooseUsersDialog(const CoreTables& tables, std::string_view user, UiLanguage lang,
                      QWidget* parent = nullptr);

    // The full name of every checked item, in tree order (a checked inner item stands for the
    // part of the organisation below it).
    std::vector<std::string> chosenNames() const;

    QTreeWidget* tree() const { return tree_; }
    // The item of a full name (ignoring case), or nullptr.
    QTreeWidgetItem* itemFor(std::string_view fullName) const;
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

  private:
    QTreeWidget* tree_;
    QPushButton *ok_, *cancel_;
};

}  // namespace orv
