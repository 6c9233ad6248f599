#include "SNP_Rehearsal.h"

#include "AppController.h"
#include "SNP_KeyboardView.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include <cstdio>
#include <functional>

#include <fcntl.h>
#include <unistd.h>

namespace SNP_Rehearsal {

namespace {

const QString kOption = QStringLiteral("--rehearse");
int gConsoleError = -1; // standard error before the log took it over

const QString kSnapshotOption = QStringLiteral("--snapshots");
// How often a wait looks at its condition again: what it waits for (a screen, a filing on
// the camera's thread) is no event of its own.
constexpr int kCheckMs = 50;

// Runs the event loop until the condition holds or the deadline passes. The loop blocks
// on events between the checks: no spinning.
bool waitFor(const std::function<bool()>& condition, const QDeadlineTimer& deadline)
{
    if (condition())
        return true;
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (condition() || deadline.hasExpired())
            loop.quit();
    });
    check.start(kCheckMs);
    if (!deadline.hasExpired())
        loop.exec();
    return condition();
}

// The value of "OPTION VALUE" or "OPTION=VALUE"; none when the option is absent.
std::optional<QString> optionValue(const QStringList& arguments, const QString& option)
{
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        if (arguments[i] == option)
            return i + 1 < arguments.size() ? arguments[i + 1] : QString();
        if (arguments[i].startsWith(option + u'='))
            return arguments[i].mid(option.size() + 1);
    }
    return std::nullopt;
}

// Writes the screens the pass reaches. A screen with the camera's live picture is taken
// once the first frame shows (or after one of the screens' seconds without one).
class Snapshots : public QObject {
public:
    Snapshots(AppController& controller, const QString& folder) : _c(controller), _folder(folder)
    {
        if (_folder.isEmpty())
            return;
        if (!QDir().mkpath(_folder))
            SNP_Log::debugf("rehearsal: cannot make the snapshot folder %s", qUtf8Printable(_folder));
        connect(&_c, &AppController::screenShown, this, &Snapshots::screenShown);
        connect(&_waitForFrame, &QTimer::timeout, this, [this] {
            if ((_c.cameraPictureView() && _c.cameraPictureView()->isVisible()) || _sinceScreen.elapsed() > _c.screenTickMs()) {
                _waitForFrame.stop();
                take();
            }
        });
    }

    // Writes what each window the visitor sees shows now, named after the screen's pictures
    // (or the name given).
    void take(const QString& name = QString())
    {
        if (_folder.isEmpty())
            return;
        QWidget* touch = _c.touchView() ? _c.touchView()->window() : nullptr;
        QWidget* live = _c.liveWindow();
        // On one screen the live window, when shown, covers the touch window.
        const bool touchCovered = live && touch && live->isVisible() && live->isFullScreen() &&
                                  live->screen() == touch->screen();
        const std::pair<QWidget*, const char*> windows[] = {{touchCovered ? nullptr : touch, "touch"}, {live, "live"}};
        for (const auto& [window, kind] : windows) {
            if (!window || !window->isVisible())
                continue;
            const QString shown = name.isEmpty() ? QStringLiteral("screen%1").arg(_c.screenPictureNumber()) : name;
            const QString path = QDir(_folder).filePath(QStringLiteral("%1-%2.png").arg(shown, QLatin1String(kind)));
            if (!window->grab().save(path, "PNG"))
                SNP_Log::debugf("rehearsal: cannot write the snapshot %s", qUtf8Printable(path));
        }
    }

private:
    void screenShown(uint32_t screen)
    {
        _waitForFrame.stop();
        if (screen == 1 || screen == 2)
            return; // taken when the pass begins and once the addresses are typed
        if (screen == 3 || screen == 4) {
            _sinceScreen.start();
            _waitForFrame.start(kCheckMs);
            return;
        }
        take();
    }

    AppController& _c;
    QString _folder;
    QTimer _waitForFrame;
    QElapsedTimer _sinceScreen;
};

Outcome failed(const QString& reason)
{
    Outcome outcome;
    outcome.reason = reason;
    SNP_Log::debugf("rehearsal: %s", qUtf8Printable(reason));
    return outcome;
}

// The steps of one pass: each answers the failed pass's outcome, or none to go on.
using Failure = std::optional<Outcome>;

