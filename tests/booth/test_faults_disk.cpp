// Disk faults while filing (SNP_Filing, without any window): a file-size limit below the
// picture's size, the main images and upload folders on small file systems that fill up, a
// read-only upload folder, plain files where folders should be, the folders removed while
// the booth runs, and a filing killed at each of its steps (a power cut) with the next
// start finishing it. Whatever fails, a picture filed earlier stays as it was, no partial
// or temporary file is left, the log says what failed, and filing goes on by itself for
// the next visitor once the fault is gone. And who may read what is filed: the owner, or
// the uploader's group.
//
// Small and read-only file systems are tmpfs mounts made by the test. Where mounting is not
// permitted only the file-size limit stands for the full disk, and a read-only folder is
// made with its permission bits, which only hold for a user other than root; each test
// records which it used.
#include "FilingFixture.h"
#include "SNP_FileAccess.h"

#include <cerrno>
#include <csignal>
#include <cstring>

#include <grp.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace photo_fixture;

// A tmpfs of a given size mounted over a folder for the test's lifetime.
struct SmallFileSystem {
    SmallFileSystem(const QString& folder, qint64 bytes)
        : path(QFile::encodeName(folder)), options("size=" + QByteArray::number(bytes) + ",mode=0755")
    {
        QDir().mkpath(folder);
        mounted = mount(0);
        error = mounted ? "" : std::strerror(errno);
    }
    ~SmallFileSystem()
    {
        if (mounted)
            ::umount2(path.constData(), MNT_DETACH);
    }
    bool mount(unsigned long flags)
    {
        return ::mount("tmpfs", path.constData(), "tmpfs", MS_NOSUID | MS_NODEV | flags, options.constData()) == 0;
    }
    bool setReadOnly(bool readOnly) { return mount(MS_REMOUNT | (readOnly ? MS_RDONLY : 0)); }
    // Fills the file system up with files of its own (64 KiB blocks, then what fits in
    // 512-byte pieces); false when it could not.
    bool fill()
    {
        for (const auto& [name, size] : {std::pair{"/.filler", 64 * 1024}, {"/.filler-rest", 512}}) {
            QFile filler(QFile::decodeName(path) + name);
            const QByteArray block(size, 'x');
            while (filler.isOpen() || filler.open(QIODevice::WriteOnly))
                if (filler.write(block) != block.size() || !filler.flush())
                    break;
        }
        return QFileInfo::exists(QFile::decodeName(path) + "/.filler");
    }
    void empty()
    {
        for (const char* name : {"/.filler", "/.filler-rest"})
            QFile::remove(QFile::decodeName(path) + name);
    }

    const QByteArray path, options;
    bool mounted = false;
    std::string error;
};

// Files below the folder whose name starts with a dot (the fillers apart): temporary files
// left behind.
QStringList hiddenFilesBelow(const QString& folder)
{
    return filesBelow(folder).filter(QRegularExpression("(^|/)\\.(?!filler)"));
}

class DiskFaultTest : public FilingTest {
protected:
    // A visitor's picture filed at the given second after 14:30:00.
    SNP_Filing::Result visitor(int second, const QStringList& addresses, const QByteArray& bytes)
    {
        setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, second)));
        return filing.fileVisitorPicture(bytes, addresses, SNP_Filing::Folders{scratch, mainImages, upload});
    }
    static QString stamp(int second) { return QStringLiteral("201002021430%1").arg(second, 2, 10, QLatin1Char('0')); }

    SNP_Filing filing;
};

