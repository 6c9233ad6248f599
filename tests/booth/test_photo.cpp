// Photo intake and filing in the booth: a picture arriving on the capture screen is shown,
// advances the booth, carries the visitor's addresses in typed order into the day folder
// (named at filing time) and the composite in the upload folder, drawn upright into the
// frame's window; a late picture or one without addresses is only shown; a name already
// taken in the day folder and undecodable bytes end safely; the operator's save never
// writes through a planted link; and an uploader watching the folders never sees a file
// written in place or replaced.
#include "FilingFixture.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_Resources.h"

#include <QDeadlineTimer>
#include <QLabel>
#include <QThread>

#include <atomic>
#include <thread>

#include <sys/inotify.h>
#include <unistd.h>

namespace {

using namespace photo_fixture;

// The booth's controller over the filing's folders; pictures delivered from a thread of
// their own as the camera delivers them.
class PhotoTest : public FilingTest {
protected:
    void SetUp() override
    {
        qputenv("BOOTH_LOG_FILE", QFile::encodeName(logPath));
        FilingTest::SetUp();
        c = std::make_unique<AppController>();
        camera = c->findChild<QLabel*>(QStringLiteral("_EVFView"));
        ASSERT_NE(camera, nullptr);
        camera->resize(320, 240);
    }
    void TearDown() override
    {
        c.reset();
        AppController::setOpenFileHandlerForTesting(nullptr);
        AppController::setPhotoClockForTesting(nullptr);
        FilingTest::TearDown();
    }
    // The picture delivered with the visitor's addresses taken and the booth on the capture
    // screen (or the one given); answers when the intake has ended.
    void deliver(const QByteArray& bytes, const QStringList& emails = {"a@b.cd"}, uint32_t screen = 5)
    {
        c->setEmails(emails);
        c->setScreenNumberForTesting(screen);
        const uint64_t before = c->photoIntakeCount();
        const QVariantMap photo{{SNP_CanonCameraPhotoData, bytes}, {SNP_CanonCameraPhotoFilename, "IMG_0001.JPG"}};
        const SNP_Notification n{SNP_CanonCameraPhotoDataAvailable, SNP_NotificationObject::nil(), photo};
        std::thread cameraThread([&] { c->newPhoto(n); });
        const bool done = waitUntil([&] { return c->photoIntakeCount() > before; }, 20000);
        cameraThread.join();
        ASSERT_TRUE(done);
    }
    QColor shownCentre() const
    {
        const QImage shown = camera->grab().toImage();
        return shown.pixelColor(shown.width() / 2, shown.height() / 2);
    }
    static QImage decoded(const QString& path)
    {
        return SNP_ImagePipeline::decodeJpeg(readFile(path)).value_or(QImage());
    }

