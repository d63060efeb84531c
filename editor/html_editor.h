#pragma once
// CHtmlEditor: the surface on which HTML mail and the signature are written, and on which
// received HTML mail is shown. A web view whose document is in design mode while editable.
// The document never runs its own script and never reaches the network; of the local files
// only those named as allowed (and, while editing, those in the mail store and the pictures
// the user inserted) may be loaded. The editor's own script runs in a world of its own.
//
// The engine answers asynchronously: reading the document (getHtml, saveWithImages) and the
// structural commands complete through callbacks on the window's thread.
#include <QWebEngineView>

#include <functional>
#include <string>
#include <vector>

#include "core/core_tables.h"
#include "core/text.h"

namespace orv {

class EditorGuard;

// Notification codes to the host.
namespace EditorNotice {
enum : int {
    Ready = 5000,       // the document is ready for the first time
    FocusLost = 5002,   // the editor lost the keyboard focus
    FirstReady = 5003,  // after Ready, the first time only
    Loaded = 5004,      // a document finished loading
};
}

// The results of a structural command, for the host and the tests.
enum class CellResult { Done, NoCell, MultipleCells, Refused };

class CHtmlEditor : public QWebEngineView {
    Q_OBJECT
  public:
    // The default font comes from settings strings 8 and 9; pages live in the mail store.
    CHtmlEditor(const CoreTables& tables, UiLanguage lang, QWidget* parent = nullptr);
    ~CHtmlEditor() override;

    // Design mode (editing) or a page only shown. Takes effect with the next document.
    void setEditable(bool editable);
    bool editable() const { return editable_; }
    // Files outside the rules above that the next documents may load.
    void setAllowedFiles(const std::vector<std::string>& files);

    // Loads 8-bit HTML text (the output encoding's references decode as they are).
    void setHtml(const std::string& html);
    // The template: an empty document.
    void clear();
    // The file's text with the embedded files renamed (mapFileNames), then setHtml. A file
    // that cannot be read leaves the document as it was; false then.
    bool loadFile(const std::string& path, const std::vector<std::string>& fromNames,
                  const std::vector<std::string>& toNames);
    // The document's outerHTML in the 7-bit output encoding.
    void getHtml(std::function<void(std::string html)> done);

    // Saves the document as a new body file of the store with its local pictures (see
    // mail/editor_save.h); `done` gets the body file first and the pictures, or nothing when
    // the body file could not be created (the document is left as it was then).
    void saveWithImages(bool fullPaths, bool copyAll,
                        std::function<void(std::vector<std::string> outList)> done);

    // Structural commands at the selection (each a no-op outside design mode).
    void insertHtml(const std::string& html, std::function<void(bool)> done = {});
    void insertTable(int rows, int columns, std::function<void(bool)> done = {});
    void insertRow(bool below, std::function<void(CellResult)> done = {});
    void insertColumn(bool right, std::function<void(CellResult)> done = {});
    void insertHorizontalLine(std::function<void(bool)> done = {});
    // A local picture at the selection.
    void insertImage(const std::string& path, std::function<void(bool)> done = {});

    // Runs `script` in the editor's own world; `done` gets its result.
    void runScript(const QString& script, std::function<void(const QVariant&)> done = {});

    bool isReady() const { return ready_; }
    int loads() const { return loads_; }
    QStringList refusedRequests() const;

    // Messages of the table commands (English only, titled "Error"); tests answer directly.
    std::function<void(const QString& text)> showError;
    // Ctrl+S: the host saves its mail.
    std::function<void()> saveRequested;
    // Web links clicked in a shown page.
    std::function<void(const QUrl&)> openLink;

  Q_SIGNALS:
    void notify(int code);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* e) override;
    void dragMoveEvent(QDragMoveEvent* e) override;
    void dropEvent(QDropEvent* e) override;

  private:
    void loadText(const QString& html);
    void onLoadFinished(bool ok);
    bool handleKey(int key);
    void cellCommand(const QString& call, std::function<void(CellResult)> done);

    const CoreTables& tables_;
    UiLanguage lang_;
    EditorGuard* guard_ = nullptr;
    QObject* watchedProxy_ = nullptr;
    bool editable_ = true;
    bool ready_ = false;
    int loads_ = 0;
};

// Tells whether a local file is a picture the editor takes from a drop or the chooser.
bool isPictureFile(const QString& path);

}  // namespace orv
