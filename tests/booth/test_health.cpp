// The operator panel's mail line: the counts of the mailer's delivery journal for the
// booth's upload folder, read while the mailer works on it.
#include "BoothRunFixture.h"

#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"
#include "SNP_MailStatusLine.h"

using MailStatusLine = BoothRunFixture;

TEST_F(MailStatusLine, ShowsTheJournalsCountsAsTheyChange)
{
    SNP_Preferences::setArguments(QStringList{"booth", "-forUploadFolder", dir.filePath("upload")});
    SNP_MailStatusLine::setIntervalForTesting(20);
    build();
    QLabel* line = view.get<QLabel>("_mailStatus");
    EXPECT_EQ(line->text(), "Mail: no delivery journal");
    const auto shows = [&](const QString& expected) {
        EXPECT_TRUE(waitUntil([&] { return line->text() == expected; })) << qPrintable(line->text());
    };
    {
        // The mailer's side: its journal stays open while the booth reads.
        auto journal = SNP_MailJournal::open(SNP_MailSettings::foldersForUpload(dir.filePath("upload")).journal);
        ASSERT_TRUE(journal);
        ASSERT_TRUE(journal->addPicture("day/1Comp.jpg", {"a@example.com", "b@example.com", "c@example.com"},
                                        {{"not an address", "not a valid e-mail address"}}, 1000));
        shows("Mail: 3 waiting, 0 sent, 1 failed");
        for (int sent = 1; sent <= 2; ++sent) {
            const auto due = journal->nextDue(2000);
            ASSERT_TRUE(due);
            ASSERT_TRUE(journal->markSent(*due, "250 OK", 2000));
            shows(QStringLiteral("Mail: %1 waiting, %2 sent, 1 failed").arg(3 - sent).arg(sent));
        }
    }
    c.reset();
    SNP_MailStatusLine::setIntervalForTesting(0);
}
