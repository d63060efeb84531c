#include "shell/dialogs/server_settings_dialog.h"

#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"
#include "session/startup.h"
#include "shell/dialogs/dialog_values.h"

namespace orv {

ServerSettingsDialog::ServerSettingsDialog(ClientSession& session, SessionPump& pump,
                                           QWidget* parent)
    : QDialog(parent), session_(session) {
    UiLanguage lang = session.state().language;
    CoreTables& t = session.tables();
    setWindowTitle(qtext(lang, texts::kSettingsTitle));

    auto* group = new QGroupBox(qtext(lang, texts::kServerGroup), this);
    host_ = new QLineEdit(qtext(t.settingString(SettingString::ServerHost)), group);
    port_ = new QLineEdit(qtext(portFieldText(t.settingNumber(Setting::ServerPort))), group);
    auto* form = new QFormLayout(group);
    form->addRow(qtext(lang, texts::kServerHost), host_);
    form->addRow(qtext(lang, texts::kServerPort), port_);

    changePassword_ = new QPushButton(qtext(lang, texts::kChangePassword), this);
    const OkCancelRow row = makeOkCancelRow(this, qtext(lang, texts::kOk),
                                            qtext(lang, texts::kCancel), changePassword_);
    ok_ = row.ok;
    cancel_ = row.cancel;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(group);
    layout->addLayout(row.layout);

    prompts_ = new ChangePasswordPrompts(session, pump, this);
    connect(changePassword_, &QPushButton::clicked, prompts_, &ChangePasswordPrompts::start);
    // While the change runs the dialog stays open but cannot be left.
    connect(prompts_, &ChangePasswordPrompts::busyChanged, this, [this](bool busy) {
        ok_->setEnabled(!busy);
        cancel_->setEnabled(!busy);
        changePassword_->setEnabled(!busy);
    });
}

void ServerSettingsDialog::accept() {
    if (prompts_->running()) return;
    auto port = portFromField(port_->text().toStdString());
    if (!port) {
        showNotice(this, qtext(session_.state().language, texts::kEnterPort));
        port_->setFocus();
        port_->selectAll();
        return;
    }
    CoreTables& t = session_.tables();
    t.setSettingString(SettingString::ServerHost, host_->text().trimmed().toStdString());
    t.setSettingNumber(Setting::ServerPort, *port);
    session_.state().directoryServerAddress = directoryServerAddress(t);
    QDialog::accept();
}

void ServerSettingsDialog::reject() {
    if (prompts_->running()) return;
    QDialog::reject();
}

}  // namespace orv
