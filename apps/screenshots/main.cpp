// Pictures of the main window (English and Chinese), of each dialog and of the HTML editor,
// made offscreen with sample mails, for the README:
//   QT_QPA_PLATFORM=offscreen orvantel-screenshots OUT_DIR
#include <QApplication>
#include <QCheckBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QLinearGradient>
#include <QMenu>
#include <QPainter>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>

#include "core/clock.h"
#include "editor/editor_panel.h"
#include "editor/html_editor.h"
#include "editor/signature_dialog.h"
#include "mail/window/mail_window.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"
#include "shell/dialogs/create_account_dialog.h"
#include "shell/dialogs/login_dialog.h"
#include "shell/dialogs/server_settings_dialog.h"
#include "shell/dialogs/settings_dialog.h"
#include "shell/ui/main_window.h"

namespace {

using namespace orv;

void settle() {
    for (int i = 0; i < 5; ++i)
        QCoreApplication::processEvents();
}

bool save(QWidget& w, const QString& dir, const QString& name) {
    w.show();
    settle();
    QString path = dir + "/" + name + ".png";
    bool ok = w.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", path.toUtf8().constData());
    return ok;
}

// A web page paints on its own time: waits (up to a deadline) until the view shows colour.
bool painted(QWidget* view) {
    QDeadlineTimer deadline(30000);
    while (!deadline.hasExpired()) {
        const QImage img = view->grab().toImage();
        int coloured = 0;
        for (int y = 0; y < img.height(); y += 2)
            for (int x = 0; x < img.width(); x += 2) {
                const QColor c = img.pixelColor(x, y);
                coloured += std::abs(c.red() - c.blue()) > 40;
            }
        if (coloured > 200) return true;
        QEventLoop loop;
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return false;
}

// A picture for the sample page, in the mail store where the editor may show it.
std::string samplePicture(const CoreTables& t) {
    QImage img(180, 110, QImage::Format_RGB32);
    QPainter p(&img);
    QLinearGradient g(0, 0, 180, 110);
    g.setColorAt(0, QColor(0x1a, 0x5f, 0xb4));
    g.setColorAt(1, QColor(0xe6, 0x61, 0x00));
    p.fillRect(img.rect(), g);
    p.setPen(Qt::white);
    p.setFont(QFont("Sans", 16, QFont::Bold));
    p.drawText(img.rect(), Qt::AlignCenter, "Q3 2026");
    p.end();
    const std::string path = t.mailStoreFolder() + "5A3C0F21D4E8B7A9.png";
    img.save(QString::fromStdString(path));
    return path;
}

std::string samplePage(UiLanguage lang, const std::string& picture) {
    const bool zh = lang == UiLanguage::Chinese;
    std::string page = "<HTML><HEAD></HEAD><BODY><DIV>";
    page += zh ? "各位好，本季度的数字如下：" : "Hello all, here are the figures of the quarter:";
    page += "</DIV><DIV>&nbsp;</DIV><TABLE border=1 cellpadding=3><TR><TD><DIV><B>";
    page += zh ? "地区" : "Region";
    page += "</B></DIV></TD><TD><DIV><B>";
    page += zh ? "销售额" : "Sales";
    page += "</B></DIV></TD></TR><TR><TD><DIV>";
    page += zh ? "北方" : "North";
    page += "</DIV></TD><TD><DIV>1 240</DIV></TD></TR><TR><TD><DIV>";
    page += zh ? "南方" : "South";
    page += "</DIV></TD><TD><DIV>980</DIV></TD></TR></TABLE><DIV>&nbsp;</DIV><DIV><IMG src=\"" +
            picture.substr(picture.rfind('/') + 1) + "\"></DIV><DIV>";
    page += zh ? "此致" : "Regards,";
    page += "</DIV><DIV><FONT color=#1a5fb4>Alice</FONT></DIV></BODY></HTML>";
    return page;
}

void seed(CoreTables& t, const std::string& me) {
    struct Sample {
        const char* from;
        const char* subject;
        uint32_t flags;
        int64_t size;
    };
    const Sample samples[] = {
        {"bob", "Quarterly report", 0, 2'400'000},
        {"carol", "会议纪要：周五下午三点", MailFlags::urgent, 18'000},
        {"dave", "Photos from the trip", 0, 35'000'000},
        {"erin", "新版本已发布", MailFlags::bulletin, 0},
    };
    int32_t created = 1'796'000'000;
    uint64_t key = 1;
    for (const auto& s : samples) {
        MailRecord r{};
        r.key = key++;
        r.kind = MailKind::Inbox;
        r.flags = s.flags;
        r.created = created;
        created -= 5400;
        int m = t.appendMail(r, s.subject);
        t.appendReceivedRecipient(m, me, s.from);
        t.appendRecvAddress(m, me);
        if (s.size > 0) {
            AttachmentRecord a{};
            a.total = s.size;
            a.done = s.size / 2;
            t.mails[m].size += s.size;
            t.appendAttachment(m, "attachment.bin", "attachment.bin", a);
        }
    }
    // Sent to bob and to a user who does not exist: bob has it, the mail waits to be corrected.
    MailRecord r{};
    r.key = key++;
    r.kind = MailKind::Outbox;
    r.created = 1'796'003'600;
    r.recipientCount = 2;
    int m = t.appendMail(r, "Budget for next year");
    for (const char* to : {"bob", "nosuchuser"}) {
        t.appendDelivery(m, to, me);
        t.appendOutAddress(m, to);
    }
    for (int d : t.mailDeliveries(m))
        t.deliveries[d].state = t.deliveryRecipients.view(d) == "bob" ? DeliveryState::Delivered
                                                                      : DeliveryState::Refused;
}

struct Client {
    Client(const std::string& dir, UiLanguage lang) {
        opt.programPath = "orvantel";
        opt.dataDir = dir;
        opt.instancePort = 0;
        opt.language = lang;
        session = std::make_unique<ClientSession>(clock, opt);
        session->start();
        session->tables().ensureMailStoreFolder();
        pump = std::make_unique<SessionPump>(*session, clock);
    }
    ~Client() {
        pump->stop();
        session->shutdown();
    }
    SystemClock clock;
    ClientOptions opt;
    std::unique_ptr<ClientSession> session;
    std::unique_ptr<SessionPump> pump;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: orvantel-screenshots OUT_DIR\n");
        return 2;
    }
    QString out = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(out);
    std::string scratch = (std::filesystem::temp_directory_path() / "orv-screenshots").string();
    std::filesystem::remove_all(scratch);
    bool ok = true;
    for (auto [lang, tag] : {std::pair{UiLanguage::English, "en"}, {UiLanguage::Chinese, "zh"}}) {
        Client c(scratch + "/" + tag, lang);
        c.session->state().currentUser = "alice";
        seed(c.session->tables(), "alice");
        {
            MainWindow w(*c.session, *c.pump);
            settle();
            w.resize(900, 560);
            w.showView(View::Inbox);
            ok &= save(w, out, QString("main-window-%1").arg(tag));
            w.mailList()->selectRow(0);
            auto menu = w.buildListMenu();
            menu->adjustSize();
            ok &= save(*menu, out, QString("list-menu-%1").arg(tag));
            w.showView(View::Outbox);
            settle();
            ok &= save(w, out, QString("outbox-refused-%1").arg(tag));
        }
        {
            // A mail being written, and the first received one being read.
            MailWindow w(*c.session, *c.pump);
            ComposeInput in;
            in.from = "alice";
            in.to = "bob,carol";
            in.plainText = lang == UiLanguage::Chinese ? "附件是本周的报告，请查收。"
                                                       : "The weekly report is attached.";
            in.attachments = {"/home/alice/report.pdf", "/home/alice/figures.xlsx"};
            w.startCompose(in);
            w.resize(640, 480);
            settle();
            ok &= save(w, out, QString("compose-%1").arg(tag));
            w.startRead(1);
            settle();
            ok &= save(w, out, QString("read-%1").arg(tag));
        }
        {
            // An HTML mail with a table and a picture, written in the editor.
            MailWindow w(*c.session, *c.pump);
            ComposeInput in;
            in.from = "alice";
            in.to = "bob,carol";
            in.html = true;
            in.subjectLine = lang == UiLanguage::Chinese ? "季度数字" : "Figures of the quarter";
            in.htmlDocument = samplePage(lang, samplePicture(c.session->tables()));
            w.startCompose(in);
            w.resize(700, 620);
            w.show();
            ok &= painted(w.htmlView());
            ok &= save(w, out, QString("html-editor-%1").arg(tag));
        }
        {
            const std::string sig = c.session->tables().mailStoreFolder() + "51A7E0.htm";
            std::FILE* f = std::fopen(sig.c_str(), "wb");
            if (f) {
                std::fputs(
                    "<HTML><BODY><DIV>Alice Example</DIV><DIV><FONT color=#1a5fb4>"
                    "Orvantel &middot; Sales</FONT></DIV></BODY></HTML>",
                    f);
                std::fclose(f);
            }
            c.session->tables().setSettingString(SettingString::SignatureFile, sig);
            c.session->tables().setSettingNumber(Setting::AddSignature, 1);
            SignatureDialog d(c.session->tables(), lang);
            d.show();
            ok &= painted(d.panel()->editor());
            ok &= save(d, out, QString("signature-%1").arg(tag));
        }
        c.session->state().currentUser.clear();
        {
            LoginDialog d(*c.session, *c.pump);
            ok &= save(d, out, QString("login-%1").arg(tag));
        }
        {
            CreateAccountDialog d(*c.session, *c.pump);
            ok &= save(d, out, QString("create-account-%1").arg(tag));
        }
        {
            ServerSettingsDialog d(*c.session, *c.pump);
            ok &= save(d, out, QString("server-settings-%1").arg(tag));
        }
        {
            SettingsDialog d(c.session->tables(), lang);
            auto* tabs = d.findChild<QTabWidget*>();
            int n = tabs ? tabs->count() : 1;
            for (int i = 0; i < n; ++i) {
                if (tabs) tabs->setCurrentIndex(i);
                ok &= save(d, out, QString("settings-%1-%2").arg(i + 1).arg(tag));
            }
        }
    }
    std::filesystem::remove_all(scratch);
    return ok ? 0 : 1;
}
