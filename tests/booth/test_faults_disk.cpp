// Disk faults while filing (SNP_Filing, without any window): the main images and upload
// folders on small file systems that fill up, a read-only upload folder, plain files where
// folders should be, and the folders removed while the booth runs. Whatever fails, a
// picture filed earlier stays as it was, no partial or temporary file is left, the log
// says what failed, and filing goes on by itself for the next visitor once the fault is
// gone.
//
// Small and read-only file systems are tmpfs mounts made by the test. Where mounting is not
// permitted a file-size limit (SIGXFSZ ignored) stands in for the full disk, and a
// read-only folder is made with its permission bits, which only hold for a user other than
// root; each test says which it used.
#include "FilingFixture.h"

#include <QDirIterator>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <random>

#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

using namespace photo_fixture;

// A tmpfs of a given size mounted over a folder for the test's lifetime.
class SmallFileSystem {
public:
    SmallFileSystem(const QString& folder, qint64 bytes) : _folder(folder), _options(options(bytes))
    {
        QDir().mkpath(folder);
        _mounted = ::mount("tmpfs", QFile::encodeName(folder).constData(), "tmpfs", MS_NOSUID | MS_NODEV,
                           _options.constData()) == 0;
        if (!_mounted)
            _error = QString::fromLocal8Bit(std::strerror(errno));
    }
    ~SmallFileSystem()
    {
        if (_mounted)
            ::umount2(QFile::encodeName(_folder).constData(), MNT_DETACH);
    }
    SmallFileSystem(const SmallFileSystem&) = delete;
    SmallFileSystem& operator=(const SmallFileSystem&) = delete;

    bool mounted() const { return _mounted; }
    QString error() const { return _error; }
    bool setReadOnly(bool readOnly)
    {
        return ::mount("tmpfs", QFile::encodeName(_folder).constData(), "tmpfs",
                       MS_REMOUNT | MS_NOSUID | MS_NODEV | (readOnly ? MS_RDONLY : 0), _options.constData()) == 0;
    }
    // Fills the file system up with a file of its own; false when it did not fill.
    bool fill()
    {
        QFile filler(fillerPath());
        if (!filler.open(QIODevice::WriteOnly))
            return false;
        const QByteArray block(64 * 1024, 'x');
        while (filler.write(block) == block.size())
            ;
        filler.close();
        // What a 64 KiB block did not fit, in smaller pieces.
        QFile rest(_folder + "/.filler-rest");
        if (rest.open(QIODevice::WriteOnly)) {
            const QByteArray small(512, 'y');
            while (rest.write(small) == small.size() && rest.flush())
                ;
        }
        return true;
    }
    void empty()
    {
        QFile::remove(fillerPath());
        QFile::remove(_folder + "/.filler-rest");
    }

private:
    static QByteArray options(qint64 bytes) { return "size=" + QByteArray::number(bytes) + ",mode=0755"; }
    QString fillerPath() const { return _folder + "/.filler"; }

    QString _folder;
    QByteArray _options;
    bool _mounted = false;
    QString _error;
};

// A photograph-like picture that does not compress to nothing: about 1.2 MB.
QByteArray noisyPicture(unsigned seed)
{
    QImage noisy(1200, 900, QImage::Format_RGB888);
    std::mt19937 noise(seed);
    for (int y = 0; y < noisy.height(); ++y)
        for (int x = 0; x < noisy.width() * 3; ++x)
            noisy.scanLine(y)[x] = uchar(noise());
    return fixtures::cameraJpeg(noisy);
}

// Files below the folder whose name starts with a dot: temporary files left behind.
QStringList hiddenFilesBelow(const QString& folder, const QStringList& except = {})
{
    QStringList hidden;
    for (const QString& f : filesBelow(folder))
        if (QFileInfo(f).fileName().startsWith(u'.') && !except.contains(QFileInfo(f).fileName()))
            hidden << f;
    return hidden;
}

