#include "SNP_MailAttachment.h"

#include "SNP_ImagePipeline.h"
#include "SNP_Log.h"
#include "SNP_XMLinEXIF.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <turbojpeg.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

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

QString errnoText(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

struct Fd {
    int fd;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

struct Decoder {
    tjhandle handle = tjInitDecompress();
    ~Decoder()
    {
        if (handle)
            tjDestroy(handle);
    }
};

} // namespace

FileBytes readPicture(const QString& path)
{
    FileBytes result;
    const Fd file{::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    struct stat info {};
    if (file.fd < 0) {
        const int error = errno;
        result.passing = error != ENOENT && error != ENOTDIR && error != ELOOP;
        result.why = error == ELOOP ? QStringLiteral("it is a symbolic link")
                                    : QStringLiteral("cannot read the file: %1").arg(errnoText(error));
        return result;
    }
    if (::fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        result.why = QStringLiteral("it is not a plain file");
        return result;
    }
    if (info.st_size > kMaxUploadBytes) {
        result.why = QStringLiteral("the file is larger than %1 MiB").arg(kMaxUploadBytes >> 20);
        return result;
    }
    QByteArray bytes(qsizetype(info.st_size), Qt::Uninitialized);
    qsizetype got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(file.fd, bytes.data() + got, size_t(bytes.size() - got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            result.passing = true;
            result.why = QStringLiteral("cannot read the file: %1").arg(errnoText(errno));
            return result;
        }
        if (n == 0)
            break; // it shrank meanwhile: what is there is looked at
        got += n;
    }
    bytes.truncate(got);
    result.bytes = bytes;
    return result;
}

Wholeness wholeness(const QByteArray& jpeg, QString* why)
{
    const auto* data = reinterpret_cast<const unsigned char*>(jpeg.constData());
    if (jpeg.size() < 3 || data[0] != 0xFF || data[1] != 0xD8 || data[2] != 0xFF) {
        *why = QStringLiteral("it is not a JPEG picture");
        return Wholeness::NotJpeg;
    }
    Decoder decoder;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (!decoder.handle
        || tjDecompressHeader3(decoder.handle, data, (unsigned long)jpeg.size(), &width, &height, &subsampling,
                               &colorspace) != 0) {
        *why = QStringLiteral("its JPEG header cannot be read (%1)")
                   .arg(QString::fromLocal8Bit(tjGetErrorStr2(decoder.handle)));
        return Wholeness::Incomplete;
    }
    if (jpeg.endsWith("\xff\xd9"))
        return Wholeness::Whole;
    // The smallest reduction libjpeg-turbo offers: every byte is still read and decoded,
    // but hardly any pixel is made.
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    tjscalingfactor smallest{1, 1};
    for (int i = 0; factors && i < count; ++i)
        if (factors[i].num * smallest.denom < smallest.num * factors[i].denom)
            smallest = factors[i];
    const int w = TJSCALED(width, smallest), h = TJSCALED(height, smallest);
    const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
    std::vector<unsigned char> pixels(size_t(w) * size_t(h) * (cmyk ? 4 : 1));
    if (tjDecompress2(decoder.handle, data, (unsigned long)jpeg.size(), pixels.data(), w, 0, h,
                      cmyk ? TJPF_CMYK : TJPF_GRAY, TJFLAG_STOPONWARNING | TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE)
        != 0) {
        *why = QStringLiteral("it does not decode to its end (%1)")
                   .arg(QString::fromLocal8Bit(tjGetErrorStr2(decoder.handle)));
        return Wholeness::Incomplete;
    }
    return Wholeness::Whole;
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
    result.listed = dictionary->value(QBEmailsForUpload);
    if (result.listed.typeId() != QMetaType::QVariantList && result.listed.typeId() != QMetaType::QStringList) {
        result.problem = QStringLiteral("the property list has no %1 list").arg(QBEmailsForUpload);
        return result;
    }
    const QVariantList list = result.listed.toList();
    if (list.size() > kMaxAddresses) {
        result.problem = QStringLiteral("its address list holds %1 entries; the booth takes at most %2")
                             .arg(list.size())
                             .arg(kMaxAddresses);
        return result;
    }
    for (const QVariant& entry : list) {
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

std::optional<QString> filedPicturePath(const QString& uploadRelativePath, QString* why)
{
    // <day folder without its leading "/">/<name>Comp[-N].<extension>
    static const QRegularExpression booths(QStringLiteral("^(.+)/([^/]+)Comp(?:-[0-9]+)?\\.([^./]*)$"));
    const QRegularExpressionMatch match = booths.match(uploadRelativePath);
    if (!match.hasMatch()) {
        *why = QStringLiteral("its name is not one the booth gives an upload file");
        return std::nullopt;
    }
    const QString extension = match.captured(3);
    return QDir::cleanPath(u'/' + match.captured(1)) + u'/' + match.captured(2)
           + (extension.isEmpty() ? QString() : u'.' + extension);
}

FileBytes fullPicture(const QString& filedPath, const QVariant& uploadList, const QStringList& addresses,
                      int maxSide)
{
    FileBytes result = readPicture(filedPath);
    const QString problem = [&]() -> QString {
        if (!result.bytes)
            return result.why;
        QString why;
        if (wholeness(*result.bytes, &why) != Wholeness::Whole)
            return QStringLiteral("it is not whole: ") + why;
        if (addressesIn(*result.bytes).listed != uploadList)
            return QStringLiteral("it does not carry the upload file's addresses");
        if (!(result.bytes = withoutAddresses(*result.bytes, addresses, &why)))
            return why;
        if (maxSide > 0 && !(result.bytes = SNP_ImagePipeline::scaledJpeg(*result.bytes, maxSide)))
            return QStringLiteral("it cannot be scaled down");
        return QString();
    }();
    if (!problem.isEmpty()) {
        result.bytes.reset();
        result.why = QStringLiteral("the filed picture %1 cannot be attached: %2").arg(filedPath, problem);
    }
    return result;
}

} // namespace SNP_MailAttachment