TEST_F(DiskFaultTest, FullFileSystemsCostOnlyThePictureInFlightAndFilingResumes)
{
    SmallFileSystem mainFs(mainImages, 4 << 20), uploadFs(upload, 4 << 20);
    const bool mounted = mainFs.mounted && uploadFs.mounted;
    RecordProperty("disk_fault_method", mounted ? "file-size limit and tmpfs" : "file-size limit; " + mainFs.error);
    const auto a = visitor(5, {"a@visitor.de"}, noisyPicture(1));
    ASSERT_TRUE(a.uploaded) << qPrintable(logText());
    const QByteArray filedA = readFile(a.filedPath), uploadA = readFile(a.uploadPath);

    rlimit unlimited{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    const auto limit = [&] {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit small = unlimited;
        small.rlim_cur = 512 * 1024; // the log stays far below this
        return setrlimit(RLIMIT_FSIZE, &small) == 0;
    };
    const auto unlimit = [&] {
        setrlimit(RLIMIT_FSIZE, &unlimited);
        std::signal(SIGXFSZ, SIG_DFL);
    };
    const struct { const char* name; bool needsMount; std::function<bool()> fill; std::function<void()> empty;
                   bool filed, keptInScratch; const char* error; } kFaults[] = {
        {"no room even in the scratch folder", false, limit, unlimit, false, false, "File too large"},
        {"the main images folder full", true, [&] { return mainFs.fill(); }, [&] { mainFs.empty(); }, false, true,
         "No space left on device"},
        {"the upload folder full", true, [&] { return uploadFs.fill(); }, [&] { uploadFs.empty(); }, true, false,
         "WHAT??????? Did NOT write to the resized file????"},
    };
    QList<std::pair<int, QString>> heldBack; // pictures the next visitor's filing has to finish
    int second = 6;
    for (const auto& fault : kFaults) {
        if (fault.needsMount && !mounted)
            continue;
        SCOPED_TRACE(fault.name);
        const QString address = QStringLiteral("v%1@visitor.de").arg(second);
        ASSERT_TRUE(fault.fill());
        const auto result = visitor(second, {address}, noisyPicture(second));
        fault.empty();
        EXPECT_FALSE(result.uploaded);
        EXPECT_EQ(result.filedPath.isEmpty(), !fault.filed);
        EXPECT_EQ(QFileInfo::exists(scratch + "/" + stamp(second) + ".jpg"), fault.keptInScratch);
        if (fault.filed || fault.keptInScratch)
            heldBack << std::pair{second, address};
        EXPECT_TRUE(logText().contains(fault.error)) << "the log does not say what failed";
        EXPECT_EQ(hiddenFilesBelow(dir.path()), QStringList());
        EXPECT_EQ(readFile(a.filedPath), filedA);
        EXPECT_EQ(readFile(a.uploadPath), uploadA);
        ++second;
    }

    // Room again: the next visitor goes all the way without anybody stepping in, and so do
    // the pictures held back, each with its own visitor's address.
    const auto next = visitor(second, {"next@visitor.de"}, picture());
    ASSERT_TRUE(next.uploaded);
    expectWhole(next.filedPath, {"next@visitor.de"});
    expectWhole(next.uploadPath, {"next@visitor.de"});
    for (const auto& [at, address] : heldBack) {
        expectWhole(dayFile("2010-02-02", stamp(at) + ".jpg"), {address});
        expectWhole(uploadFile("2010-02-02", stamp(at) + "Comp.jpg"), {address});
    }
    EXPECT_EQ(filesBelow(scratch), QStringList());
    EXPECT_EQ(readFile(a.filedPath), filedA);
    EXPECT_EQ(hiddenFilesBelow(dir.path()), QStringList());
}

TEST_F(DiskFaultTest, ReadOnlyUploadFolderKeepsThePictureFiledAndItsUploadsIntact)
{
    SmallFileSystem uploadFs(upload, 16 << 20);
    const bool mounted = uploadFs.mounted;
    if (!mounted && ::geteuid() == 0)
        GTEST_SKIP() << "as root without permission to mount, no folder can be made read-only here ("
                     << uploadFs.error << ")";
    RecordProperty("read_only_method", mounted ? "tmpfs remounted read-only" : "permission bits");

    const auto a = visitor(5, {"a@visitor.de"}, picture());
    ASSERT_TRUE(a.uploaded);
    const QByteArray uploadA = readFile(a.uploadPath);
    const QString uploadDay = QFileInfo(a.uploadPath).path();
    const auto writable = [&](bool yes) {
        QFileDevice::Permissions bits = QFileDevice::ReadOwner | QFileDevice::ExeOwner;
        return mounted ? uploadFs.setReadOnly(!yes)
                       : QFile::setPermissions(uploadDay, bits.setFlag(QFileDevice::WriteOwner, yes));
    };
    ASSERT_TRUE(writable(false));
    const auto b = visitor(6, {"b@visitor.de"}, picture(QColor(200, 30, 30)));
    EXPECT_FALSE(b.uploaded);
    expectWhole(b.filedPath, {"b@visitor.de"});
    EXPECT_TRUE(logText().contains("cannot create a temporary file in \"" + uploadDay + "\""));
    EXPECT_EQ(readFile(a.uploadPath), uploadA);
    ASSERT_TRUE(writable(true));
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList{b.filedPath});
    EXPECT_EQ(filing.uploadsHeldBackCount(), 1);

    // Writable again: the next visitor's upload file is written, then the one held back.
    const auto c = visitor(7, {"c@visitor.de"}, picture());
    ASSERT_TRUE(c.uploaded);
    expectWhole(c.uploadPath, {"c@visitor.de"});
    expectWhole(uploadFile("2010-02-02", stamp(6) + "Comp.jpg"), {"b@visitor.de"});
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList());
    EXPECT_EQ(filing.uploadsHeldBackCount(), 0);
    EXPECT_EQ(filesBelow(upload).size(), 3);
    EXPECT_EQ(readFile(a.uploadPath), uploadA);
}

