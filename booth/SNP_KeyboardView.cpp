// The on-screen keyboard of the e-mail screen.
#include "SNP_KeyboardView.h"

#include "SNP_Log.h"

#include <QApplication>
#include <QEvent>
#include <QLineEdit>
#include <QPushButton>
#include <QResizeEvent>

#include <algorithm>

namespace {

// An address never needs more; the field refuses further characters.
constexpr int kFieldMaxLength = 254;

// Character keys, row by row. A title of several characters is a domain key: it types
// the whole title and moves the focus on.
const char* const kRows[][12] = {
    {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", nullptr},
    {"Q", "W", "E", "R", "T", "Y", "U", "I", "O", "P", nullptr},
    {"A", "S", "D", "F", "G", "H", "J", "K", "L", "@", nullptr},
    {"Z", "X", "C", "V", "B", "N", "M", ".", "-", "_", nullptr},
    {"+", ".com", ".de", ".net", ".org", "@gmail.com", nullptr},
};

QString keyObjectName(const QString& title)
{
    if (title == QLatin1String("@"))
        return QStringLiteral("key_at");
    if (title == QLatin1String("."))
        return QStringLiteral("key_dot");
    if (title == QLatin1String("-"))
        return QStringLiteral("key_minus");
    if (title == QLatin1String("_"))
        return QStringLiteral("key_underscore");
    if (title == QLatin1String("+"))
        return QStringLiteral("key_plus");
    QString name = title.toLower();
    name.replace(QLatin1Char('@'), QLatin1String("at_"));
    name.replace(QLatin1Char('.'), QLatin1String("dot_"));
    return QStringLiteral("key_") + name;
}

} // namespace

SNP_KeyboardView::SNP_KeyboardView(QWidget* parent)
    : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus); // the keyboard never takes the focus from a field
    setAttribute(Qt::WA_StyledBackground, true);
    // The four address fields first, so that they lead the children in field order.
    QLineEdit** fields[] = {&_email1, &_email2, &_email3, &_email4};
    for (int i = 0; i < 4; ++i) {
        auto* field = new QLineEdit(this);
        field->setObjectName(QStringLiteral("_email%1").arg(i + 1));
        field->setPlaceholderText(QStringLiteral("E-mail %1").arg(i + 1));
        field->setMaxLength(kFieldMaxLength);
        field->setFocusPolicy(Qt::ClickFocus);
        field->setAttribute(Qt::WA_MacShowFocusRect, false);
        field->installEventFilter(this);
        // Typing on a hardware keyboard begins editing as the character keys do.
        connect(field, &QLineEdit::textEdited, this, [this, field] {
            beginEditingIfNeeded(field);
            emit keyTouched();
        });
        *fields[i] = field;
    }

    for (const auto& row : kRows) {
        std::vector<QPushButton*> keys;
        for (int i = 0; row[i]; ++i) {
            const QString title = QString::fromLatin1(row[i]);
            keys.push_back(addKey(title, keyObjectName(title), title));
        }
        _rows.push_back(std::move(keys));
    }

    // The command keys keep their own actions; every other key types its title.
    _deleteButton = addKey(QStringLiteral("Delete"), QStringLiteral("key_delete"), QString());
    _exitButton = addKey(QStringLiteral("Exit"), QStringLiteral("key_exit"), QString());
    _goButton = addKey(QStringLiteral("OK"), QStringLiteral("key_accept"), QString());
    // Every key counts as the visitor's activity (the e-mail screen's idle time-out).
    for (QPushButton* key : std::as_const(_keys))
        connect(key, &QPushButton::pressed, this, &SNP_KeyboardView::keyTouched);
    connect(_deleteButton, &QPushButton::clicked, this, [this] { deleteKeyAction(_deleteButton); });
    connect(_exitButton, &QPushButton::clicked, this, [this] { exitKeyAction(_exitButton); });
    connect(_goButton, &QPushButton::clicked, this, [this] { acceptAndContinue(_goButton); });

    awakeFromNib();
    layoutKeys();
}

SNP_KeyboardView::~SNP_KeyboardView() = default;

QPushButton* SNP_KeyboardView::addKey(const QString& title, const QString& name, const QString& text)
{
    auto* key = new QPushButton(title, this);
    key->setObjectName(name);
    key->setFocusPolicy(Qt::NoFocus); // pressing a key leaves the focus in the field
    key->setAutoDefault(false);
    key->setProperty("keyText", text);
    _keys.append(key);
    return key;
}

void SNP_KeyboardView::awakeFromNib()
{
    _nextTextView = _email1;

    // The accept key's title: white, in the key's own font, centred.
    if (_goButton) {
        _goButton->setStyleSheet(QStringLiteral("color: white; text-align: center;"));
        _goButton->setFont(_goButton->font());
    }

    // Every key without an action of its own becomes a character key.
    for (QPushButton* key : std::as_const(_keys)) {
        if (key == _deleteButton || key == _exitButton || key == _goButton)
            continue;
        connect(key, &QPushButton::clicked, this, [this, key] { takeStringValueFrom(key); });
    }
}

