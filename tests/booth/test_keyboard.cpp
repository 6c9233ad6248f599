// The on-screen keyboard on its own: character and domain keys, delete, the focus walk,
// values and setValues, the exit and accept keys. (Typed in the booth's window, with
// rejection and correction: test_screens.)
#include "BoothRunFixture.h"

namespace {

class KeyboardTest : public ::testing::Test, public SNP_KeyboardDelegate {
protected:
    void SetUp() override
    {
        window.resize(900, 600);
        kb = new SNP_KeyboardView(&window);
        kb->setGeometry(0, 0, 800, 460);
        kb->setDelegate(this);
        window.show();
    }
    // The delegate's side: what the accept key handed over, what the fields held when
    // the exit key asked to start over.
    void keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard) override { accepted << keyboard->values(); }
    void startOver(QObject* sender) override
    {
        startSender = sender;
        whenStartedOver = fieldTexts(kb);
    }
    void press(const QStringList& keys)
    {
        for (const QString& key : keys) {
            QPushButton* button = kb->keyButtonForText(key);
            ASSERT_NE(button, nullptr) << qPrintable(key);
            button->click();
        }
    }
    void fill(const QStringList& texts)
    {
        for (int i = 0; i < 4; ++i)
            field(i)->setText(texts.value(i));
    }
    QLineEdit* field(int i) const { return kb->emailField(i); }

    QWidget window;
    SNP_KeyboardView* kb = nullptr;
    QList<QStringList> accepted;
    QObject* startSender = nullptr;
    QStringList whenStartedOver;
};

// Capitals typing lower case and a domain key moving on: typed in the booth's window in
// test_screens (ARejectedEntry…).
TEST_F(KeyboardTest, KeysKeepTheFocusInTheFieldsAndDeleteTakesTheLastCharacter)
{
    for (QPushButton* key : kb->keyButtons())
        EXPECT_EQ(key->focusPolicy(), Qt::NoFocus);
    for (const char* needed : {"@", ".", "-", "_", "+", ".com"})
        EXPECT_NE(kb->keyButtonForText(QString::fromLatin1(needed)), nullptr) << needed;
    kb->nextFirstResponder(nullptr);
    press({"x", "1", "key_delete"});
    EXPECT_EQ(field(0)->text(), "x");
    EXPECT_EQ(kb->focusedField(), field(0));
}

TEST_F(KeyboardTest, FocusWalkSkipsValidFieldsAndStaysWhenAllAreValid)
{
    fill({"a@b.cd", "c@d.ef", "", "not valid"});
    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(2)); // the first empty field from the first
    field(2)->setText("g@h.ij");
    EXPECT_EQ(kb->nextEmailForTextField(field(0)), field(3)); // invalid text gets the focus

    // All four valid: a domain key typed into the first field leaves the walk at the
    // field after it, where it started; from the last field it wraps round.
    fill({"a@b", "c@d.ef", "g@h.ij", "k@l.mn"});
    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(0));
    press({".de"});
    EXPECT_EQ(field(0)->text(), "a@b.de");
    EXPECT_EQ(kb->focusedField(), field(1));
    EXPECT_EQ(kb->nextEmailForTextField(field(3)), field(1));
}

TEST_F(KeyboardTest, ValuesEmptyTheFieldsAndSetValuesKeepsRejectedOnesToCorrect)
{
    EXPECT_TRUE(kb->values().isEmpty());
    fill({"", "", "only@three.de"});
    EXPECT_EQ(kb->values(), QStringList{"only@three.de"});
    EXPECT_EQ(fieldTexts(kb), QStringList(4, QString()));
    EXPECT_EQ(kb->nextTextView(), field(0));
    fill({"one@a.de", "", "", "four@a.de"});
    EXPECT_EQ(kb->values(), (QStringList{"one@a.de", "four@a.de"})); // no gaps, field order

    kb->setValues({"a@b.cd", "c@d.ef", "g@h.ij", "k@l.mn", "o@p.qr"}); // the fifth has no field
    EXPECT_EQ(fieldTexts(kb), (QStringList{"a@b.cd", "c@d.ef", "g@h.ij", "k@l.mn"}));
    fill({"x", "y", "left alone", "also left"});
    kb->setValues({"no-at-sign", "good@x.yz"});
    EXPECT_EQ(fieldTexts(kb), (QStringList{"no-at-sign", "good@x.yz", "left alone", "also left"}));
    kb->nextFirstResponder(nullptr);
    EXPECT_EQ(kb->focusedField(), field(0)); // the rejected one, to be corrected where it stands
    // The first rejected field in field order is where the next walk starts.
    kb->setValues({"a@b.cd", "BAD@x.yz", "bad", "k@l.mn"});
    EXPECT_EQ(kb->nextTextView(), field(1));
}

TEST_F(KeyboardTest, ExitEmptiesBeforeStartOverAndAcceptAsksTheDelegate)
{
    fill({"a@b.cd", "half"});
    press({"key_exit"});
    EXPECT_EQ(startSender, kb);
    EXPECT_EQ(whenStartedOver, QStringList(4, QString()));
    fill({"", "x@y.zz"});
    press({"key_accept"});
    EXPECT_EQ(accepted, QList<QStringList>{{"x@y.zz"}});

    // Without a delegate the command keys do nothing harmful.
    kb->setDelegate(nullptr);
    fill({"kept?"});
    press({"key_accept"});
    EXPECT_EQ(field(0)->text(), "kept?");
    press({"key_exit"});
    EXPECT_TRUE(field(0)->text().isEmpty());
}

} // namespace
