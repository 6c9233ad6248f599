// The mailer's delivery against a real SMTP server on 127.0.0.1, driven step by step with a
// clock of the test's own: one message per address with the pictures but no address in
// them, what each message carries, failures the server gets over (down, 421, a dropped
// connection) and files that cannot be read for a while retried without loss or duplicate,
// a 550 for one address, the rate limit, files that cannot be sent, a full sent folder, a
// server that never finishes its answer, and the settings.
#include "MailerFixtures.h"

#include "SNP_Mailer.h"
#include "SNP_MailerRun.h"
#include "SNP_Preferences.h"

#include <QElapsedTimer>
#include <QImage>

#include <atomic>
#include <thread>

using namespace fixtures;
using namespace mailfixtures;

namespace {

const QStringList kThree = {"anna@example.com", "ben@example.org", "cleo@example.net"};

class MailerTest : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        ASSERT_TRUE(server.start());
        settings = {.folders = SNP_MailSettings::foldersForUpload(path("upload")), .smtpUrl = server.url(),
                    .tls = SNP_MailSettings::Tls::Plain, .user = SmtpServer::kUser, .password = SmtpServer::kPassword,
                    .fromHeader = "Photo Booth <booth@example.com>", .fromAddress = "booth@example.com",
                    .subject = "Your picture", .body = "Thank you for visiting!\n", .perMinute = 1000};
        ASSERT_TRUE(QDir().mkpath(settings.folders.upload));
        startMailer();
    }
    void startMailer()
    {
        mailer.reset();
        journal = SNP_MailJournal::open(settings.folders.journal);
        ASSERT_TRUE(journal);
        mailer = std::make_unique<SNP_Mailer>(settings, *journal, [this] { return clock; });
    }
    QString upload(const QString& relativePath, const QStringList& addresses)
    {
        return putUpload(settings.folders.upload, relativePath, addresses);
    }
    void deliver()
    {
        mailer->takeNewUploads();
        mailer->sendDue();
    }
    bool sent(const QString& relative) const { return QFileInfo::exists(settings.folders.sent + "/" + relative); }
    // A message's attachments: file name and bytes.
    static QList<std::pair<QString, QByteArray>> attachments(const Message& m)
    {
        QList<std::pair<QString, QByteArray>> list;
        for (const QJsonValue& a : m.attachments)
            list << std::pair(a.toObject().value("filename").toString(),
                              readFile(a.toObject().value("file").toString()));
        return list;
    }

    const QString day = path("main/2026-12-07");

    qint64 clock = 1'800'000'000'000;
    SNP_MailSettings settings;
    SmtpServer server{path("server")};
    std::unique_ptr<SNP_MailJournal> journal;
    std::unique_ptr<SNP_Mailer> mailer;
};

} // namespace