class DiskFaultTest : public FilingTest {
protected:
    // A visitor's picture filed at the given second after 14:30:00. Answers the filing's
    // result.
    SNP_Filing::Result visitor(int second, const QString& address, const QByteArray& bytes)
    {
        setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, second)));
        return filing.fileVisitorPicture(bytes, {address}, folders());
    }
    // A filed picture or upload file is whole and carries its own visitor's address.
    void expectWhole(const QString& path, const QString& address)
    {
        const QByteArray bytes = readFile(path);
        EXPECT_TRUE(SNP_ImagePipeline::decodeJpeg(bytes).has_value()) << qPrintable(path) << " is not a whole picture";
        EXPECT_EQ(plist(path).value(QBEmailsForUpload).toStringList(), QStringList{address}) << qPrintable(path);
    }

    SNP_Filing filing;
};

TEST_F(DiskFaultTest, FullFileSystemsCostOnlyThePictureInFlightAndFilingResumes)
{
    const QByteArray pictureA = noisyPicture(1), pictureB = noisyPicture(2), pictureC = noisyPicture(3);
    ASSERT_GT(pictureA.size(), 1000000);
    SmallFileSystem mainFs(mainImages, 4 << 20), uploadFs(upload, 4 << 20);
    if (!mainFs.mounted() || !uploadFs.mounted()) {
        // Stand-in: a file-size limit below the size of a picture.
        const std::string used = "file-size limit (tmpfs mount not permitted: " + mainFs.error().toStdString() + ")";
        RecordProperty("disk_fault_method", used);
        std::printf("full disk simulated with a %s\n", used.c_str());
        const auto a = visitor(5, "a@visitor.de", pictureA);
        ASSERT_TRUE(a.uploaded);
        const QByteArray filedA = readFile(a.filedPath), uploadA = readFile(a.uploadPath);

        std::signal(SIGXFSZ, SIG_IGN);
        rlimit old{};
        ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
        rlimit small = old;
        small.rlim_cur = 512 * 1024; // the log stays far below this
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
        const auto b = visitor(6, "b@visitor.de", pictureB);
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
        std::signal(SIGXFSZ, SIG_DFL);
        EXPECT_FALSE(b.uploaded);
        EXPECT_TRUE(logText().contains("File too large")) << "the log does not say what failed";
        EXPECT_EQ(hiddenFilesBelow(dir.path()), QStringList());
        EXPECT_EQ(readFile(a.filedPath), filedA);
        EXPECT_EQ(readFile(a.uploadPath), uploadA);

        const auto cResult = visitor(7, "c@visitor.de", pictureC);
        ASSERT_TRUE(cResult.uploaded);
        expectWhole(cResult.filedPath, "c@visitor.de");
        expectWhole(cResult.uploadPath, "c@visitor.de");
        return;
    }
    RecordProperty("disk_fault_method", "tmpfs");
    std::printf("full disk: tmpfs of 4 MiB mounted over the main images and upload folders\n");

    const auto a = visitor(5, "a@visitor.de", pictureA);
    ASSERT_TRUE(a.uploaded) << qPrintable(logText());
    const QByteArray filedA = readFile(a.filedPath), uploadA = readFile(a.uploadPath);

    // The main images folder is full: the picture cannot be moved into its day folder and
    // stays in the scratch folder, whole, with its visitor's address.
    ASSERT_TRUE(mainFs.fill());
    const auto b = visitor(6, "b@visitor.de", pictureB);
    EXPECT_FALSE(b.uploaded);
    EXPECT_TRUE(b.filedPath.isEmpty());
    EXPECT_TRUE(logText().contains("Error in Moving the item: [")) << "the log does not say what failed";
    EXPECT_TRUE(logText().contains("No space left on device"));
    EXPECT_EQ(filesBelow(scratch), QStringList{"20100202143006.jpg"});
    expectWhole(scratch + "/20100202143006.jpg", "b@visitor.de");
    EXPECT_EQ(filesBelow(mainImages), (QStringList{".filler", ".filler-rest", "2010-02-02/20100202143005.jpg"}));
    EXPECT_EQ(readFile(a.filedPath), filedA);
    EXPECT_EQ(readFile(a.uploadPath), uploadA);

    // Room in the main images folder, the upload folder full: filed, no upload file, none
    // half-written.
    mainFs.empty();
    ASSERT_TRUE(uploadFs.fill());
    const auto cResult = visitor(7, "c@visitor.de", pictureC);
    EXPECT_FALSE(cResult.uploaded);
    ASSERT_FALSE(cResult.filedPath.isEmpty());
    expectWhole(cResult.filedPath, "c@visitor.de");
    EXPECT_TRUE(logText().contains("WHAT??????? Did NOT write to the resized file????"));
    EXPECT_EQ(hiddenFilesBelow(upload, {".filler", ".filler-rest"}), QStringList());
    EXPECT_FALSE(QFileInfo::exists(uploadFile("2010-02-02", "20100202143007Comp.jpg")));
    EXPECT_EQ(readFile(a.uploadPath), uploadA);

    // Space back: the next visitor goes all the way without anybody stepping in, and so
    // do the two pictures held back, each with its own visitor's address.
    uploadFs.empty();
    const auto d = visitor(8, "d@visitor.de", noisyPicture(4));
    ASSERT_TRUE(d.uploaded);
    expectWhole(d.filedPath, "d@visitor.de");
    expectWhole(d.uploadPath, "d@visitor.de");
    expectWhole(uploadFile("2010-02-02", "20100202143007Comp.jpg"), "c@visitor.de");
    expectWhole(dayFile("2010-02-02", "20100202143006.jpg"), "b@visitor.de");
    expectWhole(uploadFile("2010-02-02", "20100202143006Comp.jpg"), "b@visitor.de");
    EXPECT_TRUE(logText().contains("filing the picture held back in the scratch folder: [" + scratch +
                                   "/20100202143006.jpg]"));
    EXPECT_EQ(filesBelow(scratch), QStringList());
    EXPECT_EQ(filesBelow(upload).size(), 4);
    expectWhole(a.filedPath, "a@visitor.de");
    EXPECT_EQ(readFile(a.filedPath), filedA);
    EXPECT_EQ(hiddenFilesBelow(dir.path()), QStringList());
}