    std::unique_ptr<AppController> c;
    QLabel* camera = nullptr;
};

TEST_F(PhotoTest, PictureOnTheCaptureScreenIsShownFiledAndUploadedWithTheAddressesInTypedOrder)
{
    const QStringList emails{"zoe@example.org", "adam@example.com", "mia@example.net"};
    const QByteArray bytes = picture();
    deliver(bytes, emails);

    EXPECT_EQ(c->screenNumber(), 6u);
    EXPECT_FALSE(camera->isHidden());
    EXPECT_GT(shownCentre().blue(), 180);
    const QString filed = dayFile("2010-02-02", "20100202143005.jpg");
    const QString comp = uploadFile("2010-02-02", "20100202143005Comp.jpg");
    EXPECT_EQ(filesBelow(dir.path()).filter(QRegularExpression("^(main|upload|scratch)/")),
              (QStringList{"main/2010-02-02/20100202143005.jpg", comp.mid(dir.path().size() + 1)}));
    expectWhole(filed, emails);
    expectWhole(comp, emails);
    // The composite has the frame's pixel size and the camera's EXIF entries; the filed
    // picture is the camera's, recompressed once, same size.
    EXPECT_EQ(decoded(comp).size(), QSize(1000, 700));
    const auto exif = fixtures::exifOf(readFile(comp));
    EXPECT_EQ(fixtures::exifString(exif, "Exif.Image.Model"), "Canon EOS 5D Mark II");
    EXPECT_EQ(fixtures::exifString(exif, "Exif.Photo.ExposureTime"), "1/125");
    EXPECT_EQ(decoded(filed).size(), QSize(600, 400));
    EXPECT_NE(readFile(filed), bytes);
}

// The window of a 1000 x 700 frame is (216, 173) to (784, 527), of a 999 x 700 frame that
// declares 300 dpi (215.5, 173) to (783.5, 527); the frame covers the rest. A picture the
// screen shows reduced (2400 x 1600 is decoded at 1200 x 800) is drawn whole and upright
// from that; a 3:2 one is stretched into the window. Without an operator's frame the stock
// frame is used.
TEST_F(PhotoTest, CompositeShowsTheWholePictureUprightInItsWindow)
{
    const QColor red(230, 20, 20), green(20, 230, 20), blue(20, 20, 230), yellow(230, 230, 20);
    QImage quadrants(2400, 1600, QImage::Format_RGB32);
    QPainter p(&quadrants);
    p.fillRect(0, 0, 1200, 800, red);
    p.fillRect(1200, 0, 1200, 800, green);
    p.fillRect(0, 800, 1200, 800, blue);
    p.fillRect(1200, 800, 1200, 800, yellow);
    p.end();
    // frame: null for none of the operator's
    const struct { const char* name; QImage frame, photo; std::vector<std::pair<QPoint, QColor>> samples; }
        kComposites[] = {
        {"quadrants", frameImage(1000, 700), quadrants,
         {{{226, 183}, red}, {{774, 183}, green}, {{226, 517}, blue}, {{774, 517}, yellow}, {{100, 100}, Qt::white}}},
        {"3:2 into a 300 dpi frame", frameImage(999, 700, 300), fixtures::solidImage(900, 600, green),
         {{{220, 180}, green}, {{778, 520}, green}, {{210, 350}, Qt::white}, {{500, 168}, Qt::white}}},
        {"stock frame", QImage(), fixtures::solidImage(600, 400, blue), {}},
    };
    int second = 5;
    for (const auto& composite : kComposites) {
        SCOPED_TRACE(composite.name);
        QFile::remove(resources + "/LumoPictureFrame.png");
        ASSERT_TRUE(composite.frame.isNull() || composite.frame.save(resources + "/LumoPictureFrame.png"));
        setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, second++)));
        deliver(fixtures::cameraJpeg(composite.photo));
        const QImage made = decoded(c->lastFilingResult().uploadPath);
        const QImage frame =
            composite.frame.isNull() ? SNP_Resources::imageNamed("LumoPictureFrame.png") : composite.frame;
        EXPECT_EQ(made.size(), frame.size());
        for (const auto& [at, colour] : composite.samples) {
            const QColor seen = made.pixelColor(at);
            EXPECT_LT(std::abs(seen.red() - colour.red()) + std::abs(seen.green() - colour.green())
                          + std::abs(seen.blue() - colour.blue()),
                      100)
                << at.x() << "," << at.y();
        }
        EXPECT_EQ(decoded(c->lastFilingResult().filedPath).size(), composite.photo.size());
    }
}

// A picture arriving on the result screen (the capture timed out) and one for a visitor
// without addresses: both are shown, neither is written anywhere.
// A late picture is shown all the same; one taken for the visitor but not saved anywhere
// (here: no addresses to file it with) ends on the sorry screen, blanked, never thanked for.
TEST_F(PhotoTest, PicturesThatAreNotFiledAreShownButNotThankedFor)
{
    const struct { QStringList emails; uint32_t screen; bool sorry; } kCases[] = {{{"a@b.cd"}, 6, false}, {{}, 5, true}};
    for (const auto& late : kCases) {
        SCOPED_TRACE(late.screen);
        deliver(picture(QColor(220, 30, 30)), late.emails, late.screen);
        EXPECT_EQ(c->screenNumber(), 6u);
        EXPECT_TRUE(waitUntil([&] { return c->showingSorryScreen() == late.sorry; }));
        EXPECT_EQ(shownCentre().red() > 180, !late.sorry);
        EXPECT_EQ(filesBelow(dir.path()).filter(QRegularExpression("^(main|upload|scratch)/")), QStringList());
    }
    EXPECT_EQ(logText().count("bailing out of -[AppController newPhoto:] because we appear to have timed out "
                              "(screen number = 6)"),
              1);
}

