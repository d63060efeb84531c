#include "editor/html_editor.h"

#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>

#include <algorithm>
#include <memory>
#include <set>

#include "editor/logic/html_text.h"
#include "mail/editor_save.h"
#include "mail/mail_files.h"

namespace orv {

namespace {

// A page is handed over as one data: URL up to this size; larger ones are loaded from disk.
constexpr qsizetype kInlineLimit = 1536 * 1024;

const char* const kTemplate =
    "<HTML><HEAD><META http-equiv=MSThemeCompatible content=yes></HEAD><BODY><DIV></DIV>"
    "</BODY></HTML>";

// The editor's own script. It runs in a world of its own: the page's scripts never run, and
// nothing the page defines can reach these functions.
const char* const kEditorScript = R"JS(
if (!window.orv) window.orv = (function () {
  var fontCleanupPending = false;
  function slice(list) { return Array.prototype.slice.call(list); }
  function selectionRange() {
    var s = getSelection();
    if (!s || !s.rangeCount || !document.body) return null;
    var r = s.getRangeAt(0);
    return document.body.contains(r.commonAncestorContainer) ? r : null;
  }
  function placeCaret(node, offset) {
    var walker = document.createTreeWalker(node, NodeFilter.SHOW_TEXT), t, r = document.createRange();
    while ((t = walker.nextNode())) {
      if (offset <= t.length) { r.setStart(t, offset); break; }
      offset -= t.length;
    }
    if (!t) r.setStart(node, node.childNodes.length);
    r.collapse(true);
    getSelection().removeAllRanges();
    getSelection().addRange(r);
  }
  // Every P becomes a DIV with its content, last first; the caret stays where it was.
  function convertParagraphs() {
    var ps = slice(document.getElementsByTagName('P'));
    if (!ps.length) return 0;
    var r = selectionRange(), caretIn = -1, caretAt = 0;
    if (r) for (var i = 0; i < ps.length; ++i) if (ps[i].contains(r.startContainer)) {
      var before = document.createRange();
      before.selectNodeContents(ps[i]);
      before.setEnd(r.startContainer, r.startOffset);
      caretIn = i;
      caretAt = before.toString().length;
    }
    var divs = [];
    for (var i = ps.length - 1; i >= 0; --i) {
      var p = ps[i], h = p.innerHTML;
      if (h === '' || h.toLowerCase() === '<br>') h = '&nbsp;';
      p.insertAdjacentHTML('beforebegin', '<DIV>' + h + '</DIV>');
      divs[i] = p.previousSibling;
      p.remove();
    }
    if (caretIn >= 0) placeCaret(divs[caretIn], caretAt);
    fontCleanupPending = true;
    return ps.length;
  }
  function removeEmptyFonts() {
    var fs = slice(document.getElementsByTagName('FONT'));
    for (var i = fs.length - 1; i >= 0; --i)
      if (fs[i].innerText.replace(/[\r\n \t]/g, '') === '') fs[i].remove();
  }
  function onKeyUp(e) {
    if (document.designMode !== 'on') return;
    if (e.key === 'Enter' && convertParagraphs() > 0) return;
    if (fontCleanupPending) { fontCleanupPending = false; removeEmptyFonts(); }
  }
  function cssText(s) {
    return '"' + s.replace(/[^\x20-\x7e]|["\\]/g, function (c) {
      return '\\' + c.charCodeAt(0).toString(16).toUpperCase() + ' ';
    }) + '"';
  }
  function init(editable, face, pixels) {
    document.addEventListener('keyup', onKeyUp, true);
    document.designMode = editable ? 'on' : 'off';
    if (!editable || !document.body) return true;
    document.body.setAttribute('topMargin', '8');
    document.body.setAttribute('leftMargin', '3');
    var style = document.getElementById('orv-font');
    if (!style) {
      style = document.createElement('STYLE');
      style.id = 'orv-font';
      (document.head || document.documentElement).appendChild(style);
    }
    // Written with CSS escapes: the page leaves the editor as 7-bit text, and a character
    // reference would not be read back inside a style sheet.
    style.textContent = 'BODY { font-size: ' + pixels + 'px; font-family: ' + cssText(face) + ' }';
    return true;
  }
  function insertionRange() {
    var r = selectionRange();
    if (!r) {
      r = document.createRange();
      r.selectNodeContents(document.body);
      r.collapse(false);
    }
    return r;
  }
  function insertHtml(html) {
    if (document.designMode !== 'on' || !document.body) return false;
    var r = insertionRange();
    // A selected picture or table, or any selected text, is replaced.
    if (!r.collapsed) r.deleteContents();
    var frag = r.createContextualFragment(html), last = frag.lastChild;
    r.insertNode(frag);
    if (last) {
      r = document.createRange();
      r.setStartAfter(last);
      r.collapse(true);
      getSelection().removeAllRanges();
      getSelection().addRange(r);
    }
    return true;
  }
  function currentCell() {
    var r = selectionRange();
    if (!r) return { result: 'none' };
    var e = r.commonAncestorContainer;
    if (e.nodeType !== 1) e = e.parentElement;
    var tag = e.tagName;
    if (tag === 'TR' || tag === 'TBODY' || tag === 'TABLE') return { result: 'multi' };
    while (e && e.tagName !== 'TD') e = e.parentElement;
    return e ? { result: 'ok', cell: e } : { result: 'none' };
  }
  function columnOf(cell) {
    var b = 0;
    for (var c = cell.previousElementSibling; c; c = c.previousElementSibling) b += c.colSpan;
    return b;
  }
  function tableWidth(t) {
    if (!t.rows.length) return 0;
    var w = 0;
    for (var i = 0; i < t.rows[0].cells.length; ++i) w += t.rows[0].cells[i].colSpan;
    return w;
  }
  function newCell(row, index) {
    var c = row.insertCell(index);
    c.innerHTML = '&nbsp;';
  }
  function insertRow(below) {
    if (document.designMode !== 'on') return 'refused';
    var c = currentCell();
    if (c.result !== 'ok') return c.result;
    var table = c.cell.closest('TABLE'), width = tableWidth(table);
    var index = c.cell.parentElement.rowIndex;
    var row = table.insertRow(below ? index + 1 : index);
    for (var i = 0; i < width; ++i) newCell(row, -1);
    return 'ok';
  }
  function insertColumn(right) {
    if (document.designMode !== 'on') return 'refused';
    var c = currentCell();
    if (c.result !== 'ok') return c.result;
    var target = columnOf(c.cell) + (right ? c.cell.colSpan : 0);
    var table = c.cell.closest('TABLE');
    for (var r = 0; r < table.rows.length; ++r) {
      var row = table.rows[r], b = 0, done = false;
      for (var k = 0; k < row.cells.length && !done; ++k) {
        var cell = row.cells[k];
        if (b === target) { newCell(row, k); done = true; }
        else if (b < target && target < b + cell.colSpan) { cell.colSpan += 1; done = true; }
        b += cell.colSpan;
      }
      if (!done) newCell(row, -1);
    }
    return 'ok';
  }
  function imageSources() {
    return slice(document.getElementsByTagName('IMG')).map(function (i) { return i.src; });
  }
  function setImageSources(list) {
    var imgs = document.getElementsByTagName('IMG');
    for (var i = 0; i < imgs.length && i < list.length; ++i)
      if (list[i]) imgs[i].setAttribute('src', list[i]);
    return true;
  }
  return { init: init, insertHtml: insertHtml, insertRow: insertRow, insertColumn: insertColumn,
           imageSources: imageSources, setImageSources: setImageSources,
           convertParagraphs: convertParagraphs };
})();
)JS";

QString jsString(const QString& s) {
    QJsonArray a{s};
    QString j = QString::fromUtf8(QJsonDocument(a).toJson(QJsonDocument::Compact));
    return j.mid(1, j.size() - 2);
}

QString canonicalFile(const QString& path) {
    QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? QDir::cleanPath(path) : c;
}

}  // namespace