TEST_F(DiskFaultTest, ReadOnlyUploadFolderKeepsThePictureFiledAndItsUploadsIntact)
{
    SmallFileSystem uploadFs(upload, 16 << 20);
    const bool mounted = uploadFs.mounted();
    if (!mounted && ::geteuid() == 0)
        GTEST_SKIP() << "as root without permission to mount, no folder can be made read-only here ("
                     << qPrintable(uploadFs.error()) << ")";
    RecordProperty("read_only_method", mounted ? "tmpfs remounted read-only" : "permission bits");

    const auto a = visitor(5, "a@visitor.de", picture());
    ASSERT_TRUE(a.uploaded);
    const QByteArray uploadA = readFile(a.uploadPath);
    const QString uploadDay = QFileInfo(a.uploadPath).path();
    if (mounted)
        ASSERT_TRUE(uploadFs.setReadOnly(true));
    else
        ASSERT_TRUE(QFile::setPermissions(uploadDay, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    const auto b = visitor(6, "b@visitor.de", picture(QColor(200, 30, 30)));
    EXPECT_FALSE(b.uploaded);
    ASSERT_FALSE(b.filedPath.isEmpty());
    expectWhole(b.filedPath, "b@visitor.de");
    EXPECT_TRUE(logText().contains("cannot create a temporary file in \"" + uploadDay + "\""));
    EXPECT_TRUE(logText().contains("WHAT??????? Did NOT write to the resized file????"));
    EXPECT_EQ(readFile(a.uploadPath), uploadA);

    if (mounted)
        ASSERT_TRUE(uploadFs.setReadOnly(false));
    else
        ASSERT_TRUE(QFile::setPermissions(uploadDay, QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                         QFileDevice::ExeOwner));
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList{b.filedPath});

    // Writable again: the next visitor's upload file is written, then the one held back.
    const auto cResult = visitor(7, "c@visitor.de", picture());
    ASSERT_TRUE(cResult.uploaded);
    expectWhole(cResult.uploadPath, "c@visitor.de");
    expectWhole(uploadFile("2010-02-02", "20100202143006Comp.jpg"), "b@visitor.de");
    EXPECT_TRUE(logText().contains("making the upload file held back for [" + b.filedPath + "]"));
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList());
    EXPECT_EQ(filesBelow(upload).size(), 3);
    EXPECT_EQ(readFile(a.uploadPath), uploadA);
}

