// The e-mail address check: the plain and quoted local parts, domains and address
// literals of the pattern, case, whole-string matching and the length bound.
#include "JpegFixtures.h"

namespace {

class EmailCheck : public fixtures::LoggedTest {
protected:
    static bool ok(const QString& s) { return SNP_Log::validateEmailAddress(s); }
};

TEST_F(EmailCheck, AddressesOfThePattern)
{
    const struct { const char* address; bool valid; } rows[] = {
        {"a@b.cd", true}, {"first.last@mail.example.com", true}, {"x-y_z+tag@sub-domain.example.org", true},
        {"!#$%&'*+/=?^_`{|}~-@b.cd", true}, // every special character of the local part
        {"1@2.3", true}, {"", false}, {"a@b", false},       // one-label domain
        {"A@b.cd", false}, {"a@B.cd", false},               // capitals in the local part or the domain
        {"a@b.cd ", false}, {" a@b.cd", false}, {"a@b.cd\n", false}, // the whole string must match
        {"ab.cd", false}, {"a@@b.cd", false}, {".a@b.cd", false}, {"a..b@b.cd", false}, {"a.@b.cd", false},
        {"a@-b.cd", false}, {"a@b-.cd", false}, {"a@b.cd.", false}, // hyphens only inside labels
        {"a(b)@b.cd", false}, {"quit", false}, {"j\xC3\xBCrgen@b.cd", false},
        {"\"JohnDoe\"@b.cd", true},   // quoted: capitals allowed
        {"\"a\\ b\"@b.cd", true},     // a space only when escaped
        {"\"John Doe\"@b.cd", false}, {"\"a\\\"b\"@b.cd", true}, {"\"\"@b.cd", true},
        {"\"a\"b\"@b.cd", false}, {"\"a@b.cd", false},
        {"a@[192.168.0.1]", true}, {"a@[255.255.255.255]", true}, {"a@[256.1.1.1]", false}, {"a@[1.2.3]", false},
        {"a@[1.2.3.ipv6:ABCD]", true}, // a tag, a colon and general text
        {"a@[1.2.3.ipv6:]", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(ok(QString::fromUtf8(row.address)), row.valid) << row.address;
}

TEST_F(EmailCheck, LongInputIsBoundedAndLogged)
{
    const QString longest = QString(64, u'a') + u'@' + QString(185, u'b') + QStringLiteral(".com");
    ASSERT_EQ(longest.size(), 254);
    EXPECT_TRUE(ok(longest));
    EXPECT_FALSE(ok(longest + u'm'));
    // A hostile string without an "@": refused at once, not after a long backtrack.
    EXPECT_FALSE(ok(QString(100000, u'a')));
    // Near the bound, many labels and no valid ending still answer.
    EXPECT_FALSE(ok(QStringLiteral("x@") + QStringLiteral("a-a.").repeated(60)));

    const QString text = logText();
    // The check runs for every field of every pass: the log shows the address masked.
    EXPECT_TRUE(text.contains(QStringLiteral("Passed emailAddress=[a***@%1.com] with length=[254]...")
                                  .arg(QString(185, u'b'))));
    EXPECT_FALSE(text.contains(longest));
    EXPECT_TRUE(text.contains(QStringLiteral("Refused an e-mail address of 100000 characters")));
}

} // namespace
