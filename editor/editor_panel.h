#pragma once
// EditorPanel: the HTML editor as its hosts place it, a row of insert buttons (picture,
// table, horizontal line) over the CHtmlEditor. Made on demand: each editor is a browser page.
#include <QWidget>

#include <functional>

#include "core/core_tables.h"
#include "core/text.h"
#include "editor/html_editor.h"

class QToolButton;

namespace orv {

class EditorPanel : public QWidget {
    Q_OBJECT
  public:
    EditorPanel(const CoreTables& tables, UiLanguage lang, QWidget* parent = nullptr);

    CHtmlEditor* editor() const { return editor_; }
    // Design mode with the insert buttons, or a page only shown.
    void setEditable(bool editable);

    // The picture chooser; tests answer it directly.
    std::function<QString()> choosePicture;
    // Inserts the chosen picture, if any.
    void insertPicture();

    QToolButton* pictureButton() const { return picture_; }

  private:
    CHtmlEditor* editor_;
    QWidget* tools_;
    QToolButton *picture_, *table_, *line_;
};

}  // namespace orv