TEST_F(DiskFaultTest, PlainFilesWhereFoldersShouldBeAreLeftAloneAndLogged)
{
    // Staff's own file where the day folder goes: it is neither replaced nor removed.
    const QString dayFolder = mainImages + "/2010-02-02";
    ASSERT_TRUE(QDir().mkpath(mainImages));
    ASSERT_TRUE(fixtures::writeFile(dayFolder, "staff notes"));
    const auto a = visitor(5, "a@visitor.de", picture());
    EXPECT_FALSE(a.uploaded);
    EXPECT_EQ(readFile(dayFolder), QByteArray("staff notes"));
    EXPECT_TRUE(logText().contains("FOUND ERROR while trying to create todya's folder???:"));
    expectWhole(scratch + "/20100202143005.jpg", "a@visitor.de"); // kept in the scratch folder
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList());

    // A plain file where the upload day folder goes: filed, no upload, the file kept.
    ASSERT_TRUE(QFile::remove(dayFolder));
    const QString uploadDay = upload + dayFolder;
    ASSERT_TRUE(QDir().mkpath(QFileInfo(uploadDay).path()));
    ASSERT_TRUE(fixtures::writeFile(uploadDay, "not a folder"));
    const auto b = visitor(6, "b@visitor.de", picture());
    ASSERT_FALSE(b.filedPath.isEmpty());
    expectWhole(b.filedPath, "b@visitor.de");
    EXPECT_FALSE(b.uploaded);
    EXPECT_TRUE(logText().contains("Unable to create Directory at: [" + uploadDay + "]"));
    EXPECT_EQ(readFile(uploadDay), QByteArray("not a folder"));
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList{b.filedPath});
    expectWhole(scratch + "/20100202143005.jpg", "a@visitor.de"); // no room made: still held back

    // A plain file where the scratch folder goes (staff moved the folder aside): the
    // picture in flight cannot be written anywhere and is lost, but nothing else is touched.
    ASSERT_TRUE(QFile::remove(uploadDay));
    const QString aside = dir.filePath("scratch-aside");
    ASSERT_TRUE(QDir().rename(scratch, aside));
    ASSERT_TRUE(fixtures::writeFile(scratch, "not a folder either"));
    const auto cResult = visitor(7, "c@visitor.de", picture());
    EXPECT_FALSE(cResult.uploaded);
    EXPECT_TRUE(logText().contains("the scratch folder cannot be made"));
    EXPECT_EQ(readFile(scratch), QByteArray("not a folder either"));

    // Cleared and the folder back: the next visitor goes all the way, then the picture
    // held back in the scratch folder and the upload held back are made.
    ASSERT_TRUE(QFile::remove(scratch));
    ASSERT_TRUE(QDir().rename(aside, scratch));
    const auto d = visitor(8, "d@visitor.de", picture());
    ASSERT_TRUE(d.uploaded);
    expectWhole(d.uploadPath, "d@visitor.de");
    expectWhole(b.filedPath, "b@visitor.de");
    expectWhole(uploadFile("2010-02-02", "20100202143006Comp.jpg"), "b@visitor.de");
    expectWhole(dayFile("2010-02-02", "20100202143005.jpg"), "a@visitor.de");
    expectWhole(uploadFile("2010-02-02", "20100202143005Comp.jpg"), "a@visitor.de");
    EXPECT_EQ(filesBelow(scratch), QStringList());
}

