#pragma once
// Completion of the To field: while the user types at the end of the address line, the member
// names that contain "/" + the entry being typed are offered in a small list under the caret.
// The list is a child of the field's window, so showing it never takes the focus from the
// field; Up and Down move into it, Enter or a double click takes a name.
#include <QLineEdit>
#include <QListWidget>
#include <QObject>
#include <QPointer>
#include <QString>

#include "core/core_tables.h"

namespace orv {

class ToCompleter : public QObject {
    Q_OBJECT
  public:
    // At most this many rows are visible at once; rows are at least kMinRowHeight high.
    static constexpr int kMaxVisibleRows = 8;
    static constexpr int kMinRowHeight = 16;

    // Watches field; the completer belongs to the field unless parent says otherwise.
    ToCompleter(QLineEdit* field, const CoreTables& tables, QObject* parent = nullptr);
    ~ToCompleter() override;

    bool popupVisible() const;
    QListWidget* popup() const { return popup_; }
    // Puts name in place of the entry being typed, followed by ",", and hides the list.
    void choose(const QString& name);
    void hidePopup();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void textEdited(const QString& now);
    void showMatches(const QStringList& names);
    void moveSelection(int step);
    void hideIfFocusLeft();

    QPointer<QLineEdit> field_;
    const CoreTables& tables_;
    QPointer<QListWidget> popup_;
    QString known_;  // the field's text as last seen, to tell typing at the end from editing
};

}  // namespace orv
