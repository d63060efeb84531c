#pragma once
// The three-tab settings dialog: General (received files, per-transfer rates, automatic
// receive, new-mail notice), Network (overall rates, fixed address) and Edit (editor font and
// the signature button).
// Reads the settings when opened and stores them on OK; Cancel changes nothing.
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabWidget>

#include <functional>

#include "core/core_tables.h"
#include "core/text.h"

namespace orv {

class SettingsDialog : public QDialog {
    Q_OBJECT
  public:
    SettingsDialog(CoreTables& tables, UiLanguage lang, QWidget* parent = nullptr);

    // Stores every field; an automatic-receive size that is not a whole number keeps the
    // dialog open with a notice.
    void accept() override;

    // Opens the folder chooser; a choice replaces the folder field (ending in "/").
    QFileDialog* browseForFolder();
    // What the chooser does with a chosen folder.
    void folderChosen(const QString& folder);

    QTabWidget* tabs() const { return tabs_; }
    // General
    QLineEdit* receiveFolderEdit() const { return folder_; }
    QPushButton* browseButton() const { return browse_; }
    QLineEdit* maxSendPerTransferEdit() const { return sendPer_; }
    QLineEdit* maxRecvPerTransferEdit() const { return recvPer_; }
    QLineEdit* autoReceiveEdit() const { return autoReceive_; }
    QCheckBox* notifyNewMailBox() const { return notify_; }
    QLineEdit* homePageEdit() const { return homePage_; }
    // Network
    QLineEdit* maxSendTotalEdit() const { return sendTotal_; }
    QLineEdit* maxRecvTotalEdit() const { return recvTotal_; }
    QCheckBox* useFixedAddressBox() const { return useFixed_; }
    QLineEdit* fixedAddressEdit() const { return fixed_; }
    QCheckBox* reachThroughRelayBox() const { return throughRelay_; }
    // Edit
    QComboBox* editorFontBox() const { return font_; }
    QComboBox* editorFontSizeBox() const { return fontSize_; }
    QPlainTextEdit* fontSample() const { return sample_; }
    QPushButton* signatureButton() const { return signature_; }
    // The signature button opens the mail signature dialog over this one.
    std::function<void(QWidget* parent)> editSignature;

    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

  private:
    CoreTables& tables_;
    UiLanguage lang_;
    QTabWidget* tabs_;
    QLineEdit *folder_, *sendPer_, *recvPer_, *autoReceive_, *sendTotal_, *recvTotal_, *fixed_,
        *homePage_;
    QCheckBox *notify_, *useFixed_, *throughRelay_;
    QComboBox *font_, *fontSize_;
    QPlainTextEdit* sample_;
    QPushButton* signature_;
    QPushButton *browse_, *ok_, *cancel_;
    QPointer<QFileDialog> chooser_;
};

}  // namespace orv
