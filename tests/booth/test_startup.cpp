// Start-up: the wiring of awakeFromNib and applicationDidFinishLaunching, and the
// watchdog (heartbeats under a modal dialog, spinning while the main thread stalls); and a
// booth whose main thread hangs for good, run as a child process under the kiosk unit's own
// restart rules: the watchdog ends it with status 1 and a new booth comes up.
#include "BoothRunFixture.h"
#include "TestPaths.h"

#include "SNP_CanonCameraNotifications.h"

#include <QDialog>
#include <QImageReader>
#include <QProcess>

#include <chrono>
#include <numeric>
#include <thread>

namespace {

QList<int> spinningCounts(const QString& text)
{
    static const QRegularExpression re(
        QStringLiteral(R"(Watchdog says we are spinning for (\d+) seconds on the main thread)"));
    QList<int> counts;
    for (auto it = re.globalMatch(text); it.hasNext();)
        counts << it.next().captured(1).toInt();
    return counts;
}

// Keeps the main thread busy (no events served) until the condition holds.
bool blockMainThreadUntil(const std::function<bool()>& condition, int timeoutMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::yield();
    }
    return true;
}

using StartupTest = BoothRunFixture;

} // namespace

TEST_F(StartupTest, WakingWiresTheWindowsAndTheCameraObservers)
{
    const int observersBefore = SNP_NotificationCenter::defaultCenter().observerCount();
    start(false);
    EXPECT_EQ(c->screenNumber(), 1u);
    EXPECT_EQ(SNP_NotificationCenter::defaultCenter().observerCount(), observersBefore + 10);
    for (const char* field : {"_touchCountdownField", "_liveCountdownField1", "_liveCountdownField2"})
        EXPECT_FALSE(view.shown(field)) << field;
    const auto colour = [&](const char* name) {
        return view.get<QLabel>(name)->palette().color(QPalette::WindowText).toRgb();
    };
    EXPECT_EQ(colour("_touchCountdownField"), QColor(239, 142, 35));
    EXPECT_EQ(colour("_liveCountdownField1"), QColor(Qt::white));
    EXPECT_EQ(view.keyboard()->parentWidget(), view.get("_touchView"));
    c->show();
    c->applicationDidFinishLaunching();
    EXPECT_FALSE(view.shown("_EVFView"));
    EXPECT_TRUE(c->inKioskMode());
    c.reset();
    EXPECT_EQ(SNP_NotificationCenter::defaultCenter().observerCount(), observersBefore);
}

TEST_F(StartupTest, HeartbeatRunsUnderAModalDialog)
{
    AppController::setWatchdogPeriod(std::chrono::milliseconds(20));
    build();
    ASSERT_TRUE(waitUntil([&] { return c->heartbeats() > 0; }));
    QDialog dialog;
    const uint32_t atStart = c->heartbeats();
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (c->heartbeats() >= atStart + 5)
            dialog.accept();
    });
    const qsizetype mark = logMark();
    poll.start(5);
    dialog.exec();
    EXPECT_GE(c->heartbeats(), atStart + 5);
    EXPECT_TRUE(spinningCounts(logSince(mark)).isEmpty());
}

TEST_F(StartupTest, WatchdogCountsAStallAndStopsWhenTheMainThreadResumes)
{
    AppController::setWatchdogPeriod(std::chrono::milliseconds(50));
    build();
    ASSERT_TRUE(waitUntil([&] { return c->heartbeats() >= 2; }));
    for (int stall = 0; stall < 2; ++stall) {
        SCOPED_TRACE(stall);
        const qsizetype mark = logMark();
        ASSERT_TRUE(blockMainThreadUntil([&] { return spinningCounts(logSince(mark)).size() >= 3; }, 10000));
        // Resumed: the queued heartbeats run, then the watchdog sees a served loop. Each
        // stall counts from 0, and the counting stops.
        const uint32_t resumed = c->heartbeats();
        ASSERT_TRUE(waitUntil([&] { return c->heartbeats() >= resumed + 3; }));
        const QList<int> during = spinningCounts(logSince(mark));
        for (int i = 0; i < during.size(); ++i)
            EXPECT_EQ(during[i], i);
        const uint32_t later = c->heartbeats();
        ASSERT_TRUE(waitUntil([&] { return c->heartbeats() >= later + 5; }));
        EXPECT_EQ(spinningCounts(logSince(mark)), during);
        EXPECT_FALSE(logSince(mark).contains("hanging"));
    }
}