// Decides every request of the document. Requests may be decided off the window's thread, so
// the rules are guarded.
class EditorGuard : public QWebEngineUrlRequestInterceptor {
  public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void allow(const std::vector<std::string>& files) {
        QMutexLocker lock(&mutex_);
        allowed_.clear();
        refused_.clear();
        for (const auto& f : files)
            allowed_.insert(canonicalFile(QString::fromStdString(f)));
    }
    void allowOne(const QString& file) {
        QMutexLocker lock(&mutex_);
        allowed_.insert(canonicalFile(file));
    }
    // While editing, the pages and pictures of the mail store may be shown.
    void allowFolder(const QString& folder) {
        QMutexLocker lock(&mutex_);
        folder_ = folder.isEmpty() ? QString() : canonicalFile(folder) + '/';
    }
    QStringList refused() const {
        QMutexLocker lock(&mutex_);
        return refused_;
    }
    void interceptRequest(QWebEngineUrlRequestInfo& info) override {
        const QUrl url = info.requestUrl();
        const QString scheme = url.scheme();
        if (scheme == "data" || (scheme == "about" && url.path() == "blank")) return;
        QMutexLocker lock(&mutex_);
        if (url.isLocalFile()) {
            const QString file = canonicalFile(url.toLocalFile());
            if (allowed_.count(file) || (!folder_.isEmpty() && file.startsWith(folder_))) return;
        }
        refused_ << url.toString();
        info.block(true);
    }

