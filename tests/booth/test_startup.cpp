// Start-up: the user defaults and their overrides, the folder values and panels, the
// alert, and the watchdog (heartbeat under a modal dialog, spinning, and the exit of a
// process whose main thread hangs for good, run as a child process).
#include <gtest/gtest.h>

#include "AppController.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "TestSupport.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QLabel>
#include <QProgressBar>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#ifdef HAVE_QT_TTS
#include <QTextToSpeech>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

namespace {

// Set up before the application object exists: the user defaults live in a folder of the
// test's own, and so does the log (a child process gets its log path from its parent).
struct TestEnvironment {
    QTemporaryDir dir;
    QString configHome;
    QString logPath;
    TestEnvironment()
    {
        configHome = dir.filePath("config");
        QDir().mkpath(configHome);
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(configHome));
        if (qEnvironmentVariableIsEmpty("BOOTH_LOG_FILE"))
            qputenv("BOOTH_LOG_FILE", QFile::encodeName(dir.filePath("booth.log")));
        logPath = qEnvironmentVariable("BOOTH_LOG_FILE");
    }
};
TestEnvironment& env()
{
    static TestEnvironment e;
    return e;
}
const bool kEnvironmentReady = (env(), true);

QString storePath() { return env().configHome + "/Korvanex/booth.conf"; }

QByteArray logText()
{
    QFile f(env().logPath);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Log text written since a mark taken with logText().size().
QString logSince(qsizetype mark) { return QString::fromUtf8(logText().mid(mark)); }

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

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(kEnvironmentReady);
        QFile::remove(storePath());
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        AppController::setWatchdogPeriod(std::chrono::milliseconds(1000));
    }
    void TearDown() override
    {
        controller.reset();
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        AppController::setWatchdogPeriod(std::chrono::milliseconds(1000));
    }
    QSettings stored() { return QSettings(storePath(), QSettings::IniFormat); }
    std::unique_ptr<AppController> controller;
};

} // namespace

TEST_F(StartupTest, FirstStartResolvesDefaultsAndWritesThemBack)
{
    const qsizetype mark = logText().size();
    controller = std::make_unique<AppController>();
    EXPECT_EQ(gScratchFolder(), QStringLiteral("/CanonScratchFolder"));
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/KorvanexMainImagesFolder"));
    EXPECT_EQ(gForUploadFolder(), QStringLiteral("/KorvanexUploadFolder"));
    ASSERT_TRUE(QFile::exists(storePath())) << qPrintable(storePath());
    QSettings settings = stored();
    EXPECT_EQ(settings.value("scratchFolder").toString(), QStringLiteral("/CanonScratchFolder"));
    EXPECT_EQ(settings.value("mainImagesFolder").toString(), QStringLiteral("/KorvanexMainImagesFolder"));
    EXPECT_EQ(settings.value("forUploadFolder").toString(), QStringLiteral("/KorvanexUploadFolder"));
    EXPECT_FALSE(settings.contains("touchScreenCountValue"));

    EXPECT_EQ(SNP_Log::logFilePath(), env().logPath);
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("init with coder!"));
    if (mark == 0) {
        // The first controller of the process opened the log: the banner leads it.
        const qsizetype banner = text.indexOf(QString(80, u'^'));
        EXPECT_GE(banner, 0);
        EXPECT_LT(banner, text.indexOf("starting up"));
        EXPECT_LT(text.indexOf("starting up"), text.indexOf("init with coder!"));
    }
    EXPECT_TRUE(controller->_emails.isEmpty());
    EXPECT_EQ(controller->_currentCamera, nullptr);
    EXPECT_EQ(controller->_cameraClockSkew, 0.0);
}

TEST_F(StartupTest, StoredFolderIsUsedUnchecked)
{
    {
        QSettings settings = stored();
        settings.setValue("mainImagesFolder", "/no/such/folder/anywhere");
    }
    controller = std::make_unique<AppController>();
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/no/such/folder/anywhere"));
    EXPECT_FALSE(QDir("/no/such/folder/anywhere").exists());
    EXPECT_EQ(stored().value("mainImagesFolder").toString(), QStringLiteral("/no/such/folder/anywhere"));
}

