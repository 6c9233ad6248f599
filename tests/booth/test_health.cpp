// What staff are told without asking: the booth's health (camera, working folders, pictures
// held back, the mailer) computed from one reading with the clock given, then read from the
// booth's real folders and the mailer's journal while the mailer works on it, shown on the
// operator panel and as a mark in a corner of the touch screen; and the simulated camera's
// marks.
#include "BoothRunFixture.h"

#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"

#include <sys/mount.h>

namespace {

using HealthTest = BoothRunFixture;

constexpr qint64 kNow = 1'800'000'000'000;
constexpr qint64 kGigabyte = 1LL << 30;

SNP_BoothHealth::Reading goodReading()
{
    SNP_BoothHealth::Reading r;
    r.facts.cameraReady = true;
    r.facts.cameraName = QStringLiteral("Canon EOS 5D");
    r.facts.lowSpaceBytes = 500LL << 20;
    r.scratch = {QStringLiteral("/s"), true, QString(), true, 9 * kGigabyte};
    r.mainImages = {QStringLiteral("/m"), true, QString(), true, 9 * kGigabyte};
    r.upload = {QStringLiteral("/u"), true, QString(), true, 9 * kGigabyte};
    r.mail.journalFound = true;
    r.mail.summary = {2, 10, 1};
    r.mail.heartbeatMs = kNow - 20'000;
    return r;
}

} // namespace

