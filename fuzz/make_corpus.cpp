// Writes the seed corpora of the fuzz targets with the booth's own code:
//   booth_fuzz_make_corpus <folder>   (the folder that holds plist_in_jpeg/, liveview_frame/
//                                      and preferences/)
// Pictures are small (a few hundred bytes to a few KiB) so that the corpora stay cheap.
#include "SNP_ExifIO.h"
#include "SNP_ImagePipeline.h"
#include "SNP_XMLinEXIF.h"

#include <QBuffer>
#include <QColor>
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QImageWriter>
#include <QPainter>
#include <QTimeZone>

#include <cstdio>
#include <cstdlib>

namespace {

QString gRoot;

void put(const char* target, const char* name, const QByteArray& bytes)
{
    const QString folder = gRoot + u'/' + QLatin1String(target);
    QDir().mkpath(folder);
    QFile file(folder + u'/' + QLatin1String(name));
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s/%s\n", target, name);
        std::exit(1);
    }
}

template <typename T>
T need(std::optional<T> value, const char* what)
{
    if (!value) {
        std::fprintf(stderr, "cannot make %s\n", what);
        std::exit(1);
    }
    return *value;
}

QImage picture(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB888);
    QPainter painter(&image);
    for (int x = 0; x < width; x += 8)
        painter.fillRect(x, 0, 8, height, QColor::fromHsv((x * 7) % 360, 200, 220));
    painter.fillRect(width / 4, height / 4, width / 2, height / 2, QColor(239, 142, 35));
    return image;
}

QByteArray withComment(const QByteArray& jpeg, const QByteArray& comment)
{
    auto contents = need(SNP_ExifIO::readExif(jpeg, "corpus"), "EXIF data");
    Exiv2::Value::AutoPtr value = Exiv2::Value::create(Exiv2::undefined);
    value->read(reinterpret_cast<const Exiv2::byte*>(comment.constData()), static_cast<long>(comment.size()),
                contents.byteOrder);
    contents.exif.add(Exiv2::ExifKey("Exif.Photo.UserComment"), value.get());
    return need(SNP_ExifIO::writeExif(jpeg, contents, "corpus"), "a picture with a comment");
}

