// The desktop client: one client session with its main window, run from the Qt event loop.
#include <QApplication>
#include <QDesktopServices>
#include <QMessageBox>
#include <QPointer>
#include <QSocketNotifier>
#include <QUrl>

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "core/clock.h"
#include "editor/signature_dialog.h"
#include "groups/ui/group_page.h"
#include "mail/window/mail_windows.h"
#include "session/client_session.h"
#include "session/pump/session_pump.h"
#include "share/ui/share_view.h"
#include "shell/dialogs/login_dialog.h"
#include "shell/dialogs/settings_dialog.h"
#include "shell/ui/main_window.h"
#include "transfers/ui/transfer_view.h"

namespace {

const char* usageText =
    "usage: orvantel [options] [/o] [FILE...]\n"
    "  --data-dir DIR        where cfg.dat and recvfile/ live (default: beside the program)\n"
    "  --instance-port N     port of the single-instance channel (default 19999)\n"
    "  --server HOST:PORT    directory server to use (remembered in cfg.dat)\n"
    "  --user U --password P log in with these at start instead of asking\n"
    "  --lang en|zh          language of the texts\n"
    "  --peer-port N         first port to listen on for peers\n"
    "  --listen ADDRESS      address to listen on for peers (default: all)\n"
    "  --relay-limit KB      as a relay, pass on at most KB kB/s for others (0: no cap)\n"
    "  --through-relay on|off  be reached through a relay (the Network settings' option)\n"
    "  --refuse-listener     listen nowhere, so nobody can connect (tests)\n"
    "  --no-home-page        do not open the home page at exit even when one is set\n";

}  // namespace

int main(int argc, char** argv) {
    using namespace orv;
    // SIGINT and SIGTERM end the run like closing the window (the state is saved); blocked
    // before Qt starts threads, and read from a descriptor in the event loop.
    sigset_t mask;
    sigemptyset(&mask);
    sigaddset(&mask, SIGINT);
    sigaddset(&mask, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &mask, nullptr);
    int sigfd = signalfd(-1, &mask, SFD_CLOEXEC | SFD_NONBLOCK);
    QApplication app(argc, argv);
    // The window may sit hidden in the tray; only closing it ends the run.
    app.setQuitOnLastWindowClosed(false);

    ClientOptions opt;
    opt.programPath = argv[0];
    std::string user, password;
    bool homePage = true;
    const QStringList args = app.arguments();
    for (int i = 1; i < args.size(); ++i) {
        const std::string a = args[i].toStdString();
        auto value = [&]() -> std::string {
            if (i + 1 >= args.size()) {
                std::fprintf(stderr, "%s needs a value\n%s", a.c_str(), usageText);
                std::exit(2);
            }
            return args[++i].toStdString();
        };
        if (readClientOption(a, value, opt, user, password)) continue;
        if (a == "--no-home-page")
            homePage = false;
        else if (a == "--help" || a == "-h") {
            std::fputs(usageText, stdout);
            return 0;
        } else if (a.rfind("--", 0) == 0) {
            std::fprintf(stderr, "unknown option %s\n%s", a.c_str(), usageText);
            return 2;
        } else {
            opt.args.push_back(a);
        }
    }
    std::signal(SIGPIPE, SIG_IGN);

    SystemClock clock;
    ClientSession session(clock, opt);
    if (session.start() == StartOutcome::OtherRunning) return 0;

    SessionPump pump(session, clock);
    QSocketNotifier signals(sigfd, QSocketNotifier::Read);
    int code = 0;
    {
        MainWindow window(session, pump);
        QObject::connect(&window, &MainWindow::closed, &app, &QApplication::quit);
        auto* share = new ShareView(session, pump);
        window.setChildPage(View::ShareFile, share);
        QObject::connect(&window, &MainWindow::viewShown, share, [share](int view) {
            if (view == View::ShareFile) share->refreshShown();
        });
        auto* transfers = new TransferView(session, pump);
        window.setChildPage(View::Transfer, transfers);
        QObject::connect(&window, &MainWindow::viewShown, transfers, [transfers](int view) {
            if (view == View::Transfer) transfers->refreshShown();
        });
        // Closing the window, hidden in the tray or not, stores its placement on the way out.
        QObject::connect(&signals, &QSocketNotifier::activated, &window, [&] {
            signalfd_siginfo si;
            while (::read(sigfd, &si, sizeof si) == sizeof si) {
            }
            window.close();
        });
        // --user and --password log in once without asking (scripts, screenshots); every
        // other login goes through the login dialog.
        bool commandLineLogin = !user.empty();
        QPointer<LoginDialog> loginDialog;
        window.openLoginDialog = [&] {
            if (commandLineLogin) {
                commandLineLogin = false;
                if (session.state().loggedIn() || session.accountBusy()) return;
                session.login(user, password, false, [&](const LoginOutcome& o) {
                    for (const auto& m : o.messages)
                        window.showMessage(QString::fromStdString(m));
                    window.showView(View::Inbox);
                });
                pump.kick();
                return;
            }
            if (loginDialog) {
                loginDialog->raise();
                loginDialog->activateWindow();
                return;
            }
            auto* d = new LoginDialog(session, pump, &window);
            d->setAttribute(Qt::WA_DeleteOnClose);
            QObject::connect(d, &QDialog::accepted, &window,
                             [&window] { window.showView(View::Inbox); });
            loginDialog = d;
            d->open();
        };
        window.openSettingsDialog = [&] {
            auto* d = new SettingsDialog(session.tables(), session.state().language, &window);
            d->setAttribute(Qt::WA_DeleteOnClose);
            d->editSignature = [&session](QWidget* parent) {
                auto* sig = new SignatureDialog(session.tables(), session.state().language, parent);
                sig->setAttribute(Qt::WA_DeleteOnClose);
                sig->open();
            };
            QObject::connect(d, &QDialog::accepted, &window,
                             [&window] { window.refreshHomePage(); });
            d->open();
        };
        MailWindows mails(session, pump);
        mails.showMessage = [&window](const QString& text) { window.showMessage(text); };
        // A mail read in its window loses its unread mark in the list.
        mails.mailRead = [&window] {
            if (window.currentView() == View::Inbox) window.showView(View::Inbox);
        };
        window.openCompose = [&mails](const std::vector<std::string>& files) {
            mails.newMail(files);
        };
        window.mailCommand = [&mails](int id, const MailRef& ref) { mails.mailCommand(id, ref); };
        auto* groupPage = new GroupPage(session, pump);
        groupPage->compose = [&mails, &session](const std::string& to) {
            ComposeInput in;
            in.from = session.state().currentUser;
            in.to = to;
            mails.compose(in);
        };
        window.setChildPage(View::Group, groupPage);
        window.showPlaced();
        pump.kick();
        code = app.exec();
    }
    pump.stop();
    bool saved = session.shutdown();
    // Only a page the user set opens; by default nothing does.
    const std::string page = session.tables().settingString(SettingString::HomePage);
    if (homePage && !page.empty()) QDesktopServices::openUrl(QUrl(QString::fromStdString(page)));
    return code != 0 ? code : (saved ? 0 : 1);
}
