#include "editor/editor_panel.h"

#include <QFileDialog>
#include <QHBoxLayout>
#include <QToolButton>
#include <QVBoxLayout>

#include "qtkit/dialog_texts.h"
#include "qtkit/notice.h"

namespace orv {

namespace {
constexpr TextPair kPicture{"Picture...", "插入图片..."};
constexpr TextPair kTable{"Table (Ctrl+T)", "表格 (Ctrl+T)"};
constexpr TextPair kLine{"Line (Ctrl+H)", "水平线 (Ctrl+H)"};
constexpr TextPair kPictures{"Pictures (*.png *.jpg *.jpeg *.gif *.bmp *.webp *.svg *.ico)",
                             "图片 (*.png *.jpg *.jpeg *.gif *.bmp *.webp *.svg *.ico)"};
}  // namespace

EditorPanel::EditorPanel(const CoreTables& tables, UiLanguage lang, QWidget* parent)
    : QWidget(parent) {
    editor_ = new CHtmlEditor(tables, lang, this);
    tools_ = new QWidget(this);
    auto* row = new QHBoxLayout(tools_);
    row->setContentsMargins(0, 0, 0, 0);
    auto button = [&](TextPair text) {
        auto* b = new QToolButton(tools_);
        b->setText(qtext(lang, text));
        b->setAutoRaise(true);
        b->setFocusPolicy(Qt::NoFocus);
        row->addWidget(b);
        return b;
    };
    picture_ = button(kPicture);
    table_ = button(kTable);
    line_ = button(kLine);
    row->addStretch(1);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(tools_);
    layout->addWidget(editor_, 1);

    choosePicture = [this, lang] {
        return QFileDialog::getOpenFileName(this, qtext(lang, kPicture), QString(),
                                            qtext(lang, kPictures));
    };
    connect(picture_, &QToolButton::clicked, this, &EditorPanel::insertPicture);
    connect(table_, &QToolButton::clicked, this, [this] { editor_->insertTable(2, 2); });
    connect(line_, &QToolButton::clicked, this, [this] { editor_->insertHorizontalLine(); });
}

void EditorPanel::setEditable(bool editable) {
    editor_->setEditable(editable);
    tools_->setVisible(editable);
}

void EditorPanel::insertPicture() {
    const QString path = choosePicture ? choosePicture() : QString();
    if (path.isEmpty() || !isPictureFile(path)) return;
    editor_->insertImage(path.toStdString());
    editor_->setFocus();
}

}  // namespace orv
