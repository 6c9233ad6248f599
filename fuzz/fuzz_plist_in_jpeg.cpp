// Reading the property list back out of a JPEG, from any bytes.
//
// Every input is read as a whole as a picture (propertyListObjectForJpegData and the
// booth's dictionary reading) and as a property list (XML or binary). Two prefixes wrap
// the rest of the input into a valid small JPEG first, so that the fuzzer reaches the
// inner layers at once:
//   'C' + bytes: the bytes are the raw EXIF user comment (header and text);
//   'E' + bytes: the bytes are the picture's whole EXIF block (a TIFF structure).
// Whatever is read must serialise again and survive a round trip, through XML and through
// embedding into a JPEG.
#include "FuzzSupport.h"
#include "PlistCompare.h"

#include "SNP_ExifIO.h"
#include "SNP_ImagePipeline.h"
#include "SNP_XMLinEXIF.h"

#include <QImage>

namespace {

QByteArray& basePicture()
{
    static QByteArray jpeg;
    return jpeg;
}

void checkObject(const QVariant& object)
{
    const auto xml = SNP_XMLinEXIF::xmlDataForPropertyListObject(object);
    FUZZ_CHECK(xml.has_value());
    const auto again = SNP_XMLinEXIF::propertyListObjectForData(*xml);
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(FuzzSupport::samePropertyList(object, *again));

    const auto embedded = SNP_XMLinEXIF::jpegDataWithPropertyListObject(object, basePicture());
    if (!embedded)
        return; // refused and logged (for instance a comment too large for an EXIF block)
    const auto readBack = SNP_XMLinEXIF::propertyListObjectForJpegData(*embedded);
    FUZZ_CHECK(readBack.has_value());
    FUZZ_CHECK(FuzzSupport::samePropertyList(object, *readBack));
}

void readPicture(const QByteArray& jpeg)
{
    const auto object = SNP_XMLinEXIF::propertyListObjectForJpegData(jpeg);
    const auto dictionary = SNP_XMLinEXIF::propertyListDictionaryForJpegData(jpeg);
    FUZZ_CHECK(dictionary.has_value() == (object && object->typeId() == QMetaType::QVariantMap));
    if (object)
        checkObject(*object);
}

QByteArray pictureWithUserComment(const QByteArray& comment)
{
    auto contents = SNP_ExifIO::readExif(basePicture(), "fuzz");
    FUZZ_CHECK(contents.has_value());
    try {
        Exiv2::Value::AutoPtr value = Exiv2::Value::create(Exiv2::undefined);
        value->read(reinterpret_cast<const Exiv2::byte*>(comment.constData()), static_cast<long>(comment.size()),
                    contents->byteOrder);
        contents->exif.add(Exiv2::ExifKey("Exif.Photo.UserComment"), value.get());
    } catch (...) {
        return QByteArray();
    }
    return SNP_ExifIO::writeExif(basePicture(), *contents, "fuzz").value_or(QByteArray());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    FuzzSupport::startApplication();
    QImage image(16, 16, QImage::Format_RGB888);
    image.fill(QColor(200, 120, 40));
    const auto jpeg = SNP_ImagePipeline::encodeJpeg(image, 90);
    FUZZ_CHECK(jpeg.has_value());
    // A picture with ordinary EXIF entries, as the camera writes them.
    auto contents = SNP_ExifIO::readExif(*jpeg, "fuzz");
    FUZZ_CHECK(contents.has_value());
    contents->exif["Exif.Image.Make"] = "Canon";
    contents->exif["Exif.Image.Model"] = "Canon EOS 5D Mark II";
    contents->exif["Exif.Photo.DateTimeOriginal"] = "2026:12:06 12:00:00";
    const auto withExif = SNP_ExifIO::writeExif(*jpeg, *contents, "fuzz");
    FUZZ_CHECK(withExif.has_value());
    basePicture() = *withExif;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray input = FuzzSupport::bytes(data, size);
    readPicture(input);
    if (const auto object = SNP_XMLinEXIF::propertyListObjectForData(input))
        checkObject(*object);

    if (size >= 1 && data[0] == 'C') {
        const QByteArray picture = pictureWithUserComment(input.mid(1));
        if (!picture.isEmpty())
            readPicture(picture);
    } else if (size >= 1 && data[0] == 'E') {
        if (const auto picture = SNP_ImagePipeline::jpegWithExifBlock(basePicture(), input.mid(1)))
            readPicture(*picture);
    }
    return 0;
}
