#include "shell/dialogs/notice.h"

namespace orv {

QMessageBox* showNotice(QWidget* parent, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Orvantel"), text,
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("orvNotice"));
    box->open();
    return box;
}

void BusyLook::set(QWidget* owner, const QList<QWidget*>& widgets, bool busy) {
    if (busy == busy_) return;
    busy_ = busy;
    if (busy) {
        disabled_.clear();
        for (QWidget* w : widgets) {
            if (w && w->isEnabled()) {
                w->setEnabled(false);
                disabled_.append(w);
            }
        }
        if (owner) owner->setCursor(Qt::WaitCursor);
    } else {
        for (const auto& w : disabled_)
            if (w) w->setEnabled(true);
        disabled_.clear();
        if (owner) owner->unsetCursor();
    }
}

}  // namespace orv