  private:
    mutable QMutex mutex_;
    std::set<QString> allowed_;
    QString folder_;
    QStringList refused_;
};

namespace {

// Follows no link inside the editor: web links go to the browser, nothing else navigates.
class EditorPage : public QWebEnginePage {
  public:
    EditorPage(QWebEngineProfile* profile, CHtmlEditor* view)
        : QWebEnginePage(profile, view), view_(view) {}

  protected:
    bool acceptNavigationRequest(const QUrl& url, NavigationType type, bool mainFrame) override {
        if (type == NavigationTypeLinkClicked) {
            const QString s = url.scheme();
            if ((s == "http" || s == "https" || s == "mailto") && view_->openLink)
                view_->openLink(url);
            return false;
        }
        if (type == NavigationTypeTyped && mainFrame) return true;  // our own loads
        return type == NavigationTypeOther && mainFrame && url.scheme() == "data";
    }
    QWebEnginePage* createWindow(WebWindowType) override { return nullptr; }

  private:
    CHtmlEditor* view_;
};

}  // namespace

bool isPictureFile(const QString& path) {
    static const QStringList kinds = {"png", "jpg", "jpeg", "gif", "bmp", "webp", "svg", "ico"};
    QFileInfo info(path);
    return info.isFile() && kinds.contains(info.suffix().toLower());
}

