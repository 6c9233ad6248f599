// Photo intake and filing in the booth: a picture arriving on the capture screen is shown,
// advances the booth, carries the visitor's addresses in typed order into the scratch file,
// the day folder (named at filing time) and the composite in the upload folder; a late
// picture is only shown; a name already taken in the day folder, undecodable bytes, a
// blocked folder and a full disk each end safely with the booth going on.
#include "AppController.h"
#include "SNP_CanonCameraNotifications.h"
#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_Preferences.h"
#include "SNP_Resources.h"
#include "SNP_XMLinEXIF.h"
#include "PhotoFixture.h"
#include "TestSupport.h"

#include "../support/JpegFixtures.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <random>
#include <thread>

#include <poll.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace photo_fixture;
using fixtures::exifOf;
using fixtures::exifString;
using fixtures::readFile;

// Watches folders as an uploader does, on a thread of its own: inotify's "a finished file
// is here" events (IN_CLOSE_WRITE, IN_MOVED_TO) and IN_CREATE, reading each file the moment
// its event comes. Hidden names (temporary files) are passed over, as uploaders do.
class UploaderWatch {
public:
    struct Arrival {
        QString path;
        uint32_t event;
        QByteArray bytes; // as read when the event came
    };
    explicit UploaderWatch(const QStringList& folders) : _fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
        for (const QString& folder : folders)
            _folders[::inotify_add_watch(_fd, QFile::encodeName(folder).constData(),
                                         IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO)] = folder;
        _thread = std::thread([this] { watch(); });
    }
    ~UploaderWatch()
    {
        stop();
        ::close(_fd);
    }
    // Stops watching once every event so far is read; what arrived, in order.
    std::vector<Arrival> stop()
    {
        _stop = true;
        if (_thread.joinable())
            _thread.join();
        return _arrivals;
    }

private:
    void watch()
    {
        alignas(inotify_event) char buffer[64 * 1024];
        for (;;) {
            const bool stopping = _stop.load();
            pollfd p{_fd, POLLIN, 0};
            ::poll(&p, 1, 10);
            ssize_t n;
            while ((n = ::read(_fd, buffer, sizeof buffer)) > 0) {
                for (char* at = buffer; at < buffer + n;) {
                    const auto* event = reinterpret_cast<const inotify_event*>(at);
                    at += sizeof(inotify_event) + event->len;
                    const QString name = event->len ? QFile::decodeName(event->name) : QString();
                    if (name.isEmpty() || name.startsWith(u'.'))
                        continue;
                    const QString path = _folders.value(event->wd) + u'/' + name;
                    _arrivals.push_back({path, event->mask & (IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO), readFile(path)});
                }
            }
            if (stopping)
                return;
        }
    }

    int _fd;
    QMap<int, QString> _folders;
    std::atomic<bool> _stop{false};
    std::vector<Arrival> _arrivals;
    std::thread _thread;
};