TEST_F(MailerTest, EachAddressGetsItsOwnMessageWithThePicturesAndNoAddressInThem)
{
    const QStringList files{putVisit(settings.folders.upload, day, "20261207101500",
                                     kThree + QStringList{"not an address"}),
                            putVisit(settings.folders.upload, day, "20261207101600", {"dora@example.com"})};
    deliver();

    const QStringList everyone = kThree + QStringList{"dora@example.com", "not an address"};
    for (const Message& m : server.messages()) {
        SCOPED_TRACE(qPrintable(m.recipients.join(",")));
        ASSERT_EQ(m.recipients.size(), 1);
        EXPECT_EQ(m.header("To"), m.recipients);
        EXPECT_EQ(m.header("Cc") + m.header("Bcc") + m.header("Reply-To"), QStringList());
        EXPECT_EQ(m.header("From") + m.header("Subject"),
                  QStringList({"Photo Booth <booth@example.com>", "Your picture"}));
        EXPECT_EQ(m.body, "Thank you for visiting!\n");
        // The full picture and the composite, each with its own pixels and the camera's EXIF.
        const QString name = m.recipients[0] == "dora@example.com" ? "20261207101600" : "20261207101500";
        const auto attached = attachments(m);
        ASSERT_EQ(attached.size(), 2);
        const QStringList sources{day + "/" + name + ".jpg",
                                  settings.folders.sent + "/" + day.mid(1) + "/" + name + "Comp.jpg"};
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(attached[i].first, QFileInfo(sources[i]).fileName());
            for (const QString& address : everyone)
                EXPECT_FALSE(attached[i].second.contains(address.toUtf8())) << qPrintable(address);
            EXPECT_TRUE(rawUserComment(attached[i].second).isEmpty());
            EXPECT_EQ(exifString(exifOf(attached[i].second), "Exif.Image.Model"), "Canon EOS 5D Mark II");
            EXPECT_EQ(QImage::fromData(attached[i].second), QImage(sources[i])) << qPrintable(sources[i]);
        }
    }
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}, {"ben@example.org", 1},
                                                   {"cleo@example.net", 1}, {"dora@example.com", 1}}));
    // Filed under the same relative path in the sent folder; the refused address counts as failed.
    for (const QString& file : files) {
        EXPECT_FALSE(QFileInfo::exists(settings.folders.upload + "/" + file));
        EXPECT_TRUE(sent(file));
    }
    const SNP_MailSummary summary = journal->summary();
    EXPECT_EQ(QList<qint64>({summary.sent, summary.failed, summary.waiting}), QList<qint64>({4, 1, 0}));
}

TEST_F(MailerTest, WhatAMessageCarriesFollowsTheSettingsAndTheFiledPicture)
{
    using Attach = SNP_MailSettings::Attach;
    const struct {
        const char* name;
        Attach attach;
        uint32_t maxSide;
        std::function<void(const QString& filed)> spoil;
        bool picture, composite; // what the message carries
        const char* logged;      // why the picture did not go
    } kCases[] = {
        {"composite", Attach::Composite, 0, {}, false, true, ""},
        {"picture", Attach::Picture, 0, {}, true, false, ""},
        {"picture scaled down", Attach::Picture, 320, {}, true, false, ""},
        {"no filed picture", Attach::Both, 0, [](const QString& f) { QFile::remove(f); }, false, true, "No such file"},
        {"another visitor's picture", Attach::Picture, 0,
         [](const QString& f) { writeFile(f, pictureWith({"eve@example.com"}, 640, 400)); }, false, true,
         "does not carry the upload file's addresses"},
        {"a symbolic link", Attach::Both, 0,
         [](const QString& f) { QFile::rename(f, f + ".real") && QFile::link(f + ".real", f); }, false, true,
         "symbolic link"},
        {"cut short", Attach::Both, 0, [](const QString& f) { writeFile(f, readFile(f).left(5000)); }, false, true,
         "not whole"},
    };
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        settings.attach = c.attach;
        settings.pictureMaxSide = c.maxSide;
        startMailer();
        const QString name = QString::number(++n);
        const QString upload = putVisit(settings.folders.upload, day, name, {"anna@example.com"});
        if (c.spoil)
            c.spoil(day + "/" + name + ".jpg");
        deliver();
        ASSERT_EQ(server.messages().size(), n);
        QStringList names;
        for (const auto& [fileName, bytes] : attachments(server.messages().back())) {
            names << fileName;
            EXPECT_FALSE(bytes.contains("anna@example.com"));
            EXPECT_EQ(exifString(exifOf(bytes), "Exif.Image.Model"), "Canon EOS 5D Mark II");
            EXPECT_TRUE(fileName != name + ".jpg"
                        || QImage::fromData(bytes).size() == (c.maxSide ? QSize(320, 200) : QSize(640, 400)));
        }
        EXPECT_EQ(names, (c.picture ? QStringList{name + ".jpg"} : QStringList())
                             + (c.composite ? QStringList{name + "Comp.jpg"} : QStringList()));
        // This upload's own line, with the reason.
        const QString line = logText().section(QStringLiteral("Sending %1 without the full picture: ").arg(upload), 1)
                                 .section(u'\n', 0, 0);
        EXPECT_EQ(!line.isEmpty(), *c.logged != 0);
        EXPECT_TRUE(line.contains(c.logged)) << qPrintable(line);
        EXPECT_TRUE(sent(upload)); // the upload file goes on as it is
    }
}

