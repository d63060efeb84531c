#include "share/ui/preview_dialog.h"

#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QMimeDatabase>
#include <QProcess>
#include <QStandardPaths>
#include <QVBoxLayout>

#include "qtkit/notice.h"

namespace orv {

namespace {

constexpr TextPair kTitle{"Preview Video File...", "预览视频文件..."};
constexpr TextPair kChoose{"Choose Player", "选择播放器"};
constexpr TextPair kOpen{"Open", "打开"};
constexpr TextPair kAuto{"Auto Select", "自动选择"};
constexpr TextPair kCancel{"Cancel", "取消"};
constexpr TextPair kPrograms{"Programs (*)", "程序 (*)"};

}  // namespace

PreviewDialog::PreviewDialog(ClientSession& session, const QString& fileName, QWidget* parent)
    : QDialog(parent), s_(session), fileName_(fileName) {
    UiLanguage lang = s_.state().language;
    setWindowTitle(qtext(lang, kTitle));
    edit_ = new QLineEdit(qtext(s_.tables().settingString(SettingString::MediaPlayer)), this);
    edit_->setMinimumWidth(360);
    choose_ = new QPushButton(qtext(lang, kChoose), this);
    open_ = new QPushButton(qtext(lang, kOpen), this);
    auto_ = new QPushButton(qtext(lang, kAuto), this);
    cancel_ = new QPushButton(qtext(lang, kCancel), this);
    open_->setDefault(true);
    auto* top = new QHBoxLayout;
    top->addWidget(edit_, 1);
    top->addWidget(choose_);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(open_);
    buttons->addWidget(auto_);
    buttons->addWidget(cancel_);
    auto* all = new QVBoxLayout(this);
    all->addLayout(top);
    all->addLayout(buttons);

    pickProgram = [this, lang] {
        return QFileDialog::getOpenFileName(this, qtext(lang, kChoose), {}, qtext(lang, kPrograms));
    };
    lookupDefault = [this](const QString& name, std::function<void(const QString&)> done) {
        lookupDefaultPlayer(this, name, std::move(done));
    };
    connect(choose_, &QPushButton::clicked, this, [this] {
        QString p = pickProgram();
        if (!p.isEmpty()) edit_->setText(p);
    });
    connect(open_, &QPushButton::clicked, this, [this] { openChosen(); });
    connect(auto_, &QPushButton::clicked, this, [this] { autoSelect(); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
}

void PreviewDialog::openChosen() {
    program_ = edit_->text().trimmed();
    s_.tables().setSettingString(SettingString::MediaPlayer, program_.toStdString());
    s_.tables().noteChange();
    accept();
}

void PreviewDialog::autoSelect() {
    // The lookup runs a helper program: the dialog stays responsive and waits for it.
    for (QPushButton* b : {choose_, open_, auto_})
        b->setEnabled(false);
    lookupDefault(fileName_, [this](const QString& program) {
        program_ = program;
        accept();
    });
}

QString desktopExecProgram(const QString& desktopEntry) {
    bool inEntry = false;
    for (const QString& raw : desktopEntry.split('\n')) {
        QString line = raw.trimmed();
        if (line.startsWith('[')) {
            inEntry = line == "[Desktop Entry]";
            continue;
        }
        if (!inEntry || !line.startsWith("Exec=")) continue;
        QString exec = line.mid(5).trimmed();
        if (exec.startsWith('"')) {
            qsizetype close = exec.indexOf('"', 1);
            return close < 0 ? exec.mid(1) : exec.mid(1, close - 1);
        }
        return exec.section(' ', 0, 0);
    }
    return {};
}

void lookupDefaultPlayer(QObject* owner, const QString& fileName,
                         std::function<void(const QString&)> done) {
    if (QFileInfo(fileName).suffix().isEmpty()) {
        done({});
        return;
    }
    QString mime = QMimeDatabase().mimeTypeForFile(fileName, QMimeDatabase::MatchExtension).name();
    auto* p = new QProcess(owner);
    auto finish = [p, done](const QString& program) {
        p->deleteLater();
        done(program);
    };
    QObject::connect(p, &QProcess::errorOccurred, owner, [p, finish](QProcess::ProcessError e) {
        if (e == QProcess::FailedToStart) finish({});  // no xdg-mime: nothing is registered
    });
    QObject::connect(p, &QProcess::finished, owner, [p, finish] {
        QString desktopId = QString::fromUtf8(p->readAllStandardOutput()).trimmed();
        if (desktopId.isEmpty()) return finish({});
        QString path = QStandardPaths::locate(QStandardPaths::ApplicationsLocation, desktopId);
        QFile f(path);
        if (path.isEmpty() || !f.open(QIODevice::ReadOnly)) return finish({});
        QString program = desktopExecProgram(QString::fromUtf8(f.readAll()));
        if (program.isEmpty()) return finish({});
        QString found = QStandardPaths::findExecutable(program);
        finish(found.isEmpty() ? program : found);
    });
    p->start("xdg-mime", {"query", "default", mime});
}

}  // namespace orv