TEST_F(PhotoTest, PictureOnTheCaptureScreenIsShownFiledAndUploadedWithTheAddressesInTypedOrder)
{
    const QStringList emails{"zoe@example.org", "adam@example.com", "mia@example.net"};
    onCaptureScreen(emails);
    const QByteArray bytes = picture();
    deliver(bytes);

    EXPECT_EQ(c->_screenNumber.load(), 6u);
    EXPECT_FALSE(c->_EVFView->isHidden());
    const QImage shown = c->_EVFView->pixmap().toImage();
    ASSERT_FALSE(shown.isNull());
    EXPECT_GT(qBlue(shown.pixel(160, 120)), 180);
    EXPECT_EQ(c->imageDict().value(SNP_CanonCameraPhotoData).toByteArray(), bytes);

    const QString filed = dayFile("2010-02-02", "20100202143005.jpg");
    const QString comp = uploadFile("2010-02-02", "20100202143005Comp.jpg");
    EXPECT_EQ(filesBelow(scratch), QStringList());
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2010-02-02/20100202143005.jpg"});
    EXPECT_EQ(filesBelow(upload), QStringList{comp.mid(upload.size() + 1)});
    const auto result = c->lastFilingResult();
    EXPECT_TRUE(result.uploaded);
    EXPECT_EQ(result.filedPath, filed);
    EXPECT_EQ(result.uploadPath, comp);

    // The addresses, in the order typed, in the filed picture and the composite.
    EXPECT_EQ(plist(filed).value(QBEmailsForUpload).toStringList(), emails);
    EXPECT_EQ(plist(comp).value(QBEmailsForUpload).toStringList(), emails);
    // The composite has the frame's pixel size and the camera's EXIF entries.
    const QByteArray compBytes = readFile(comp);
    const auto header = SNP_ImagePipeline::readJpegHeader(compBytes);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->width, 1000);
    EXPECT_EQ(header->height, 700);
    const auto exif = exifOf(compBytes);
    EXPECT_EQ(exifString(exif, "Exif.Image.Model"), "Canon EOS 5D Mark II");
    EXPECT_EQ(exifString(exif, "Exif.Photo.ExposureTime"), "1/125");
    // The filed picture is the camera's, recompressed once, same size.
    const auto filedHeader = SNP_ImagePipeline::readJpegHeader(readFile(filed));
    ASSERT_TRUE(filedHeader);
    EXPECT_EQ(filedHeader->width, 600);
    EXPECT_NE(readFile(filed), bytes);

    const QString log = logText();
    for (const char* line : {"updating image well with (600, 400) image", "writing file to ",
                             "Wrote File at path: [", "property list from new image:",
                             "sourceFileName without Path = [20100202143005.jpg]", "todaysDate = [ 2010-02-02]",
                             "DidCreate folder: [", "The NEW Destination Path is: [", "didMove to path: [",
                             " the NewFormed forUploadPath = [", " the NewFormed toBeUploadedItemPath = [",
                             "sourceImageSize (600.00,400.00)", "korvanexImageSize (1000.00,700.00)",
                             "curRepSize of korvanexImage at index 0 is (1000,700) Pixels",
                             "Forcing the Pixel size of compositeImage to (1000,700) Pixels", "plist2 is [",
                             "Success in writing to resized file... to path ["})
        EXPECT_TRUE(log.contains(QString::fromUtf8(line))) << line;
    EXPECT_TRUE(log.contains(" the NewFormed forUploadPath = [" + upload + mainImages + "/2010-02-02]"));
    EXPECT_EQ(log.count("sourceImageSize (600.00,400.00)"), 2);
    EXPECT_FALSE(log.contains("bailing out"));
}

TEST_F(PhotoTest, CompositeShowsTheWholePictureUprightInItsWindow)
{
    // Quadrants red, green / blue, yellow, at a size the screen shows reduced (2400 x 1600
    // is decoded at 1200 x 800 for the screen, and the composite is drawn from that).
    QImage quadrants(2400, 1600, QImage::Format_RGB32);
    QPainter p(&quadrants);
    p.fillRect(0, 0, 1200, 800, QColor(230, 20, 20));
    p.fillRect(1200, 0, 1200, 800, QColor(20, 230, 20));
    p.fillRect(0, 800, 1200, 800, QColor(20, 20, 230));
    p.fillRect(1200, 800, 1200, 800, QColor(230, 230, 20));
    p.end();
    onCaptureScreen({"quad@example.org"});
    deliver(fixtures::cameraJpeg(quadrants));

    const auto composite = SNP_ImagePipeline::decodeJpeg(readFile(c->lastFilingResult().uploadPath));
    ASSERT_TRUE(composite);
    // The window of a 1000 x 700 frame is (216, 173) to (784, 527).
    const auto near = [](QRgb pixel, int r, int g, int b) {
        return std::abs(qRed(pixel) - r) < 40 && std::abs(qGreen(pixel) - g) < 40 && std::abs(qBlue(pixel) - b) < 40;
    };
    EXPECT_TRUE(near(composite->pixel(226, 183), 230, 20, 20));
    EXPECT_TRUE(near(composite->pixel(774, 183), 20, 230, 20));
    EXPECT_TRUE(near(composite->pixel(226, 517), 20, 20, 230));
    EXPECT_TRUE(near(composite->pixel(774, 517), 230, 230, 20));
    EXPECT_TRUE(near(composite->pixel(100, 100), 255, 255, 255)); // the frame over the rest
    const auto filed = SNP_ImagePipeline::readJpegHeader(readFile(c->lastFilingResult().filedPath));
    ASSERT_TRUE(filed);
    EXPECT_EQ(QSize(filed->width, filed->height), QSize(2400, 1600));
    EXPECT_TRUE(logText().contains("updating image well with (2400, 1600) image"));
}

