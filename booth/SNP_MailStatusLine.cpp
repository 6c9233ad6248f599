#include "SNP_MailStatusLine.h"

#include "AppController.h"
#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"

#include <QLabel>

#include <atomic>

namespace {
std::atomic<int> gIntervalMs{0};
}

SNP_MailStatusLine::SNP_MailStatusLine(QLabel* label, QObject* parent) : QObject(parent), _label(label)
{
    if (!_label)
        return;
    const int interval = gIntervalMs.load();
    connect(&_timer, &QTimer::timeout, this, &SNP_MailStatusLine::refresh);
    _timer.start(interval > 0 ? interval : kIntervalMs);
    refresh();
}

void SNP_MailStatusLine::setIntervalForTesting(int ms) { gIntervalMs.store(ms); }

void SNP_MailStatusLine::refresh()
{
    if (!_label)
        return;
    const QString journal = SNP_MailSettings::foldersForUpload(gForUploadFolder()).journal;
    const auto summary = SNP_MailJournal::readSummary(journal);
    _label->setText(summary ? QStringLiteral("Mail: %1 waiting, %2 sent, %3 failed")
                                  .arg(summary->waiting).arg(summary->sent).arg(summary->failed)
                            : QStringLiteral("Mail: no delivery journal"));
}
