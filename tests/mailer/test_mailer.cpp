// The mailer's delivery against a real SMTP server on 127.0.0.1, driven step by step with a
// clock of the test's own: one message per address with the picture but no address in it,
// failures the server gets over (down, 421, a dropped connection) retried without loss or
// duplicate, a 550 for one address, the rate limit, files without addresses, and the
// settings that are refused.
#include "MailerFixtures.h"

#include "SNP_Mailer.h"
#include "SNP_Preferences.h"

#include <QImage>

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

    qint64 clock = 1'800'000'000'000;
    SNP_MailSettings settings;
    SmtpServer server{path("server")};
    std::unique_ptr<SNP_MailJournal> journal;
    std::unique_ptr<SNP_Mailer> mailer;
};

} // namespace

TEST_F(MailerTest, EachAddressGetsItsOwnMessageWithThePictureAndNoAddressInIt)
{
    const QStringList files{upload("Main/2026-12-07/20261207101500Comp.jpg", kThree + QStringList{"not an address"}),
                            upload("Main/2026-12-07/20261207101600Comp.jpg", {"dora@example.com"})};
    const QImage pixels(files[0]); // both pictures have the same pattern
    ASSERT_FALSE(pixels.isNull());
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
        ASSERT_EQ(m.attachments.size(), 1);
        EXPECT_EQ(m.attachments[0].toObject().value("content_type").toString(), "image/jpeg");
        const QByteArray attached = readFile(m.attachments[0].toObject().value("file").toString());
        for (const QString& address : everyone)
            EXPECT_FALSE(attached.contains(address.toUtf8())) << qPrintable(address);
        EXPECT_TRUE(rawUserComment(attached).isEmpty());
        EXPECT_EQ(exifString(exifOf(attached), "Exif.Image.Model"), "Canon EOS 5D Mark II");
        EXPECT_EQ(QImage::fromData(attached), pixels);
    }
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}, {"ben@example.org", 1},
                                                   {"cleo@example.net", 1}, {"dora@example.com", 1}}));
    // Filed under the same relative path in the sent folder; the refused address counts as failed.
    for (const QString& file : files) {
        EXPECT_FALSE(QFileInfo::exists(file));
        EXPECT_TRUE(sent(file.mid(settings.folders.upload.size() + 1)));
    }
    const SNP_MailSummary summary = journal->summary();
    EXPECT_EQ(QList<qint64>({summary.sent, summary.failed, summary.waiting}), QList<qint64>({4, 1, 0}));
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

TEST_F(MailerTest, AFileWithoutUsableAddressesGoesToTheFailedFolderWithANote)
{
    const struct {
        const char* name;
        QStringList addresses; // empty: no property list at all
        QByteArray bytes;      // instead of a picture
    } kFiles[] = {
        {"no property list", {}, {}},
        {"only addresses that cannot be sent to",
         {"\"a b\"@example.com", "x@y@z", "eve@example.com, mallory@x.org"}, {}},
        {"not a picture", {}, "just some text\n"},
    };
    int n = 0;
    for (const auto& file : kFiles) {
        SCOPED_TRACE(file.name);
        const QString relative = QStringLiteral("day/%1Comp.jpg").arg(++n);
        ASSERT_TRUE(file.bytes.isEmpty() ? !upload(relative, file.addresses).isEmpty()
                                         : writeFile(settings.folders.upload + "/" + relative, file.bytes));
        deliver();
        EXPECT_TRUE(QFileInfo::exists(settings.folders.failed + "/" + relative));
        EXPECT_FALSE(readFile(settings.folders.failed + "/" + relative + ".txt").isEmpty());
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

TEST(MailSettings, RefusesWhatWouldSendUnsafely)
{
    QTemporaryDir dir;
    const QString open = dir.filePath("open-password"), closed = dir.filePath("closed-password");
    ASSERT_TRUE(writeFile(open, "secret\n") && writeFile(closed, "secret\n"));
    QFile::setPermissions(open, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    QFile::setPermissions(closed, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QString upload = dir.filePath("upload");
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
    SNP_Preferences::setArguments(QStringList{"booth-mailer"});
    SNP_Preferences::setStoreFileForTesting(QString());
}