TEST_F(MailerTest, FailuresTheServerGetsOverAreRetriedWithoutLossOrDuplicate)
{
    const int port = server.port();
    const QJsonArray anna{"anna@example.com"};
    const struct {
        const char* name;
        std::function<void()> fault, heal;
    } kFaults[] = {
        {"server down, then up", [&] { server.stop(); }, [&] { ASSERT_TRUE(server.start(port)); }},
        {"421, then accepted", [&] { server.setControl({{"temporary", anna}}); }, [&] { server.setControl({}); }},
        {"connection dropped mid-message", [&] { server.setControl({{"drop", anna}}); },
         [&] { server.setControl({}); }},
    };
    int n = 0;
    for (const auto& fault : kFaults) {
        SCOPED_TRACE(fault.name);
        const QString relative = QStringLiteral("day/%1Comp.jpg").arg(++n);
        fault.fault();
        upload(relative, {"anna@example.com", "ben@example.org"});
        deliver();
        EXPECT_EQ(journal->summary().waiting, server.counts().value("ben@example.org") == n ? 1 : 2);

        clock += SNP_Mailer::kFirstRetryMs - 1000; // not yet
        fault.heal();
        mailer->sendDue();
        EXPECT_EQ(server.counts().value("anna@example.com"), n - 1);
        clock += 1000;
        mailer->sendDue();
        EXPECT_EQ(server.messages().size(), 2 * n);
        EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", n}, {"ben@example.org", n}}));
        EXPECT_EQ(journal->summary().waiting, 0);
        EXPECT_TRUE(sent(relative));
    }
}

TEST_F(MailerTest, AFileUnreadableForAWhileIsTriedAgainAndSentOnce)
{
    for (const bool taken : {false, true}) {
        SCOPED_TRACE(taken ? "unreadable when its message is due" : "unreadable when it is found");
        const QString relative = QStringLiteral("day/%1Comp.jpg").arg(taken);
        const QString file = upload(relative, {"anna@example.com"});
        if (taken)
            mailer->takeNewUploads();
        {
            WithoutRootFileAccess guard;
            ASSERT_TRUE(QFile::setPermissions(file, {}));
            if (QFile(file).open(QIODevice::ReadOnly))
                GTEST_SKIP() << "this process reads files of mode 000 all the same";
            deliver();
            EXPECT_EQ(journal->summary().failed, 0);
            EXPECT_EQ(journal->summary().waiting, taken ? 1 : 0);
            EXPECT_TRUE(QFileInfo::exists(file)); // not filed as sent
            ASSERT_TRUE(QFile::setPermissions(file, QFileDevice::ReadOwner | QFileDevice::WriteOwner));
        }
        EXPECT_TRUE(logText().contains("Permission denied"));
        clock += SNP_Mailer::kFirstRetryMs;
        deliver();
        EXPECT_EQ(server.counts().value("anna@example.com"), int(taken) + 1);
        EXPECT_TRUE(sent(relative));
    }
}

TEST_F(MailerTest, A550GivesThatAddressUpWithTheRepliesAndTheOthersGoOn)
{
    server.setControl({{"permanent", QJsonArray{"ben@example.org"}}});
    upload("day/1Comp.jpg", kThree);
    deliver();
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}, {"cleo@example.net", 1}}));
    const QList<SNP_MailDelivery> failed = journal->deliveries("failed", 10);
    ASSERT_EQ(failed.size(), 1);
    EXPECT_EQ(failed[0].address, "ben@example.org");
    EXPECT_TRUE(failed[0].reply.startsWith("550")) << qPrintable(failed[0].reply);
    EXPECT_TRUE(sent("day/1Comp.jpg"));

    clock += SNP_Mailer::kLongestRetryMs; // never tried again
    server.setControl({});
    mailer->sendDue();
    EXPECT_EQ(server.messages().size(), 2);
}

