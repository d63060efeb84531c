#include "mail/window/safe_html_view.h"

#include <QDir>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineUrlRequestInterceptor>

#include <set>

namespace orv {

namespace {

// A page is handed over as one data: URL up to this size; larger ones are loaded from disk.
constexpr qsizetype kInlineLimit = 1536 * 1024;

QString canonicalFile(const QString& path) {
    QString c = QFileInfo(path).canonicalFilePath();
    return c.isEmpty() ? QDir::cleanPath(path) : c;
}

}  // namespace

// Decides every request the page makes. Requests may be decided off the window's thread, so
// the allowed set is guarded.
class MailPageGuard : public QWebEngineUrlRequestInterceptor {
  public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;

    void allow(const std::vector<std::string>& files) {
        QMutexLocker lock(&mutex_);
        allowed_.clear();
        refused_.clear();
        for (const auto& f : files)
            allowed_.insert(canonicalFile(QString::fromStdString(f)));
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
        if (url.isLocalFile() && allowed_.count(canonicalFile(url.toLocalFile()))) return;
        refused_ << url.toString();
        info.block(true);
    }

  private:
    mutable QMutex mutex_;
    std::set<QString> allowed_;
    QStringList refused_;
};

namespace {

// Follows no link inside the view: the first load is the mail, clicked web links go to the
// browser, everything else stays where it is.
class MailPage : public QWebEnginePage {
  public:
    MailPage(QWebEngineProfile* profile, SafeHtmlView* view)
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
    SafeHtmlView* view_;
};

}  // namespace

SafeHtmlView::SafeHtmlView(QWidget* parent) : QWebEngineView(parent) {
    // The default profile keeps nothing on disk; what a page may do is decided per page.
    auto* page = new MailPage(QWebEngineProfile::defaultProfile(), this);
    guard_ = new MailPageGuard(page);
    page->setUrlRequestInterceptor(guard_);
    QWebEngineSettings* s = page->settings();
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
    setContextMenuPolicy(Qt::NoContextMenu);
    setAcceptDrops(false);
}

SafeHtmlView::~SafeHtmlView() = default;

void SafeHtmlView::showDocument(const std::string& html, const std::string& baseFolder,
                                const std::vector<std::string>& allowedFiles,
                                const std::string& pagePath) {
    std::vector<std::string> allowed = allowedFiles;
    if (static_cast<qsizetype>(html.size()) > kInlineLimit && !pagePath.empty()) {
        allowed.push_back(pagePath);
        guard_->allow(allowed);
        page()->load(QUrl::fromLocalFile(QString::fromStdString(pagePath)));
        return;
    }
    guard_->allow(allowed);
    QString base = QString::fromStdString(baseFolder);
    if (!base.endsWith('/')) base += '/';
    page()->setHtml(QString::fromUtf8(html.data(), static_cast<qsizetype>(html.size())),
                    QUrl::fromLocalFile(base));
}

void SafeHtmlView::clearDocument() {
    guard_->allow({});
    page()->setUrl(QUrl("about:blank"));
}

QStringList SafeHtmlView::refusedRequests() const {
    return guard_->refused();
}

}  // namespace orv
