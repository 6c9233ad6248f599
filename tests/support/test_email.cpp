// The e-mail address check: the plain and quoted local parts, domains and address
// literals of the pattern, case, whole-string matching and the length bound.
#include "SNP_Log.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class EmailCheck : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_dir.isValid());
        qputenv("BOOTH_LOG_FILE", _dir.filePath("email.log").toUtf8());
        SNP_Log::resetForTesting();
        SNP_Log::setLogFile(_dir.filePath("email.log"));
    }
    void TearDown() override { qunsetenv("BOOTH_LOG_FILE"); }
    static bool ok(const QString& s) { return SNP_Log::validateEmailAddress(s); }
    QTemporaryDir _dir;
};

TEST_F(EmailCheck, PlainAddresses)
{
    EXPECT_TRUE(ok("a@b.cd"));
    EXPECT_TRUE(ok("first.last@mail.example.com"));
    EXPECT_TRUE(ok("x-y_z+tag@sub-domain.example.org"));
    EXPECT_TRUE(ok("!#$%&'*+/=?^_`{|}~-@b.cd")); // every special character of the local part
    EXPECT_TRUE(ok("1@2.3"));

    EXPECT_FALSE(ok(""));
    EXPECT_FALSE(ok("a@b"));        // one-label domain
    EXPECT_FALSE(ok("A@b.cd"));     // capital in the local part
    EXPECT_FALSE(ok("a@B.cd"));     // capital in the domain
    EXPECT_FALSE(ok("a@b.cd "));    // trailing space: the whole string must match
    EXPECT_FALSE(ok(" a@b.cd"));
    EXPECT_FALSE(ok("a@b.cd\n"));
    EXPECT_FALSE(ok("ab.cd"));
    EXPECT_FALSE(ok("a@@b.cd"));
    EXPECT_FALSE(ok(".a@b.cd"));    // runs are dot-separated, no leading dot
    EXPECT_FALSE(ok("a..b@b.cd"));
    EXPECT_FALSE(ok("a.@b.cd"));
    EXPECT_FALSE(ok("a@-b.cd"));    // hyphens only inside labels
    EXPECT_FALSE(ok("a@b-.cd"));
    EXPECT_FALSE(ok("a@b.cd."));
    EXPECT_FALSE(ok("a(b)@b.cd"));
    EXPECT_FALSE(ok("quit"));
    EXPECT_FALSE(ok(QString::fromUtf8("jürgen@b.cd")));
}

TEST_F(EmailCheck, QuotedLocalPartsAndAddressLiterals)
{
    EXPECT_TRUE(ok("\"JohnDoe\"@b.cd"));       // quoted: capitals allowed
    EXPECT_TRUE(ok("\"a\\ b\"@b.cd"));        // a space only when escaped
    EXPECT_FALSE(ok("\"John Doe\"@b.cd"));
    EXPECT_TRUE(ok("\"a\\\"b\"@b.cd"));        // escaped quote inside
    EXPECT_TRUE(ok("\"\"@b.cd"));              // the empty quoted string
    EXPECT_FALSE(ok("\"a\"b\"@b.cd"));         // bare quote inside
    EXPECT_FALSE(ok("\"a@b.cd"));

    EXPECT_TRUE(ok("a@[192.168.0.1]"));
    EXPECT_TRUE(ok("a@[255.255.255.255]"));
    EXPECT_FALSE(ok("a@[256.1.1.1]"));
    EXPECT_FALSE(ok("a@[1.2.3]"));
    EXPECT_TRUE(ok("a@[1.2.3.ipv6:ABCD]"));  // a tag, a colon and general text
    EXPECT_FALSE(ok("a@[1.2.3.ipv6:]"));
}

TEST_F(EmailCheck, LongInputIsBoundedAndLogged)
{
    const QString longest = QString(64, QLatin1Char('a')) + QStringLiteral("@") +
                            QString(185, QLatin1Char('b')) + QStringLiteral(".com");
    ASSERT_EQ(longest.size(), 254);
    EXPECT_TRUE(ok(longest));
    EXPECT_FALSE(ok(longest + QStringLiteral("m")));
    // A hostile string without an "@": refused at once, not after a long backtrack.
    EXPECT_FALSE(ok(QString(100000, QLatin1Char('a'))));
    // Near the bound, many labels and no valid ending still answer.
    QString labels;
    while (labels.size() < 240)
        labels += QStringLiteral("a-a.");
    EXPECT_FALSE(ok(QStringLiteral("x@") + labels));

    QFile log(_dir.filePath("email.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QString text = QString::fromUtf8(log.readAll());
    EXPECT_TRUE(text.contains(QStringLiteral("Passed emailAddress=[%1] with length=[254]...").arg(longest)));
    EXPECT_TRUE(text.contains(QStringLiteral("Refused an e-mail address of 100000 characters")));
}

} // namespace
