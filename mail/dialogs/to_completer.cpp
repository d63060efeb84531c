#include "mail/dialogs/to_completer.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMetaObject>
#include <QScrollBar>

#include <algorithm>

#include "mail/recipients.h"
#include "qtkit/notice.h"

namespace orv {

namespace {

bool isModifierKey(int key) {
    return key == Qt::Key_Shift || key == Qt::Key_Control || key == Qt::Key_Alt ||
           key == Qt::Key_Meta || key == Qt::Key_AltGr || key == Qt::Key_CapsLock;
}

}  // namespace

ToCompleter::ToCompleter(QLineEdit* field, const CoreTables& tables, QObject* parent)
    : QObject(parent ? parent : field), field_(field), tables_(tables), known_(field->text()) {
    popup_ = new QListWidget(field->window());
    popup_->setObjectName(QStringLiteral("toCompletion"));
    popup_->setSelectionMode(QAbstractItemView::SingleSelection);
    popup_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    popup_->setUniformItemSizes(true);
    popup_->hide();
    popup_->installEventFilter(this);
    field->installEventFilter(this);

    connect(field, &QLineEdit::textEdited, this, &ToCompleter::textEdited);
    // Text set by the program (a pre-filled To line, a chosen name) is the new base for
    // telling whether the user typed at the end, and the offered names no longer apply.
    connect(field, &QLineEdit::textChanged, this, [this](const QString& now) {
        if (field_ && !field_->isModified()) {
            known_ = now;
            hidePopup();
        }
    });
    connect(popup_, &QListWidget::itemDoubleClicked, this,
            [this](QListWidgetItem* item) { choose(item->text()); });
}

ToCompleter::~ToCompleter() {
    if (field_) field_->removeEventFilter(this);
    delete popup_.data();
}

bool ToCompleter::popupVisible() const {
    return popup_ && popup_->isVisible();
}

void ToCompleter::textEdited(const QString& now) {
    const bool atEnd = extendsPrevious(known_.toStdString(), now.toStdString());
    known_ = now;
    if (!atEnd) {
        hidePopup();
        return;
    }
    const std::string text = now.toStdString();
    std::vector<std::string> matches = completionMatches(tables_, lastEntry(text));
    if (!showCompletion(matches.size())) {
        hidePopup();
        return;
    }
    QStringList names;
    for (const auto& m : matches)
        names << qtext(m);
    showMatches(names);
}

void ToCompleter::showMatches(const QStringList& names) {
    QWidget* window = field_->window();
    if (popup_->parentWidget() != window) {
        popup_->setParent(window);
        popup_->installEventFilter(this);
    }
    popup_->clear();
    popup_->addItems(names);
    popup_->setCurrentRow(-1);
    popup_->clearSelection();

    const int row = std::max(popup_->sizeHintForRow(0), kMinRowHeight);
    for (int i = 0; i < popup_->count(); ++i)
        popup_->item(i)->setSizeHint(QSize(popup_->sizeHintForColumn(0), row));
    const int rows = std::min<int>(static_cast<int>(names.size()), kMaxVisibleRows);
    const int frame = 2 * popup_->frameWidth();
    const int scroll =
        names.size() > kMaxVisibleRows ? popup_->verticalScrollBar()->sizeHint().width() : 0;
    const int width = std::max(popup_->sizeHintForColumn(0) + frame + scroll + 8, 120);
    const int height = rows * row + frame;

    // Under the caret, below the field's edge so the typed text stays visible, and kept
    // inside the window.
    const QRect caret = field_->inputMethodQuery(Qt::ImCursorRectangle).toRect();
    QPoint at = field_->mapTo(window, QPoint(caret.left(), field_->height()));
    at.setX(std::max(0, std::min(at.x(), window->width() - width)));
    popup_->setGeometry(at.x(), at.y(), std::min(width, std::max(window->width(), 1)), height);
    popup_->raise();
    popup_->show();
}

void ToCompleter::hidePopup() {
    if (!popup_) return;
    // The focus goes back first: hiding the focused list would pass it on as if by Tab, and
    // the field would select its whole text.
    if (field_ && QApplication::focusWidget() == popup_.data()) field_->setFocus();
    popup_->hide();
}

void ToCompleter::choose(const QString& name) {
    if (!field_) return;
    hidePopup();
    const QString text = qtext(completeToText(field_->text().toStdString(), name.toStdString()));
    field_->setText(text);
    known_ = text;
    field_->setCursorPosition(static_cast<int>(text.size()));
    field_->setFocus();
}

void ToCompleter::moveSelection(int step) {
    const int count = popup_->count();
    if (count == 0) return;
    const int now = popup_->currentRow();
    const int next = now < 0 ? 0 : std::clamp(now + step, 0, count - 1);
    popup_->setCurrentRow(next);
    popup_->scrollToItem(popup_->item(next));
    popup_->setFocus();
}

void ToCompleter::hideIfFocusLeft() {
    QWidget* f = QApplication::focusWidget();
    if (f != field_.data() && f != popup_.data()) hidePopup();
}

bool ToCompleter::eventFilter(QObject* watched, QEvent* event) {
    if (!popupVisible()) return QObject::eventFilter(watched, event);
    const bool inField = watched == field_.data();
    const bool inPopup = watched == popup_.data();
    if (!inField && !inPopup) return QObject::eventFilter(watched, event);

    if (event->type() == QEvent::FocusOut) {
        // The focus has not settled yet; look once the change is complete.
        QMetaObject::invokeMethod(this, &ToCompleter::hideIfFocusLeft, Qt::QueuedConnection);
        return false;
    }
    if (event->type() != QEvent::KeyPress) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (isModifierKey(key->key())) return false;
    if (key->key() == Qt::Key_Up || key->key() == Qt::Key_Down) {
        moveSelection(key->key() == Qt::Key_Up ? -1 : 1);
        return true;
    }
    if (inPopup && (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
        if (QListWidgetItem* item = popup_->currentItem()) choose(item->text());
        return true;
    }
    hidePopup();
    if (inField) return false;  // the field handles the key as usual
    // A key typed in the list goes on to the field; Escape only closes the list.
    if (key->key() != Qt::Key_Escape) {
        QKeyEvent copy(key->type(), key->key(), key->modifiers(), key->text(), key->isAutoRepeat(),
                       static_cast<ushort>(key->count()));
        QApplication::sendEvent(field_.data(), &copy);
    }
    return true;
}

}  // namespace orv
