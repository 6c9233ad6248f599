// booth-mailer as staff run it, against a real SMTP server on 127.0.0.1: killed with
// SIGKILL in the middle of its queue and started again; a file linked into place while it
// runs; SIGTERM; --drain and --status; a password file others can read.
#include "MailerFixtures.h"

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
    // The program with the test's settings, extra arguments after them.
    void start(QProcess& process, const QStringList& extra)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", path("config")); // never the user's own settings
        env.insert("BOOTH_MAILER_LOG_FILE", path("mailer.log"));
        process.setProcessEnvironment(env);
        process.start(BOOTH_BINARY_DIR "/mailer/booth-mailer",
                      extra + QStringList{"-forUploadFolder", upload, "-mailSmtpUrl", server.url(), "-mailUser",
                                          SmtpServer::kUser, "-mailPasswordFile", path("password"), "-mailFrom",
                                          "booth@example.com", "-mailPerMinute", "10000"});
        ASSERT_TRUE(process.waitForStarted());
    }
    // Runs to the end; answers the exit status and what it printed on standard output and
    // standard error.
    std::pair<int, QString> run(const QStringList& extra)
    {
        QProcess process;
        start(process, extra);
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
    ::kill(pid_t(second.processId()), SIGTERM);
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);

    EXPECT_EQ(server.counts(), expected);
    EXPECT_TRUE(readFile(path("mailer.log")).contains("Sending day/2Comp.jpg to guest2@example.com again"));
    EXPECT_TRUE(waitUntil([&] { return QDir(upload + "-sent/day").entryList(QDir::Files).size() == 6; }));
}

TEST_F(MailerProgramTest, DrainAndStatusSayWhatWaitsAndWhy)
{
    ASSERT_FALSE(putUpload(upload, "day/1Comp.jpg", {"anna@example.com", "ben@example.org"}).isEmpty());

    // A password file others can read: refused before anything is sent.
    QFile::setPermissions(path("password"), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadOther);
    auto [code, out] = run({"--drain", "5"});
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
    for (const char* line : {"Waiting: 1 (oldest since", "Sent: 1", "Failed: 0", "Last error: "})
        EXPECT_TRUE(out.contains(line)) << line << "\n" << qPrintable(out);
    EXPECT_TRUE(out.section("Last error: ", 1).contains("421 4.7.0")) << qPrintable(out);

    server.setControl({});
    std::tie(code, out) = run({"--drain", "5"});
    EXPECT_EQ(code, 0) << qPrintable(out);
    EXPECT_EQ(server.counts(), (QMap<QString, int>{{"anna@example.com", 1}, {"ben@example.org", 1}}));
    EXPECT_TRUE(QFileInfo::exists(upload + "-sent/day/1Comp.jpg"));
}