TEST_F(StartupTest, ArgumentsOverrideForOneRunOnly)
{
    {
        QSettings settings = stored();
        settings.setValue("mainImagesFolder", "/stored/images");
        settings.setValue("touchScreenCountValue", 20);
    }
    SNP_Preferences::setArguments(QStringList{"booth", "-mainImagesFolder", "/override/images",
                                              "-touchScreenCountValue", "12", "-cameraBackend", "gphoto2"});
    controller = std::make_unique<AppController>();
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/override/images"));
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 12u);
    EXPECT_EQ(SNP_Preferences::cameraBackend(), QStringLiteral("gphoto2"));
    QSettings settings = stored();
    EXPECT_EQ(settings.value("mainImagesFolder").toString(), QStringLiteral("/stored/images"));
    EXPECT_EQ(settings.value("touchScreenCountValue").toInt(), 20);
    EXPECT_FALSE(settings.contains("cameraBackend"));

    SNP_Preferences::setArguments(QStringList{"booth"});
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 20u);
    EXPECT_EQ(SNP_Preferences::cameraBackend(), QStringLiteral("sim"));
}

TEST_F(StartupTest, BadFolderValuesFallBackWithALogLine)
{
    {
        QSettings settings = stored();
        settings.setValue("scratchFolder", "relative/scratch");
        settings.setValue("forUploadFolder", "");
        settings.setValue("mainImagesFolder", QString(5000, u'a').prepend(u'/'));
    }
    SNP_Preferences::setArguments(QStringList{"booth", "-scratchFolder", "also/relative"});
    const qsizetype mark = logText().size();
    controller = std::make_unique<AppController>();
    EXPECT_EQ(gScratchFolder(), QStringLiteral("/CanonScratchFolder"));
    EXPECT_EQ(gForUploadFolder(), QStringLiteral("/KorvanexUploadFolder"));
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/KorvanexMainImagesFolder"));
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("Ignoring stored value for scratchFolder \"relative/scratch\": not an absolute folder path"));
    EXPECT_TRUE(text.contains("Ignoring command-line value for scratchFolder \"also/relative\""));
    EXPECT_TRUE(text.contains("Ignoring empty stored value for forUploadFolder"));
    EXPECT_TRUE(text.contains("Ignoring stored value for mainImagesFolder of 5001 characters"));
    // The store is repaired with the sanitised values.
    EXPECT_EQ(stored().value("scratchFolder").toString(), QStringLiteral("/CanonScratchFolder"));
}

TEST_F(StartupTest, TouchScreenCountValues)
{
    controller = std::make_unique<AppController>();
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 83u);
    struct Case { const char* text; uint32_t expected; bool logged; };
    const Case cases[] = {
        {"0", 83, false}, {"1", 1, false}, {"3600", 3600, false}, {" 42 ", 42, false},
        {"-5", 83, true}, {"3601", 83, true}, {"99999999999999999999999", 83, true},
        {"abc", 83, true}, {"12abc", 83, true}, {"", 83, true},
    };
    for (const Case& c : cases) {
        const qsizetype mark = logText().size();
        SNP_Preferences::setArguments(QStringList{"booth", "-touchScreenCountValue", c.text});
        EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), c.expected) << c.text;
        EXPECT_EQ(logSince(mark).contains("Ignoring touchScreenCountValue"), c.logged) << c.text;
    }
    // Read afresh at every call: a stored change is seen at once.
    SNP_Preferences::setArguments(QStringList{"booth"});
    stored().setValue("touchScreenCountValue", 7);
    EXPECT_EQ(SNP_Preferences::touchScreenCountValue(), 7u);
}

TEST_F(StartupTest, ArgumentParsing)
{
    SNP_Preferences::setArguments(QStringList{"booth", "stray", "-a", "-1", "-b", "x y", "-", "-dangling"});
    const QVariantMap overrides = SNP_Preferences::argumentOverrides();
    EXPECT_EQ(overrides.size(), 2);
    EXPECT_EQ(overrides.value("a").toString(), QStringLiteral("-1"));
    EXPECT_EQ(overrides.value("b").toString(), QStringLiteral("x y"));
    const qsizetype mark = logText().size();
    controller = std::make_unique<AppController>(); // reports what was skipped
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("Ignoring command-line argument \"stray\""));
    EXPECT_TRUE(text.contains("Ignoring command-line argument \"-\""));
    EXPECT_TRUE(text.contains("Ignoring command-line key \"-dangling\": no value follows"));

    const char* argv[] = {"booth", "-cameraBackend", ""};
    SNP_Preferences::setArguments(3, argv);
    EXPECT_EQ(SNP_Preferences::cameraBackend(), QString()); // set, if empty: no backend, not the default
}