TEST_F(PhotoTest, LatePictureOnScreenSixIsShownButNotFiled)
{
    onCaptureScreen({"a@b.cd"});
    c->_screenNumber.store(6);
    deliver(picture(QColor(220, 30, 30)));
    EXPECT_EQ(c->_screenNumber.load(), 6u);
    const QImage shown = c->_EVFView->pixmap().toImage();
    ASSERT_FALSE(shown.isNull());
    EXPECT_GT(qRed(shown.pixel(160, 120)), 180);
    EXPECT_TRUE(logText().contains(
        "bailing out of -[AppController newPhoto:] because we appear to have timed out (screen number = 6)"));
    EXPECT_EQ(filesBelow(dir.path() + "/scratch"), QStringList());
    EXPECT_FALSE(QFileInfo::exists(mainImages));
    EXPECT_FALSE(QFileInfo::exists(upload));
}

TEST_F(PhotoTest, NoAddressesAdvancesButWritesNothing)
{
    onCaptureScreen({});
    deliver(picture());
    EXPECT_EQ(c->_screenNumber.load(), 6u);
    EXPECT_FALSE(QFileInfo::exists(mainImages));
    EXPECT_EQ(filesBelow(dir.path() + "/scratch"), QStringList());
}

TEST_F(PhotoTest, DayFolderIsTakenAtFilingTimeWithTheCalendarYear)
{
    // Named a moment before midnight, filed after it.
    std::atomic<int> calls{0};
    AppController::setPhotoClockForTesting([&] {
        return calls++ == 0 ? QDateTime(QDate(2026, 12, 31), QTime(23, 59, 59)) : QDateTime(QDate(2027, 1, 1), QTime(0, 0, 1));
    });
    onCaptureScreen({"a@b.cd"});
    deliver(picture());
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2027-01-01/20261231235959.jpg"});
    EXPECT_TRUE(QFileInfo::exists(uploadFile("2027-01-01", "20261231235959Comp.jpg")));

    // 31 December 2024 lies in the first week of 2025: the calendar year names the folder.
    setClock(QDateTime(QDate(2024, 12, 31), QTime(12, 0, 0)));
    onCaptureScreen({"a@b.cd"});
    deliver(picture());
    EXPECT_TRUE(QFileInfo::exists(dayFile("2024-12-31", "20241231120000.jpg")));
    // The second picture of a day finds the folders and says so all the same.
    onCaptureScreen({"b@b.cd"});
    setClock(QDateTime(QDate(2024, 12, 31), QTime(12, 0, 1)));
    deliver(picture());
    EXPECT_TRUE(QFileInfo::exists(dayFile("2024-12-31", "20241231120001.jpg")));
    EXPECT_EQ(logText().count("DidCreate folder: [" + mainImages + "/2024-12-31]"), 2);
}

