// The HTML editor over real WebEngine pages: what typing leaves in the document, the 7-bit
// output, saving with pictures, the default font, the table commands and their refusals.
#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>
#include <QWebEnginePage>

#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>

#include "core/clock.h"
#include "core/core_tables.h"
#include "editor/editor_panel.h"
#include "editor/html_editor.h"
#include "editor/signature_dialog.h"
#include "support/temp_dir.h"

using namespace orv;
namespace fs = std::filesystem;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

void write(const std::string& path, const std::string& data) {
    std::ofstream(path, std::ios::binary) << data;
}

// Runs the editor's script and waits for its answer.
QVariant evalJs(CHtmlEditor* e, const QString& code) {
    auto result = std::make_shared<std::pair<bool, QVariant>>();
    e->runScript(code, [result](const QVariant& v) { *result = {true, v}; });
    if (!QTest::qWaitFor([&] { return result->first; }, 20000)) return {};
    return result->second;
}

// How many FONT elements show no text.
QString emptyFontsQuery() {
    return "Array.prototype.filter.call(document.getElementsByTagName('FONT'),"
           "function(f){return f.innerText.trim() === ''}).length";
}

// Tables whose mail store lies in a temporary folder.
struct Store {
    Store() { tables.ensureMailStoreFolder(); }
    size_t files() const {
        size_t n = 0;
        for (auto& e : fs::directory_iterator(tables.mailStoreFolder()))
            n += e.is_regular_file();
        return n;
    }
    test::TempDir dir;
    SystemClock clock;
    CoreTables tables{clock, dir.path() + "/recvfile/"};
};

// One editor in a shown window, with its messages collected.
struct Editor {
    explicit Editor(Store& s, UiLanguage lang = UiLanguage::English) {
        panel = std::make_unique<EditorPanel>(s.tables, lang);
        e = panel->editor();
        e->showError = [this](const QString& text) { messages << text; };
        panel->resize(640, 420);
        panel->show();
        e->setFocus();
    }
    // Loads `html` and waits until the editor has taken it.
    bool load(const std::string& html) {
        const int before = e->loads();
        e->setHtml(html);
        return QTest::qWaitFor([&] { return e->loads() > before; }, 20000);
    }
    QVariant js(const QString& code) { return evalJs(e, code); }
    std::string html() {
        auto out = std::make_shared<std::pair<bool, std::string>>();
        e->getHtml([out](std::string h) { *out = {true, std::move(h)}; });
        if (!QTest::qWaitFor([&] { return out->first; }, 20000)) return {};
        return out->second;
    }
    std::vector<std::string> save(bool fullPaths, bool copyAll) {
        auto out = std::make_shared<std::pair<bool, std::vector<std::string>>>();
        e->saveWithImages(fullPaths, copyAll, [out](std::vector<std::string> l) {
            *out = {true, std::move(l)};
        });
        if (!QTest::qWaitFor([&] { return out->first; }, 20000)) return {};
        return out->second;
    }
    // Puts the caret into the element with `id`, at its end or start.
    void caretIn(const QString& id, bool atEnd = true) {
        js(QString("var r = document.createRange(); "
                   "r.selectNodeContents(document.getElementById('%1'));"
                   "r.collapse(%2); getSelection().removeAllRanges(); getSelection().addRange(r);"
                   "true")
               .arg(id, atEnd ? "false" : "true"));
    }
    void ctrl(Qt::Key key) { QTest::keyClick(e->focusProxy(), key, Qt::ControlModifier); }

    std::unique_ptr<EditorPanel> panel;
    CHtmlEditor* e;
    QStringList messages;
};

}  // namespace

