// The on-screen keyboard: character and domain keys, delete, the focus walk, values and
// setValues, the exit and accept keys, and the keyboard inside the booth's own window.
#include "AppController.h"
#include "SNP_KeyboardView.h"
#include "SNP_Preferences.h"
#include "TestSupport.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

struct RecordingDelegate : SNP_KeyboardDelegate {
    void keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard) override
    {
        ++accepted;
        seen = keyboard->values();
    }
    void startOver(QObject* sender) override
    {
        ++startedOver;
        startSender = sender;
        fieldsWhenStartedOver.clear();
        for (QLineEdit* field : kb->emailFields())
            fieldsWhenStartedOver << field->text();
    }
    SNP_KeyboardView* kb = nullptr;
    int accepted = 0;
    int startedOver = 0;
    QObject* startSender = nullptr;
    QStringList seen;
    QStringList fieldsWhenStartedOver;
};

class KeyboardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_dir.isValid());
        qputenv("BOOTH_LOG_FILE", _dir.filePath("kb.log").toUtf8());
        window.resize(900, 600);
        kb = new SNP_KeyboardView(&window);
        kb->setGeometry(0, 0, 800, 460);
        delegate.kb = kb;
        kb->setDelegate(&delegate);
        window.show();
    }
    void press(const QString& text)
    {
        QPushButton* key = kb->keyButtonForText(text);
        ASSERT_NE(key, nullptr) << qPrintable(text);
        key->click();
    }
    void type(const QString& text)
    {
        for (QChar ch : text)
            press(QString(ch));
    }
    QLineEdit* field(int i) const { return kb->emailField(i); }

    QTemporaryDir _dir;
    QWidget window;
    SNP_KeyboardView* kb = nullptr;
    RecordingDelegate delegate;
};

TEST_F(KeyboardTest, KeysTypeLowerCaseAndDomainKeysMoveOn)
{
    // Every key but the three command keys is a character key with a title; keys never
    // take the focus.
    int characterKeys = 0;
    for (QPushButton* key : kb->keyButtons()) {
        EXPECT_EQ(key->focusPolicy(), Qt::NoFocus);
        if (!key->property("keyText").toString().isEmpty())
            ++characterKeys;
    }
    EXPECT_GE(characterKeys, 26 + 10 + 5);
    EXPECT_EQ(kb->focusPolicy(), Qt::NoFocus);
    for (const char* needed : {"@", ".", "-", "_", "+", ".com"})
        EXPECT_NE(kb->keyButtonForText(QString::fromLatin1(needed)), nullptr) << needed;

    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(0));
    press("A"); // a capital title types a lower-case letter and stays
    EXPECT_EQ(field(0)->text(), "a");
    EXPECT_EQ(kb->focusedField(), field(0));
    type("@b");
    press(".com");
    EXPECT_EQ(field(0)->text(), "a@b.com");
    EXPECT_EQ(kb->focusedField(), field(1)); // the first empty field after the edited one

    type("x1");
    press("key_delete");
    EXPECT_EQ(field(1)->text(), "x");
}

TEST_F(KeyboardTest, FocusWalkSkipsValidFieldsAndStaysWhenAllAreValid)
{
    field(0)->setText("a@b.cd");
    field(1)->setText("c@d.ef");
    field(3)->setText("not valid");
    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(2)); // first empty field from _email1

    field(2)->setText("g@h.ij");
    EXPECT_EQ(kb->nextEmailForTextField(field(0)), field(3)); // invalid text gets the focus

    field(3)->setText("k@l.mn");
    // All four valid: a domain key typed into the first field leaves the walk at the
    // field after it, where it started.
    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(0));
    field(0)->setText("a@b");
    press(".de");
    EXPECT_EQ(field(0)->text(), "a@b.de");
    EXPECT_EQ(kb->nextTextView(), field(1));
    EXPECT_EQ(kb->focusedField(), field(1));
    // From the last field the walk wraps round to the start.
    EXPECT_EQ(kb->nextEmailForTextField(field(3)), field(1));
}