TEST_F(DiskFaultTest, PlainFilesWhereFoldersShouldBeAreLeftAloneAndLogged)
{
    // Staff's own file where the day folder goes: it is neither replaced nor removed, and
    // the picture stays in the scratch folder with its addresses in typed order.
    const QString dayFolder = mainImages + "/2010-02-02";
    const QStringList typed{"zoe@visitor.de", "adam@visitor.de"};
    ASSERT_TRUE(QDir().mkpath(mainImages));
    ASSERT_TRUE(fixtures::writeFile(dayFolder, "staff notes"));
    EXPECT_FALSE(visitor(5, typed, picture()).uploaded);
    EXPECT_EQ(readFile(dayFolder), QByteArray("staff notes"));
    EXPECT_TRUE(logText().contains("FOUND ERROR while trying to create todya's folder???:"));
    expectWhole(scratch + "/" + stamp(5) + ".jpg", typed);
    EXPECT_EQ(filing.uploadsHeldBack(), QStringList());
    ASSERT_TRUE(QFile::remove(dayFolder));

    // A plain file where the upload day folder or the upload folder itself goes: filed, no
    // upload, the file kept, the upload held back.
    QStringList held;
    int second = 6;
    for (const QString& blocked : {upload + dayFolder, upload}) {
        SCOPED_TRACE(qPrintable(blocked));
        QDir(blocked).removeRecursively();
        ASSERT_TRUE(QDir().mkpath(QFileInfo(blocked).path()));
        ASSERT_TRUE(fixtures::writeFile(blocked, "not a folder"));
        const auto result = visitor(second, {"b@visitor.de"}, picture());
        EXPECT_FALSE(result.uploaded);
        expectWhole(result.filedPath, {"b@visitor.de"});
        EXPECT_EQ(readFile(blocked), QByteArray("not a folder"));
        held << result.filedPath;
        EXPECT_EQ(filing.uploadsHeldBack(), held);
        ASSERT_TRUE(QFile::remove(blocked));
        ++second;
    }

    // A plain file where the scratch folder goes (staff moved the folder aside): the
    // picture in flight cannot be written anywhere and is lost, but nothing else is touched.
    const QString aside = dir.filePath("scratch-aside");
    ASSERT_TRUE(QDir().rename(scratch, aside));
    ASSERT_TRUE(fixtures::writeFile(scratch, "not a folder either"));
    EXPECT_FALSE(visitor(8, {"c@visitor.de"}, picture()).uploaded);
    EXPECT_TRUE(logText().contains("the scratch folder cannot be made"));
    EXPECT_EQ(readFile(scratch), QByteArray("not a folder either"));

    // Cleared and the folder back: the next visitor goes all the way, then the picture
    // held back in the scratch folder and the uploads held back are made.
    ASSERT_TRUE(QFile::remove(scratch));
    ASSERT_TRUE(QDir().rename(aside, scratch));
    const auto d = visitor(9, {"d@visitor.de"}, picture());
    ASSERT_TRUE(d.uploaded);
    expectWhole(d.uploadPath, {"d@visitor.de"});
    for (int at : {6, 7})
        expectWhole(uploadFile("2010-02-02", stamp(at) + "Comp.jpg"), {"b@visitor.de"});
    expectWhole(dayFile("2010-02-02", stamp(5) + ".jpg"), typed);
    expectWhole(uploadFile("2010-02-02", stamp(5) + "Comp.jpg"), typed);
    EXPECT_EQ(filesBelow(scratch), QStringList());
}