TEST_F(DiskFaultTest, FoldersRemovedWhileTheBoothRunsAreMadeAgain)
{
    const auto a = visitor(5, "a@visitor.de", picture());
    ASSERT_TRUE(a.uploaded);
    const QByteArray filedA = readFile(a.filedPath);

    // Staff move the day's pictures away and the upload process removes its whole folder.
    const QString movedAway = dir.filePath("moved");
    ASSERT_TRUE(QDir().rename(mainImages, movedAway));
    ASSERT_TRUE(QDir(upload).removeRecursively());
    ASSERT_TRUE(QDir(scratch).removeRecursively());
    const auto b = visitor(6, "b@visitor.de", picture(QColor(30, 200, 30)));
    ASSERT_TRUE(b.uploaded) << qPrintable(logText());
    expectWhole(b.filedPath, "b@visitor.de");
    expectWhole(b.uploadPath, "b@visitor.de");
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2010-02-02/20100202143006.jpg"});
    EXPECT_EQ(readFile(movedAway + "/2010-02-02/20100202143005.jpg"), filedA);

    // The day folder alone removed between two visitors. Its new name is flushed into the
    // main images folder, or a power cut could take back the picture reported filed.
    ASSERT_TRUE(QDir(mainImages + "/2010-02-02").removeRecursively());
    QStringList synced;
    SNP_ImagePipeline::setFolderSyncedObserverForTesting([&](const QByteArray& f) { synced << QFile::decodeName(f); });
    const auto cResult = visitor(7, "c@visitor.de", picture());
    SNP_ImagePipeline::setFolderSyncedObserverForTesting(nullptr);
    ASSERT_TRUE(cResult.uploaded);
    EXPECT_TRUE(synced.contains(QDir::cleanPath(mainImages))) << qPrintable(synced.join(' '));
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2010-02-02/20100202143007.jpg"});
}

TEST_F(DiskFaultTest, HeldBackPicturesGoWithTheirOwnAddressesAFewAtATimeAndStaffFilesStay)
{
    // Twelve visitors' pictures held back in the scratch folder, each with its own address,
    // and the camera's bytes kept for staff (no picture, no addresses).
    ASSERT_TRUE(QDir().mkpath(scratch));
    for (int i = 0; i < 12; ++i) {
        const QVariantMap addresses{{QBEmailsForUpload, QStringList{QStringLiteral("held%1@visitor.de").arg(i)}}};
        const auto bytes = SNP_XMLinEXIF::jpegDataWithPropertyListObject(addresses, picture(QColor(10 * i, 90, 200)));
        ASSERT_TRUE(bytes);
        ASSERT_TRUE(fixtures::writeFile(scratch + QStringLiteral("/201002021400%1.jpg").arg(i, 2, 10, QLatin1Char('0')),
                                        *bytes));
    }
    const QByteArray staffBytes("garbage the camera sent instead of a picture, kept for staff");
    ASSERT_TRUE(fixtures::writeFile(scratch + "/20100202135959.jpg", staffBytes));

    const auto first = visitor(5, "first@visitor.de", picture());
    ASSERT_TRUE(first.uploaded);
    EXPECT_EQ(first.heldBackFiled, SNP_Filing::kHeldBackPerIntake);
    EXPECT_EQ(filesBelow(mainImages).size(), 1 + SNP_Filing::kHeldBackPerIntake);
    EXPECT_EQ(filesBelow(scratch).size(), 1 + 12 - SNP_Filing::kHeldBackPerIntake);
    const QString staffRead = QStringLiteral("propertyListObjectForJpegData: cannot read the image's metadata");
    const qsizetype readsOfStaffBytes = logText().count(staffRead);
    EXPECT_EQ(readsOfStaffBytes, 1);

    const auto second = visitor(6, "second@visitor.de", picture());
    ASSERT_TRUE(second.uploaded);
    EXPECT_EQ(filesBelow(scratch), QStringList{"20100202135959.jpg"});
    EXPECT_EQ(readFile(scratch + "/20100202135959.jpg"), staffBytes);
    EXPECT_EQ(logText().count(staffRead), readsOfStaffBytes); // looked at once only

    // Every held-back picture and its upload file carry their own visitor's address.
    for (int i = 0; i < 12; ++i) {
        const QString name = QStringLiteral("201002021400%1").arg(i, 2, 10, QLatin1Char('0'));
        const QString address = QStringLiteral("held%1@visitor.de").arg(i);
        expectWhole(dayFile("2010-02-02", name + ".jpg"), address);
        expectWhole(uploadFile("2010-02-02", name + "Comp.jpg"), address);
    }
    expectWhole(first.uploadPath, "first@visitor.de");
    expectWhole(second.uploadPath, "second@visitor.de");
}

