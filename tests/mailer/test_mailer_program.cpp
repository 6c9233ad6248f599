// booth-mailer as staff run it, against a real SMTP server on 127.0.0.1: killed with
// SIGKILL in the middle of its queue and started again; files linked into place or written
// slowly while it runs; SIGTERM; --drain and --status; a password file others can read; a
// missing upload folder; a damaged or unwritable journal.
#include "MailerFixtures.h"

#include <QThread>

#include <csignal>

using namespace fixtures;
using namespace mailfixtures;

namespace {

class MailerProgramTest : public LoggedTest {
protected:
    void SetUp() override
    {
        LoggedTest::SetUp();
        ASSERT_TRUE(server.start());
        ASSERT_TRUE(writeFile(path("password"), QByteArray(SmtpServer::kPassword) + "\n"));
        QFile::setPermissions(path("password"), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    }
    // The program with the test's settings, extra arguments after them; without root's
    // power over file modes when asked.
    void start(QProcess& process, const QStringList& extra, bool withoutRootFileAccess = false)
    {
        if (withoutRootFileAccess)
            process.setChildProcessModifier(WithoutRootFileAccess::dropForChild);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", path("config")); // never the user's own settings
        env.insert("BOOTH_MAILER_LOG_FILE", path("mailer.log"));
        process.setProcessEnvironment(env);
        process.start(BOOTH_BINARY_DIR "/mailer/booth-mailer",
                      QStringList{"-forUploadFolder", upload, "-mailSmtpUrl", server.url(), "-mailUser",
                                  SmtpServer::kUser, "-mailPasswordFile", path("password"), "-mailFrom",
                                  "booth@example.com", "-mailPerMinute", "10000"}
                          + extra);
        ASSERT_TRUE(process.waitForStarted());
    }
    // Runs to the end; answers the exit status and what it printed on standard output and
    // standard error.
    std::pair<int, QString> run(const QStringList& extra, bool withoutRootFileAccess = false)
    {
        QProcess process;
        start(process, extra, withoutRootFileAccess);
        EXPECT_TRUE(process.waitForFinished(60000));
        const QByteArray said = process.readAllStandardOutput() + process.readAllStandardError();
        return {process.exitCode(), QString::fromUtf8(said)};
    }

    const QString upload = path("upload");
    SmtpServer server{path("server")};
};

} // namespace

TEST_F(MailerProgramTest, KilledInTheMiddleOfTheQueueEveryAddressGetsItsMessageOnlyTheOneInFlightTwice)
{
    QMap<QString, int> expected;
    for (int i = 0; i < 6; ++i) {
        const QString address = QStringLiteral("guest%1@example.com").arg(i);
        expected[address] = i == 2 ? 2 : 1;
        ASSERT_FALSE(putUpload(upload, QStringLiteral("day/%1Comp.jpg").arg(i), {address}).isEmpty());
    }
    // The server takes guest2's message but does not answer: the mailer is killed meanwhile.
    server.setControl({{"hold", QJsonArray{"guest2@example.com"}}});
    QProcess first;
    start(first, {});
    ASSERT_TRUE(waitUntil([&] { return server.counts().contains("guest2@example.com"); }, 20000));
    ::kill(pid_t(first.processId()), SIGKILL);
    first.waitForFinished();
    server.setControl({});

    // Started again as the service would be; a picture linked into a new day folder while
    // it runs is taken at once (long before the 30 s rescan); SIGTERM ends it cleanly.
    QProcess second;
    start(second, {});
    ASSERT_TRUE(waitUntil([&] { return server.counts().size() == 6; }, 20000));
    expected["late@example.com"] = 1;
    ASSERT_FALSE(putUpload(upload, "nextday/lateComp.jpg", {"late@example.com"}).isEmpty());
    ASSERT_TRUE(waitUntil([&] { return server.counts().contains("late@example.com"); }, 10000));
    // One written in place slowly, in 4 KiB blocks with pauses, goes once it is whole.
    expected["slow@example.com"] = 1;
    const QByteArray slow = pictureWith({"slow@example.com"}, 1600, 1000);
    ASSERT_TRUE(QDir().mkpath(upload + "/slowday"));
    QFile file(upload + "/slowday/slowComp.jpg");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    for (qsizetype at = 0; at < slow.size(); at += 4096) {
        ASSERT_GT(file.write(slow.mid(at, 4096)), 0);
        QThread::msleep(5);
    }
    file.close();
    ASSERT_TRUE(waitUntil([&] { return server.counts().contains("slow@example.com"); }, 15000));
    ::kill(pid_t(second.processId()), SIGTERM);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    EXPECT_EQ(server.counts(), expected);
    for (const Message& m : server.messages()) {
        if (m.recipients == QStringList{"slow@example.com"}) {
            EXPECT_EQ(QImage::fromData(readFile(m.attachments[0].toObject().value("file").toString())),
                      QImage::fromData(slow));
        }
    }
    EXPECT_TRUE(readFile(path("mailer.log")).contains("Sending day/2Comp.jpg to guest2@example.com again"));
    EXPECT_TRUE(waitUntil([&] { return QDir(upload + "-sent/day").entryList(QDir::Files).size() == 6; }));
}

TEST_F(MailerProgramTest, DrainAndStatusSayWhatWaitsAndWhy)
{
    // A missing upload folder: refused, and nothing made beside it.
    auto [code, out] = run({"--drain", "5", "-forUploadFolder", path("nowhere")});
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(out.contains("does not exist")) << qPrintable(out);
    EXPECT_EQ(QDir(dir.path()).entryList({"nowhere*"}), QStringList());

    ASSERT_FALSE(putUpload(upload, "day/1Comp.jpg", {"anna@example.com", "ben@example.org"}).isEmpty());
    std::tie(code, out) = run({"--status"});
    EXPECT_EQ(code, 0);
    for (const char* line : {"No delivery journal", "Not taken yet: 1 upload file(s)", "does not seem to be running"})
        EXPECT_TRUE(out.contains(line)) << line << "\n" << qPrintable(out);

    // A password file others can read: refused before anything is sent.
    QFile::setPermissions(path("password"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    std::tie(code, out) = run({"--drain", "5"});
    EXPECT_EQ(code, 2);
    EXPECT_TRUE(out.contains("chmod 600")) << qPrintable(out);
    EXPECT_TRUE(server.messages().isEmpty());
    QFile::setPermissions(path("password"), QFileDevice::ReadOwner | QFileDevice::WriteOwner);

    server.setControl({{"temporary", QJsonArray{"ben@example.org"}}});
    std::tie(code, out) = run({"--drain", "1"});
    EXPECT_EQ(code, 1);
    EXPECT_TRUE(out.contains("ben@example.org") && out.contains("421")) << qPrintable(out);

    std::tie(code, out) = run({"--status"});
    EXPECT_EQ(code, 0);
    for (const char* line : {"Waiting: 1 (oldest since", "Not taken yet: 0", "Sent: 1", "Failed: 0", "Last error: "})
        EXPECT_TRUE(out.contains(line)) << line << "\n" << qPrintable(out);
    EXPECT_TRUE(out.section("Last error: ", 1).contains("421 4.7.0")) << qPrintable(out);

    server.setControl({});
    std::tie(code, out) = run({"--drain", "5"});
    EXPECT_EQ(code, 0) << qPrintable(out);
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}, {"ben@example.org", 1}}));
    EXPECT_TRUE(QFileInfo::exists(upload + "-sent/day/1Comp.jpg"));

    // A picture put there just before the drain is taken once it has settled, and sent.
    const QString fresh = putUpload(upload, "day/2Comp.jpg", {"cleo@example.com"});
    QFile freshFile(fresh);
    ASSERT_TRUE(freshFile.open(QIODevice::ReadOnly)
                && freshFile.setFileTime(QDateTime::currentDateTime(), QFileDevice::FileModificationTime));
    std::tie(code, out) = run({"--drain", "10"});
    EXPECT_EQ(code, 0) << qPrintable(out);
    EXPECT_EQ(server.counts().value("cleo@example.com"), 1);
}