TEST_F(KeyboardTest, ValuesAndSetValues)
{
    EXPECT_TRUE(kb->values().isEmpty());

    field(2)->setText("only@three.de");
    EXPECT_EQ(kb->values(), QStringList{"only@three.de"});
    for (QLineEdit* f : kb->emailFields())
        EXPECT_TRUE(f->text().isEmpty());
    EXPECT_EQ(kb->nextTextView(), field(0));

    field(0)->setText("one@a.de");
    field(3)->setText("four@a.de");
    EXPECT_EQ(kb->values(), (QStringList{"one@a.de", "four@a.de"})); // no gaps, field order

    kb->setValues({"a@b.cd", "c@d.ef", "g@h.ij", "k@l.mn", "o@p.qr"});
    EXPECT_EQ(field(0)->text(), "a@b.cd");
    EXPECT_EQ(field(3)->text(), "k@l.mn");

    field(2)->setText("left alone");
    field(3)->setText("also left");
    kb->setValues({"no-at-sign", "good@x.yz"});
    EXPECT_TRUE(field(0)->text().isEmpty());
    EXPECT_EQ(field(1)->text(), "good@x.yz");
    EXPECT_EQ(field(2)->text(), "left alone");
    EXPECT_EQ(field(3)->text(), "also left");
    EXPECT_EQ(kb->nextTextView(), field(0));
    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(0));

    // The first rejected field in field order is where the next walk starts.
    kb->setValues({"a@b.cd", "BAD@x.yz", "bad", "k@l.mn"});
    EXPECT_EQ(kb->nextTextView(), field(1));
}

TEST_F(KeyboardTest, ExitEmptiesBeforeStartOverAndAcceptAsksTheDelegate)
{
    field(0)->setText("a@b.cd");
    field(1)->setText("half");
    press("key_exit");
    EXPECT_EQ(delegate.startedOver, 1);
    EXPECT_EQ(delegate.startSender, kb);
    EXPECT_EQ(delegate.fieldsWhenStartedOver, (QStringList{"", "", "", ""}));

    field(1)->setText("x@y.zz");
    press("key_accept");
    EXPECT_EQ(delegate.accepted, 1);
    EXPECT_EQ(delegate.seen, QStringList{"x@y.zz"});

    // Without a delegate the command keys do nothing harmful.
    kb->setDelegate(nullptr);
    field(0)->setText("kept?");
    press("key_accept");
    EXPECT_EQ(field(0)->text(), "kept?");
    press("key_exit");
    EXPECT_TRUE(field(0)->text().isEmpty());
}

// The keyboard in the booth's window: typed with its own keys, the accept key advances
// the screens; a wrong address comes back for correction.
class BoothKeyboardTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(_dir.isValid());
        qputenv("BOOTH_LOG_FILE", _dir.filePath("booth.log").toUtf8());
        SNP_Preferences::setStoreFileForTesting(_dir.filePath("booth.ini"));
        SNP_Preferences::setArguments(QStringList{QStringLiteral("booth")});
        c = std::make_unique<AppController>();
        c->awakeFromNib();
        c->_screenNumber = 0;
        c->nextScreen(nullptr);
    }
    void TearDown() override
    {
        c.reset();
        SNP_Preferences::setStoreFileForTesting(QString());
    }
    QTemporaryDir _dir;
    std::unique_ptr<AppController> c;
};

TEST_F(BoothKeyboardTest, TypedAddressesAreAcceptedOrSentBack)
{
    SNP_KeyboardView* kb = c->findChild<SNP_KeyboardView*>(QStringLiteral("_keyboard"));
    ASSERT_NE(kb, nullptr);
    EXPECT_EQ(kb->delegate(), c.get());
    c->nextScreen(c->_goButton);
    ASSERT_EQ(c->_screenNumber.load(), 2u);
    EXPECT_FALSE(kb->isHidden());
    EXPECT_EQ(kb->focusedField(), kb->emailField(0));

    auto type = [&](const QString& s) {
        for (QChar ch : s)
            kb->keyButtonForText(QString(ch))->click();
    };
    type("Bad@");
    kb->keyButtonForText(".com")->click(); // "bad@.com"; the focus moves on to the second field
    EXPECT_EQ(kb->emailField(0)->text(), "bad@.com");
    kb->keyButtonForText("key_accept")->click();
    EXPECT_EQ(c->_screenNumber.load(), 1u); // the rejection notice
    EXPECT_TRUE(kb->emailField(0)->text().isEmpty());
    EXPECT_TRUE(c->_emails.isEmpty());

    c->nextScreen(c->_goButton); // touching the notice returns to the keyboard
    ASSERT_EQ(c->_screenNumber.load(), 2u);
    kb->nextFirstResponder(nullptr);
    type("visitor@event");
    kb->keyButtonForText(".de")->click();
    type("second@event");
    kb->keyButtonForText(".com")->click();
    EXPECT_EQ(kb->emailField(1)->text(), "second@event.com");
    kb->keyButtonForText("key_accept")->click();
    EXPECT_EQ(c->_screenNumber.load(), 3u);
    EXPECT_EQ(c->_emails, (QStringList{"visitor@event.de", "second@event.com"}));
    EXPECT_TRUE(kb->isHidden());
}

} // namespace
