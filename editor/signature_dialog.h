#pragma once
// The mail signature dialog: whether outgoing mails carry the signature (settings number 69)
// and the signature itself, written in the HTML editor and kept as a page of the mail store
// whose path is settings string 10.
#include <QDialog>

#include "core/core_tables.h"
#include "core/text.h"

class QCheckBox;
class QPushButton;

namespace orv {

class EditorPanel;

class SignatureDialog : public QDialog {
    Q_OBJECT
  public:
    SignatureDialog(CoreTables& tables, UiLanguage lang, QWidget* parent = nullptr);

    // Saves the signature page with its pictures (by full path), removes the previous page
    // when it lies in the mail store, stores both settings and closes. Saving goes through
    // the engine, so the dialog closes once the page is written.
    void accept() override;

    QCheckBox* addSignatureBox() const { return add_; }
    EditorPanel* panel() const { return panel_; }
    QPushButton* okButton() const { return ok_; }

  Q_SIGNALS:
    // The page was saved (empty: it could not be written and nothing changed).
    void saved(const QString& path);

  private:
    CoreTables& tables_;
    QCheckBox* add_;
    EditorPanel* panel_;
    QPushButton* ok_;
    bool saving_ = false;
};

}  // namespace orv