// The whole pass's time when none is given: the touch countdown, the live countdown, the
// capture time-out and the result, each a tick longer, plus time for the camera to turn up.
int passTimeoutMs(int tick)
{
    const qint64 ticks = qint64(SNP_Preferences::touchScreenCountValue()) + 1 + 10 + 16 + 3;
    return int(qMin<qint64>(ticks * tick + 30000, 4 * 3600 * 1000));
}

// Screen 1, once the camera is there: the go button touched, the e-mail screen open.
Failure touchGoButton(AppController& c, Snapshots& snapshots, const QDeadlineTimer& deadline)
{
    // The camera: the first one found is made current at start-up.
    if (!waitFor([&] { return c.currentCamera() != nullptr; }, QDeadlineTimer(qMin<qint64>(deadline.remainingTime(), 15000))))
        return failed(QStringLiteral("no camera was found"));

    // Screen 1: touch the go button.
    if (!waitFor([&] { return c.screenNumber() == 1; }, deadline))
        return failed(QStringLiteral("the booth is not on its first screen (screen %1)").arg(c.screenNumber()));
    if (!c.goButton() || c.goButton()->isHidden())
        return failed(QStringLiteral("the go button is not shown"));
    snapshots.take();
    c.goButton()->click();
    if (c.screenNumber() != 2)
        return failed(QStringLiteral("the go button did not open the e-mail screen (screen %1)").arg(c.screenNumber()));
    return std::nullopt;
}

// Screen 2: every address typed with the keyboard's keys.
Failure typeAddresses(SNP_KeyboardView* keyboard, const QStringList& addresses)
{
    if (!keyboard || keyboard->isHidden())
        return failed(QStringLiteral("the keyboard is not shown"));
    for (int i = 0; i < addresses.size(); ++i) {
        QLineEdit* field = keyboard->emailField(i);
        if (!field)
            return failed(QStringLiteral("the keyboard has no field %1").arg(i + 1));
        field->setFocus(Qt::MouseFocusReason); // the visitor touches the field
        QCoreApplication::processEvents();
        for (const QChar ch : addresses[i]) {
            QPushButton* key = keyboard->keyButtonForText(QString(ch));
            if (!key)
                return failed(QStringLiteral("the keyboard has no key for \"%1\" in %2").arg(ch).arg(addresses[i]));
            key->click();
        }
        if (field->text().compare(addresses[i], Qt::CaseInsensitive) != 0)
            return failed(QStringLiteral("typing %1 gave \"%2\" in field %3").arg(addresses[i], field->text()).arg(i + 1));
    }
    return std::nullopt;
}

// Screen 2: the addresses accepted (an address asked about is kept as typed); acceptedBefore
// is the count of pictures taken for visitors just before.
Failure acceptAddresses(AppController& c, SNP_KeyboardView* keyboard, const QStringList& addresses,
                        Snapshots& snapshots, uint64_t* acceptedBefore)
{
    QPushButton* accept = keyboard->keyButtonForText(QStringLiteral("key_accept"));
    if (!accept)
        return failed(QStringLiteral("the keyboard has no accept key"));
    snapshots.take();
    *acceptedBefore = c.photoAcceptedCount();
    accept->click();
    // "Did you mean ...?": staff typed what they meant; it is kept (and the question kept
    // in a snapshot of its own).
    for (int asked = 0; asked < addresses.size() && c.screenNumber() == 2; ++asked) {
        QPushButton* keep = c.findChild<QPushButton*>(QStringLiteral("_keepAddressButton"));
        if (!keep || !keep->isVisible())
            break;
        snapshots.take(QStringLiteral("question"));
        keep->click();
    }
    if (c.screenNumber() != 3) {
        const QString notice = c.rejectionNoticeText();
        return failed(QStringLiteral("the addresses were refused %1").arg(notice));
    }
    return std::nullopt;
}

// Screens 3 to 6: the countdowns, the picture, filing; then back to screen 1. Filing runs
// on after the booth has moved on to screen 6 and may still run on screen 1.
Failure waitForFiling(AppController& c, uint64_t acceptedBefore, const QDeadlineTimer& deadline)
{
    const bool arrived =
        waitFor([&] { return c.photoAcceptedCount() > acceptedBefore || c.screenNumber() == 1; }, deadline);
    if (!arrived)
        return failed(QStringLiteral("the pass did not end in time (screen %1)").arg(c.screenNumber()));
    if (c.photoAcceptedCount() == acceptedBefore)
        return failed(QStringLiteral("no picture arrived from the camera before the capture time-out"));
    if (!waitFor([&] { return c.filingsInProgress() == 0; }, deadline))
        return failed(QStringLiteral("the picture's filing did not end in time"));
    waitFor([&] { return c.screenNumber() == 1; }, deadline);
    return std::nullopt;
}