TEST_F(MailerProgramTest, ADamagedJournalIsMadeAnewFromTheFoldersAndAnUnwritableOneIsSaid)
{
    const QString journal = upload + "-sent.sqlite";
    const auto overwrite = [&](qint64 at, const QByteArray& bytes) {
        QFile file(journal);
        ASSERT_TRUE(file.open(QIODevice::ReadWrite) && file.seek(at) && file.write(bytes) == bytes.size());
    };
    const struct {
        const char* name;
        std::function<void()> damage;
        bool unwritable;
    } kCases[] = {
        {"cut short", [&] { ASSERT_TRUE(QFile(journal).resize(QFileInfo(journal).size() / 2)); }, false},
        {"not a database", [&] { overwrite(0, QByteArray(8192, 'x')); }, false},
        {"failing the integrity check", [&] { overwrite(2 * 4096, QByteArray(4096, char(0x55))); }, false},
        {"read-only", [&] { ASSERT_TRUE(QFile::setPermissions(journal, QFileDevice::ReadOwner)); }, true},
    };
    int n = 0;
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.name);
        // One picture delivered before the damage, one put in after it.
        const QString before = QStringLiteral("before%1@example.com").arg(n), after = QStringLiteral("after%1@example.com").arg(n);
        ASSERT_FALSE(putUpload(upload, QStringLiteral("day/%1aComp.jpg").arg(n), {before}).isEmpty());
        ASSERT_EQ(run({"--drain", "5"}).first, 0);
        ASSERT_FALSE(putUpload(upload, QStringLiteral("day/%1bComp.jpg").arg(++n), {after}).isEmpty());
        c.damage();
        if (c.unwritable) {
            QProcess probe;
            probe.setChildProcessModifier(WithoutRootFileAccess::dropForChild);
            probe.start("/bin/sh", {"-c", "test -w " + journal});
            if (probe.waitForFinished() && probe.exitCode() == 0)
                GTEST_SKIP() << "root's power over file modes cannot be put aside here";
        }
        EXPECT_TRUE(run({"--status"}).second.contains("Not taken yet: 1 upload file(s)"));

        const auto [code, said] = run({"--drain", "5"}, c.unwritable);
        if (c.unwritable) {
            EXPECT_EQ(code, 2);
            EXPECT_TRUE(said.contains("Cannot work without the delivery journal")) << qPrintable(said);
            EXPECT_FALSE(server.counts().contains(after));
            continue;
        }
        EXPECT_EQ(code, 0) << qPrintable(said);
        EXPECT_TRUE(said.contains("was damaged") && said.contains("count as sent")) << qPrintable(said);
        EXPECT_EQ(server.counts().value(before), 1); // in the sent folder: not sent again
        EXPECT_EQ(server.counts().value(after), 1);
        const QStringList aside = QDir(dir.path()).entryList({"upload-sent.sqlite.damaged-*"});
        EXPECT_FALSE(aside.isEmpty());
        for (const QString& name : aside)
            QFile::remove(dir.filePath(name));
    }
}
