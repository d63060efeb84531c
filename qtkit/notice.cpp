#include "qtkit/notice.h"

#include <QRegularExpression>

namespace orv {

QString captionAsTitle(QString caption) {
    caption.remove(QRegularExpression(QStringLiteral("\\(&.\\)|&")));
    return caption;
}

QMessageBox* showNotice(QWidget* parent, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::NoIcon, QStringLiteral("Orvantel"), text,
                                QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setObjectName(QStringLiteral("orvNotice"));
    box->open();
    return box;
}

OkCancelRow makeOkCancelRow(QDialog* dialog, const QString& ok, const QString& cancel,
                            QWidget* leading) {
    OkCancelRow row{new QHBoxLayout, new QPushButton(ok, dialog), new QPushButton(cancel, dialog)};
    row.ok->setDefault(true);
    if (leading) row.layout->addWidget(leading);
    row.layout->addStretch();
    row.layout->addWidget(row.ok);
    row.layout->addWidget(row.cancel);
    QObject::connect(row.ok, &QPushButton::clicked, dialog, &QDialog::accept);
    QObject::connect(row.cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return row;
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