CHtmlEditor::CHtmlEditor(const CoreTables& tables, UiLanguage lang, QWidget* parent)
    : QWebEngineView(parent), tables_(tables), lang_(lang) {
    auto* page = new EditorPage(QWebEngineProfile::defaultProfile(), this);
    guard_ = new EditorGuard(page);
    page->setUrlRequestInterceptor(guard_);
    QWebEngineSettings* s = page->settings();
    // Scripts of the page itself (the main world) never run; the editor's own run apart.
    s->setAttribute(QWebEngineSettings::JavascriptEnabled, false);
    s->setAttribute(QWebEngineSettings::JavascriptCanOpenWindows, false);
    s->setAttribute(QWebEngineSettings::JavascriptCanAccessClipboard, false);
    s->setAttribute(QWebEngineSettings::PluginsEnabled, false);
    s->setAttribute(QWebEngineSettings::LocalStorageEnabled, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessRemoteUrls, false);
    s->setAttribute(QWebEngineSettings::LocalContentCanAccessFileUrls, true);
    s->setAttribute(QWebEngineSettings::WebGLEnabled, false);
    s->setAttribute(QWebEngineSettings::Accelerated2dCanvasEnabled, false);
    s->setAttribute(QWebEngineSettings::DnsPrefetchEnabled, false);
    s->setAttribute(QWebEngineSettings::NavigateOnDropEnabled, false);
    s->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
    s->setAttribute(QWebEngineSettings::AutoLoadIconsForPage, false);
    s->setAttribute(QWebEngineSettings::PdfViewerEnabled, false);
    setPage(page);
    // No engine context menu: nothing in it belongs to writing a mail.
    setContextMenuPolicy(Qt::NoContextMenu);
    setAcceptDrops(true);
    showError = [this](const QString& text) {
        auto* box =
            new QMessageBox(QMessageBox::Critical, "Error", text, QMessageBox::Ok, window());
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    };
    connect(page, &QWebEnginePage::loadFinished, this, &CHtmlEditor::onLoadFinished);
    installEventFilter(this);
    guard_->allowFolder(QString::fromStdString(tables_.mailStoreFolder()));
    clear();
}

CHtmlEditor::~CHtmlEditor() = default;

void CHtmlEditor::setEditable(bool editable) {
    editable_ = editable;
    guard_->allowFolder(editable ? QString::fromStdString(tables_.mailStoreFolder()) : QString());
}

void CHtmlEditor::setAllowedFiles(const std::vector<std::string>& files) {
    guard_->allow(files);
}

void CHtmlEditor::loadText(const QString& html) {
    QString base = QString::fromStdString(tables_.mailStoreFolder());
    if (!base.endsWith('/')) base += '/';
    page()->setHtml(html, QUrl::fromLocalFile(base));
}

void CHtmlEditor::setHtml(const std::string& html) {
    std::string text = joinSurrogateReferences(html);
    while (!text.empty() && text.back() == '\0')
        text.pop_back();
    const QString doc = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    if (doc.size() > kInlineLimit) {
        // Too large for one data: URL: handed over through a file of the store.
        QDir().mkpath(QString::fromStdString(tables_.mailStoreFolder()));
        const QString path = QString::fromStdString(tables_.mailStoreFolder()) + ".editor-page.htm";
        QFile f(path);
        if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            f.write(text.data(), static_cast<qint64>(text.size()));
            f.close();
            guard_->allowOne(path);
            page()->load(QUrl::fromLocalFile(path));
            return;
        }
    }
    loadText(doc);
}

void CHtmlEditor::clear() {
    setHtml(kTemplate);
}

bool CHtmlEditor::loadFile(const std::string& path, const std::vector<std::string>& fromNames,
                           const std::vector<std::string>& toNames) {
    std::string text;
    if (!readWholeFile(path, text)) return false;
    setHtml(mapFileNames(std::move(text), fromNames, toNames));
    return true;
}

void CHtmlEditor::runScript(const QString& script, std::function<void(const QVariant&)> done) {
    const QString code = QString::fromUtf8(kEditorScript) + script;
    QPointer<CHtmlEditor> self(this);
    page()->runJavaScript(code, QWebEngineScript::ApplicationWorld,
                          [self, done = std::move(done)](const QVariant& v) {
                              if (self && done) done(v);
                          });
}

void CHtmlEditor::onLoadFinished(bool) {
    if (focusProxy() && focusProxy() != watchedProxy_) {
        watchedProxy_ = focusProxy();
        watchedProxy_->installEventFilter(this);
    }
    const DefaultFont font = defaultFont(tables_.settingString(SettingString::EditorFont),
                                         tables_.settingString(SettingString::EditorFontSize),
                                         lang_ == UiLanguage::Chinese);
    const QString call = QString("orv.init(%1, %2, %3)")
                             .arg(editable_ ? "true" : "false")
                             .arg(jsString(QString::fromStdString(font.face)))
                             .arg(font.pixels);
    runScript(call, [this](const QVariant&) {
        ++loads_;
        if (!ready_) {
            ready_ = true;
            Q_EMIT notify(EditorNotice::Ready);
            Q_EMIT notify(EditorNotice::FirstReady);
        }
        Q_EMIT notify(EditorNotice::Loaded);
    });
}

