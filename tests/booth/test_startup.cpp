// Start-up: the wiring of awakeFromNib and applicationDidFinishLaunching, and the
// watchdog (heartbeats under a modal dialog, spinning while the main thread stalls, and
// the exit of a process whose main thread hangs for good, run as a child process).
#include "BoothRunFixture.h"

#include "SNP_CanonCameraNotifications.h"

#include <QDialog>
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

// Runs only inside the child process started by the next test.
TEST(WatchdogChild, HangsForGood)
{
    if (qEnvironmentVariableIsEmpty("BOOTH_WATCHDOG_CHILD"))
        GTEST_SKIP() << "run by WatchdogExit.ProcessExitsWithStatusOne";
    AppController::setWatchdogPeriod(std::chrono::milliseconds(50));
    AppController controller;
    ASSERT_TRUE(waitUntil([&] { return controller.heartbeats() > 0; }));
    // The main thread stops serving events; the watchdog must end the process.
    blockMainThreadUntil([] { return false; }, 20000);
    ADD_FAILURE() << "the watchdog did not end the process";
}

TEST(WatchdogExit, ProcessExitsWithStatusOne)
{
    QTemporaryDir dir;
    const QString childLog = dir.filePath("child.log");
    QProcess child;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("BOOTH_WATCHDOG_CHILD", "1");
    environment.insert("BOOTH_LOG_FILE", childLog);
    environment.insert("QT_QPA_PLATFORM", "offscreen");
    child.setProcessEnvironment(environment);
    child.start(QCoreApplication::applicationFilePath(), {"--gtest_filter=WatchdogChild.HangsForGood"});
    ASSERT_TRUE(child.waitForFinished(30000)) << "child still running";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 1) << child.readAllStandardOutput().constData();

    const QString text = QString::fromUtf8(fixtures::readFile(childLog));
    // A slow start may have cost a heartbeat before the stall; the stall itself is the
    // last run of counts, which goes from 0 to 15 without a gap.
    const QList<int> counts = spinningCounts(text);
    const qsizetype lastRun = counts.lastIndexOf(0);
    ASSERT_GE(lastRun, 0);
    QList<int> expected(16);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(counts.mid(lastRun), expected);
    const QString hanging = QStringLiteral("Watchdog says we are hanging after 16 seconds ... app is exiting");
    EXPECT_GT(text.indexOf(hanging), text.lastIndexOf("spinning for 15 seconds"));
}
