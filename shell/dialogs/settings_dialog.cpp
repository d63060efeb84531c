#include "shell/dialogs/settings_dialog.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"
#include "shell/dialogs/dialog_values.h"

namespace orv {

namespace {
QComboBox* editableCombo(QWidget* parent, const QStringList& items, const QString& current) {
    auto* box = new QComboBox(parent);
    box->setEditable(true);
    box->addItems(items);
    box->setCurrentText(current);
    return box;
}
}  // namespace

SettingsDialog::SettingsDialog(CoreTables& tables, UiLanguage lang, QWidget* parent)
    : QDialog(parent), tables_(tables), lang_(lang) {
    setWindowTitle(qtext(lang, texts::kSettingsTitle));
    const SettingsFields f = loadSettingsFields(tables);
    tabs_ = new QTabWidget(this);

    auto* general = new QWidget;
    folder_ = new QLineEdit(qtext(f.receiveFolder), general);
    browse_ = new QPushButton(qtext(lang, texts::kBrowse), general);
    sendPer_ = new QLineEdit(qtext(f.maxSendPerTransfer), general);
    recvPer_ = new QLineEdit(qtext(f.maxRecvPerTransfer), general);
    autoReceive_ = new QLineEdit(qtext(f.autoReceiveMB), general);
    notify_ = new QCheckBox(qtext(lang, texts::kNotifyNewMail), general);
    notify_->setChecked(f.notifyNewMail);
    homePage_ = new QLineEdit(qtext(f.homePage), general);
    homePage_->setPlaceholderText(qtext(lang, texts::kHomePageNone));
    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folder_, 1);
    folderRow->addWidget(browse_);
    auto* generalForm = new QFormLayout(general);
    generalForm->addRow(qtext(lang, texts::kReceiveFolder), folderRow);
    generalForm->addRow(qtext(lang, texts::kMaxSendPerTransfer), sendPer_);
    generalForm->addRow(qtext(lang, texts::kMaxRecvPerTransfer), recvPer_);
    generalForm->addRow(qtext(lang, texts::kAutoReceive), autoReceive_);
    generalForm->addRow(notify_);
    generalForm->addRow(qtext(lang, texts::kHomePage), homePage_);

    auto* network = new QWidget;
    sendTotal_ = new QLineEdit(qtext(f.maxSendTotal), network);
    recvTotal_ = new QLineEdit(qtext(f.maxRecvTotal), network);
    useFixed_ = new QCheckBox(qtext(lang, texts::kUseFixedAddress), network);
    useFixed_->setChecked(f.useFixedAddress);
    fixed_ = new QLineEdit(qtext(f.fixedAddress), network);
    fixed_->setEnabled(f.useFixedAddress);
    auto* networkForm = new QFormLayout(network);
    networkForm->addRow(qtext(lang, texts::kMaxSendTotal), sendTotal_);
    networkForm->addRow(qtext(lang, texts::kMaxRecvTotal), recvTotal_);
    networkForm->addRow(useFixed_);
    networkForm->addRow(qtext(lang, texts::kFixedAddress), fixed_);
    // The address only means something while the switch is on.
    connect(useFixed_, &QCheckBox::toggled, fixed_, &QWidget::setEnabled);

    auto* edit = new QWidget;
    font_ = editableCombo(edit, QFontDatabase::families(), qtext(f.editorFont));
    QStringList sizes;
    for (int s : {8, 9, 10, 11, 12, 14, 16, 18, 20, 22, 24, 26, 28, 36, 48, 72})
        sizes << QString::number(s);
    fontSize_ = editableCombo(edit, sizes, qtext(f.editorFontSize));
    auto* editForm = new QFormLayout(edit);
    editForm->addRow(qtext(lang, texts::kEditorFont), font_);
    editForm->addRow(qtext(lang, texts::kEditorFontSize), fontSize_);

    tabs_->addTab(general, qtext(lang, texts::kTabGeneral));
    tabs_->addTab(network, qtext(lang, texts::kTabNetwork));
    tabs_->addTab(edit, qtext(lang, texts::kTabEdit));
    tabs_->setCurrentIndex(0);

    const OkCancelRow row =
        makeOkCancelRow(this, qtext(lang, texts::kOkAccel), qtext(lang, texts::kCancelAccel));
    ok_ = row.ok;
    cancel_ = row.cancel;
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(tabs_);
    layout->addLayout(row.layout);
    connect(browse_, &QPushButton::clicked, this, [this] { browseForFolder(); });
}

void SettingsDialog::accept() {
    SettingsFields f;
    f.receiveFolder = folder_->text().toStdString();
    f.maxSendPerTransfer = sendPer_->text().toStdString();
    f.maxRecvPerTransfer = recvPer_->text().toStdString();
    f.autoReceiveMB = autoReceive_->text().toStdString();
    f.notifyNewMail = notify_->isChecked();
    f.homePage = homePage_->text().trimmed().toStdString();
    f.maxSendTotal = sendTotal_->text().toStdString();
    f.maxRecvTotal = recvTotal_->text().toStdString();
    f.useFixedAddress = useFixed_->isChecked();
    f.fixedAddress = fixed_->text().trimmed().toStdString();
    f.editorFont = font_->currentText().toStdString();
    f.editorFontSize = fontSize_->currentText().toStdString();
    if (!storeSettingsFields(tables_, f)) {
        tabs_->setCurrentIndex(0);
        showNotice(this, qtext(lang_, texts::kEnterInteger));
        autoReceive_->setFocus();
        autoReceive_->selectAll();
        return;
    }
    QDialog::accept();
}

QFileDialog* SettingsDialog::browseForFolder() {
    if (chooser_) return chooser_;
    chooser_ = new QFileDialog(this, qtext(lang_, texts::kSelectFolder), folder_->text());
    chooser_->setAttribute(Qt::WA_DeleteOnClose);
    chooser_->setFileMode(QFileDialog::Directory);
    chooser_->setOption(QFileDialog::ShowDirsOnly);
    connect(chooser_, &QFileDialog::fileSelected, this, &SettingsDialog::folderChosen);
    chooser_->open();
    return chooser_;
}

void SettingsDialog::folderChosen(const QString& folder) {
    if (folder.isEmpty()) return;
    folder_->setText(qtext(folderWithSeparator(folder.toStdString())));
}

}  // namespace orv