TEST_F(DiskFaultTest, AHeldBackPictureThatNeverGoesThroughIsLeftAloneAndTheRestGoOn)
{
    // The oldest held-back picture carries its addresses but its picture data is cut short,
    // so no composite can be made of it; a good one waits behind it.
    ASSERT_TRUE(QDir().mkpath(scratch));
    const auto cutShort = SNP_XMLinEXIF::jpegDataWithPropertyListObject(
        QVariantMap{{QBEmailsForUpload, QStringList{"cut@visitor.de"}}}, noisyPicture(7));
    ASSERT_TRUE(cutShort);
    ASSERT_TRUE(fixtures::writeFile(scratch + "/20100202140000.jpg", cutShort->left(cutShort->size() / 2)));
    const auto good = SNP_XMLinEXIF::jpegDataWithPropertyListObject(
        QVariantMap{{QBEmailsForUpload, QStringList{"good@visitor.de"}}}, picture(QColor(200, 30, 30)));
    ASSERT_TRUE(good);
    ASSERT_TRUE(fixtures::writeFile(scratch + "/20100202140001.jpg", *good));

    const QString cutFiled = dayFile("2010-02-02", "20100202140000.jpg");
    const QString givenUp = QStringLiteral("the upload file for [%1] failed %2 times; it is no longer tried")
                                .arg(cutFiled)
                                .arg(SNP_Filing::kHeldBackAttempts);
    // The first visitor files it (its bytes are kept whole) but gets no upload file for it;
    // each later visitor tries its upload once, and after the last attempt it is let go.
    for (int visitorNumber = 0; visitorNumber <= SNP_Filing::kHeldBackAttempts; ++visitorNumber) {
        const QString address = QStringLiteral("v%1@visitor.de").arg(visitorNumber);
        const auto result = visitor(10 + visitorNumber, address, picture());
        ASSERT_TRUE(result.uploaded) << "visitor " << visitorNumber;
        expectWhole(result.uploadPath, address);
        const bool lastAttempt = visitorNumber == SNP_Filing::kHeldBackAttempts;
        EXPECT_EQ(filing.uploadsHeldBack().contains(cutFiled), !lastAttempt) << "visitor " << visitorNumber;
        EXPECT_EQ(QFileInfo::exists(dayFile("2010-02-02", "20100202140001.jpg")), lastAttempt)
            << "visitor " << visitorNumber;
    }
    EXPECT_EQ(logText().count(givenUp), 1);
    EXPECT_EQ(readFile(cutFiled), cutShort->left(cutShort->size() / 2));
    EXPECT_FALSE(QFileInfo::exists(uploadFile("2010-02-02", "20100202140000Comp.jpg")));
    expectWhole(uploadFile("2010-02-02", "20100202140001Comp.jpg"), "good@visitor.de");
    EXPECT_TRUE(filesBelow(scratch).isEmpty());
    EXPECT_TRUE(hiddenFilesBelow(dir.path()).isEmpty());

    // Nothing more is tried for it.
    const auto after = visitor(30, "after@visitor.de", picture());
    ASSERT_TRUE(after.uploaded);
    EXPECT_EQ(logText().count(QStringLiteral("making the upload file held back for [%1]").arg(cutFiled)),
              SNP_Filing::kHeldBackAttempts);
}

} // namespace