void CHtmlEditor::getHtml(std::function<void(std::string)> done) {
    runScript("document.documentElement.outerHTML", [done = std::move(done)](const QVariant& v) {
        const QString s = v.toString();
        done(encodeHtmlOutput(std::u16string_view(reinterpret_cast<const char16_t*>(s.utf16()),
                                                  static_cast<size_t>(s.size()))));
    });
}

void CHtmlEditor::saveWithImages(bool fullPaths, bool copyAll,
                                 std::function<void(std::vector<std::string>)> done) {
    runScript("orv.imageSources()", [this, fullPaths, copyAll,
                                     done = std::move(done)](const QVariant& v) {
        std::vector<std::string> sources;
        for (const QVariant& s : v.toList())
            sources.push_back(s.toString().toStdString());
        auto save =
            std::make_shared<EditorSave>(beginEditorSave(tables_, sources, fullPaths, copyAll));
        if (!save->ok) {
            done({});
            return;
        }
        QJsonArray list;
        for (const auto& n : save->newSources)
            list.append(n.empty() ? QJsonValue() : QJsonValue(QString::fromStdString(n)));
        const QString call = "orv.setImageSources(" +
                             QString::fromUtf8(QJsonDocument(list).toJson(QJsonDocument::Compact)) +
                             ")";
        runScript(call, [this, save, done](const QVariant&) {
            getHtml([save, done](std::string html) {
                done(finishEditorSave(*save, html) ? save->outList : std::vector<std::string>{});
            });
        });
    });
}

void CHtmlEditor::insertHtml(const std::string& html, std::function<void(bool)> done) {
    runScript("orv.insertHtml(" + jsString(QString::fromStdString(html)) + ")",
              [done = std::move(done)](const QVariant& v) {
                  if (done) done(v.toBool());
              });
}

void CHtmlEditor::insertTable(int rows, int columns, std::function<void(bool)> done) {
    const std::string html = tableHtml(rows, columns);
    if (html.empty()) {
        if (done) done(false);
        return;
    }
    insertHtml(html, std::move(done));
}

void CHtmlEditor::cellCommand(const QString& call, std::function<void(CellResult)> done) {
    runScript(call, [this, done = std::move(done)](const QVariant& v) {
        const QString r = v.toString();
        CellResult result = CellResult::Refused;
        if (r == "ok") {
            result = CellResult::Done;
        } else if (r == "none") {
            result = CellResult::NoCell;
            showError("Please set the cursor into a table cell!");
        } else if (r == "multi") {
            result = CellResult::MultipleCells;
            showError("A selection spanning over multiple cells is not allowed.");
        }
        if (done) done(result);
    });
}

void CHtmlEditor::insertRow(bool below, std::function<void(CellResult)> done) {
    cellCommand(QString("orv.insertRow(%1)").arg(below ? "true" : "false"), std::move(done));
}

void CHtmlEditor::insertColumn(bool right, std::function<void(CellResult)> done) {
    cellCommand(QString("orv.insertColumn(%1)").arg(right ? "true" : "false"), std::move(done));
}

void CHtmlEditor::insertHorizontalLine(std::function<void(bool)> done) {
    insertHtml("<HR>", std::move(done));
}

void CHtmlEditor::insertImage(const std::string& path, std::function<void(bool)> done) {
    guard_->allowOne(QString::fromStdString(path));
    std::string tag = "<IMG src=\"" + fileUrl(path) + "\">";
    insertHtml(tag, std::move(done));
}

QStringList CHtmlEditor::refusedRequests() const {
    return guard_->refused();
}

