// The operator panel's mail line: "Mail: N waiting, M sent, K failed", read from the
// mailer's delivery journal (for the booth's current upload folder) at once and then every
// few seconds. The journal is only ever opened read-only; when there is none yet the line
// says so.
//
// Threads: main thread only (a timer of the main loop; the read takes a few milliseconds
// and waits at most 200 ms for the mailer's lock).
#pragma once

#include <QObject>
#include <QPointer>
#include <QTimer>

class QLabel;

class SNP_MailStatusLine : public QObject {
    Q_OBJECT
public:
    static constexpr int kIntervalMs = 5000;

    SNP_MailStatusLine(QLabel* label, QObject* parent);
    // Tests: the period of the reads (0: kIntervalMs) for lines made from now on.
    static void setIntervalForTesting(int ms);

    void refresh();

private:
    QPointer<QLabel> _label;
    QTimer _timer;
};