TEST_F(DiskFaultTest, FoldersRemovedWhileTheBoothRunsAreMadeAgain)
{
    const auto a = visitor(5, {"a@visitor.de"}, picture());
    ASSERT_TRUE(a.uploaded);
    const QByteArray filedA = readFile(a.filedPath);

    // Staff move the day's pictures away and the upload process removes its whole folder.
    const QString movedAway = dir.filePath("moved");
    ASSERT_TRUE(QDir().rename(mainImages, movedAway));
    ASSERT_TRUE(QDir(upload).removeRecursively());
    ASSERT_TRUE(QDir(scratch).removeRecursively());
    const auto b = visitor(6, {"b@visitor.de"}, picture(QColor(30, 200, 30)));
    ASSERT_TRUE(b.uploaded) << qPrintable(logText());
    expectWhole(b.uploadPath, {"b@visitor.de"});
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2010-02-02/" + stamp(6) + ".jpg"});
    EXPECT_EQ(readFile(movedAway + "/2010-02-02/" + stamp(5) + ".jpg"), filedA);

    // The day folder alone removed between two visitors. Its new name is flushed into the
    // main images folder, or a power cut could take back the picture reported filed.
    ASSERT_TRUE(QDir(mainImages + "/2010-02-02").removeRecursively());
    QStringList synced;
    SNP_ImagePipeline::setFolderSyncedObserverForTesting([&](const QByteArray& f) { synced << QFile::decodeName(f); });
    const auto cResult = visitor(7, {"c@visitor.de"}, picture());
    SNP_ImagePipeline::setFolderSyncedObserverForTesting(nullptr);
    ASSERT_TRUE(cResult.uploaded);
    EXPECT_TRUE(synced.contains(QDir::cleanPath(mainImages))) << qPrintable(synced.join(' '));
    EXPECT_EQ(filesBelow(mainImages), QStringList{"2010-02-02/" + stamp(7) + ".jpg"});
}

TEST_F(DiskFaultTest, HeldBackPicturesGoWithTheirOwnAddressesAFewAtATimeAndStaffFilesStay)
{
    // Twelve visitors' pictures held back in the scratch folder, each with its own address,
    // and the camera's bytes kept for staff (no picture, no addresses).
    ASSERT_TRUE(QDir().mkpath(scratch));
    const auto heldName = [](int i) { return QStringLiteral("201002021400%1").arg(i, 2, 10, QLatin1Char('0')); };
    const auto heldAddress = [](int i) { return QStringList{QStringLiteral("held%1@visitor.de").arg(i)}; };
    for (int i = 0; i < 12; ++i) {
        const QVariantMap addresses{{QBEmailsForUpload, heldAddress(i)}};
        const auto bytes = SNP_XMLinEXIF::jpegDataWithPropertyListObject(addresses, picture(QColor(10 * i, 90, 200)));
        ASSERT_TRUE(bytes && fixtures::writeFile(scratch + "/" + heldName(i) + ".jpg", *bytes));
    }
    const QByteArray staffBytes("garbage the camera sent instead of a picture, kept for staff");
    ASSERT_TRUE(fixtures::writeFile(scratch + "/20100202135959.jpg", staffBytes));

    const auto first = visitor(5, {"first@visitor.de"}, picture());
    ASSERT_TRUE(first.uploaded);
    EXPECT_EQ(first.heldBackFiled, SNP_Filing::kHeldBackPerIntake);
    EXPECT_EQ(filesBelow(mainImages).size(), 1 + SNP_Filing::kHeldBackPerIntake);
    EXPECT_EQ(filesBelow(scratch).size(), 1 + 12 - SNP_Filing::kHeldBackPerIntake);
    // The staff file is looked at once only; nothing else tells that it was.
    const QString staffRead = QStringLiteral("propertyListObjectForJpegData: cannot read the image's metadata");
    EXPECT_EQ(logText().count(staffRead), 1);

    ASSERT_TRUE(visitor(6, {"second@visitor.de"}, picture()).uploaded);
    EXPECT_EQ(filesBelow(scratch), QStringList{"20100202135959.jpg"});
    EXPECT_EQ(readFile(scratch + "/20100202135959.jpg"), staffBytes);
    EXPECT_EQ(logText().count(staffRead), 1);
    for (int i = 0; i < 12; ++i) {
        expectWhole(dayFile("2010-02-02", heldName(i) + ".jpg"), heldAddress(i));
        expectWhole(uploadFile("2010-02-02", heldName(i) + "Comp.jpg"), heldAddress(i));
    }
}