TEST_F(PhotoTest, NameTakenInTheDayFolderFilesTheNewPictureBesideItAndUploadsFromIt)
{
    const QString older = dayFile("2010-02-02", "20100202143005.jpg");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(older).path()));
    const QByteArray olderBytes = picture(QColor(230, 20, 20));
    ASSERT_TRUE(fixtures::writeFile(older, olderBytes));

    onCaptureScreen({"new@visitor.de"});
    deliver(picture(QColor(20, 30, 230)));

    EXPECT_EQ(readFile(older), olderBytes); // never replaced
    const QString filed = dayFile("2010-02-02", "20100202143005-1.jpg");
    const QString comp = uploadFile("2010-02-02", "20100202143005-1Comp.jpg");
    ASSERT_TRUE(QFileInfo::exists(filed));
    ASSERT_TRUE(QFileInfo::exists(comp));
    EXPECT_EQ(plist(filed).value(QBEmailsForUpload).toStringList(), QStringList{"new@visitor.de"});
    EXPECT_EQ(plist(comp).value(QBEmailsForUpload).toStringList(), QStringList{"new@visitor.de"});
    // The composite shows the new (blue) picture in its window.
    const auto composite = SNP_ImagePipeline::decodeJpeg(readFile(comp));
    ASSERT_TRUE(composite);
    const QRgb centre = composite->pixel(500, 350);
    EXPECT_GT(qBlue(centre), 180);
    EXPECT_LT(qRed(centre), 80);
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
    onCaptureScreen({"a@b.cd"});
    deliver(garbage);
    EXPECT_EQ(c->_screenNumber.load(), 6u);
    const QString kept = scratch + "/20100202143005.jpg";
    EXPECT_EQ(filesBelow(scratch), QStringList{"20100202143005.jpg"});
    EXPECT_EQ(readFile(kept), garbage);
    EXPECT_FALSE(QFileInfo::exists(mainImages));
    EXPECT_FALSE(QFileInfo::exists(upload));
    EXPECT_TRUE(logText().contains("COULD NOT File at path: [" + kept + "]"));
    EXPECT_TRUE(logText().contains("kept the camera's 20000 bytes at [" + kept + "] for recovery"));
    EXPECT_EQ(c->lastFilingResult().scratchPath, kept);

    // A second such picture in the same second does not replace the first.
    onCaptureScreen({"a@b.cd"});
    deliver(garbage.left(1000));
    EXPECT_EQ(filesBelow(scratch), (QStringList{"20100202143005-1.jpg", "20100202143005.jpg"}));
    EXPECT_EQ(readFile(kept), garbage);
}

TEST_F(PhotoTest, BlockedFoldersLeaveNoPartialFileAndTheBoothGoesOn)
{
    // The upload folder cannot be made: the picture is filed, nothing else is written.
    ASSERT_TRUE(fixtures::writeFile(upload, "not a folder"));
    onCaptureScreen({"a@b.cd"});
    deliver(picture());
    const QString filed = dayFile("2010-02-02", "20100202143005.jpg");
    EXPECT_TRUE(QFileInfo::exists(filed));
    EXPECT_FALSE(c->lastFilingResult().uploaded);
    EXPECT_TRUE(logText().contains("Unable to create Directory at: [" + upload + mainImages + "/2010-02-02]"));
    EXPECT_TRUE(logText().contains("WHAT??????? Did NOT write to the resized file????"));
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2010-02-02/20100202143005.jpg"});

    // The day folder cannot be made: the picture stays in the scratch folder.
    ASSERT_TRUE(QFile::remove(upload));
    ASSERT_TRUE(QDir(mainImages).removeRecursively());
    ASSERT_TRUE(fixtures::writeFile(mainImages, "not a folder"));
    setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, 6)));
    onCaptureScreen({"a@b.cd"});
    deliver(picture());
    EXPECT_TRUE(logText().contains("FOUND ERROR while trying to create todya's folder???:"));
    EXPECT_EQ(filesBelow(scratch), QStringList{"20100202143006.jpg"});
    EXPECT_EQ(plist(scratch + "/20100202143006.jpg").value(QBEmailsForUpload).toStringList(), QStringList{"a@b.cd"});
    EXPECT_FALSE(QFileInfo::exists(upload));

    // Cleared: the next visitor's picture goes all the way.
    ASSERT_TRUE(QFile::remove(mainImages));
    setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, 7)));
    onCaptureScreen({"next@visitor.de"});
    deliver(picture());
    EXPECT_TRUE(c->lastFilingResult().uploaded);
    EXPECT_TRUE(QFileInfo::exists(uploadFile("2010-02-02", "20100202143007Comp.jpg")));
}