void SNP_KeyboardView::layoutKeys()
{
    const int w = std::max(width(), 200);
    const int h = std::max(height(), 200);
    const int gap = std::max(4, h / 100);
    const int fieldHeight = std::max(28, h / 11);
    const int fieldWidth = (w - gap) / 2;

    // Fields in two columns: 1 and 2 on the first line, 3 and 4 on the second.
    QLineEdit* fields[] = {_email1, _email2, _email3, _email4};
    for (int i = 0; i < 4; ++i)
        fields[i]->setGeometry((i % 2) * (fieldWidth + gap), (i / 2) * (fieldHeight + gap), fieldWidth,
                               fieldHeight);

    const int top = 2 * (fieldHeight + gap) + gap;
    const int rowCount = static_cast<int>(_rows.size()) + 1; // character rows and the command row
    const int keyHeight = std::max(24, (h - top - (rowCount - 1) * gap) / rowCount);
    int narrowestKey = w;
    int y = top;
    for (const auto& row : _rows) {
        // Domain keys are wider: weigh each key by its title's length (at least 1).
        int weights = 0;
        for (QPushButton* key : row)
            weights += std::max<int>(1, static_cast<int>(key->text().size() + 1) / 2);
        const int unit = (w - gap * static_cast<int>(row.size() - 1)) / std::max(1, weights);
        narrowestKey = std::min(narrowestKey, unit);
        int x = 0;
        for (QPushButton* key : row) {
            // The last key takes what the rounding left, so that every row ends flush.
            const int kw = key == row.back() ? w - x
                                             : unit * std::max<int>(1, static_cast<int>(key->text().size() + 1) / 2);
            key->setGeometry(x, y, kw, keyHeight);
            x += kw + gap;
        }
        y += keyHeight + gap;
    }
    const int commandWidth = (w - 2 * gap) / 3;
    _exitButton->setGeometry(0, y, commandWidth, keyHeight);
    _deleteButton->setGeometry(commandWidth + gap, y, commandWidth, keyHeight);
    _goButton->setGeometry(2 * (commandWidth + gap), y, w - 2 * (commandWidth + gap), keyHeight);
    applyStyle(fieldHeight, std::min(keyHeight, narrowestKey));
}

void SNP_KeyboardView::applyStyle(int fieldHeight, int keySize)
{
    // Type, borders and corners grow with the keys, so the keyboard reads alike on any
    // screen. Rebuilt only when the sizes change: a style sheet is costly to apply.
    const int fieldFont = std::max(10, fieldHeight * 9 / 20);
    const int keyFont = std::max(10, keySize * 2 / 5);
    const int border = std::max(1, keySize / 30);
    const int radius = std::max(4, keySize / 8);
    const QString style = QStringLiteral(
        "SNP_KeyboardView { background: transparent; }"
        "QLineEdit { font: %1px 'DejaVu Sans'; padding: 2px %2px; border: %3px solid rgb(90,90,110);"
        " border-radius: %4px; background: white; color: black; }"
        "QLineEdit:focus { border-color: rgb(255,128,0); }"
        "QPushButton { font: bold %5px 'DejaVu Sans'; color: rgb(30,30,40); background: rgb(235,235,240);"
        " border: %6px solid rgb(120,120,140); border-radius: %4px; }"
        "QPushButton:pressed { background: rgb(255,190,120); }"
        "QPushButton#key_delete, QPushButton#key_exit { background: rgb(200,200,210); }"
        "QPushButton#key_accept { background: rgb(255,128,0); color: white; }")
                              .arg(fieldFont)
                              .arg(fieldFont / 2)
                              .arg(border * 2)
                              .arg(radius)
                              .arg(keyFont)
                              .arg(border);
    if (style != styleSheet())
        setStyleSheet(style);
}

void SNP_KeyboardView::setSecretEntry(bool secret)
{
    // Staff type the operator PIN into the first field; nobody watching sees it.
    for (QLineEdit* field : emailFields()) {
        field->setEchoMode(secret ? QLineEdit::Password : QLineEdit::Normal);
        if (field != _email1)
            field->setVisible(!secret);
    }
    _email1->setPlaceholderText(secret ? QStringLiteral("PIN") : QStringLiteral("E-mail 1"));
}

void SNP_KeyboardView::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layoutKeys();
}

bool SNP_KeyboardView::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::FocusIn) {
        auto* field = qobject_cast<QLineEdit*>(watched);
        if (field && emailFields().contains(field) && field != _currentField) {
            _currentField = field;
            _editingField = nullptr; // editing of the previous field has ended
        }
    }
    return QWidget::eventFilter(watched, event);
}

// ---- keys ----

void SNP_KeyboardView::takeStringValueFrom(QAbstractButton* sender)
{
    const QString text = sender && !sender->text().isEmpty() ? sender->text().toLower() : QString();
    if (text.isEmpty())
        return; // a key without a title types nothing
    QLineEdit* field = focusedField();
    if (!field) {
        SNP_Log::debugf("Key [%s] pressed with no address field focused", qUtf8Printable(text));
        return;
    }
    beginEditingIfNeeded(field);
    field->insert(text);
    if (text.size() > 1)
        nextFirstResponder(sender);
}

