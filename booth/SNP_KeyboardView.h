// The on-screen keyboard of the e-mail screen: four address fields, character keys
// (letters, digits, the characters an address needs and whole domain endings), and the
// delete, exit and accept keys. It types into the focused field, moves the focus on to
// the next field without a valid address, hands the typed addresses to its delegate and
// takes validated ones back. Main thread only.
#pragma once

#include <QStringList>
#include <QWidget>

#include <vector>

class QAbstractButton;
class QLineEdit;
class QPushButton;
class SNP_KeyboardView;

// Told about the accept and exit keys. Both have empty defaults, so an implementer
// overrides only what it wants to hear.
class SNP_KeyboardDelegate {
public:
    virtual ~SNP_KeyboardDelegate() = default;
    // The accept key: the delegate collects the addresses with values() and checks them.
    virtual void keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard) { (void)keyboard; }
    // The exit key, after the fields were emptied; the sender is the keyboard.
    virtual void startOver(QObject* sender) { (void)sender; }
};

class SNP_KeyboardView : public QWidget, public SNP_KeyboardDelegate {
    Q_OBJECT
public:
    explicit SNP_KeyboardView(QWidget* parent = nullptr);
    ~SNP_KeyboardView() override;

    // Actions.
    void takeStringValueFrom(QAbstractButton* sender); // every character key
    void deleteKeyAction(QObject* sender);
    void exitKeyAction(QObject* sender);
    void acceptAndContinue(QObject* sender);

    // The typed addresses in field order, without gaps; empties the fields.
    QStringList values();
    // Puts addresses back, rejected ones too (the next focus walk starts at the first of
    // those, to correct it); fields past the list's end are left alone.
    void setValues(const QStringList& values);

    // The field that should get the focus next, walking on from view.
    QWidget* nextEmailForTextField(QWidget* view) const;
    // Focuses the result of the walk from the current start field.
    void nextFirstResponder(QObject* sender);
    // A field began to be edited: the next walk starts after it.
    void controlTextDidBeginEditing(QLineEdit* field);

    SNP_KeyboardDelegate* delegate() const { return _delegate; }
    void setDelegate(SNP_KeyboardDelegate* delegate) { _delegate = delegate; }

    // The keyboard's own delegate messages do nothing.
    void keyboardViewDidAcceptAndContinue(SNP_KeyboardView* keyboard) override { (void)keyboard; }
    void startOver(QObject* sender) override { (void)sender; }

    // Lookups for tests and tools.
    QLineEdit* emailField(int index) const; // 0..3
    QList<QLineEdit*> emailFields() const;
    // The key typing text (case-insensitive; "@", ".com", "a"), or a key by its object name
    // ("key_delete"); nullptr when there is none.
    QPushButton* keyButtonForText(const QString& text) const;
    QList<QPushButton*> keyButtons() const { return _keys; }
    // The field typed into: the window's focus widget when that is one of the fields,
    // else the field the keyboard focused last.
    QLineEdit* focusedField() const;
    QWidget* nextTextView() const { return _nextTextView; }

    // Hides what is typed and keeps only the first field: the operator PIN is typed there.
    void setSecretEntry(bool secret);

Q_SIGNALS:
    // A key was touched (or a character typed on a hardware keyboard).
    void keyTouched();

protected:
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void awakeFromNib();
    QPushButton* addKey(const QString& title, const QString& name, const QString& text);
    void layoutKeys();
    void applyStyle(int fieldHeight, int keySize); // keySize: the smaller side of a plain key
    QWidget* nextKeyView(QWidget* view) const;
    void focusField(QLineEdit* field);
    void beginEditingIfNeeded(QLineEdit* field);

    QLineEdit* _email1 = nullptr;
    QLineEdit* _email2 = nullptr;
    QLineEdit* _email3 = nullptr;
    QLineEdit* _email4 = nullptr;
    QPushButton* _goButton = nullptr;
    SNP_KeyboardDelegate* _delegate = nullptr; // not owned
    QWidget* _nextTextView = nullptr;          // not owned; one of the fields

    QPushButton* _deleteButton = nullptr;
    QPushButton* _exitButton = nullptr;
    QList<QPushButton*> _keys;               // every key, command keys included
    std::vector<std::vector<QPushButton*>> _rows; // character key rows, for the layout
    QLineEdit* _currentField = nullptr;      // the field focused last
    QLineEdit* _editingField = nullptr;      // the field whose editing has begun
};