TEST_F(StartupTest, FolderPanelEndHandlers)
{
    controller = std::make_unique<AppController>();
    const qsizetype mark = logText().size();
    controller->openPanelDidEnd3(nullptr, 0, {"/chosen/images"});
    controller->openPanelDidEnd3(nullptr, 1, {});
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/KorvanexMainImagesFolder"));
    EXPECT_EQ(logSince(mark), QString());
    EXPECT_EQ(stored().value("mainImagesFolder").toString(), QStringLiteral("/KorvanexMainImagesFolder"));

    controller->openPanelDidEnd3(nullptr, 1, {"/first", "/chosen/images"});
    EXPECT_EQ(gMainImagesFolder(), QStringLiteral("/chosen/images"));
    EXPECT_EQ(stored().value("mainImagesFolder").toString(), QStringLiteral("/chosen/images"));
    controller->openPanelDidEnd(nullptr, 1, {"/chosen/scratch"});
    EXPECT_EQ(gScratchFolder(), QStringLiteral("/chosen/scratch"));
    EXPECT_EQ(stored().value("scratchFolder").toString(), QStringLiteral("/chosen/scratch"));
    controller->openPanelDidEnd2(nullptr, 1, {"/chosen/upload"});
    EXPECT_EQ(gForUploadFolder(), QStringLiteral("/chosen/upload"));
    EXPECT_EQ(stored().value("forUploadFolder").toString(), QStringLiteral("/chosen/upload"));
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("new Main Images folder selected:/chosen/images"));
    EXPECT_TRUE(text.contains("new canon scratch folder selected:/chosen/scratch"));
    EXPECT_TRUE(text.contains("new ForUpload folder selected:/chosen/upload"));
    EXPECT_FALSE(text.contains("selected:/first"));

    controller->openPanelDidEnd2(nullptr, 1, {"not/absolute"});
    EXPECT_EQ(gForUploadFolder(), QStringLiteral("/chosen/upload"));
}

TEST_F(StartupTest, FolderPanelsOpenCancelAndChoose)
{
    controller = std::make_unique<AppController>();
    QTemporaryDir chosen;
    struct PanelCase { void (AppController::*action)(QObject*); const char* title; std::function<QString()> value; };
    const PanelCase cases[] = {
        {&AppController::setDownloadFolder, "Choose the Canon Scratch folder", gScratchFolder},
        {&AppController::setForUploadFolder, "Choose the HTTP ForUpload folder", gForUploadFolder},
        {&AppController::setMainImagesFolder, "Choose the Main Images folder", gMainImagesFolder},
    };
    for (const PanelCase& c : cases) {
        for (bool accept : {false, true}) {
            const QString before = c.value();
            const qsizetype mark = logText().size();
            (controller.get()->*c.action)(nullptr);
            QFileDialog* panel = nullptr;
            ASSERT_TRUE(waitUntil([&] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                        panel = d;
                return panel != nullptr;
            }));
            EXPECT_EQ(panel->windowTitle(), QString::fromLatin1(c.title));
            EXPECT_TRUE(panel->testOption(QFileDialog::DontUseNativeDialog));
            EXPECT_EQ(panel->fileMode(), QFileDialog::Directory);
            EXPECT_TRUE(logSince(mark).contains("starting sheet with panel"));
            if (accept) {
                panel->setDirectory(chosen.path());
                panel->selectFile(chosen.path());
                static_cast<QDialog*>(panel)->done(QDialog::Accepted);
            } else {
                panel->reject();
            }
            QCoreApplication::processEvents();
            if (accept)
                EXPECT_EQ(c.value(), QDir::cleanPath(chosen.path())) << c.title;
            else
                EXPECT_EQ(c.value(), before) << c.title;
            EXPECT_TRUE(waitUntil([&] {
                for (QWidget* w : QApplication::topLevelWidgets())
                    if (auto* d = qobject_cast<QFileDialog*>(w); d && d->isVisible())
                        return false;
                return true;
            }));
        }
    }
}

TEST_F(StartupTest, TerminateHasNoEffectAndAlertShowsItsTexts)
{
    controller = std::make_unique<AppController>();
    bool quitting = false;
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, [&] { quitting = true; });
    controller->show();
    controller->terminate(controller.get());
    QCoreApplication::processEvents();
    EXPECT_FALSE(quitting);
    EXPECT_TRUE(controller->isVisible());

    QString text, informative;
    QStringList buttons;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box)
            return;
        text = box->text();
        informative = box->informativeText();
        for (QAbstractButton* b : box->buttons())
            buttons << b->text();
        poll.stop();
        box->buttons().value(0)->click();
    });
    poll.start();
    controller->alert(); // returns once the button is pressed
    EXPECT_EQ(text, QStringLiteral("ERROR!!"));
    EXPECT_EQ(informative, QStringLiteral("Can't detect camera."));
    EXPECT_EQ(buttons, QStringList{QStringLiteral("OK")});
}

