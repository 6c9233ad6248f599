// The domains of common mail providers (gmail.com, outlook.com, gmx.de ...) and the question
// an address one slip away from one of them gets: "Did you mean ...?". The list is the
// resource "maildomains.txt" (one domain a line, "#" begins a comment): the stock list, and
// the file of that name in the event's "resourceFolder", which adds to it.
//
// Threads: any thread; the lists are read at each question (they are a few lines).
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

namespace SNP_MailDomains {

// The known domains, in lower case: the stock list first, then the event's.
QStringList knownDomains();

// Whether a and b are exactly one edit apart: a letter inserted, deleted or replaced, or two
// neighbouring letters swapped.
bool oneEditApart(const QString& a, const QString& b);

// The address with the known domain it was most likely meant to have, when its domain is
// not known but one edit away from a known one ("anna@gmial.com" -> "anna@gmail.com",
// "anna@gmail.con" -> "anna@gmail.com"); none otherwise.
std::optional<QString> suggestionFor(const QString& address);

} // namespace SNP_MailDomains