TEST(BoothHealth, EachPartSaysWhatIsWrongWithIt)
{
    struct Case {
        const char* what;
        std::function<void(SNP_BoothHealth::Reading&)> change;
        const char* part;
        const char* problem; // empty: nothing wrong anywhere
        const char* text;    // what the part's line holds
    };
    const Case cases[] = {
        {"all well", [](auto&) {}, "Mail", "", "Mail: 2 waiting, 10 sent, 1 failed"},
        {"no camera", [](auto& r) { r.facts.cameraReady = false; }, "Camera", "not ready", "Camera: not ready"},
        {"read-only", [](auto& r) { r.mainImages.writable = false; }, "Main images folder", "cannot be written",
         "Main images folder /m: cannot be written (9.0 GB free)"},
        {"a file there", [](auto& r) { r.upload = {QStringLiteral("/u"), false, QStringLiteral("/u"), false, -1}; },
         "Upload folder", "is not a folder", "Upload folder /u: is not a folder"},
        {"a file above", [](auto& r) { r.upload = {QStringLiteral("/f/u"), false, QStringLiteral("/f"), false, -1}; },
         "Upload folder", "cannot be made: /f is not a folder", "Upload folder /f/u: cannot be made"},
        {"low space", [](auto& r) { r.scratch.freeBytes = 100LL << 20; }, "Scratch folder", "is running out of space",
         "Scratch folder /s: is running out of space (100.0 MB free)"},
        {"held back", [](auto& r) { r.facts.uploadsHeldBack = 2; r.scratchPicturesHeldBack = 1; },
         "Pictures held back", "3 picture(s) waiting to be filed or uploaded", "Pictures held back: 3"},
        // Upload files the mailer has not taken count as waiting; a heartbeat a minute old
        // is a mailer that does not run.
        {"mailer gone", [](auto& r) { r.mail.heartbeatMs = kNow - 61'000; r.mail.untaken = 3; }, "Mail",
         "the mailer does not seem to be running",
         "Mail: 5 waiting, 10 sent, 1 failed; the mailer does not seem to be running"},
        {"never ran, nothing to send", [](auto& r) { r.mail = SNP_MailStatus(); }, "Mail", "",
         "Mail: no delivery journal; the mailer does not seem to be running"},
        {"never ran, a picture waits", [](auto& r) { r.mail = SNP_MailStatus(); r.mail.untaken = 1; }, "Mail",
         "the mailer does not seem to be running", "Mail: 1 waiting, 0 sent, 0 failed"},
        {"last error", [](auto& r) { r.mail.lastError = QStringLiteral("451 try\nlater"); }, "Mail", "",
         "Mail: 2 waiting, 10 sent, 1 failed; last error: 451 try later"},
    };
    for (const Case& row : cases) {
        SCOPED_TRACE(row.what);
        SNP_BoothHealth::Reading reading = goodReading();
        row.change(reading);
        const SNP_BoothHealth::State state = SNP_BoothHealth::assess(reading, kNow);
        ASSERT_EQ(state.parts.size(), 6);
        const SNP_BoothHealth::Part* part = state.part(QString::fromLatin1(row.part));
        ASSERT_NE(part, nullptr);
        EXPECT_EQ(part->problem, QString::fromLatin1(row.problem));
        EXPECT_TRUE(part->text.startsWith(QString::fromLatin1(row.text))) << qPrintable(part->text);
        EXPECT_EQ(state.wrong(), *row.problem != 0);
    }
}

// The booth's own folders on a small file system that goes read-only, a picture left in the
// scratch folder with its addresses, and the mailer's journal with upload files it has not
// taken: the panel and the staff mark follow, and the log says each change once.
TEST_F(HealthTest, ThePanelAndTheStaffMarkFollowTheBoothsFolders)
{
    const QString root = dir.filePath("pictures");
    QDir().mkpath(root);
    const bool mounted = ::mount("tmpfs", QFile::encodeName(root).constData(), "tmpfs", 0, "size=8m") == 0;
    if (!mounted)
        GTEST_SKIP() << "cannot mount a tmpfs here (not root?)";
    const auto unmount = qScopeGuard([&] { ::umount2(QFile::encodeName(root).constData(), MNT_DETACH); });
    const QString upload = root + "/upload";
    SNP_Preferences::setArguments(QStringList{"booth", "-scratchFolder", root + "/scratch", "-mainImagesFolder",
                                              root + "/main", "-forUploadFolder", upload, "-lowSpaceMegabytes", "1"});
    QDir().mkpath(upload + "/day");
    start();
    qint64 now = QDateTime::currentMSecsSinceEpoch();
    c->health()->setClockForTesting([&] { return now; });
    c->health()->setInterval(20);
    const auto reads = [&](const char* part, const QString& problem) {
        return waitUntil([&] {
            const SNP_BoothHealth::Part* p = c->health()->state().part(QString::fromLatin1(part));
            return p && p->problem == problem;
        });
    };
    QLabel* panel = view.get<QLabel>("_healthStatus");
    QLabel* mail = view.get<QLabel>("_mailStatus");
    ASSERT_TRUE(reads("Camera", QString()));
    EXPECT_TRUE(panel->text().contains("Main images folder " + root + "/main: ")) << qPrintable(panel->text());
    EXPECT_FALSE(view.shown("_staffMark"));
    EXPECT_EQ(mail->text(), "Mail: no delivery journal; the mailer does not seem to be running");

    // The mailer's side: its journal stays open while the booth reads; one upload file it
    // has not taken yet waits too.
    auto journal = SNP_MailJournal::open(SNP_MailSettings::foldersForUpload(upload).journal);
    ASSERT_TRUE(journal);
    ASSERT_TRUE(journal->addPicture("day/1Comp.jpg", {"a@example.com", "b@example.com"}, {}, 1000));
    ASSERT_TRUE(fixtures::writeFile(upload + "/day/1Comp.jpg", fixtures::cameraJpeg(fixtures::patternImage(64, 48))));
    ASSERT_TRUE(fixtures::writeFile(upload + "/day/2Comp.jpg", fixtures::cameraJpeg(fixtures::patternImage(64, 48))));
    ASSERT_TRUE(journal->writeHeartbeat(now));
    ASSERT_TRUE(waitUntil([&] { return mail->text() == "Mail: 3 waiting, 0 sent, 0 failed"; })) << qPrintable(mail->text());
    EXPECT_FALSE(view.shown("_staffMark"));
    now += 61'000; // the mailer stopped a minute ago
    ASSERT_TRUE(reads("Mail", "the mailer does not seem to be running"));
    EXPECT_TRUE(view.shown("_staffMark"));
    EXPECT_TRUE(mail->text().startsWith("PROBLEM: Mail: 3 waiting")) << qPrintable(mail->text());
    ASSERT_TRUE(journal->writeHeartbeat(now));
    ASSERT_TRUE(reads("Mail", QString()));

    // A visitor's picture the day folder could not take, left in the scratch folder.
    QDir().mkpath(root + "/scratch");
    const QString left = root + "/scratch/held.jpg";
    ASSERT_TRUE(fixtures::writeFile(left, SNP_XMLinEXIF::jpegDataWithPropertyListObject(
                                              QVariantMap{{QBEmailsForUpload, QStringList{"a@b.cd"}}},
                                              fixtures::cameraJpeg(fixtures::patternImage(64, 48))).value()));
    now += SNP_BoothHealth::kScratchSettledMs;
    ASSERT_TRUE(journal->writeHeartbeat(now));
    ASSERT_TRUE(reads("Pictures held back", "1 picture(s) waiting to be filed or uploaded"));
    QFile::remove(left);

    // Read-only (the mailer gone with its journal), then full: the staff mark stays while
    // anything is wrong.
    journal.reset();
    const qsizetype mark = logMark();
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(root).constData(), "tmpfs", MS_REMOUNT | MS_RDONLY, "size=8m"), 0);
    ASSERT_TRUE(reads("Main images folder", "cannot be written"));
    EXPECT_TRUE(view.shown("_staffMark"));
    EXPECT_TRUE(panel->text().contains("PROBLEM: Upload folder " + upload + ": cannot be written"));
    const int readingsBefore = c->health()->readings();
    ASSERT_TRUE(waitUntil([&] { return c->health()->readings() >= readingsBefore + 3; })); // more readings: no more lines
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(root).constData(), "tmpfs", MS_REMOUNT, "size=8m"), 0);
    journal = SNP_MailJournal::open(SNP_MailSettings::foldersForUpload(upload).journal);
    ASSERT_TRUE(journal && journal->writeHeartbeat(now));
    QFile filler(root + "/filler");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    filler.write(QByteArray(7 * 1024 * 1024 + 512 * 1024, 'x'));
    filler.close();
    ASSERT_TRUE(reads("Main images folder", "is running out of space"));
    QFile::remove(filler.fileName());
    ASSERT_TRUE(reads("Main images folder", QString()));
    ASSERT_TRUE(reads("Upload folder", QString()));
    EXPECT_TRUE(waitUntil([&] { return !view.shown("_staffMark"); })) << qPrintable(panel->text() + mail->text());
    const QString log = logSince(mark);
    EXPECT_EQ(log.count("booth health: Main images folder " + root + "/main: cannot be written"), 1) << qPrintable(log);
    EXPECT_EQ(log.count("booth health: Main images folder is fine again"), 1);
    journal.reset();
}

// The simulated camera says so where staff and visitors look, never in the pictures.
TEST_F(HealthTest, TheSimulatedCameraIsMarked)
{
    start();
    EXPECT_TRUE(logText().contains("Simulated camera: the booth photographs a made-up test scene"));
    EXPECT_EQ(view.text("_simulatedCameraMark"), "Simulated camera");
    EXPECT_FALSE(view.get("_simulatedCameraMark")->isHidden());
    QLabel* live = view.get<QLabel>("_simulatedLiveMark");
    EXPECT_EQ(live->text(), "Simulated camera");
    EXPECT_EQ(live->parentWidget(), view.get("_EVFView")); // shown with the camera picture
    EXPECT_FALSE(live->isHidden());
}