TEST_F(StartupTest, HeartbeatRunsUnderAModalDialog)
{
    AppController::setWatchdogPeriod(std::chrono::milliseconds(20));
    controller = std::make_unique<AppController>();
    ASSERT_TRUE(waitUntil([&] { return controller->_watchdogCount.load() > 0; }));
    QDialog dialog;
    uint32_t atStart = 0;
    QTimer poll;
    poll.setInterval(5);
    QObject::connect(&poll, &QTimer::timeout, [&] {
        if (!atStart)
            atStart = controller->_watchdogCount.load();
        else if (controller->_watchdogCount.load() >= atStart + 5)
            dialog.accept();
    });
    const qsizetype mark = logText().size();
    poll.start();
    dialog.exec();
    EXPECT_GE(controller->_watchdogCount.load(), atStart + 5);
    EXPECT_TRUE(spinningCounts(logSince(mark)).isEmpty());
}

TEST_F(StartupTest, WatchdogCountsAStallAndStopsWhenTheMainThreadResumes)
{
    AppController::setWatchdogPeriod(std::chrono::milliseconds(50));
    controller = std::make_unique<AppController>();
    ASSERT_TRUE(waitUntil([&] { return controller->_watchdogCount.load() >= 2; }));

    for (int stall = 0; stall < 2; ++stall) {
        const qsizetype mark = logText().size();
        ASSERT_TRUE(blockMainThreadUntil([&] { return spinningCounts(logSince(mark)).size() >= 3; }, 10000));
        // Resumed: the queued heartbeats run, then the watchdog sees a served loop.
        const uint32_t resumed = controller->_watchdogCount.load();
        ASSERT_TRUE(waitUntil([&] { return controller->_watchdogCount.load() >= resumed + 3; }));
        const QList<int> during = spinningCounts(logSince(mark));
        ASSERT_GE(during.size(), 3);
        for (int i = 0; i < during.size(); ++i)
            EXPECT_EQ(during[i], i) << "stall " << stall;
        const uint32_t later = controller->_watchdogCount.load();
        ASSERT_TRUE(waitUntil([&] { return controller->_watchdogCount.load() >= later + 5; }));
        EXPECT_EQ(spinningCounts(logSince(mark)), during) << "stall " << stall;
        EXPECT_FALSE(logSince(mark).contains("hanging"));
    }
}

// A main thread that keeps answering is not hanging, however busy the process is: a long
// run of composites on the picture's thread (as filing does) must not trip the watchdog,
// though it lasts well beyond the hang time.
TEST_F(StartupTest, BusyButAnsweringMainThreadDoesNotTripTheWatchdog)
{
    // A camera-sized picture and a frame, made before the watchdog runs.
    QImage photo(4000, 2666, QImage::Format_RGB888);
    photo.fill(QColor(90, 140, 200));
    const auto jpeg = SNP_ImagePipeline::encodeJpeg(photo, 90);
    ASSERT_TRUE(jpeg.has_value());
    QImage frame(999, 700, QImage::Format_ARGB32);
    frame.fill(QColor(239, 142, 35));

    const std::chrono::milliseconds period(20);
    // The process would end after 17 periods without a heartbeat.
    const auto hangTime = period * 17;
    AppController::setWatchdogPeriod(period);
    controller = std::make_unique<AppController>();
    ASSERT_TRUE(waitUntil([&] { return controller->_watchdogCount.load() > 0; }));
    const qsizetype mark = logText().size();
    const uint32_t before = controller->_watchdogCount.load();

    std::atomic<bool> done{false};
    std::atomic<int> composites{0};
    std::atomic<bool> allMade{true};
    std::chrono::steady_clock::duration busy{};
    std::thread picture([&] {
        const auto start = std::chrono::steady_clock::now();
        // At least three hang times of composites, back to back.
        while (std::chrono::steady_clock::now() - start < 3 * hangTime || composites.load() < 2) {
            const auto composite = SNP_ImagePipeline::makeComposite(*jpeg, frame);
            if (!composite || composite->size() != frame.size())
                allMade = false;
            composites += 1;
        }
        busy = std::chrono::steady_clock::now() - start;
        done = true;
    });
    // The main thread serves its events meanwhile, and has work of its own between them.
    const bool finished = waitUntil([&] {
        QImage scratch(200, 200, QImage::Format_RGB32);
        scratch.fill(Qt::white);
        return done.load();
    }, 120000);
    picture.join();
    ASSERT_TRUE(finished);
    EXPECT_TRUE(allMade.load());
    EXPECT_GE(busy, 3 * hangTime);
    // Heartbeats kept coming throughout: at least one per hang time.
    const auto heartbeats = controller->_watchdogCount.load() - before;
    EXPECT_GE(heartbeats, uint32_t(busy / hangTime)) << "composites: " << composites.load();
    // A loaded machine may delay a heartbeat by a period or two; a blocked main thread
    // would count on to 15 and end the process.
    const QString text = logSince(mark);
    const QList<int> counts = spinningCounts(text);
    const int longest = counts.isEmpty() ? -1 : *std::max_element(counts.begin(), counts.end());
    EXPECT_LT(longest, 8) << qPrintable(text.left(2000));
    EXPECT_FALSE(text.contains("hanging"));
}

