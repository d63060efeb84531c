#pragma once
// Small pieces the account and settings dialogs share: texts in the session's language, the
// notices they show, and the busy look while a directory exchange runs.
#include <QList>
#include <QMessageBox>
#include <QPointer>
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