void SNP_KeyboardView::deleteKeyAction(QObject* sender)
{
    (void)sender;
    if (QLineEdit* field = focusedField()) {
        beginEditingIfNeeded(field);
        field->backspace();
    }
}

void SNP_KeyboardView::exitKeyAction(QObject* sender)
{
    (void)sender;
    (void)values(); // the fields are emptied before the delegate starts over
    if (_delegate)
        _delegate->startOver(this);
}

void SNP_KeyboardView::acceptAndContinue(QObject* sender)
{
    (void)sender;
    if (_delegate)
        _delegate->keyboardViewDidAcceptAndContinue(this);
}

// ---- addresses ----

QStringList SNP_KeyboardView::values()
{
    _nextTextView = _email1;
    QStringList result;
    for (QObject* child : children()) {
        auto* field = qobject_cast<QLineEdit*>(child);
        if (!field || field->text().isEmpty())
            continue;
        result.append(field->text());
        field->clear();
    }
    return result;
}

void SNP_KeyboardView::setValues(const QStringList& values)
{
    // A rejected address stays in its field to be corrected (emptying it would leave the
    // visitor to type it all again); the next focus walk starts at the first of them.
    QLineEdit* fields[] = {_email1, _email2, _email3, _email4};
    const int n = static_cast<int>(std::min<qsizetype>(values.size(), 4));
    for (int i = n - 1; i >= 0; --i) {
        fields[i]->setText(values.at(i));
        if (!SNP_Log::validateEmailAddress(values.at(i)))
            _nextTextView = fields[i];
    }
}

// ---- focus ----

QWidget* SNP_KeyboardView::nextKeyView(QWidget* view) const
{
    // The fields' key-view order: 1, 2, 3, 4, then the accept key.
    if (view == _email1)
        return _email2;
    if (view == _email2)
        return _email3;
    if (view == _email3)
        return _email4;
    if (view == _email4)
        return _goButton;
    return nullptr;
}

QWidget* SNP_KeyboardView::nextEmailForTextField(QWidget* view) const
{
    // Each field is visited at most twice before the walk is back at its start; the bound
    // only guards against a start that is not one of the fields.
    for (int steps = 0; steps < 16; ++steps) {
        auto* field = qobject_cast<QLineEdit*>(view);
        if (!field)
            return view;
        if (!SNP_Log::validateEmailAddress(field->text()))
            return field;
        view = nextKeyView(view);
        if (view == _nextTextView)
            return view;
        if (!qobject_cast<QLineEdit*>(view)) {
            view = _email1;
            if (view == _nextTextView)
                return view;
        }
    }
    return _nextTextView;
}

void SNP_KeyboardView::nextFirstResponder(QObject* sender)
{
    (void)sender; // the fields all live in the keyboard's own window
    QWidget* next = nextEmailForTextField(_nextTextView);
    if (auto* field = qobject_cast<QLineEdit*>(next))
        focusField(field);
    else if (next)
        next->setFocus(Qt::OtherFocusReason);
}

void SNP_KeyboardView::controlTextDidBeginEditing(QLineEdit* field)
{
    QWidget* next = nextKeyView(field);
    auto* nextField = qobject_cast<QLineEdit*>(next);
    _nextTextView = nextField ? nextField : _email1;
}

void SNP_KeyboardView::beginEditingIfNeeded(QLineEdit* field)
{
    if (!field || field == _editingField)
        return;
    _editingField = field;
    _currentField = field;
    controlTextDidBeginEditing(field);
}

void SNP_KeyboardView::focusField(QLineEdit* field)
{
    if (!field)
        return;
    if (field != _currentField)
        _editingField = nullptr;
    _currentField = field;
    field->setFocus(Qt::OtherFocusReason);
    field->end(false);
}

// ---- lookups ----

QLineEdit* SNP_KeyboardView::emailField(int index) const
{
    switch (index) {
    case 0: return _email1;
    case 1: return _email2;
    case 2: return _email3;
    case 3: return _email4;
    default: return nullptr;
    }
}

QList<QLineEdit*> SNP_KeyboardView::emailFields() const { return {_email1, _email2, _email3, _email4}; }

QPushButton* SNP_KeyboardView::keyButtonForText(const QString& text) const
{
    for (QPushButton* key : _keys)
        if (key->objectName() == text)
            return key;
    for (QPushButton* key : _keys) {
        const QString typed = key->property("keyText").toString();
        if (!typed.isEmpty() && typed.compare(text, Qt::CaseInsensitive) == 0)
            return key;
    }
    return nullptr;
}

QLineEdit* SNP_KeyboardView::focusedField() const
{
    if (QWidget* focus = window() ? window()->focusWidget() : nullptr)
        if (auto* field = qobject_cast<QLineEdit*>(focus); field && emailFields().contains(field))
            return field;
    return _currentField;
}