TEST_F(MailerTest, BackOffDoublesAndTheRateLimitHoldsMessagesBack)
{
    for (auto [attempts, seconds] : {std::pair{1, 30}, {2, 60}, {3, 120}, {6, 960}, {7, 1800}, {40, 1800}})
        EXPECT_EQ(SNP_Mailer::retryDelayMs(attempts), seconds * 1000LL) << attempts;

    settings.perMinute = 2;
    startMailer();
    upload("day/1Comp.jpg", kThree);
    mailer->takeNewUploads();
    EXPECT_EQ(mailer->sendDue(), clock + SNP_Mailer::kRateWindowMs);
    EXPECT_EQ(server.messages().size(), 2);
    clock += SNP_Mailer::kRateWindowMs;
    EXPECT_EQ(mailer->sendDue(), std::nullopt);
    EXPECT_EQ(server.messages().size(), 3);
}

TEST_F(MailerTest, AFileThatCannotBeSentGoesToTheFailedFolderWithANote)
{
    const QByteArray picture = pictureWith({"anna@example.com"});
    const struct {
        const char* name;
        QStringList addresses; // empty: no property list at all
        QByteArray bytes;      // instead of a picture
        const char* noted;
    } kFiles[] = {
        {"no property list", {}, {}, "no property list"},
        {"only addresses that cannot be sent to",
         {"\"a b\"@example.com", "x@y@z", "eve@example.com, mallory@x.org"}, {}, "none of its 3 addresses"},
        {"more addresses than the booth takes",
         {"a@example.com", "b@example.com", "c@example.com", "d@example.com", "e@example.com"}, {}, "at most 4"},
        {"not a picture", {}, "just some text\n", "not a JPEG"},
        {"a picture cut short, never completed", {}, picture.left(picture.size() * 2 / 3), "not whole"},
    };
    int n = 0;
    for (const auto& file : kFiles) {
        SCOPED_TRACE(file.name);
        const QString relative = QStringLiteral("day/%1Comp.jpg").arg(++n);
        ASSERT_TRUE(file.bytes.isEmpty() ? !upload(relative, file.addresses).isEmpty()
                                         : writeFile(settings.folders.upload + "/" + relative, file.bytes));
        deliver();
        if (file.bytes.startsWith(picture.left(100))) { // it may still be arriving: it waits a while
            EXPECT_TRUE(QFileInfo::exists(settings.folders.upload + "/" + relative));
            clock += SNP_Mailer::kIncompleteWaitMs;
            deliver();
        }
        EXPECT_TRUE(QFileInfo::exists(settings.folders.failed + "/" + relative));
        EXPECT_TRUE(readFile(settings.folders.failed + "/" + relative + ".txt").contains(file.noted));
        EXPECT_EQ(journal->summary().failed, n);
    }
    // The booth's half-written files (hidden names) are left alone.
    const QString partial = settings.folders.upload + "/day/.20261207Comp.jpg.XXXXXX";
    ASSERT_TRUE(writeFile(partial, "partial"));
    deliver();
    EXPECT_TRUE(QFileInfo::exists(partial));
    EXPECT_TRUE(server.messages().isEmpty());
    EXPECT_EQ(journal->summary().failed, n);
}

TEST_F(MailerTest, AFullSentFolderKeepsThePictureWholeAndTheMoveIsTriedAgain)
{
    const SmallTmpfs small(settings.folders.sent, "256k");
    if (small.error)
        GTEST_SKIP() << "cannot mount a tmpfs for the sent folder here: " << std::strerror(small.error);
    ASSERT_TRUE(writeFile(settings.folders.sent + "/filler", QByteArray(250 * 1024, 'x')));
    const QString file = upload("day/1Comp.jpg", {"anna@example.com"});
    const QByteArray original = readFile(file);

    deliver();
    mailer->fileFinishedPictures(); // not again before its time
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}}));
    EXPECT_EQ(readFile(file), original);
    EXPECT_EQ(QDir(settings.folders.sent + "/day").entryList(QDir::Files | QDir::Hidden), QStringList());
    EXPECT_EQ(logText().count("Cannot move day/1Comp.jpg to the sent folder"), 1);
    EXPECT_TRUE(logText().contains("No space left on device"));
    EXPECT_FALSE(logText().contains("Unknown error"));

    ASSERT_TRUE(QFile::remove(settings.folders.sent + "/filler"));
    clock += SNP_Mailer::kFirstRetryMs;
    deliver();
    mailer->fileFinishedPictures();
    EXPECT_FALSE(QFileInfo::exists(file));
    EXPECT_EQ(readFile(settings.folders.sent + "/day/1Comp.jpg"), original);
    EXPECT_EQ(server.messages().size(), 1);
}