// Runs only as the booth the next test supervises. Its first life files one visitor's
// picture and hangs (the watchdog ends it with status 1); a later life reaches the first
// screen, says so on standard output and serves until it is stopped (a minute at most).
TEST(SupervisedChild, FilesAPictureThenHangs)
{
    const QString root = qEnvironmentVariable("BOOTH_SUPERVISED_ROOT");
    if (root.isEmpty())
        GTEST_SKIP() << "run by Supervision.AHungBoothIsBackOnItsFirstScreenWithItsPicture";
    AppController::setWatchdogPeriod(std::chrono::milliseconds(50));
    BoothRun run(root);
    ASSERT_TRUE(run.start(20));
    const QString hung = root + "/hung";
    if (!QFileInfo::exists(hung)) {
        const SNP_Rehearsal::Outcome outcome = run.pass({"anna@example.com", "ben@example.org"});
        ASSERT_TRUE(outcome.ok) << qPrintable(outcome.reason);
        std::printf("filed: %s\nupload: %s\n", qPrintable(outcome.filedPath), qPrintable(outcome.uploadPath));
        std::fflush(stdout);
        ASSERT_TRUE(fixtures::writeFile(hung, {}));
        blockMainThreadUntil([] { return false; }, 20000);
        ADD_FAILURE() << "the watchdog did not end the process";
        return;
    }
    ASSERT_EQ(run.screen(), 1u);
    ASSERT_TRUE(run.c->inKioskMode());
    std::printf("first screen at %lld\n", QDateTime::currentMSecsSinceEpoch());
    std::fflush(stdout);
    QEventLoop serving; // until the supervisor stops it, or a minute if it is gone
    QTimer::singleShot(60000, &serving, &QEventLoop::quit);
    serving.exec();
}

// The booth under the restart rules of booth-kiosk@.service, which the supervisor reads from
// the unit file: the hung booth's watchdog counts 16 missed heartbeats and ends it with status
// 1, a new booth shows its first screen within 10 s of that, and the picture filed before the
// hang is still there, whole, with its addresses.
TEST(Supervision, AHungBoothIsBackOnItsFirstScreenWithItsPicture)
{
    QTemporaryDir dir;
    QProcess supervisor;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BOOTH_SUPERVISED_ROOT", dir.path());
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    supervisor.setProcessEnvironment(environment);
    supervisor.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    supervisor.start(QFileInfo::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3",
                     {BOOTH_SOURCE_DIR "/tests/booth/supervise.py",
                      BOOTH_SOURCE_DIR "/packaging/systemd/booth-kiosk@.service", QCoreApplication::applicationFilePath(),
                      "--gtest_filter=SupervisedChild.FilesAPictureThenHangs"});
    QString out;
    const bool backUp = waitUntil([&] {
        out += QString::fromUtf8(supervisor.readAllStandardOutput());
        return out.contains("first screen at") || supervisor.state() == QProcess::NotRunning;
    }, 90000);
    supervisor.terminate();
    EXPECT_TRUE(supervisor.waitForFinished(10000));
    out += QString::fromUtf8(supervisor.readAllStandardOutput());
    ASSERT_TRUE(backUp && out.contains("first screen at")) << qPrintable(out);
    EXPECT_FALSE(out.contains("[  FAILED  ]")) << qPrintable(out);
    EXPECT_TRUE(out.contains("rules: Restart=on-failure RestartSec=1.0")) << qPrintable(out);

    const auto timesOf = [&](const QString& event) {
        QList<qint64> times;
        const QRegularExpression re(event + QStringLiteral(" at (\\d+)"));
        for (auto it = re.globalMatch(out); it.hasNext();)
            times << it.next().captured(1).toLongLong();
        return times;
    };
    const QList<qint64> starts = timesOf("started \\d+"), exits = timesOf("exited 1"), shown = timesOf("first screen");
    ASSERT_TRUE(starts.size() == 2 && exits.size() == 1 && shown.size() == 1) << qPrintable(out);
    std::printf("restarted %lld ms after the watchdog's exit; first screen %lld ms after it\n",
                starts[1] - exits[0], shown[0] - exits[0]);
    EXPECT_LT(shown[0] - exits[0], 10000);

    // The hang's counts run from 0 to 15 without a gap (a slow start may have cost a
    // heartbeat before), then the watchdog says it ends the booth.
    const QString hanging = QStringLiteral("Watchdog says we are hanging after 16 seconds ... app is exiting");
    const QString log = QString::fromUtf8(fixtures::readFile(dir.filePath("booth.log")));
    ASSERT_TRUE(log.contains(hanging));
    const QList<int> counts = spinningCounts(log.left(log.indexOf(hanging)));
    QList<int> expected(16);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(counts.mid(counts.lastIndexOf(0)), expected);

    for (const QString& path : {out.section("filed: ", 1, 1).section('\n', 0, 0),
                                out.section("upload: ", 1, 1).section('\n', 0, 0)}) {
        EXPECT_FALSE(QImageReader(path).read().isNull()) << qPrintable(path);
        EXPECT_TRUE(fixtures::readFile(path).endsWith("\xff\xd9")) << qPrintable(path);
        EXPECT_EQ(addressesIn(path), (QStringList{"anna@example.com", "ben@example.org"})) << qPrintable(path);
    }
}