class EditorTest : public QObject {
    Q_OBJECT
  private Q_SLOTS:
    void typingLeavesDivBlocks() {
        Store s;
        Editor ed(s);
        QTRY_VERIFY_WITH_TIMEOUT(ed.e->isReady(), 20000);
        QVERIFY(ed.load("<HTML><BODY><P id=a>one</P></BODY></HTML>"));
        QVERIFY(QTest::qWaitForWindowActive(ed.panel.get()));
        ed.caretIn("a");
        QTest::keyClick(ed.e->focusProxy(), Qt::Key_Return);
        QTest::keyClicks(ed.e->focusProxy(), "two");
        QTest::keyClick(ed.e->focusProxy(), Qt::Key_Return);
        QTest::keyClick(ed.e->focusProxy(), Qt::Key_Return);
        QTest::keyClicks(ed.e->focusProxy(), "three");
        QTRY_VERIFY_WITH_TIMEOUT(ed.js("document.body.innerText").toString().contains("three"),
                                 20000);
        QCOMPARE(ed.js("document.getElementsByTagName('P').length").toInt(), 0);
        QCOMPARE(ed.js("document.body.children.length").toInt(),
                 ed.js("document.body.getElementsByTagName('DIV').length").toInt());
        const QString text = ed.js("document.body.innerText").toString();
        QVERIFY2(text.indexOf("one") < text.indexOf("two") &&
                     text.indexOf("two") < text.indexOf("three"),
                 qPrintable(text));
        QVERIFY(ed.html().find("<p") == std::string::npos);

        // An empty FONT left by the conversion goes with the next key.
        QVERIFY(ed.load("<HTML><BODY><P id=b>x<FONT id=f color=red> </FONT></P></BODY></HTML>"));
        QCOMPARE(ed.js(emptyFontsQuery()).toInt(), 1);
        ed.caretIn("b");
        QTest::keyClick(ed.e->focusProxy(), Qt::Key_Return);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.getElementsByTagName('P').length").toInt(), 0,
                                  20000);
        QTest::keyClicks(ed.e->focusProxy(), "y");
        QTRY_COMPARE_WITH_TIMEOUT(ed.js(emptyFontsQuery()).toInt(), 0, 20000);
        QVERIFY(ed.js("document.body.innerText").toString().contains("y"));

