// Twenty visitors in a row through the real windows over the simulated camera (the short
// form of booth_soak): afterwards every picture and upload file read back carries exactly
// its own visitor's addresses, nothing is lost or left over, and no threads or open
// descriptors were gained between the fifth and the last pass.
#include "SoakDriver.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

constexpr int kPasses = 20;
constexpr int kWarmPass = 5; // by now every lazily made thread and descriptor is there

// The one thread that may be there at one sample and not at the other is the camera's
// live-view loop thread: after a pass its loop has ended (settle() waits for that), but the
// kernel may not have reaped it yet. A thread kept per pass would show as 15. Descriptors:
// the log file, the sockets and the camera's are all opened before pass 5; after it the
// booth opens files only for as long as it writes them.
constexpr int kThreadTolerance = 1;
constexpr int kDescriptorTolerance = 0;

TEST(Soak, TwentyVisitorsEachGetTheirOwnPictureAndNothingGrows)
{
    QTemporaryDir dir;
    BoothRun run(dir.path());
    ASSERT_TRUE(run.start(20));
    soak::ProcessFigures warm, last;
    QList<std::pair<QString, QStringList>> placed; // each file and the addresses it must carry
    for (int n = 1; n <= kPasses; ++n) {
        const QStringList addresses = soak::addressesOfVisitor(n);
        const SNP_Rehearsal::Outcome outcome = run.pass(addresses);
        EXPECT_TRUE(outcome.ok) << "pass " << n << ": " << qPrintable(outcome.reason);
        placed << std::pair{outcome.filedPath, addresses} << std::pair{outcome.uploadPath, addresses};
        if (n == kWarmPass || n == kPasses) {
            ASSERT_TRUE(soak::settle(run));
            (n == kWarmPass ? warm : last) = soak::sampleProcess();
        }
    }

    QStringList expected;
    for (const auto& [path, addresses] : placed) {
        EXPECT_EQ(addressesIn(path), addresses) << qPrintable(path);
        expected << QDir(dir.path()).relativeFilePath(path);
    }
    expected.sort();
    EXPECT_EQ(run.files(), expected); // none shared by two visitors, none left over
    EXPECT_EQ(run.sim->picturesTaken(run.sim->connectedCameras().front()), kPasses);
    ASSERT_GT(warm.threads, 0);
    ASSERT_GT(warm.openFiles, 0);
    EXPECT_LE(last.threads - warm.threads, kThreadTolerance) << warm.threads << " -> " << last.threads;
    EXPECT_LE(last.openFiles - warm.openFiles, kDescriptorTolerance) << warm.openFiles << " -> " << last.openFiles;
    EXPECT_TRUE(run.stop());
}

} // namespace
