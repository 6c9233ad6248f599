// Twenty visitors in a row through the real windows over the simulated camera (the short
// form of booth_soak): every picture filed and uploaded with exactly its own visitor's
// addresses, nothing lost, nothing left over, and no threads or open descriptors gained
// between the fifth and the last pass.
#include "SoakDriver.h"

#include <QDateTime>
#include <QTemporaryDir>
#include <QThread>

#include <atomic>

#include <gtest/gtest.h>

namespace {

constexpr int kPasses = 20;
constexpr int kWarmPass = 5; // by now every lazily made thread and descriptor is there

// The one thread that may be there at one sample and not at the other is the camera's
// live-view loop thread: after a pass its loop has ended (settle() waits for that), but the
// kernel may not have reaped it yet. A thread kept per pass would show as 15.
constexpr int kThreadTolerance = 1;
// Descriptors: the log file, the sockets and the camera's are all opened before pass 5;
// after it the booth opens files only for as long as it writes them.
constexpr int kDescriptorTolerance = 0;

TEST(Soak, TwentyVisitorsEachGetTheirOwnPictureAndNothingGrows)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    soak::Settings settings;
    settings.root = dir.path();
    settings.tickMs = 20;
    soak::Driver driver(settings);
    QString reason;
    ASSERT_TRUE(driver.start(&reason)) << qPrintable(reason);

    soak::ProcessFigures warm, last;
    for (int n = 1; n <= kPasses; ++n) {
        EXPECT_TRUE(driver.runPass()) << "pass " << n << ": " << qPrintable(driver.passes().back().outcome.reason);
        ASSERT_EQ(driver.controller()->_screenNumber.load(), 1u) << "pass " << n;
        if (n == kWarmPass || n == kPasses) {
            ASSERT_TRUE(driver.settle());
            (n == kWarmPass ? warm : last) = soak::sampleProcess();
        }
    }

    const soak::Tally tally = driver.check();
    EXPECT_EQ(tally.passes, kPasses);
    EXPECT_EQ(tally.filed, kPasses);
    EXPECT_EQ(tally.uploadFiles, kPasses);
    EXPECT_EQ(tally.lost, 0);
    EXPECT_EQ(tally.mixed, 0);
    EXPECT_EQ(tally.strayFiles, 0);
    for (const QString& line : tally.problems)
        ADD_FAILURE() << qPrintable(line);
    EXPECT_EQ(driver.sim()->picturesTaken(driver.sim()->connectedCameras().front()), kPasses);

    ASSERT_GT(warm.threads, 0);
    ASSERT_GT(warm.openFiles, 0);
    EXPECT_LE(last.threads - warm.threads, kThreadTolerance) << warm.threads << " -> " << last.threads;
    EXPECT_LE(last.openFiles - warm.openFiles, kDescriptorTolerance) << warm.openFiles << " -> " << last.openFiles;
    EXPECT_TRUE(driver.stop());
}

// The read-back is what finds a picture gone astray: a filed picture that goes missing and
// an upload file that carries another visitor's addresses are both counted.
TEST(Soak, TheReadBackCountsALostAndAMixedUpPicture)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    soak::Settings settings;
    settings.root = dir.path();
    soak::Driver driver(settings);
    QString reason;
    ASSERT_TRUE(driver.start(&reason)) << qPrintable(reason);
    for (int n = 1; n <= 3; ++n)
        ASSERT_TRUE(driver.runPass()) << qPrintable(driver.passes().back().outcome.reason);
    ASSERT_EQ(driver.check().lost, 0);
    ASSERT_EQ(driver.check().mixed, 0);

    const auto& passes = driver.passes();
    ASSERT_TRUE(QFile::remove(passes[0].outcome.filedPath));
    ASSERT_TRUE(QFile::remove(passes[2].outcome.uploadPath));
    ASSERT_TRUE(QFile::copy(passes[1].outcome.uploadPath, passes[2].outcome.uploadPath));
    const soak::Tally tally = driver.check();
    EXPECT_EQ(tally.lost, 1);
    EXPECT_EQ(tally.mixed, 1);
    EXPECT_EQ(tally.filed, 2);
    EXPECT_EQ(tally.uploadFiles, 2);
    EXPECT_EQ(tally.problems.size(), 2);
    EXPECT_TRUE(driver.stop());
}

// Filing goes on after the booth has moved on to the result screen; on a slow machine it
// outlasts that screen. The pass still counts its picture once the filing has ended. Here
// the filing is held (in the photo clock, which it reads on its own thread) until the booth
// is back on screen 1.
TEST(Soak, APassWhoseFilingOutlastsTheResultScreenCountsItsPicture)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    soak::Settings settings;
    settings.root = dir.path();
    soak::Driver driver(settings);
    QString reason;
    ASSERT_TRUE(driver.start(&reason)) << qPrintable(reason);
    AppController* c = driver.controller();
    std::atomic<int> held{0};
    QThread* mainThread = QThread::currentThread();
    AppController::setPhotoClockForTesting([&, c, mainThread] {
        if (QThread::currentThread() != mainThread && held.fetch_add(1) == 0) {
            QDeadlineTimer limit(10000);
            while (c->_screenNumber.load() != 1 && !limit.hasExpired())
                QThread::msleep(1);
        }
        return QDateTime::currentDateTime();
    });
    const bool ok = driver.runPass();
    AppController::setPhotoClockForTesting(nullptr);
    EXPECT_TRUE(ok) << qPrintable(driver.passes().back().outcome.reason);
    EXPECT_GE(held.load(), 1);
    const soak::Tally tally = driver.check();
    EXPECT_EQ(tally.filed, 1);
    EXPECT_EQ(tally.uploadFiles, 1);
    EXPECT_EQ(tally.lost, 0);
    EXPECT_EQ(tally.strayFiles, 0);
    EXPECT_TRUE(driver.stop());
}

TEST(Soak, VisitorsUseOneTwoAndFourAddresses)
{
    EXPECT_EQ(soak::addressesOfVisitor(1), QStringList{"v1a@example.org"});
    EXPECT_EQ(soak::addressesOfVisitor(2), (QStringList{"v2a@example.org", "v2b@example.org"}));
    EXPECT_EQ(soak::addressesOfVisitor(4),
              (QStringList{"v4a@example.org", "v4b@example.org", "v4c@example.org", "v4d@example.org"}));
}

} // namespace