TEST_F(DiskFaultTest, AHeldBackPictureThatNeverGoesThroughIsLeftAloneAndTheRestGoOn)
{
    // The oldest held-back picture carries its addresses but its picture data is cut short,
    // so no composite can be made of it; a good one waits behind it.
    ASSERT_TRUE(QDir().mkpath(scratch));
    const auto cutShort = SNP_XMLinEXIF::jpegDataWithPropertyListObject(
        QVariantMap{{QBEmailsForUpload, QStringList{"cut@visitor.de"}}}, noisyPicture(7));
    const auto good = SNP_XMLinEXIF::jpegDataWithPropertyListObject(
        QVariantMap{{QBEmailsForUpload, QStringList{"good@visitor.de"}}}, picture(QColor(200, 30, 30)));
    ASSERT_TRUE(cutShort && good);
    ASSERT_TRUE(fixtures::writeFile(scratch + "/20100202140000.jpg", cutShort->left(cutShort->size() / 2)));
    ASSERT_TRUE(fixtures::writeFile(scratch + "/20100202140001.jpg", *good));

    const QString cutFiled = dayFile("2010-02-02", "20100202140000.jpg");
    const QString givenUp = QStringLiteral("the upload file for [%1] failed %2 times; it is no longer tried")
                                .arg(cutFiled)
                                .arg(SNP_Filing::kHeldBackAttempts);
    // The first visitor files it (its bytes are kept whole) but gets no upload file for it;
    // each later visitor tries its upload once, and after the last attempt it is let go.
    // The good one is filed by the intake of that last attempt, not held up by it.
    for (int visitorNumber = 0; visitorNumber <= SNP_Filing::kHeldBackAttempts; ++visitorNumber) {
        SCOPED_TRACE(visitorNumber);
        const QStringList address{QStringLiteral("v%1@visitor.de").arg(visitorNumber)};
        const auto result = visitor(10 + visitorNumber, address, picture());
        ASSERT_TRUE(result.uploaded);
        expectWhole(result.uploadPath, address);
        const bool lastAttempt = visitorNumber == SNP_Filing::kHeldBackAttempts;
        EXPECT_EQ(filing.uploadsHeldBack().contains(cutFiled), !lastAttempt);
        EXPECT_EQ(QFileInfo::exists(dayFile("2010-02-02", "20100202140001.jpg")), lastAttempt);
    }
    EXPECT_EQ(logText().count(givenUp), 1);
    EXPECT_EQ(readFile(cutFiled), cutShort->left(cutShort->size() / 2));
    EXPECT_FALSE(QFileInfo::exists(uploadFile("2010-02-02", "20100202140000Comp.jpg")));
    expectWhole(uploadFile("2010-02-02", "20100202140001Comp.jpg"), {"good@visitor.de"});
    EXPECT_TRUE(filesBelow(scratch).isEmpty());
    EXPECT_TRUE(hiddenFilesBelow(dir.path()).isEmpty());

    // Nothing more is tried for it.
    ASSERT_TRUE(visitor(30, {"after@visitor.de"}, picture()).uploaded);
    EXPECT_EQ(logText().count(QStringLiteral("making the upload file held back for [%1]").arg(cutFiled)),
              SNP_Filing::kHeldBackAttempts);
}