TEST_F(MailerTest, AMessageTheServerTookButNeverAnsweredIsSentOnceTheDeadlineHoldsAndTheMailerStaysAlive)
{
    // The mailer's clock runs 20 times faster than the real one: a send of four seconds
    // lasts 80 s for it, long enough to look stopped without heartbeats as it goes.
    QElapsedTimer real;
    real.start();
    const qint64 start = clock;
    const auto fastClock = [&] { return start + real.elapsed() * 20; };
    settings.networkTimeoutSeconds = 30; // the deadline, not a time-out, must end it
    mailer = std::make_unique<SNP_Mailer>(settings, *journal, fastClock);
    server.setControl({{"trickle", QJsonArray{"anna@example.com"}}});
    upload("day/1Comp.jpg", {"anna@example.com"});
    mailer->takeNewUploads();
    mailer->heartbeat(); // as a serving mailer does
    mailer->setDeadline(QDateTime::currentMSecsSinceEpoch() + 4000);

    std::atomic<bool> sending{true};
    qint64 longestSilence = 0;
    std::thread booth([&] { // the booth's look at the mailer, meanwhile
        while (sending.load()) {
            const qint64 beat = SNP_MailJournal::readStatus(settings.folders).heartbeatMs;
            if (beat > 0)
                longestSilence = std::max(longestSilence, fastClock() - beat);
            QThread::msleep(100);
        }
    });
    mailer->sendDue();
    sending.store(false);
    booth.join();
    EXPECT_LT(real.elapsed(), 7000);
    EXPECT_LT(longestSilence, SNP_MailStatus::kAliveWithinMs);
    const QList<SNP_MailDelivery> rows = journal->deliveries("sent", 10);
    ASSERT_EQ(rows.size(), 1);
    EXPECT_TRUE(rows[0].reply.contains("did not finish its answer")) << qPrintable(rows[0].reply);

    mailer->setDeadline(0);
    mailer->retryAllNow();
    mailer->sendDue();
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}}));
}

TEST_F(MailerTest, ADrainEndsWithinItsTimePlusOneNetworkTimeOutHoweverSlowTheServer)
{
    settings.networkTimeoutSeconds = 2;
    server.setControl({{"trickle", QJsonArray{"anna@example.com"}}});
    upload("day/1Comp.jpg", {"ben@example.org"});
    upload("day/2Comp.jpg", {"anna@example.com"});
    mailer.reset();
    journal.reset(); // the drain opens its own
    QString said;
    QTextStream out(&said);
    QElapsedTimer took;
    took.start();
    EXPECT_EQ(SNP_MailerRun::drain(settings, 1, out), 0) << qPrintable(said);
    EXPECT_LT(took.elapsed(), (1 + 2 + 2) * 1000);
    EXPECT_EQ(SNP_MailerRun::drain(settings, 1, out), 0) << qPrintable(said); // nothing sent twice
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}, {"ben@example.org", 1}}));
}