TEST_F(PhotoTest, DayFolderIsTakenAtFilingTimeWithTheCalendarYear)
{
    // Named a moment before midnight, filed after it.
    std::atomic<int> calls{0};
    AppController::setPhotoClockForTesting([&] {
        return calls++ == 0 ? QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59))
                            : QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1));
    });
    deliver(picture());
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2027-01-01/20261231235959.jpg"});
    EXPECT_TRUE(QFileInfo::exists(uploadFile("2027-01-01", "20261231235959Comp.jpg")));
    AppController::setPhotoClockForTesting(nullptr);

    // 31 December 2024 lies in the first week of 2025: the calendar year names the folder.
    // The second picture of a day finds the folders and says so all the same.
    for (int second : {0, 1}) {
        setClock(QDateTime(QDate(2024, 12, 31), QTime(12, 0, second)));
        deliver(picture());
        EXPECT_TRUE(QFileInfo::exists(dayFile("2024-12-31", QStringLiteral("2024123112000%1.jpg").arg(second))));
    }
    EXPECT_EQ(logText().count("DidCreate folder: [" + mainImages + "/2024-12-31]"), 2);
}

TEST_F(PhotoTest, NameTakenInTheDayFolderFilesTheNewPictureBesideItAndUploadsFromIt)
{
    const QString older = dayFile("2010-02-02", "20100202143005.jpg");
    const QByteArray olderBytes = picture(QColor(230, 20, 20));
    ASSERT_TRUE(QDir().mkpath(QFileInfo(older).path()) && fixtures::writeFile(older, olderBytes));
    deliver(picture(QColor(20, 30, 230)), {"new@visitor.de"});

    EXPECT_EQ(readFile(older), olderBytes); // never replaced
    expectWhole(dayFile("2010-02-02", "20100202143005-1.jpg"), {"new@visitor.de"});
    const QString comp = uploadFile("2010-02-02", "20100202143005-1Comp.jpg");
    expectWhole(comp, {"new@visitor.de"});
    const QColor centre = decoded(comp).pixelColor(500, 350); // the new (blue) picture
    EXPECT_GT(centre.blue(), 180);
    EXPECT_LT(centre.red(), 80);
    EXPECT_EQ(filesBelow(scratch), QStringList());
}

TEST_F(PhotoTest, UndecodableBytesAreKeptInScratchAndNothingIsUploaded)
{
    QByteArray garbage(20000, '\0');
    std::mt19937 noise(7);
    for (char& b : garbage)
        b = char(noise());
    garbage[0] = char(0xFF);
    garbage[1] = char(0xD8); // looks like a JPEG start, is none
    deliver(garbage);
    EXPECT_EQ(c->screenNumber(), 6u);
    const QString kept = scratch + "/20100202143005.jpg";
    EXPECT_EQ(c->lastFilingResult().scratchPath, kept);
    EXPECT_EQ(readFile(kept), garbage);
    EXPECT_FALSE(QFileInfo::exists(mainImages) || QFileInfo::exists(upload));
    EXPECT_TRUE(logText().contains("kept the camera's 20000 bytes at [" + kept + "] for recovery"));

    // A second such picture in the same second does not replace the first.
    deliver(garbage.left(1000));
    EXPECT_EQ(filesBelow(scratch), (QStringList{"20100202143005-1.jpg", "20100202143005.jpg"}));
    EXPECT_EQ(readFile(kept), garbage);
}

TEST_F(PhotoTest, OperatorSaveWritesLowerCaseExtensionUnderTmp)
{
    QString opened;
    AppController::setOpenFileHandlerForTesting([&](const QString& p) {
        opened = p;
        return true;
    });
    setClock(QDateTime(QDate(2011, 3, 4), QTime(5, 6, 7)));
    const QByteArray bytes = picture();
    const auto save = [&](const QString& cameraName) {
        opened.clear();
        c->setImageDict({{SNP_CanonCameraPhotoData, bytes}, {SNP_CanonCameraPhotoFilename, cameraName}});
        c->saveImage(nullptr);
        EXPECT_EQ(readFile(opened), bytes);
        return opened;
    };
    const QString first = "/tmp/20110304050607.jpg", planted = "/tmp/20110304050607-1.jpg";
    QFile::remove(first);
    EXPECT_EQ(save("IMG_0042.JPG"), first);

    // A link planted under the next name is not written through: the picture takes a
    // free name beside it, and the link's target is untouched.
    const QString victim = dir.filePath("victim.txt");
    QFile::remove(planted);
    ASSERT_TRUE(fixtures::writeFile(victim, "keep me") && QFile::link(victim, planted));
    EXPECT_EQ(save("IMG_0042.JPG"), "/tmp/20110304050607-2.jpg");
    EXPECT_EQ(readFile(victim), QByteArray("keep me"));
    QFile::remove(opened);
    QFile::remove(planted);

    // An extension that is no plain extension cannot lead the file elsewhere; a name
    // without one is named as the JPEG it is, never with a bare dot.
    for (const char* name : {"x./../../t/a", "IMG_0042"}) {
        QFile::remove(first);
        EXPECT_EQ(save(name), first);
    }
    QFile::remove(first);
    EXPECT_FALSE(c->processPhotoData({}));
}