// What the pass's filing produced, as the pass's outcome.
Outcome outcomeOfFiling(const AppController::FilingResult& filing)
{
    Outcome outcome;
    outcome.filedPath = filing.filedPath;
    outcome.uploadPath = filing.uploadPath;
    if (!filing.uploaded) {
        outcome.reason = filing.filedPath.isEmpty()
                             ? (filing.scratchPath.isEmpty()
                                    ? QStringLiteral("the picture was not written (see the log)")
                                    : QStringLiteral("the picture was not filed; it is at %1 (see the log)").arg(filing.scratchPath))
                             : QStringLiteral("no upload file was written for %1 (see the log)").arg(filing.filedPath);
        SNP_Log::debugf("rehearsal: %s", qUtf8Printable(outcome.reason));
        return outcome;
    }
    outcome.ok = true;
    SNP_Log::debugf("rehearsal: filed %s, upload file %s", qUtf8Printable(filing.filedPath),
                    qUtf8Printable(filing.uploadPath));
    return outcome;
}

} // namespace

std::optional<QStringList> addressesFromArguments(const QStringList& arguments)
{
    const std::optional<QString> value = optionValue(arguments, kOption);
    if (!value)
        return std::nullopt;
    QStringList addresses;
    for (const QString& part : value->split(u',', Qt::SkipEmptyParts))
        if (!part.trimmed().isEmpty())
            addresses << part.trimmed();
    return addresses;
}

QString snapshotFolderFromArguments(const QStringList& arguments)
{
    return optionValue(arguments, kSnapshotOption).value_or(QString());
}

Outcome rehearse(AppController& c, const QStringList& addresses, int timeoutMs, const QString& snapshotFolder)
{
    Snapshots snapshots(c, snapshotFolder);
    const int tick = c.screenTickMs();
    if (timeoutMs <= 0)
        timeoutMs = passTimeoutMs(tick);
    const QDeadlineTimer deadline(timeoutMs);
    // The pass itself logs the addresses once, as it accepts them.
    SNP_Log::debugf("rehearsal: one pass with %s",
                    qUtf8Printable(SNP_Log::maskedAddresses(addresses).join(QStringLiteral(", "))));

    if (addresses.isEmpty())
        return failed(QStringLiteral("no address given (--rehearse ADDRESS[,ADDRESS...])"));
    if (addresses.size() > 4)
        return failed(QStringLiteral("the keyboard takes at most 4 addresses, %1 given").arg(addresses.size()));

    if (Failure failure = touchGoButton(c, snapshots, deadline))
        return *failure;
    SNP_KeyboardView* keyboard = c.keyboardWidget();
    if (Failure failure = typeAddresses(keyboard, addresses))
        return *failure;
    uint64_t acceptedBefore = 0;
    if (Failure failure = acceptAddresses(c, keyboard, addresses, snapshots, &acceptedBefore))
        return *failure;
    if (Failure failure = waitForFiling(c, acceptedBefore, deadline))
        return *failure;
    return outcomeOfFiling(c.lastFilingResult());
}

void keepStandardError()
{
    if (gConsoleError < 0)
        gConsoleError = ::fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3);
}

int run(AppController& controller, const QStringList& addresses, const QString& snapshotFolder)
{
    const Outcome outcome = rehearse(controller, addresses, 0, snapshotFolder);
    if (!outcome.ok) {
        const QByteArray line = "rehearsal failed: " + outcome.reason.toUtf8() + "\n";
        const int fd = gConsoleError >= 0 ? gConsoleError : STDERR_FILENO;
        for (qsizetype done = 0; done < line.size();) {
            const ssize_t n = ::write(fd, line.constData() + done, size_t(line.size() - done));
            if (n <= 0)
                break;
            done += n;
        }
        return 1;
    }
    std::printf("filed picture: %s\nupload file: %s\n", qUtf8Printable(outcome.filedPath),
                qUtf8Printable(outcome.uploadPath));
    std::fflush(stdout);
    return 0;
}

} // namespace SNP_Rehearsal