TEST(MailSettings, RefusesWhatWouldSendUnsafely)
{
    QTemporaryDir dir;
    const QString open = dir.filePath("open-password"), closed = dir.filePath("closed-password");
    ASSERT_TRUE(writeFile(open, "secret\n") && writeFile(closed, "secret\n"));
    QFile::setPermissions(open, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    QFile::setPermissions(closed, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString upload = dir.filePath("upload");
    ASSERT_TRUE(QDir().mkpath(upload));
    SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));

    using Tls = SNP_MailSettings::Tls;
    const struct {
        QStringList overrides;
        std::optional<Tls> tls; // nothing: refused
        const char* problem;    // part of the reason given
    } kCases[] = {
        {{"-mailSmtpUrl", "smtp://mail.example.com:587"}, Tls::Required, ""},
        {{"-mailSmtpUrl", "smtps://mail.example.com"}, Tls::Implicit, ""},
        {{"-mailSmtpUrl", "smtp://127.0.0.1:2525"}, Tls::Plain, ""},
        {{"-mailSmtpUrl", "smtp://localhost:25", "-mailUser", "booth", "-mailPasswordFile", closed}, Tls::Plain, ""},
        {{"-mailSmtpUrl", "http://mail.example.com"}, std::nullopt, "smtp://HOST:PORT"},
        {{"-mailSmtpUrl", "smtp://me:pw@mail.example.com"}, std::nullopt, "mailPasswordFile"},
        {{"-mailSmtpUrl", "smtps://mail.example.com", "-mailUser", "booth", "-mailPasswordFile", open},
         std::nullopt, "chmod 600"},
        {{"-mailSmtpUrl", "smtps://mail.example.com", "-mailUser", "booth"}, std::nullopt, "mailPasswordFile"},
        {{"-mailSmtpUrl", "smtps://mail.example.com", "-mailSentFolder", upload + "/sent"}, std::nullopt,
         "inside the upload folder"},
        {{"-mailSmtpUrl", "smtps://mail.example.com", "-mailFrom", "booth\r\nBcc: x@y.z"}, std::nullopt, "mailFrom"},
        {{"-mailSmtpUrl", "smtps://mail.example.com", "-forUploadFolder", upload + "-missing"}, std::nullopt,
         "does not exist"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(qPrintable(c.overrides.join(' ')));
        SNP_Preferences::setArguments(QStringList{"booth-mailer", "-forUploadFolder", upload, "-mailFrom",
                                                  "booth@example.com"} + c.overrides);
        QStringList problems;
        const auto settings = SNP_MailSettings::load(&problems);
        ASSERT_EQ(settings.has_value(), c.tls.has_value()) << qPrintable(problems.join('\n'));
        if (settings) {
            EXPECT_EQ(settings->tls, *c.tls);
            EXPECT_EQ(settings->password, settings->user.isEmpty() ? QByteArray() : QByteArray("secret"));
            EXPECT_EQ(settings->folders.sent, upload + "-sent");
        } else {
            EXPECT_TRUE(problems.join('\n').contains(c.problem)) << qPrintable(problems.join('\n'));
        }
    }
    EXPECT_FALSE(QFileInfo::exists(upload + "-missing-sent.sqlite"));

    // Stored texts are taken as written, commas and all.
    ASSERT_TRUE(writeFile(dir.filePath("booth.ini"),
                          "[General]\nmailSubject=Hello, and thank you, from the booth\n"
                          "mailFrom=Booth, Inc. <booth@example.com>\nmailAttach=picture\nmailPictureMaxSide=1600\n"));
    SNP_Preferences::setArguments(QStringList{"booth-mailer", "-forUploadFolder", upload, "-mailSmtpUrl",
                                              "smtps://mail.example.com"});
    QStringList problems;
    const auto settings = SNP_MailSettings::load(&problems);
    ASSERT_TRUE(settings) << qPrintable(problems.join('\n'));
    EXPECT_EQ(settings->subject, "Hello, and thank you, from the booth");
    EXPECT_EQ(settings->fromHeader, "Booth, Inc. <booth@example.com>");
    EXPECT_EQ(settings->attach, SNP_MailSettings::Attach::Picture);
    EXPECT_EQ(settings->pictureMaxSide, 1600u);

    SNP_Preferences::setArguments(QStringList{"booth-mailer"});
    SNP_Preferences::setStoreFileForTesting(QString());
}
