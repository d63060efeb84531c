#include "shell/dialogs/settings_dialog.h"

#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QRegularExpression>
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
    throughRelay_ = new QCheckBox(qtext(lang, texts::kReachThroughRelay), network);
    throughRelay_->setChecked(f.reachThroughRelay);
    throughRelay_->setToolTip(qtext(lang, texts::kReachThroughRelayHint));
    networkForm->addRow(throughRelay_);
    // The address only means something while the switch is on.
    connect(useFixed_, &QCheckBox::toggled, fixed_, &QWidget::setEnabled);

    auto* edit = new QWidget;
    QStringList families = QFontDatabase::families();
    families.sort();
    families.removeDuplicates();
    font_ = editableCombo(edit, families, qtext(f.editorFont));
    QStringList sizes;
    for (int s : {8, 10, 12, 14, 18, 24, 36})
        sizes << QString::number(s);
    fontSize_ = editableCombo(edit, sizes, qtext(f.editorFontSize));
    sample_ = new QPlainTextEdit("This is a Sample Text\nhttp://www.orvantel.com", edit);
    sample_->setReadOnly(true);
    sample_->setFixedHeight(90);
    auto* fontGroup = new QGroupBox(qtext(lang, {"Editor font", "编辑器字体设置"}), edit);
    auto* editForm = new QFormLayout(fontGroup);
    editForm->addRow(qtext(lang, texts::kEditorFont), font_);
    editForm->addRow(qtext(lang, texts::kEditorFontSize), fontSize_);
    editForm->addRow(qtext(lang, {"Sample:", "示例："}), sample_);
    signature_ = new QPushButton(qtext(lang, {"Signature Settings...", "签名设置"}), edit);
    auto* signatureGroup = new QGroupBox(qtext(lang, {"Signature", "签名"}), edit);
    (new QHBoxLayout(signatureGroup))->addWidget(signature_, 0, Qt::AlignLeft);
    auto* editPage = new QVBoxLayout(edit);
    editPage->addWidget(fontGroup);
    editPage->addWidget(signatureGroup);
    editPage->addStretch(1);
    // The sample shows the face at the size's number of pixels (24 without a number).
    auto redraw = [this] {
        QFont font(font_->currentText());
        const QString size = fontSize_->currentText();
        static const QRegularExpression number("[0-9]+");
        const QRegularExpressionMatch m = number.match(size);
        font.setPixelSize(m.hasMatch() && m.captured().toInt() > 0 ? m.captured().toInt() : 24);
        font.setWeight(QFont::Normal);
        sample_->setFont(font);
    };
    connect(font_, &QComboBox::currentTextChanged, this, redraw);
    connect(fontSize_, &QComboBox::currentTextChanged, this, redraw);
    redraw();
    connect(signature_, &QPushButton::clicked, this, [this] {
        if (editSignature) editSignature(this);
    });

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
    f.reachThroughRelay = throughRelay_->isChecked();
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
