#include "editor/signature_dialog.h"

#include <QCheckBox>
#include <QVBoxLayout>

#include <filesystem>

#include "editor/editor_panel.h"
#include "mail/mail_files.h"
#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

namespace {
constexpr TextPair kTitle{"Mail Signature", "邮件签名"};
constexpr TextPair kAddSignature{"Add the signature to all outgoing mails",
                                 "在所有待发邮件中添加签名"};
}  // namespace

SignatureDialog::SignatureDialog(CoreTables& tables, UiLanguage lang, QWidget* parent)
    : QDialog(parent), tables_(tables) {
    setWindowTitle(qtext(lang, kTitle));
    add_ = new QCheckBox(qtext(lang, kAddSignature), this);
    add_->setChecked(tables.settingNumber(Setting::AddSignature) != 0);
    panel_ = new EditorPanel(tables, lang, this);
    panel_->setEnabled(add_->isChecked());
    connect(add_, &QCheckBox::toggled, panel_, &QWidget::setEnabled);
    const std::string current = tables.settingString(SettingString::SignatureFile);
    if (!current.empty()) panel_->editor()->loadFile(current, {}, {});

    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOk), qtext(lang, texts::kCancel));
    ok_ = row.ok;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(add_);
    layout->addWidget(panel_, 1);
    layout->addLayout(row.layout);
    resize(560, 400);
}

void SignatureDialog::accept() {
    if (saving_) return;
    saving_ = true;
    ok_->setEnabled(false);
    tables_.setSettingNumber(Setting::AddSignature, add_->isChecked() ? 1 : 0);
    panel_->editor()->saveWithImages(true, false, [this](std::vector<std::string> files) {
        saving_ = false;
        ok_->setEnabled(true);
        if (files.empty()) {
            Q_EMIT saved(QString());
            return;
        }
        const std::string previous = tables_.settingString(SettingString::SignatureFile);
        if (!previous.empty() && previous != files.front() &&
            isInsideFolder(normalPath(previous), tables_.mailStoreFolder())) {
            std::error_code ec;
            std::filesystem::remove(previous, ec);
        }
        tables_.setSettingString(SettingString::SignatureFile, files.front());
        tables_.noteChange();
        Q_EMIT saved(QString::fromStdString(files.front()));
        QDialog::accept();
    });
}

}  // namespace orv
