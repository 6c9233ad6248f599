#include "SNP_MailAttachment.h"

#include "SNP_Log.h"
#include "SNP_XMLinEXIF.h"

#include <QFile>
#include <QVariant>

namespace SNP_MailAttachment {

namespace {

bool hasUnsafeCharacter(const QString& address)
{
    static const QString unsafe = QStringLiteral("\" ,<>();\\");
    for (const QChar c : address)
        if (c.unicode() < 0x21 || c.unicode() >= 0x7f || unsafe.contains(c))
            return true;
    return false;
}

} // namespace

std::optional<QByteArray> readUpload(const QString& path, QString* why)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("cannot read the file: %1").arg(file.errorString());
        return std::nullopt;
    }
    if (file.size() > kMaxUploadBytes) {
        *why = QStringLiteral("the file is larger than %1 MiB").arg(kMaxUploadBytes >> 20);
        return std::nullopt;
    }
    return file.readAll();
}

bool isDeliverable(const QString& address, QString* why)
{
    if (hasUnsafeCharacter(address)) {
        *why = QStringLiteral("not a plain e-mail address (quotes, blanks or special characters)");
        return false;
    }
    if (!SNP_Log::validateEmailAddress(address)) {
        *why = QStringLiteral("not a valid e-mail address");
        return false;
    }
    return true;
}

Addresses addressesIn(const QByteArray& jpeg)
{
    Addresses result;
    const auto dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegData(jpeg);
    if (!dictionary) {
        result.problem = QStringLiteral("the picture carries no property list in its EXIF user comment");
        return result;
    }
    const QVariant list = dictionary->value(QBEmailsForUpload);
    if (list.typeId() != QMetaType::QVariantList && list.typeId() != QMetaType::QStringList) {
        result.problem = QStringLiteral("the property list has no %1 list").arg(QBEmailsForUpload);
        return result;
    }
    for (const QVariant& entry : list.toList()) {
        const QString address = entry.toString().trimmed();
        QString why;
        if (entry.typeId() != QMetaType::QString)
            result.refused << std::pair(SNP_XMLinEXIF::describe(entry).left(200), QStringLiteral("not a text"));
        else if (!isDeliverable(address, &why))
            result.refused << std::pair(address.left(300), why);
        else if (!result.deliverable.contains(address))
            result.deliverable << address;
    }
    if (result.deliverable.isEmpty())
        result.problem = result.refused.isEmpty() ? QStringLiteral("the address list is empty")
                                                  : QStringLiteral("none of its %1 addresses can be sent to")
                                                        .arg(result.refused.size());
    return result;
}

std::optional<QByteArray> withoutAddresses(const QByteArray& jpeg, const QStringList& addresses, QString* why)
{
    const auto stripped = SNP_XMLinEXIF::jpegDataWithoutPropertyList(jpeg);
    if (!stripped) {
        *why = QStringLiteral("the picture's EXIF data cannot be rewritten without the addresses");
        return std::nullopt;
    }
    // Belt and braces: an address anywhere in the bytes (another metadata block, say)
    // means the picture is not sent at all.
    const QByteArray lowered = stripped->toLower();
    for (const QString& address : addresses) {
        if (!address.isEmpty() && lowered.contains(address.toLower().toUtf8())) {
            *why = QStringLiteral("an address is still in the picture after its user comment was removed");
            return std::nullopt;
        }
    }
    return stripped;
}

} // namespace SNP_MailAttachment
