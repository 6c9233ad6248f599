// "Did you mean ...?": the question about one address of the visitor's entry whose domain
// is a slip away from a common provider's, shown over the whole touch view with its two
// answers (take the suggestion, keep what was typed), the entry it is about, and the
// addresses this visitor was asked about and kept as typed. Main thread only.
#pragma once

#include <QPointer>
#include <QRect>
#include <QStringList>

#include <functional>
#include <optional>

class QWidget;

class SNP_AddressQuestion {
public:
    // answered is called with the visitor's answer (true: the suggestion is taken).
    explicit SNP_AddressQuestion(std::function<void(bool takeSuggestion)> answered) : _answered(std::move(answered)) {}

    // The question over touchView about addresses[index], suggesting suggestion; shown by show().
    void ask(QWidget* touchView, const QStringList& addresses, int index, const QString& suggestion);
    void show();
    // Lays the question out over the view, its text and answers centred on stage (the touch
    // picture's area).
    void layout(const QRect& view, const QRect& stage);
    // The answer: the entry with the suggestion taken or the address kept, and the question
    // gone; none when no question is asked.
    std::optional<QStringList> answer(bool takeSuggestion);
    // Asked about and kept as typed by this visitor.
    bool kept(const QString& address) const { return _keptAddresses.contains(address); }
    // A new visitor: no question, nothing kept.
    void forget();

private:
    void build(QWidget* touchView);

    std::function<void(bool)> _answered;
    QPointer<QWidget> _widget;  // "_addressQuestion", over the touch view
    QStringList _questionedAddresses;
    int _questionedIndex = -1;
    QString _suggestion;
    QStringList _keptAddresses;
};