namespace {
QStringList droppedPictures(const QMimeData* mime) {
    QStringList out;
    if (!mime || !mime->hasUrls()) return out;
    for (const QUrl& u : mime->urls())
        if (u.isLocalFile() && isPictureFile(u.toLocalFile())) out << u.toLocalFile();
    return out;
}
}  // namespace

bool CHtmlEditor::handleKey(int key) {
    switch (key) {
        case Qt::Key_H:
            insertHorizontalLine();
            return true;
        case Qt::Key_N:  // no new browser window
            return true;
        case Qt::Key_O:
            insertColumn(true);
            return true;
        case Qt::Key_R:
            insertRow(true);
            return true;
        case Qt::Key_T:
            insertTable(2, 2);
            return true;
        case Qt::Key_S:
            if (saveRequested) saveRequested();
            return true;
    }
    return false;
}

bool CHtmlEditor::eventFilter(QObject* watched, QEvent* event) {
    if (watched == this && event->type() == QEvent::ChildAdded && focusProxy() &&
        focusProxy() != watchedProxy_) {
        watchedProxy_ = focusProxy();
        watchedProxy_->installEventFilter(this);
    }
    if (watched == watchedProxy_ && watchedProxy_) {
        const QEvent::Type type = event->type();
        if (type == QEvent::FocusOut) Q_EMIT notify(EditorNotice::FocusLost);
        // Drags reach the engine's own widget: pictures are taken here, the rest goes on.
        if (type == QEvent::DragEnter || type == QEvent::DragMove) {
            auto* d = static_cast<QDragMoveEvent*>(event);
            if (editable_ && !droppedPictures(d->mimeData()).isEmpty()) {
                d->acceptProposedAction();
                return true;
            }
        }
        if (type == QEvent::Drop) {
            auto* d = static_cast<QDropEvent*>(event);
            const QStringList pictures = editable_ ? droppedPictures(d->mimeData()) : QStringList();
            if (!pictures.isEmpty()) {
                for (const QString& p : pictures)
                    insertImage(p.toStdString());
                d->acceptProposedAction();
                return true;
            }
        }
        if ((type == QEvent::KeyPress || type == QEvent::ShortcutOverride) && editable_) {
            auto* k = static_cast<QKeyEvent*>(event);
            const Qt::KeyboardModifiers mods = k->modifiers() & ~Qt::KeypadModifier;
            static const int ours[] = {Qt::Key_H, Qt::Key_N, Qt::Key_O,
                                       Qt::Key_R, Qt::Key_T, Qt::Key_S};
            if (mods == Qt::ControlModifier &&
                std::find(std::begin(ours), std::end(ours), k->key()) != std::end(ours)) {
                if (type == QEvent::ShortcutOverride) {
                    event->accept();  // the key comes to the editor, not to a shortcut
                    return true;
                }
                return handleKey(k->key());
            }
        }
    }
    return QWebEngineView::eventFilter(watched, event);
}

void CHtmlEditor::dragEnterEvent(QDragEnterEvent* e) {
    if (editable_ && !droppedPictures(e->mimeData()).isEmpty()) {
        e->acceptProposedAction();
        return;
    }
    QWebEngineView::dragEnterEvent(e);
}

void CHtmlEditor::dragMoveEvent(QDragMoveEvent* e) {
    if (editable_ && !droppedPictures(e->mimeData()).isEmpty()) {
        e->acceptProposedAction();
        return;
    }
    QWebEngineView::dragMoveEvent(e);
}

void CHtmlEditor::dropEvent(QDropEvent* e) {
    const QStringList pictures = editable_ ? droppedPictures(e->mimeData()) : QStringList();
    if (pictures.isEmpty()) {
        QWebEngineView::dropEvent(e);
        return;
    }
    for (const QString& p : pictures)
        insertImage(p.toStdString());
    e->acceptProposedAction();
}

}  // namespace orv