TEST_F(StartupTest, WiringAndLaunchKeepTheirOrder)
{
    controller = std::make_unique<AppController>();
    const int observersBefore = SNP_NotificationCenter::defaultCenter().observerCount();
    const qsizetype mark = logText().size();
    controller->awakeFromNib();
    const QString text = logSince(mark);
    const qsizetype awake = text.indexOf("awake from NIB!");
    ASSERT_GE(awake, 0);
#ifdef HAVE_QT_TTS
    // The engine and voice of the spoken countdown; one that needs no daemon when there is.
    const QStringList engines = QTextToSpeech::availableEngines();
    if (engines.contains("flite")) {
        EXPECT_TRUE(text.contains("speaking with the speech engine \"flite\", voice \"")) << qPrintable(text);
    } else if (engines.isEmpty()) {
        EXPECT_TRUE(text.contains("no speech engine available"));
    }
#endif
    EXPECT_GT(text.indexOf("cameras = ", awake), awake);
    EXPECT_EQ(controller->_screenNumber.load(), 1u);
    EXPECT_EQ(SNP_NotificationCenter::defaultCenter().observerCount(), observersBefore + 10);
    for (QLabel* field : {controller->_touchCountdownField, controller->_liveCountdownField1,
                          controller->_liveCountdownField2}) {
        ASSERT_NE(field, nullptr);
        EXPECT_TRUE(field->isHidden());
    }
    EXPECT_EQ(controller->_touchCountdownField->palette().color(QPalette::WindowText).toRgb(), QColor(239, 142, 35));
    EXPECT_EQ(controller->_liveCountdownField1->palette().color(QPalette::WindowText).toRgb(), QColor(Qt::white));
    if (QWidget* keyboard = controller->findChild<QWidget*>("_keyboard")) {
        EXPECT_EQ(keyboard->parentWidget(), controller->_touchView);
        EXPECT_TRUE(keyboard->isHidden());
    }
    if (controller->_progress) {
        EXPECT_EQ(controller->_progress->minimum(), 0);
        EXPECT_EQ(controller->_progress->maximum(), 100);
    }
    controller->show();
    controller->applicationDidFinishLaunching();
    ASSERT_NE(controller->_EVFView, nullptr);
    EXPECT_TRUE(controller->_EVFView->isHidden());
    controller.reset();
    EXPECT_EQ(SNP_NotificationCenter::defaultCenter().observerCount(), observersBefore);
}

// Runs only inside the child process started by the next test.
TEST(WatchdogChild, HangsForGood)
{
    if (qEnvironmentVariableIsEmpty("BOOTH_WATCHDOG_CHILD"))
        GTEST_SKIP() << "run by WatchdogExit.ProcessExitsWithStatusOne";
    AppController::setWatchdogPeriod(std::chrono::milliseconds(50));
    AppController controller;
    ASSERT_TRUE(waitUntil([&] { return controller._watchdogCount.load() > 0; }));
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
    ASSERT_TRUE(child.waitForStarted(10000));
    ASSERT_TRUE(child.waitForFinished(30000)) << "child still running";
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 1) << child.readAllStandardOutput().constData();

    QFile f(childLog);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(f.readAll());
    QList<int> expected;
    for (int i = 0; i <= 15; ++i)
        expected << i;
    // A slow start may have cost a heartbeat before the stall; the stall itself is the
    // last run of counts, which goes from 0 to 15 without a gap.
    const QList<int> counts = spinningCounts(text);
    const qsizetype lastRun = counts.lastIndexOf(0);
    ASSERT_GE(lastRun, 0);
    EXPECT_EQ(counts.mid(lastRun), expected);
    const QString hanging = QStringLiteral("Watchdog says we are hanging after 16 seconds ... app is exiting");
    EXPECT_TRUE(text.contains(hanging));
    EXPECT_GT(text.indexOf(hanging), text.lastIndexOf("spinning for 15 seconds"));
    EXPECT_FALSE(text.contains("the watchdog did not end the process"));
}