TEST_F(PhotoTest, FullDiskLeavesNoPartialScratchFile)
{
    // A file-size limit stands in for a full disk: writes past it fail with EFBIG.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    QImage noisy(1600, 1200, QImage::Format_RGB888);
    std::mt19937 noise(3);
    for (int y = 0; y < noisy.height(); ++y)
        for (int x = 0; x < noisy.width() * 3; ++x)
            noisy.scanLine(y)[x] = uchar(noise());
    const QByteArray big = fixtures::cameraJpeg(noisy);
    ASSERT_GT(big.size(), 1 << 20);
    rlimit small = old;
    small.rlim_cur = 1 << 20; // the log stays far below this
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    onCaptureScreen({"a@b.cd"});
    deliver(big);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    std::signal(SIGXFSZ, SIG_DFL);

    EXPECT_TRUE(logText().contains("COULD NOT File at path: [" + scratch + "/20100202143005.jpg] due to"));
    EXPECT_EQ(filesBelow(scratch), QStringList()); // no partial or temporary file
    EXPECT_FALSE(QFileInfo::exists(mainImages));

    // With room again the booth files the next picture.
    setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, 9)));
    onCaptureScreen({"a@b.cd"});
    deliver(picture());
    EXPECT_TRUE(c->lastFilingResult().uploaded);
}

TEST_F(PhotoTest, FrameOfOtherResolutionGivesCompositeOfItsPixelSize)
{
    ASSERT_TRUE(frameImage(999, 700, 300).save(resources + "/LumoPictureFrame.png"));
    onCaptureScreen({"a@b.cd"});
    deliver(picture(QColor(20, 200, 20), 900, 600)); // 3:2, stretched into 568 x 354
    const QString comp = uploadFile("2010-02-02", "20100202143005Comp.jpg");
    const auto composite = SNP_ImagePipeline::decodeJpeg(readFile(comp));
    ASSERT_TRUE(composite);
    EXPECT_EQ(composite->size(), QSize(999, 700));
    // The window spans x 215.5 .. 783.5 and y 173 .. 527: green inside, white frame outside.
    EXPECT_GT(qGreen(composite->pixel(220, 180)), 150);
    EXPECT_LT(qRed(composite->pixel(220, 180)), 90);
    EXPECT_GT(qGreen(composite->pixel(778, 520)), 150);
    EXPECT_LT(qRed(composite->pixel(778, 520)), 90);
    EXPECT_GT(qRed(composite->pixel(210, 350)), 230);
    EXPECT_GT(qRed(composite->pixel(500, 168)), 230);
    EXPECT_TRUE(logText().contains("korvanexImageSize (239.76,168.00)"));
    EXPECT_TRUE(logText().contains("curRepSize of korvanexImage at index 0 is (999,700) Pixels"));
}

TEST_F(PhotoTest, StockFrameIsUsedWhenTheOperatorFolderHasNone)
{
    ASSERT_TRUE(QFile::remove(resources + "/LumoPictureFrame.png"));
    const QImage stock = SNP_Resources::imageNamed(QStringLiteral("LumoPictureFrame.png"));
    ASSERT_FALSE(stock.isNull());
    onCaptureScreen({"a@b.cd"});
    deliver(picture());
    EXPECT_TRUE(c->lastFilingResult().uploaded);
    const auto header = SNP_ImagePipeline::readJpegHeader(readFile(uploadFile("2010-02-02", "20100202143005Comp.jpg")));
    ASSERT_TRUE(header);
    EXPECT_EQ(QSize(header->width, header->height), stock.size());
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
    c->setImageDict({{SNP_CanonCameraPhotoData, bytes}, {SNP_CanonCameraPhotoFilename, QStringLiteral("IMG_0042.JPG")}});
    c->saveImage(nullptr);
    EXPECT_EQ(opened, QStringLiteral("/tmp/20110304050607.jpg"));
    EXPECT_EQ(readFile(opened), bytes);
    EXPECT_TRUE(logText().contains("saving camera image  \"IMG_0042.JPG\" to \"/tmp/20110304050607.jpg\""));

    // A link planted under the next name is not written through: the picture takes a
    // free name beside it, and the link's target is untouched.
    const QString victim = dir.filePath("victim.txt");
    ASSERT_TRUE(fixtures::writeFile(victim, "keep me"));
    QFile::remove("/tmp/20110304050607-1.jpg");
    ASSERT_TRUE(QFile::link(victim, "/tmp/20110304050607-1.jpg"));
    opened.clear();
    c->saveImage(nullptr);
    EXPECT_EQ(readFile(victim), QByteArray("keep me"));
    EXPECT_EQ(opened, QStringLiteral("/tmp/20110304050607-2.jpg"));
    EXPECT_EQ(readFile(opened), bytes);
    QFile::remove(opened);
    QFile::remove("/tmp/20110304050607-1.jpg");

    // An extension that is no plain extension cannot lead the file elsewhere.
    c->setImageDict({{SNP_CanonCameraPhotoData, bytes}, {SNP_CanonCameraPhotoFilename, QStringLiteral("x./../../t/a")}});
    opened.clear();
    QFile::remove("/tmp/20110304050607.jpg");
    c->saveImage(nullptr);
    EXPECT_EQ(opened, QStringLiteral("/tmp/20110304050607.jpg"));
    EXPECT_TRUE(logText().contains("has an unusable extension"));
    QFile::remove("/tmp/20110304050607.jpg");

    opened.clear();
    EXPECT_FALSE(c->processPhotoData({}));
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_TRUE(logText().contains("failed to save image to path /tmp/20110304050607."));
}

