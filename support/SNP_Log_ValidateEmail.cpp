// The e-mail address check used by the keyboard screen's accept key.
//
// The pattern was written for ICU's regular-expression syntax; QRegularExpression runs
// PCRE2. Every construct it uses reads the same in both engines, so it is used unchanged:
//  - "\&" and "\^" inside a bracketed class are a literal '&' and '^' in both (PCRE2 takes
//    any escaped non-alphanumeric character literally; in ICU the escape keeps '&' from
//    starting a set operation);
//  - the backtick, '{', '|', '}', '/', '$', '#' and '%' are plain characters inside a class;
//    a '-' at the end of a class is literal in both;
//  - "\xhh" is a two-digit hexadecimal code point in both; "\\" is one backslash;
//  - no class holds an unescaped '[' (which ICU would read as a nested set);
//  - "\[" and "\]" outside/at the end of a class are literal brackets; "{3}" repeats.
// The range "\x53-\x7f" in the address-literal text class is kept exactly as the pattern
// has it (it reaches down to 'S', so it also takes '[', '\' and ']').
// Matching is case-sensitive and must cover the whole string: anchoredPattern() wraps the
// pattern in \A(?:...)\z.
//
// An address is at most 254 characters long (the longest path a mail server accepts);
// anything longer is refused before the expression runs, so hostile input cannot make the
// match take long.
#include "SNP_Log.h"

#include <QRegularExpression>

namespace {

constexpr qsizetype kMaxEmailLength = 254;

QString emailPattern()
{
    // Three pieces joined by one double-quote character each.
    static const QString piece1 = QStringLiteral(
        R"((?:[a-z0-9!#$%\&'*+/=?\^_`{|}~-]+(?:\.[a-z0-9!#$%\&'*+/=?\^_`{|}~-]+)*|)");
    static const QString piece2 = QStringLiteral(
        R"((?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*)");
    static const QString piece3 = QStringLiteral(
        R"()@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))");
    return piece1 + QLatin1Char('"') + piece2 + QLatin1Char('"') + piece3;
}

const QRegularExpression& emailExpression()
{
    static const QRegularExpression expression(QRegularExpression::anchoredPattern(emailPattern()));
    return expression;
}

} // namespace

// The log names the visitor's address once per pass, where it is accepted; this check runs
// for every field and every picture, so it shows the address masked.
QString SNP_Log::maskedAddress(const QString& address)
{
    if (address.isEmpty())
        return address;
    const qsizetype at = address.lastIndexOf(u'@');
    return address.left(1) + QStringLiteral("***") + (at > 0 ? address.mid(at) : QString());
}

QStringList SNP_Log::maskedAddresses(const QStringList& addresses)
{
    QStringList masked;
    masked.reserve(addresses.size());
    for (const QString& address : addresses)
        masked << maskedAddress(address);
    return masked;
}

bool SNP_Log::validateEmailAddress(const QString& candidate)
{
    debugf("Passed emailAddress=[%s] with length=[%lld]...", qUtf8Printable(maskedAddress(candidate)),
           static_cast<long long>(candidate.size()));
    if (candidate.size() > kMaxEmailLength) {
        debugf("Refused an e-mail address of %lld characters: longer than %lld",
               static_cast<long long>(candidate.size()), static_cast<long long>(kMaxEmailLength));
        return false;
    }

    const QRegularExpression& expression = emailExpression();
    if (!expression.isValid()) {
        err(QStringLiteral("The e-mail address expression does not compile: %1")
                .arg(expression.errorString()));
        return false;
    }
    return expression.match(candidate).hasMatch();
}