// The controller taken down while a picture's intake waits for the main thread (which is
// busy taking it down): the intake ends first, and nothing of the controller is used after.
TEST_F(PhotoTest, AControllerTakenDownWhileAPictureArrivesEndsItsIntakeFirst)
{
    c->setEmails({"a@b.cd"});
    c->setScreenNumberForTesting(5);
    AppController* controller = c.get();
    std::atomic<bool> ended{false};
    auto& center = SNP_NotificationCenter::defaultCenter();
    center.addObserver(controller, SNP_CanonCameraPhotoDataAvailable, [controller, &ended](const SNP_Notification& n) {
        controller->newPhoto(n);
        ended = true;
    });
    const QVariantMap photo{{SNP_CanonCameraPhotoData, picture()}, {SNP_CanonCameraPhotoFilename, "IMG_0001.JPG"}};
    std::thread cameraThread([&] { center.postNotification(SNP_CanonCameraPhotoDataAvailable, {}, photo); });
    // The main thread serves no event meanwhile: the intake's step waits for it.
    for (QDeadlineTimer limit(20000); !logText().contains("updating image well with") && !limit.hasExpired();)
        QThread::msleep(1);
    c.reset();
    EXPECT_TRUE(ended.load()) << "the controller went while its intake was in flight";
    QCoreApplication::processEvents();
    cameraThread.join();
    EXPECT_EQ(filesBelow(mainImages), QStringList());
}

// What an uploader watching the day and upload folders with inotify sees: every visible
// name appears once, by a rename (or a link where the file system refuses the no-replace
// rename), never created and written in place, and none is replaced; the third visitor
// comes in the second's second, so the names are taken.
TEST_F(PhotoTest, AnUploaderWatchingTheFoldersSeesEveryFileArriveWholeAndNoneReplaced)
{
    constexpr uint32_t kEvents = IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO;
    for (const bool renameRefused : {false, true}) {
        SCOPED_TRACE(renameRefused ? "linked" : "renamed");
        const QDate day(2010, 2, renameRefused ? 3 : 2);
        const QString dayFolder = mainImages + "/" + day.toString("yyyy-MM-dd");
        ASSERT_TRUE(QDir().mkpath(dayFolder) && QDir().mkpath(upload + dayFolder));
        const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QMap<int, QString> folders;
        for (const QString& folder : {dayFolder, upload + dayFolder})
            folders[::inotify_add_watch(watch, QFile::encodeName(folder).constData(), kEvents)] = folder;
        SNP_ImagePipeline::setNoReplaceRenameRefusedForTesting(renameRefused);
        QStringList expected;
        for (int second : {5, 6, 6}) {
            setClock(QDateTime(day, QTime(14, 30, second)));
            const QString address = QStringLiteral("v%1@visitor.de").arg(expected.size() / 2);
            deliver(picture(QColor(20, 40 * second, 220)), {address});
            const auto result = c->lastFilingResult();
            ASSERT_TRUE(result.uploaded);
            for (const QString& path : {result.filedPath, result.uploadPath}) {
                expectWhole(path, {address});
                expected << QStringLiteral("%1 %2").arg(path).arg(renameRefused ? IN_CREATE : IN_MOVED_TO);
            }
        }
        SNP_ImagePipeline::setNoReplaceRenameRefusedForTesting(false);
        QStringList seen;
        alignas(inotify_event) char buffer[64 * 1024];
        for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;)
            for (ssize_t at = 0; at < n;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += ssize_t(sizeof(inotify_event) + event->len);
                if (event->len && event->name[0] != '.')
                    seen << QStringLiteral("%1/%2 %3").arg(folders.value(event->wd), QFile::decodeName(event->name))
                                .arg(event->mask & kEvents);
            }
        ::close(watch);
        EXPECT_EQ(seen.join(u'\n').toStdString(), expected.join(u'\n').toStdString());
        EXPECT_TRUE(expected[4].contains("-1.jpg")) << qPrintable(expected[4]);
        EXPECT_EQ(filesBelow(dir.path()).filter(QRegularExpression("(^|/)\\.")), QStringList()); // none temporary
    }
}

} // namespace