        // No new window, no context menu, no engine keys for the table shortcuts outside one.
        ed.ctrl(Qt::Key_N);
        QCOMPARE(ed.e->contextMenuPolicy(), Qt::NoContextMenu);
    }

    void outputIsSevenBit() {
        Store s;
        Editor ed(s);
        QVERIFY(
            ed.load("<HTML><BODY><DIV id=t>caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 a~b"
                    "</DIV></BODY></HTML>"));
        const std::string html = ed.html();
        QVERIFY2(html.find("caf&#x00E9; &#x4E2D; &#xD83D;&#xDE00; a~b") != std::string::npos,
                 html.c_str());
        for (unsigned char c : html)
            QVERIFY(c < 127);
        // Read back, the references are the characters again (the pair is one character).
        QVERIFY(ed.load(html));
        QCOMPARE(ed.js("document.getElementById('t').textContent").toString(),
                 QString::fromUtf8("caf\xC3\xA9 \xE4\xB8\xAD \xF0\x9F\x98\x80 a~b"));
    }

    void savingCopiesPictures() {
        Store s;
        Editor ed(s);
        QTRY_VERIFY_WITH_TIMEOUT(ed.e->isReady(), 20000);
        test::TempDir pics;
        const std::string pic = pics.file("a.JPG");
        std::string bytes = "\xFF\xD8\xFF picture bytes";
        bytes += std::string(3000, '\x01');
        write(pic, bytes);
        ed.panel->choosePicture = [&] { return QString::fromStdString(pic); };
        ed.panel->insertPicture();
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.images.length").toInt(), 1, 20000);

        // A dropped picture goes into the page too; other files do not.
        const std::string other = pics.file("notes.txt");
        write(other, "text");
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(pic)),
                      QUrl::fromLocalFile(QString::fromStdString(other))});
        QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QCoreApplication::sendEvent(ed.e->focusProxy(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(ed.e->focusProxy(), &drop);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.images.length").toInt(), 2, 20000);
        ed.js("document.images[1].remove(); true");

        // A mail: every picture copied, named by file name alone.
        std::vector<std::string> out = ed.save(false, true);
        QCOMPARE(out.size(), size_t(2));
        const std::string store = s.tables.mailStoreFolder();
        QVERIFY(std::regex_match(out[0], std::regex(store + "[0-9A-F]+\\.htm")));
        QVERIFY(std::regex_match(out[1], std::regex(store + "[0-9A-F]+\\.JPG")));
        QCOMPARE(readAll(out[1]), bytes);
        const std::string body = readAll(out[0]);
        QVERIFY(!body.empty() && body.back() == '\0');
        const std::string name = out[1].substr(store.size());
        QVERIFY2(body.find("src=\"" + name + "\"") != std::string::npos, body.c_str());
        QVERIFY(body.find("file:") == std::string::npos);
        QVERIFY(body.find("a.JPG") == std::string::npos);

        // The signature: by full path; a second save copies nothing already in the store.
        std::vector<std::string> sig = ed.save(true, false);
        QCOMPARE(sig.size(), size_t(2));
        QCOMPARE(sig[1], out[1]);  // already in the store: kept
        const size_t before = s.files();
        QVERIFY(ed.load(readAll(sig[0])));
        std::vector<std::string> again = ed.save(true, false);
        QCOMPARE(again.size(), size_t(2));
        QCOMPARE(again[1], out[1]);
        QCOMPARE(s.files(), before + 1);  // only the new page
        QVERIFY2(readAll(again[0]).find("src=\"file://" + out[1] + "\"") != std::string::npos,
                 readAll(again[0]).c_str());

        // A picture outside the store, saved for the signature, is copied and named by path.
        QVERIFY(ed.load("<HTML><BODY><IMG src=\"file://" + pic + "\"></BODY></HTML>"));
        std::vector<std::string> outside = ed.save(true, false);
        QCOMPARE(outside.size(), size_t(2));
        QVERIFY(outside[1] != pic && outside[1].rfind(store, 0) == 0);
        QVERIFY(readAll(outside[0]).find("src=\"file://" + outside[1] + "\"") != std::string::npos);
    }

    void defaultFontFromSettings() {
        for (UiLanguage lang : {UiLanguage::English, UiLanguage::Chinese}) {
            Store s;
            Editor ed(s, lang);
            QTRY_VERIFY_WITH_TIMEOUT(ed.e->isReady(), 20000);
            QCOMPARE(ed.js("getComputedStyle(document.body).fontSize").toString(), QString("24px"));
            QString family = ed.js("getComputedStyle(document.body).fontFamily").toString();
            family.remove('"');
            QCOMPARE(family,
                     lang == UiLanguage::English ? QString("Arial") : QString::fromUtf8("宋体"));
            QCOMPARE(ed.js("document.body.getAttribute('topMargin')").toString(), QString("8"));
            QCOMPARE(ed.js("document.body.getAttribute('leftMargin')").toString(), QString("3"));
            // The saved page carries the face in 7-bit form that still names it.
            const std::string html = ed.html();
            if (lang == UiLanguage::Chinese)
                QVERIFY2(html.find("\\5B8B \\4F53 ") != std::string::npos, html.c_str());
        }
        Store s;
        s.tables.setSettingString(SettingString::EditorFont, "Courier New");
        s.tables.setSettingString(SettingString::EditorFontSize, "14");
        Editor ed(s);
        QTRY_VERIFY_WITH_TIMEOUT(ed.e->isReady(), 20000);
        QCOMPARE(ed.js("getComputedStyle(document.body).fontSize").toString(), QString("14px"));
        QString family = ed.js("getComputedStyle(document.body).fontFamily").toString();
        QCOMPARE(family.remove('"'), QString("Courier New"));
    }

    void tableCommands() {
        Store s;
        Editor ed(s);
        QTRY_VERIFY_WITH_TIMEOUT(ed.e->isReady(), 20000);
        QVERIFY(QTest::qWaitForWindowActive(ed.panel.get()));

        // Ctrl+T: a bordered 2 x 2 table whose cells hold an empty block.
        QVERIFY(ed.load("<HTML><BODY><DIV id=a>text</DIV></BODY></HTML>"));
        ed.caretIn("a");
        ed.ctrl(Qt::Key_T);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.getElementsByTagName('TD').length").toInt(), 4,
                                  20000);
        QCOMPARE(ed.js("document.querySelector('table').getAttribute('border')").toString(),
                 QString("1"));
        QCOMPARE(ed.js("document.querySelector('table').rows.length").toInt(), 2);
        QCOMPARE(ed.js("document.getElementsByTagName('TD')[3].innerHTML").toString(),
                 QString("<div>&nbsp;</div>"));

        // Ctrl+R under a first row of a two-column cell and a plain cell: three new cells.
        QVERIFY(
            ed.load("<HTML><BODY><TABLE border=1><TR><TD id=x colSpan=2>a</TD><TD>b</TD>"
                    "</TR><TR><TD>c</TD><TD id=y>d</TD><TD>e</TD></TR><TR><TD id=z>f</TD>"
                    "</TR></TABLE></BODY></HTML>"));
        ed.caretIn("x");
        ed.ctrl(Qt::Key_R);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.querySelector('table').rows.length").toInt(), 4,
                                  20000);
        QCOMPARE(ed.js("document.querySelector('table').rows[1].cells.length").toInt(), 3);
        QCOMPARE(ed.js("document.querySelector('table').rows[1].cells[2].innerHTML").toString(),
                 QString("&nbsp;"));

        // Ctrl+O in the cell after "c": the two-column cell above widens, the short row gets
        // a cell appended, the others a new cell at the column.
        QVERIFY(
            ed.load("<HTML><BODY><TABLE border=1><TR><TD id=x colSpan=2>a</TD><TD>b</TD>"
                    "</TR><TR><TD id=c>c</TD><TD>d</TD><TD>e</TD></TR><TR><TD>f</TD></TR>"
                    "</TABLE></BODY></HTML>"));
        ed.caretIn("c");
        ed.ctrl(Qt::Key_O);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.getElementById('x').colSpan").toInt(), 3, 20000);
        QCOMPARE(ed.js("Array.prototype.map.call(document.querySelector('table').rows,"
                       "function(r){return r.cells.length}).join(',')")
                     .toString(),
                 QString("2,4,2"));
        QCOMPARE(ed.js("document.querySelector('table').rows[1].cells[1].innerHTML").toString(),
                 QString("&nbsp;"));
        QCOMPARE(ed.js("document.querySelector('table').rows[1].cells[2].textContent").toString(),
                 QString("d"));

        // Outside a table, and across two cells: the messages, and nothing changes.
        QVERIFY(
            ed.load("<HTML><BODY><DIV id=out>out</DIV><TABLE border=1><TR><TD id=p>p</TD>"
                    "<TD id=q>q</TD></TR></TABLE></BODY></HTML>"));
        const QString before = ed.js("document.body.innerHTML").toString();
        ed.caretIn("out");
        ed.ctrl(Qt::Key_R);
        QTRY_COMPARE_WITH_TIMEOUT(ed.messages.size(), qsizetype(1), 20000);
        QCOMPARE(ed.messages[0], QString("Please set the cursor into a table cell!"));
        ed.ctrl(Qt::Key_O);
        QTRY_COMPARE_WITH_TIMEOUT(ed.messages.size(), qsizetype(2), 20000);
        QCOMPARE(ed.messages[1], QString("Please set the cursor into a table cell!"));
        ed.js(
            "var r = document.createRange(); r.setStart(document.getElementById('p').firstChild, "
            "0);"
            "r.setEnd(document.getElementById('q').firstChild, 1);"
            "getSelection().removeAllRanges(); getSelection().addRange(r); true");
        ed.ctrl(Qt::Key_O);
        QTRY_COMPARE_WITH_TIMEOUT(ed.messages.size(), qsizetype(3), 20000);
        QCOMPARE(ed.messages[2],
                 QString("A selection spanning over multiple cells is not allowed."));
        ed.ctrl(Qt::Key_R);
        QTRY_COMPARE_WITH_TIMEOUT(ed.messages.size(), qsizetype(4), 20000);
        QCOMPARE(ed.js("document.body.innerHTML").toString(), before);

        // A selected picture is replaced by the table; Ctrl+H draws a line.
        QVERIFY(ed.load("<HTML><BODY><DIV id=d>a<IMG id=i src=\"x.png\">b</DIV></BODY></HTML>"));
        ed.js(
            "var r = document.createRange(); r.selectNode(document.getElementById('i'));"
            "getSelection().removeAllRanges(); getSelection().addRange(r); true");
        ed.ctrl(Qt::Key_T);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.getElementsByTagName('TABLE').length").toInt(), 1,
                                  20000);
        QCOMPARE(ed.js("document.getElementsByTagName('IMG').length").toInt(), 0);
        ed.ctrl(Qt::Key_H);
        QTRY_COMPARE_WITH_TIMEOUT(ed.js("document.getElementsByTagName('HR').length").toInt(), 1,
                                  20000);
    }

    void shownPagesStayInside() {
        Store s;
        Editor ed(s);
        ed.e->setEditable(false);
        const std::string store = s.tables.mailStoreFolder();
        write(store + "own.png", "png");
        test::TempDir other;
        write(other.file("secret.png"), "png");
        ed.e->setAllowedFiles({store + "own.png"});
        QVERIFY(ed.load(
            "<HTML><HEAD><TITLE>t</TITLE><SCRIPT>document.title='ran'</SCRIPT></HEAD>"
            "<BODY><IMG src=\"own.png\"><IMG src=\"file://" +
            other.file("secret.png") + "\"><IMG src=\"http://127.0.0.1:9/x.png\"></BODY></HTML>"));
        QTRY_VERIFY_WITH_TIMEOUT(ed.e->refusedRequests().join(' ').contains("secret.png"), 20000);
        QVERIFY(!ed.e->refusedRequests().join(' ').contains("own.png"));
        QCOMPARE(ed.e->title(), QString("t"));
        QCOMPARE(ed.js("document.designMode").toString(), QString("off"));
    }

    void signatureDialog() {
        Store s;
        test::TempDir pics;
        const std::string pic = pics.file("sig.png");
        write(pic, "sig picture");
        const std::string old = s.tables.mailStoreFolder() + "OLD.htm";
        write(old, std::string("<HTML><BODY><DIV id=s>Regards</DIV></BODY></HTML>") + '\0');
        s.tables.setSettingString(SettingString::SignatureFile, old);
        s.tables.setSettingNumber(Setting::AddSignature, 0);
        SignatureDialog d(s.tables, UiLanguage::English);
        d.show();
        CHtmlEditor* e = d.panel()->editor();
        QVERIFY(!d.panel()->isEnabled());  // only while the box is ticked
        QTRY_VERIFY_WITH_TIMEOUT(e->loads() > 0, 20000);
        QCOMPARE(d.addSignatureBox()->text(), QString("Add the signature to all outgoing mails"));
        d.addSignatureBox()->setChecked(true);
        QVERIFY(d.panel()->isEnabled());
        d.panel()->choosePicture = [&] { return QString::fromStdString(pic); };
        QTRY_VERIFY_WITH_TIMEOUT(
            evalJs(e, "document.body.innerText").toString().contains("Regards"), 20000);
        d.panel()->insertPicture();
        QSignalSpy saved(&d, &SignatureDialog::saved);
        QTRY_COMPARE_WITH_TIMEOUT(evalJs(e, "document.images.length").toInt(), 1, 20000);
        d.accept();
        QTRY_COMPARE_WITH_TIMEOUT(saved.size(), qsizetype(1), 20000);
        const std::string page = saved[0][0].toString().toStdString();
        QCOMPARE(s.tables.settingString(SettingString::SignatureFile), page);
        QCOMPARE(s.tables.settingNumber(Setting::AddSignature), 1);
        QVERIFY(!fs::exists(old));  // the previous page lay in the store
        const std::string text = readAll(page);
        QVERIFY(text.find("Regards") != std::string::npos);
        QVERIFY(text.find("src=\"file://" + s.tables.mailStoreFolder()) != std::string::npos);
    }
};

QTEST_MAIN(EditorTest)
#include "editor_test.moc"
