#pragma once
// A read-only view of a mail's HTML page. The page comes from a peer, so it may run nothing and
// reach nothing: scripts, plugins and storage are off, nothing is fetched from the network, and
// of the local files only the mail's own may be loaded. Every refused request is remembered.
#include <QStringList>
#include <QWebEngineView>

#include <functional>
#include <string>
#include <vector>

namespace orv {

class MailPageGuard;

class SafeHtmlView : public QWebEngineView {
    Q_OBJECT
  public:
    explicit SafeHtmlView(QWidget* parent = nullptr);
    ~SafeHtmlView() override;

    // Shows `html` with relative references resolved in `baseFolder`; only `allowedFiles` may
    // be loaded from the disk. `pagePath` is the stored page, loaded directly when the document
    // is too large to hand over in one piece.
    void showDocument(const std::string& html, const std::string& baseFolder,
                      const std::vector<std::string>& allowedFiles,
                      const std::string& pagePath = {});
    // The empty page.
    void clearDocument();
    // The requests refused since the last document was shown.
    QStringList refusedRequests() const;
    // Links the user clicked (http, https, mailto) go here instead of into this view.
    std::function<void(const QUrl&)> openLink;

  private:
    MailPageGuard* guard_ = nullptr;
};

}  // namespace orv
