#pragma once
// Small pieces the account and settings dialogs share: texts in the session's language, the
// notices they show, and the busy look while a directory exchange runs.
#include <QDialog>
#include <QHBoxLayout>
#include <QList>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <string_view>

#include "core/text.h"

namespace orv {

inline QString qtext(std::string_view s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
inline QString qtext(UiLanguage lang, TextPair t) {
    return qtext(pick(lang, t));
}

// A plain message box with an OK button. It is opened without a nested event loop: the caller
// continues at once and the box closes itself when dismissed.
QMessageBox* showNotice(QWidget* parent, const QString& text);

// A menu caption used as a window title: without its accelerator mark ("保存到(&S)..." gives
// "保存到...", "&Save to..." gives "Save to...").
QString captionAsTitle(QString caption);

// The OK and Cancel row of a dialog: `leading` (if any) at the left, the two buttons at the
// right, OK the default, wired to accept and reject.
struct OkCancelRow {
    QHBoxLayout* layout;
    QPushButton* ok;
    QPushButton* cancel;
};
OkCancelRow makeOkCancelRow(QDialog* dialog, const QString& ok, const QString& cancel,
                            QWidget* leading = nullptr);

// Disables the given widgets (remembering which were enabled) and shows the wait cursor on
// `owner`, or restores both.
class BusyLook {
  public:
    void set(QWidget* owner, const QList<QWidget*>& widgets, bool busy);
    bool busy() const { return busy_; }

  private:
    QList<QPointer<QWidget>> disabled_;
    bool busy_ = false;
};

}  // namespace orv