QByteArray utf16le(const QByteArray& utf8)
{
    const QString text = QString::fromUtf8(utf8);
    QByteArray out;
    for (QChar c : text) {
        out.append(char(c.unicode() & 0xFF));
        out.append(char(c.unicode() >> 8));
    }
    return out;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <corpus folder>\n", argv[0]);
        return 2;
    }
    gRoot = QString::fromLocal8Bit(argv[1]);

    // ---- property list in a JPEG ----
    const QByteArray plain = need(SNP_ImagePipeline::encodeJpeg(picture(32, 24), 90), "a JPEG");
    auto contents = need(SNP_ExifIO::readExif(plain, "corpus"), "EXIF data");
    contents.exif["Exif.Image.Make"] = "Canon";
    contents.exif["Exif.Image.Model"] = "Canon EOS 5D Mark II";
    contents.exif["Exif.Photo.DateTimeOriginal"] = "2026:12:06 12:00:00";
    contents.exif["Exif.Photo.ExposureTime"] = Exiv2::URational(1, 125);
    const QByteArray camera = need(SNP_ExifIO::writeExif(plain, contents, "corpus"), "a camera JPEG");

    const QVariantMap addresses{{QBEmailsForUpload, QStringList{"anna@example.com", "bob.smith@example.org"}}};
    const QVariantMap everything{
        {QBEmailsForUpload, QStringList{"one@example.com"}},
        {"count", 42},
        {"negative", -7},
        {"ratio", 0.9},
        {"flag", true},
        {"when", QDateTime(QDate(2026, 12, 6), QTime(12, 0, 0), QTimeZone::utc())},
        {"bytes", QByteArray("\x00\x01\xfe\xff", 4)},
        {"nested", QVariantList{QVariantMap{{"a", QVariantList{}}}, QString()}},
    };
    const QByteArray xml = need(SNP_XMLinEXIF::xmlDataForPropertyListObject(everything), "XML");
    const QByteArray binary = need(SNP_XMLinEXIF::binaryDataForPropertyListObject(everything), "binary plist");
    const QByteArray addressXml = need(SNP_XMLinEXIF::xmlDataForPropertyListObject(addresses), "XML");
    const QByteArray ascii("ASCII\0\0\0", 8);
    const QByteArray unicode("UNICODE\0", 8);

    put("plist_in_jpeg", "jpeg_with_addresses.jpg",
        need(SNP_XMLinEXIF::jpegDataWithPropertyListObject(addresses, camera), "embedding"));
    put("plist_in_jpeg", "jpeg_camera_no_comment.jpg", camera);
    put("plist_in_jpeg", "jpeg_no_exif.jpg", plain);
    put("plist_in_jpeg", "jpeg_unicode_comment.jpg", withComment(camera, unicode + utf16le(addressXml)));
    put("plist_in_jpeg", "jpeg_binary_plist_comment.jpg", withComment(camera, ascii + binary));
    put("plist_in_jpeg", "jpeg_array_comment.jpg",
        withComment(camera, ascii + need(SNP_XMLinEXIF::xmlDataForPropertyListObject(QVariantList{1, "x"}), "XML")));
    put("plist_in_jpeg", "jpeg_text_comment.jpg", withComment(camera, ascii + "just a remark"));
    put("plist_in_jpeg", "plist_all_kinds.xml", xml);
    put("plist_in_jpeg", "plist_all_kinds.bplist", binary);
    put("plist_in_jpeg", "comment_ascii_xml.bin", 'C' + ascii + addressXml);
    put("plist_in_jpeg", "comment_unicode_xml.bin", 'C' + unicode + utf16le(addressXml));
    put("plist_in_jpeg", "comment_no_header_binary.bin", 'C' + binary);
    put("plist_in_jpeg", "exif_block_with_addresses.bin",
        'E' + need(SNP_ImagePipeline::exifBlockOfJpeg(
                  need(SNP_XMLinEXIF::jpegDataWithPropertyListObject(addresses, camera), "embedding")),
              "EXIF block"));

    // ---- live-view frames (the front of the frame buffer) ----
    const QByteArray frame = need(SNP_ImagePipeline::encodeJpeg(picture(64, 48), 80), "a frame");
    QByteArray progressive;
    {
        QBuffer buffer(&progressive);
        buffer.open(QIODevice::WriteOnly);
        QImageWriter writer(&buffer, "jpeg");
        writer.setProgressiveScanWrite(true);
        writer.setOptimizedWrite(true);
        writer.setQuality(70);
        writer.write(picture(40, 30));
    }
    QByteArray noise(300, '\0');
    unsigned state = 12345;
    for (char& c : noise) {
        state = state * 1103515245u + 12345u;
        c = char(state >> 16);
    }
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        picture(8, 8).save(&buffer, "PNG");
    }
    put("liveview_frame", "frame_baseline.jpg", frame);
    put("liveview_frame", "frame_then_zeros.bin", frame + QByteArray(512, '\0'));
    put("liveview_frame", "frame_then_older_frame_tail.bin", frame + frame.mid(frame.size() / 2));
    put("liveview_frame", "frame_truncated.bin", frame.left(frame.size() / 2));
    put("liveview_frame", "frame_progressive.jpg", progressive);
    put("liveview_frame", "frame_with_exif.jpg", camera);
    put("liveview_frame", "frame_garbage.bin", noise);
    put("liveview_frame", "frame_png.bin", png);

    // ---- command line and stored user defaults ----
    const QByteArray nul(1, '\0');
    put("preferences", "args_count.txt", "-touchScreenCountValue\n30");
    put("preferences", "args_count_huge.txt", "-touchScreenCountValue\n4294967296");
    put("preferences", "args_count_negative.txt", "-touchScreenCountValue\n-1");
    put("preferences", "args_count_words.txt", "-touchScreenCountValue\nten seconds");
    put("preferences", "args_folders.txt",
        "-mainImagesFolder\n/srv/booth/pictures/\n-forUploadFolder\n/srv/booth/upload\n-scratchFolder\n/tmp/scratch");
    put("preferences", "args_relative_folder.txt", "-mainImagesFolder\npictures/today\n-forUploadFolder\n./upload");
    put("preferences", "args_missing_value.txt", "stray\n-forUploadFolder");
    put("preferences", "args_long_value.txt", "-scratchFolder\n/" + QByteArray(5000, 'a'));
    put("preferences", "args_backend.txt", "-cameraBackend\ngphoto2\n-\n--");
    put("preferences", "store_plain.txt",
        nul + "[General]\nscratchFolder=/var/booth/scratch\nmainImagesFolder=/var/booth/main\n"
              "forUploadFolder=/var/booth/upload\ntouchScreenCountValue=20\n");
    put("preferences", "store_bad.txt",
        "-touchScreenCountValue\n5" + nul
            + "[General]\nscratchFolder=relative/scratch\nmainImagesFolder=\nforUploadFolder=/a/../../b\n"
              "touchScreenCountValue=-3\n");
    put("preferences", "store_types.txt",
        nul + "[General]\nscratchFolder=@ByteArray(/x)\nmainImagesFolder=/a, /b\n"
              "forUploadFolder=@Variant(\\0\\0\\0\\n\\0\\0\\0\\x2/a)\ntouchScreenCountValue=1e30\n"
              "cameraBackend=@Invalid()\n");
    put("preferences", "store_escapes.txt",
        nul + "[General]\nscratchFolder=\"/with space/and\\\\backslash\"\nmainImagesFolder=/tab\\there\n"
              "touchScreenCountValue=99999999999999999999\n[Other]\nscratchFolder=/elsewhere\n");
    std::printf("corpora written to %s\n", argv[1]);
    return 0;
}
