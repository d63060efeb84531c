#include "mail/dialogs/send_options_dialog.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "mail/dialogs/mail_dialog_texts.h"
#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

SendOptionsDialog::SendOptionsDialog(uint32_t options, UiLanguage lang, QWidget* parent)
    : QDialog(parent), options_(options) {
    setWindowTitle(qtext(lang, mailtexts::kOptionsTitle));
    auto* group = new QGroupBox(qtext(lang, mailtexts::kMailType), this);
    auto* boxes = new QVBoxLayout(group);
    for (size_t i = 0; i < boxes_.size(); ++i) {
        const SendOptionBox& b = kSendOptionBoxes[i];
        auto* box = new QCheckBox(qtext(lang, b.label), group);
        box->setObjectName(QString::number(b.controlId));
        box->setChecked((options & b.bit) != 0);
        boxes->addWidget(box);
        // Hidden boxes still carry their bit through the round trip.
        if (b.hidden) box->hide();
        boxes_[i] = box;
    }

    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOk), qtext(lang, texts::kCancel));
    ok_ = row.ok;
    cancel_ = row.cancel;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(row.layout);
}

void SendOptionsDialog::accept() {
    bool checked[kSendOptionCount];
    for (size_t i = 0; i < boxes_.size(); ++i)
        checked[i] = boxes_[i]->isChecked();
    options_ = rebuildOptions(options_, checked);
    QDialog::accept();
}

QCheckBox* SendOptionsDialog::box(int controlId) const {
    for (size_t i = 0; i < boxes_.size(); ++i)
        if (kSendOptionBoxes[i].controlId == controlId) return boxes_[i];
    return nullptr;
}

}  // namespace orv
