#include "mail/dialogs/sign_dialogs.h"

#include <QAction>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <set>

#include "core/core_tables.h"
#include "core/format.h"
#include "qtkit/notice.h"

namespace orv {

namespace {
QString qs(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}
QString timeText(int64_t seconds) {
    return seconds == 0 ? QString() : qs(FormatTime(seconds));
}
constexpr int kDefaultColumnWidth = 80;
constexpr int kClockRefreshMs = 500;
}  // namespace

// ---------------------------------------------------------------- sign dialog

void SignDialog::build(UiLanguage lang) {
    lang_ = lang;
    auto field = [this] {
        auto* e = new QLineEdit(this);
        e->setReadOnly(true);
        return e;
    };
    sender_ = field();
    sendTime_ = field();
    subject_ = field();
    attach_ = field();
    signer_ = field();
    signTime_ = field();
    opinion_ = new QPlainTextEdit(this);
    opinion_->setObjectName("opinion");
    opinion_->setMaximumHeight(90);
    auto* form = new QFormLayout;
    form->addRow(qtext(lang, signtexts::kSender), sender_);
    form->addRow(qtext(lang, signtexts::kSendTime), sendTime_);
    form->addRow(qtext(lang, signtexts::kText), subject_);
    form->addRow(qtext(lang, signtexts::kAttach), attach_);
    form->addRow(qtext(lang, signtexts::kSigner), signer_);
    form->addRow(qtext(lang, signtexts::kSignTime), signTime_);
    form->addRow(qtext(lang, signtexts::kOpinion), opinion_);
    status_ = new QLabel(this);
    sign_ = new QPushButton(qtext(lang, signtexts::kSign), this);
    close_ = new QPushButton(qtext(lang, signtexts::kClose), this);
    auto* row = new QHBoxLayout;
    row->addWidget(status_, 1);
    row->addWidget(sign_);
    row->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addLayout(row);
    connect(sign_, &QPushButton::clicked, this, [this] { sign(); });
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    showMessage = [this](const QString& text) { showNotice(this, text); };
    resize(380, 360);
}

SignDialog::SignDialog(SigningFacade& signing, UiLanguage lang, const SignForm& form,
                       QWidget* parent)
    : QDialog(parent), signing_(&signing), form_(form) {
    build(lang);
    setWindowTitle(qtext(lang, signtexts::kSignTitle));
    sender_->setText(qs(form.sender));
    sendTime_->setText(timeText(form.created));
    subject_->setText(qs(form.subject));
    attach_->setText(qs(form.attachments));
    signer_->setText(qs(form.signer));
    opinion_->setPlainText(qs(form.opinion));
    // The sign time shown is the time it would be signed at.
    clockTimer_ = new QTimer(this);
    auto tick = [this] { signTime_->setText(qs(FormatTime(signing_->nowSeconds()))); };
    tick();
    connect(clockTimer_, &QTimer::timeout, this, tick);
    clockTimer_->start(kClockRefreshMs);
}

SignDialog::SignDialog(UiLanguage lang, const std::string& sender, const SignRecord& r,
                       QWidget* parent)
    : QDialog(parent) {
    build(lang);
    QString title = qtext(lang, signtexts::kSignTitle);
    if (r.signTime == 0) title += qtext(lang, texts::kNotSignedTitle);
    setWindowTitle(title);
    sign_->hide();
    opinion_->setReadOnly(true);
    sender_->setText(qs(sender));
    signer_->setText(qs(r.recipient));
    subject_->setText(qs(r.message));
    attach_->setText(qs(r.attachments));
    opinion_->setPlainText(qs(r.opinion));
    sendTime_->setText(timeText(r.mailTime));
    signTime_->setText(timeText(r.signTime));
}

void SignDialog::sign() {
    if (!signing_ || busy_) return;
    std::string refusal;
    QPointer<SignDialog> self(this);
    bool started = signing_->sign(
        form_.key, opinion_->toPlainText().toUtf8().toStdString(),
        [self](bool ok, const std::string& message) {
            if (!self) return;
            self->busy_ = false;
            self->unsetCursor();
            self->sign_->setEnabled(true);
            self->opinion_->setEnabled(true);
            self->status_->clear();
            if (self->showMessage) self->showMessage(qs(message));
            if (!ok || !self) return;
            if (self->signedMail) self->signedMail();
            self->accept();
        },
        &refusal);
    if (!started) {
        if (!refusal.empty() && showMessage) showMessage(qs(refusal));
        return;
    }
    busy_ = true;
    setCursor(Qt::BusyCursor);
    sign_->setEnabled(false);
    opinion_->setEnabled(false);
    status_->setText(qtext(lang_, signtexts::kWaiting));
}

// ---------------------------------------------------------------- sign-status dialog

SignStatusDialog::SignStatusDialog(SigningFacade& signing, CoreTables& tables, UiLanguage lang,
                                   const std::string& sender, int32_t mailTime, QWidget* parent)
    : QDialog(parent),
      signing_(signing),
      tables_(tables),
      lang_(lang),
      sender_(sender),
      mailTime_(mailTime) {
    setWindowTitle(qtext(lang, signtexts::kStatusTitle));
    auto* senderField = new QLineEdit(qs(sender), this);
    senderField->setReadOnly(true);
    auto* timeField = new QLineEdit(timeText(mailTime), this);
    timeField->setReadOnly(true);
    auto* form = new QFormLayout;
    form->addRow(qtext(lang, signtexts::kSender), senderField);
    form->addRow(qtext(lang, signtexts::kSendTime), timeField);

    const auto& cols = receiptColumns();
    list_ = new QTableWidget(0, static_cast<int>(cols.size()), this);
    QStringList titles;
    for (size_t c = 0; c < cols.size(); ++c) {
        titles << qtext(lang, cols[c].title);
        int w = tables_.settingNumber(cols[c].widthSetting);
        list_->setColumnWidth(static_cast<int>(c), w > 0 ? w : kDefaultColumnWidth);
    }
    list_->setHorizontalHeaderLabels(titles);
    list_->verticalHeader()->hide();
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    status_ = new QLabel(this);
    signed_ = new QPushButton(qtext(lang, signtexts::kShowSigned), this);
    signed_->setObjectName("1000");
    unsigned_ = new QPushButton(qtext(lang, signtexts::kShowUnsigned), this);
    unsigned_->setObjectName("1001");
    close_ = new QPushButton(qtext(lang, signtexts::kClose), this);
    auto* row = new QHBoxLayout;
    row->addWidget(status_, 1);
    row->addWidget(signed_);
    row->addWidget(unsigned_);
    row->addWidget(close_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(list_);
    layout->addLayout(row);
    resize(620, 360);

    connect(signed_, &QPushButton::clicked, this, [this] { showSigned(); });
    connect(unsigned_, &QPushButton::clicked, this, [this] { showUnsigned(); });
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    connect(list_, &QTableWidget::cellDoubleClicked, this, [this](int r) { openDetails(r); });
    connect(list_, &QTableWidget::customContextMenuRequested, this, [this](const QPoint& at) {
        QMenu menu(this);
        QAction* details = menu.addAction(qtext(lang_, signtexts::kDetails));
        QAction* del = menu.addAction(qtext(lang_, signtexts::kDeleteRecord));
        QAction* chosen = menu.exec(list_->viewport()->mapToGlobal(at));
        if (chosen == details) openDetails(list_->currentRow());
        if (chosen == del) deleteSelected();
    });
    refresh();
}

SignStatusDialog::~SignStatusDialog() {
    const auto& cols = receiptColumns();
    for (size_t c = 0; c < cols.size(); ++c)
        tables_.setSettingNumber(cols[c].widthSetting, list_->columnWidth(static_cast<int>(c)));
}

void SignStatusDialog::setBusy(bool busy) {
    busy_ = busy;
    signed_->setEnabled(!busy);
    unsigned_->setEnabled(!busy);
    if (busy) {
        setCursor(Qt::BusyCursor);
        status_->setText(qtext(lang_, signtexts::kWaiting));
    } else {
        unsetCursor();
        status_->clear();
    }
}

void SignStatusDialog::list(int32_t mailTime, ReceiptFilter filter) {
    if (busy_) return;
    setBusy(true);
    QPointer<SignStatusDialog> self(this);
    signing_.listReceipts(
        mailTime, filter, [self](bool answered, const std::vector<SignRecord>& rows) {
            if (!self) return;
            self->setBusy(false);
            if (!answered) {
                self->status_->setText(qtext(self->lang_, texts::kReceiptsNoAnswer));
                return;
            }
            self->rows_ = rows;
            self->list_->setRowCount(0);
            for (const auto& r : rows) {
                int n = self->list_->rowCount();
                self->list_->insertRow(n);
                auto cells = self->signing_.receiptCells(r);
                for (size_t c = 0; c < cells.size(); ++c)
                    self->list_->setItem(n, static_cast<int>(c),
                                         new QTableWidgetItem(qs(cells[c])));
            }
        });
}

void SignStatusDialog::refresh() {
    list(mailTime_, ReceiptFilter::All);
}
void SignStatusDialog::showSigned() {
    list(0, ReceiptFilter::Signed);
}
void SignStatusDialog::showUnsigned() {
    list(0, ReceiptFilter::Unsigned);
}

SignDialog* SignStatusDialog::openDetails(int row) {
    if (row < 0 || row >= static_cast<int>(rows_.size())) return nullptr;
    auto* d = new SignDialog(lang_, sender_, rows_[static_cast<size_t>(row)], this);
    d->setAttribute(Qt::WA_DeleteOnClose);
    d->open();
    return d;
}

void SignStatusDialog::deleteSelected() {
    if (busy_) return;
    std::set<int> chosen;
    for (const QModelIndex& i : list_->selectionModel()->selectedRows())
        chosen.insert(i.row());
    std::vector<SignRecord> gone;
    for (int r : chosen)
        if (r >= 0 && r < static_cast<int>(rows_.size()))
            gone.push_back(rows_[static_cast<size_t>(r)]);
    if (gone.empty()) return;
    setBusy(true);
    QPointer<SignStatusDialog> self(this);
    signing_.deleteReceipts(gone, [self](bool) {
        if (!self) return;
        self->setBusy(false);
        self->refresh();
    });
}

}  // namespace orv
