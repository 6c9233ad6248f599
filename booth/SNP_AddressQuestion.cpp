#include "SNP_AddressQuestion.h"

#include "SNP_Log.h"
#include "SNP_Resources.h"

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QWidget>

#include <algorithm>
#include <utility>

void SNP_AddressQuestion::ask(QWidget* touchView, const QStringList& addresses, int index, const QString& suggestion)
{
    SNP_Log::debugf("asking the visitor about %s: did they mean %s?",
                    qUtf8Printable(SNP_Log::maskedAddress(addresses.value(index))),
                    qUtf8Printable(SNP_Log::maskedAddress(suggestion)));
    _questionedAddresses = addresses;
    _questionedIndex = index;
    _suggestion = suggestion;
    if (!_widget)
        build(touchView);
    const QString typed = addresses.value(index);
    _widget->findChild<QLabel*>(QStringLiteral("_addressQuestionText"))
        ->setText(QStringLiteral("Did you mean %1?").arg(suggestion));
    _widget->findChild<QPushButton*>(QStringLiteral("_takeSuggestionButton"))
        ->setText(QStringLiteral("Yes: %1").arg(suggestion));
    _widget->findChild<QPushButton*>(QStringLiteral("_keepAddressButton"))
        ->setText(QStringLiteral("No, keep %1").arg(typed));
}

void SNP_AddressQuestion::build(QWidget* touchView)
{
    // Over the whole touch view, so that the one touch asked for is all there is to do.
    _widget = new QWidget(touchView);
    _widget->setObjectName(QStringLiteral("_addressQuestion"));
    _widget->setAttribute(Qt::WA_StyledBackground);
    _widget->setStyleSheet(QStringLiteral(
        "QWidget#_addressQuestion { background: rgba(20, 24, 38, 215); }"
        "QLabel { color: white; background: %1; font-family: 'DejaVu Sans'; font-weight: bold; }"
        "QPushButton { color: rgb(30, 30, 40); background: rgb(200, 200, 210); border: none;"
        " font-family: 'DejaVu Sans'; font-weight: bold; }"
        "QPushButton#_takeSuggestionButton { background: white; }")
                               .arg(QLatin1String(SNP_Resources::kAccentStyleColor)));
    auto* text = new QLabel(_widget);
    text->setObjectName(QStringLiteral("_addressQuestionText"));
    text->setAlignment(Qt::AlignCenter);
    text->setWordWrap(true);
    text->setTextFormat(Qt::PlainText);
    for (const auto& [name, take] : {std::pair{"_takeSuggestionButton", true}, {"_keepAddressButton", false}}) {
        auto* button = new QPushButton(_widget);
        button->setObjectName(QString::fromLatin1(name));
        button->setFocusPolicy(Qt::NoFocus);
        QObject::connect(button, &QPushButton::clicked, _widget, [this, take] { _answered(take); });
    }
}

void SNP_AddressQuestion::layout(const QRect& view, const QRect& stage)
{
    if (!_widget)
        return;
    _widget->setGeometry(view);
    const int unit = std::max(1, std::min(stage.width(), stage.height()));
    const int width = int(0.8 * stage.width());
    const int textHeight = int(0.22 * unit);
    const int buttonHeight = int(0.14 * unit);
    const int gap = int(0.03 * unit);
    const int top = stage.center().y() - (textHeight + gap + buttonHeight) / 2;
    const int left = stage.center().x() - width / 2;
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setBold(true);
    if (auto* text = _widget->findChild<QLabel*>(QStringLiteral("_addressQuestionText"))) {
        text->setGeometry(left, top, width, textHeight);
        font.setPixelSize(std::max(10, int(0.06 * unit)));
        text->setFont(font);
        text->setMargin(gap / 2);
    }
    // Both answers in one type size, as large as lets the longer one fit its button.
    const int half = (width - gap) / 2;
    const QList<QPushButton*> buttons{_widget->findChild<QPushButton*>(QStringLiteral("_takeSuggestionButton")),
                                      _widget->findChild<QPushButton*>(QStringLiteral("_keepAddressButton"))};
    int size = std::max(10, int(0.04 * unit));
    for (; size > 10; size = size * 9 / 10) {
        font.setPixelSize(size);
        const QFontMetrics metrics(font);
        if (std::all_of(buttons.begin(), buttons.end(), [&](const QPushButton* b) {
                return !b || metrics.horizontalAdvance(b->text()) <= half - gap;
            }))
            break;
    }
    font.setPixelSize(size);
    for (int i = 0; i < buttons.size(); ++i) {
        if (!buttons[i])
            continue;
        buttons[i]->setGeometry(left + i * (half + gap), top + textHeight + gap, half, buttonHeight);
        buttons[i]->setFont(font);
    }
}

void SNP_AddressQuestion::show()
{
    _widget->show();
    _widget->raise();
}

std::optional<QStringList> SNP_AddressQuestion::answer(bool takeSuggestion)
{
    if (_questionedIndex < 0 || _questionedIndex >= _questionedAddresses.size())
        return std::nullopt;
    QStringList addresses = _questionedAddresses;
    QString& address = addresses[_questionedIndex];
    SNP_Log::debugf(takeSuggestion ? "the visitor took %s for %s" : "the visitor kept %s (not %s)",
                    qUtf8Printable(SNP_Log::maskedAddress(takeSuggestion ? _suggestion : address)),
                    qUtf8Printable(SNP_Log::maskedAddress(takeSuggestion ? address : _suggestion)));
    if (takeSuggestion)
        address = _suggestion;
    else
        _keptAddresses << address;
    _questionedAddresses.clear();
    _questionedIndex = -1;
    _suggestion.clear();
    if (_widget)
        _widget->hide();
    return addresses;
}

void SNP_AddressQuestion::forget()
{
    _keptAddresses.clear();
    _questionedAddresses.clear();
    _questionedIndex = -1;
    if (_widget)
        _widget->hide();
}
