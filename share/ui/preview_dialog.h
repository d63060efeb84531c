#pragma once
// The share view's Preview command asks which media player plays the preview: the program is
// typed or chosen from the disk (and remembered), or taken from the desktop's default
// application for the file's type.
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QString>

#include <functional>

#include "session/client_session.h"

namespace orv {

class PreviewDialog : public QDialog {
  public:
    PreviewDialog(ClientSession& session, const QString& fileName, QWidget* parent = nullptr);

    // The player chosen when the dialog was accepted; empty when none could be found.
    QString program() const { return program_; }
    QLineEdit* edit() const { return edit_; }
    QPushButton* chooseButton() const { return choose_; }
    QPushButton* openButton() const { return open_; }
    QPushButton* autoButton() const { return auto_; }
    QPushButton* cancelButton() const { return cancel_; }

    // Replaceable by tests: the program picker (empty when cancelled), and the desktop's
    // default program for a file name, reported through done (empty when there is none).
    std::function<QString()> pickProgram;
    std::function<void(const QString& fileName, std::function<void(const QString&)> done)>
        lookupDefault;

  private:
    void openChosen();
    void autoSelect();

    ClientSession& s_;
    QString fileName_;
    QString program_;
    QLineEdit* edit_;
    QPushButton* choose_;
    QPushButton* open_;
    QPushButton* auto_;
    QPushButton* cancel_;
};

// The program of a desktop entry's Exec line: its first word, quotes removed; empty when the
// entry has none.
QString desktopExecProgram(const QString& desktopEntry);
// The desktop's default application for the file's MIME type (`xdg-mime query default`), as
// the program its desktop entry runs (a full path when it is found on PATH). Runs without
// blocking: done is called later with the program, empty when the name has no extension or
// nothing is registered. owner ends the lookup when it goes.
void lookupDefaultPlayer(QObject* owner, const QString& fileName,
                         std::function<void(const QString&)> done);

}  // namespace orv