TEST_F(PhotoTest, AnUploaderWatchingTheFoldersSeesEveryFileArriveWholeAndNoneReplaced)
{
    // Renamed into place, or linked where the file system refuses the no-replace rename.
    const struct {
        bool renameRefused;
        uint32_t event;
        QDate day;
    } kWays[] = {{false, IN_MOVED_TO, QDate(2010, 2, 2)}, {true, IN_CREATE, QDate(2010, 2, 3)}};
    struct RefusedWhileHere {
        explicit RefusedWhileHere(bool refused) { SNP_ImagePipeline::setNoReplaceRenameRefusedForTesting(refused); }
        ~RefusedWhileHere() { SNP_ImagePipeline::setNoReplaceRenameRefusedForTesting(false); }
    };
    for (const auto& way : kWays) {
        SCOPED_TRACE(way.renameRefused ? "linked" : "renamed");
        const QString day = way.day.toString("yyyy-MM-dd");
        const QString dayFolder = mainImages + "/" + day, uploadDayFolder = upload + dayFolder;
        ASSERT_TRUE(QDir().mkpath(dayFolder) && QDir().mkpath(uploadDayFolder));
        const RefusedWhileHere refused(way.renameRefused);
        UploaderWatch uploader({dayFolder, uploadDayFolder});
        QStringList placed;
        QMap<QString, QString> addressOf;
        QByteArray secondFiled;
        // The third visitor comes in the second's second: the names are taken.
        for (int second : {5, 6, 6}) {
            const QString address = QStringLiteral("v%1@visitor.de").arg(placed.size() / 2);
            setClock(QDateTime(way.day, QTime(14, 30, second)));
            onCaptureScreen({address});
            deliver(picture(QColor(20, 40 * second, 220)));
            const auto result = c->lastFilingResult();
            ASSERT_TRUE(result.uploaded);
            placed << result.filedPath << result.uploadPath;
            addressOf[result.filedPath] = addressOf[result.uploadPath] = address;
            if (placed.size() == 4)
                secondFiled = readFile(result.filedPath);
        }
        QStringList arrived;
        for (const auto& arrival : uploader.stop()) {
            EXPECT_EQ(arrival.event, way.event) << qPrintable(arrival.path);
            if (arrival.event != way.event)
                continue;
            arrived << arrival.path;
            EXPECT_TRUE(SNP_ImagePipeline::decodeJpeg(arrival.bytes)) << qPrintable(arrival.path) << " came in part";
            const auto plist = SNP_XMLinEXIF::propertyListDictionaryForJpegData(arrival.bytes);
            EXPECT_EQ(plist ? plist->value(QBEmailsForUpload).toStringList() : QStringList(),
                      QStringList{addressOf.value(arrival.path)});
        }
        EXPECT_EQ(arrived.join(u'\n').toStdString(), placed.join(u'\n').toStdString());
        EXPECT_TRUE(placed[4].endsWith("-1.jpg")) << qPrintable(placed[4]);
        EXPECT_EQ(readFile(placed[2]), secondFiled);
        for (const QString& file : filesBelow(dir.path()))
            EXPECT_FALSE(QFileInfo(file).fileName().startsWith(u'.')) << "temporary file left: " << qPrintable(file);
    }
}

} // namespace