// A filing killed (SIGKILL) at each of its steps, then the booth started again (the
// held-back pass a new filing makes at start): every picture reported or found whole is
// filed with its own visitor's addresses and has its upload file, once; a file cut short
// while being written is removed; nothing is left under a temporary name, and what was
// done is logged. Earlier pictures are left as they were. The filing to kill runs in this
// test's program started again (a fork alone would inherit Qt's worker threads stopped).
TEST_F(DiskFaultTest, AFilingKilledAtAnyStepIsFinishedAtTheNextStart)
{
    const QString root = qEnvironmentVariableIsSet("KILL_ROW") ? qEnvironmentVariable("KILL_ROOT") : dir.path();
    const SNP_Filing::Folders folders{root + "/scratch", root + "/main", root + "/upload"};
    // placedIn: killed while a file bound for that folder is written but not in place (cut
    // short: as by a power cut in the middle of writing it); otherwise at the named step.
    const struct { const char* step; QString placedIn; bool cutShort, filed; const char* logged; } kKills[] = {
        {"the scratch file not in place", scratch, false, true, "is put in its place"},
        {"the scratch file cut short", scratch, true, false, "removed the incomplete file"},
        {"scratch file written", {}, false, true, "filing the picture held back in the scratch folder"},
        {"recorded", {}, false, true, "was not filed before the interruption"},
        {"filed", {}, false, true, "making the upload file held back"},
        {"the upload file not in place", upload, false, true, "is put in its place"},
        {"the upload file cut short", upload, true, true, "removed the incomplete file"},
        {"upload file written", {}, false, true, "was written before the interruption"},
    };
    const auto addressesOf = [](int second) {
        return QStringList{QStringLiteral("v%1@visitor.de").arg(second), "friend@visitor.de"};
    };
    if (qEnvironmentVariableIsSet("KILL_ROW")) { // the filing to kill
        const auto& kill = kKills[qEnvironmentVariableIntValue("KILL_ROW")];
        const int second = qEnvironmentVariableIntValue("KILL_SECOND");
        const QString placedIn = kill.placedIn.isEmpty() ? QString() : root + "/" + QFileInfo(kill.placedIn).fileName();
        SNP_Filing::setStepHookForTesting([&](const char* step, const QString&) {
            if (placedIn.isEmpty() && std::strcmp(step, kill.step) == 0)
                ::raise(SIGKILL);
        });
        SNP_ImagePipeline::setPlacementHookForTesting([&](const QByteArray&, const QByteArray& target) {
            if (!placedIn.isEmpty() && target.startsWith(QFile::encodeName(placedIn)) && target.endsWith(".jpg"))
                ::raise(SIGKILL);
        });
        setClock(QDateTime(QDate(2010, 2, 2), QTime(14, 30, second)));
        SNP_Filing().fileVisitorPicture(picture(QColor(10 * second, 90, 200)), addressesOf(second), folders);
        ::_exit(3);
    }

    const auto a = visitor(5, {"a@visitor.de"}, picture());
    ASSERT_TRUE(a.uploaded);
    const QByteArray filedA = readFile(a.filedPath), uploadA = readFile(a.uploadPath);
    const QByteArray self = QFile::encodeName(QCoreApplication::applicationFilePath());
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    const QByteArray filter = QByteArray("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    int second = 10, filed = 1;
    for (const auto& kill : kKills) {
        SCOPED_TRACE(kill.step);
        ++second;
        qputenv("KILL_ROW", QByteArray::number(int(&kill - kKills)));
        qputenv("KILL_SECOND", QByteArray::number(second));
        qputenv("KILL_ROOT", QFile::encodeName(dir.path()));
        qputenv("TMPDIR", QFile::encodeName(dir.filePath("killed"))); // the killed test's own folder, kept here
        ASSERT_TRUE(QDir().mkpath(dir.filePath("killed")));
        const pid_t child = ::fork();
        if (child == 0) {
            ::execl(self.constData(), self.constData(), filter.constData(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        qunsetenv("KILL_ROW");
        qunsetenv("TMPDIR");
        ASSERT_GT(child, 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "not killed at its step: " << status;
        if (kill.cutShort) {
            const QStringList left = hiddenFilesBelow(kill.placedIn);
            ASSERT_EQ(left.size(), 1);
            QFile partial(kill.placedIn + "/" + left.front());
            ASSERT_TRUE(partial.resize(partial.size() / 2));
        }

        const qsizetype mark = logText().size();
        SNP_Filing().fileHeldBackPictures(folders);
        filed += kill.filed;
        const QString name = stamp(second);
        EXPECT_TRUE(logText().mid(mark).contains(kill.logged)) << qPrintable(logText().mid(mark));
        if (kill.filed) {
            expectWhole(dayFile("2010-02-02", name + ".jpg"), addressesOf(second));
            expectWhole(uploadFile("2010-02-02", name + "Comp.jpg"), addressesOf(second));
        }
        EXPECT_EQ(filesBelow(mainImages).size(), filed);
        EXPECT_EQ(filesBelow(upload).size(), filed);
        EXPECT_EQ(filesBelow(scratch), QStringList());
        EXPECT_EQ(hiddenFilesBelow(dir.path()), QStringList());
        EXPECT_EQ(readFile(a.filedPath), filedA);
        EXPECT_EQ(readFile(a.uploadPath), uploadA);
    }
}

// Two filings at once: the held-back pass of one runs while the other's picture is in the
// scratch folder, written and not yet moved. The pass leaves it to its own filing.
TEST_F(DiskFaultTest, AHeldBackPassLeavesThePictureAnotherFilingIsAtWorkOn)
{
    int passed = -1;
    SNP_Filing::setStepHookForTesting([&](const char* step, const QString&) {
        if (std::strcmp(step, "scratch file written") == 0 && passed < 0)
            passed = filing.fileHeldBackPictures(SNP_Filing::Folders{scratch, mainImages, upload});
    });
    const auto a = visitor(5, {"a@visitor.de"}, picture());
    SNP_Filing::setStepHookForTesting(nullptr);
    EXPECT_EQ(passed, 0);
    ASSERT_TRUE(a.uploaded) << qPrintable(logText());
    expectWhole(a.filedPath, {"a@visitor.de"});
    expectWhole(a.uploadPath, {"a@visitor.de"});
    EXPECT_FALSE(logText().contains("UNABLE to Move the item.."));
}

// Pictures, upload files and the folders made for them are for their owner only, or also
// for the group "uploaderGroup" names; a group the system does not know is logged and taken
// as none.
TEST_F(DiskFaultTest, FilesAreForTheirOwnerOrTheUploadersGroup)
{
    const struct { const char* group; mode_t file, folder; bool grouped; } kSettings[] = {
        {"", 0600, 0700, false}, {"users", 0640, 0750, true}, {"no-such-group-here", 0600, 0700, false}};
    int day = 1;
    for (const auto& setting : kSettings) {
        SCOPED_TRACE(setting.group);
        SNP_Preferences::setArguments(QStringList{"booth", "-uploaderGroup", setting.group});
        SNP_FileAccess::configure();
        setClock(QDateTime(QDate(2011, 1, ++day), QTime(9, 0)));
        const auto result = filing.fileVisitorPicture(picture(), {"a@visitor.de"}, {scratch, mainImages, upload});
        ASSERT_TRUE(result.uploaded);
        for (const QString& path : {result.filedPath, result.uploadPath, QFileInfo(result.filedPath).path(),
                                    QFileInfo(result.uploadPath).path()}) {
            struct stat st {};
            ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, S_ISDIR(st.st_mode) ? setting.folder : setting.file) << qPrintable(path);
            EXPECT_EQ(st.st_gid == SNP_FileAccess::group(), setting.grouped) << qPrintable(path);
        }
    }
    SNP_FileAccess::setUploaderGroup(QString());
    EXPECT_EQ(logText().count("uploaderGroup \"no-such-group-here\" is no group on this system"), 1);
    // A user outside the group could not give files to it, and every write would fail: the
    // group is not taken (tried as "nobody" in a child process, where root can switch).
    if (::geteuid() != 0)
        return;
    const pid_t child = ::fork();
    if (child == 0) {
        const bool dropped = ::setgroups(0, nullptr) == 0 && ::setgid(65534) == 0 && ::setuid(65534) == 0;
        ::_exit(!dropped ? 2 : SNP_FileAccess::setUploaderGroup(QStringLiteral("users")) ? 1 : 0);
    }
    int status = -1;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0) << "a group the user is not in is taken as none";
}

} // namespace
