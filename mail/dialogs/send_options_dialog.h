#pragma once
// The send options of a mail being composed: one check box per option bit, two of them kept
// hidden. Opened without a nested event loop (open()).
#include <QCheckBox>
#include <QDialog>
#include <QPushButton>

#include <array>
#include <cstdint>

#include "core/text.h"
#include "mail/recipients.h"

namespace orv {

class SendOptionsDialog : public QDialog {
    Q_OBJECT
  public:
    SendOptionsDialog(uint32_t options, UiLanguage lang, QWidget* parent = nullptr);

    // Rebuilds the options from the boxes, then closes.
    void accept() override;
    // The options given, or after OK the ones rebuilt from the boxes.
    uint32_t options() const { return options_; }

    // The box of a control id (1080..1086), or nullptr.
    QCheckBox* box(int controlId) const;
    QPushButton* okButton() const { return ok_; }
    QPushButton* cancelButton() const { return cancel_; }

  private:
    uint32_t options_;
    std::array<QCheckBox*, kSendOptionCount> boxes_{};
    QPushButton *ok_, *cancel_;
};

}  // namespace orv
