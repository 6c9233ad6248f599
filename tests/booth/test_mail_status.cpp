// The operator panel's mail line: the counts of the mailer's delivery journal for the
// booth's upload folder, read while the mailer works on it.
#include <gtest/gtest.h>

#include "AppController.h"
#include "SNP_Log.h"
#include "SNP_MailJournal.h"
#include "SNP_MailSettings.h"
#include "SNP_MailStatusLine.h"
#include "SNP_Preferences.h"
#include "TestSupport.h"

#include <QLabel>
#include <QTemporaryDir>

TEST(MailStatusLine, ShowsTheJournalsCountsAsTheyChange)
{
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    SNP_Log::resetForTesting();
    qputenv("BOOTH_LOG_FILE", QFile::encodeName(dir.filePath("booth.log")));
    SNP_Preferences::setStoreFileForTesting(dir.filePath("booth.ini"));
    SNP_Preferences::setArguments(QStringList{"booth", "-forUploadFolder", dir.filePath("upload")});
    SNP_MailStatusLine::setIntervalForTesting(20);
    auto controller = std::make_unique<AppController>();
    QLabel* line = controller->findChild<QLabel*>("_mailStatus");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->text(), "Mail: no delivery journal");

    {
        // The mailer's side: its journal stays open while the booth reads.
        auto journal = SNP_MailJournal::open(SNP_MailSettings::foldersForUpload(dir.filePath("upload")).journal);
        ASSERT_TRUE(journal);
        ASSERT_TRUE(journal->addPicture("day/1Comp.jpg", {"a@example.com", "b@example.com", "c@example.com"},
                                        {{"not an address", "not a valid e-mail address"}}, 1000));
        EXPECT_TRUE(waitUntil([&] { return line->text() == "Mail: 3 waiting, 0 sent, 1 failed"; }))
            << qPrintable(line->text());
        for (int sent = 1; sent <= 2; ++sent) {
            const auto due = journal->nextDue(2000);
            ASSERT_TRUE(due);
            ASSERT_TRUE(journal->markSent(*due, "250 OK", 2000));
            const QString expected = QStringLiteral("Mail: %1 waiting, %2 sent, 1 failed").arg(3 - sent).arg(sent);
            EXPECT_TRUE(waitUntil([&] { return line->text() == expected; })) << qPrintable(line->text());
        }
    }
    controller.reset();
    SNP_MailStatusLine::setIntervalForTesting(0);
    SNP_Preferences::setArguments(QStringList{"booth"});
    SNP_Preferences::setStoreFileForTesting(QString());
    SNP_Log::resetForTesting();
}
