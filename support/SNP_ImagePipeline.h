// Picture work for filing and for the screen: JPEG decoding (full size, reduced in the DCT,
// or once into its planes for both the screen and the re-encoding), encoding, live-view
// frames decoded for the screen, EXIF blocks moved between JPEG files without touching
// pixels, the composite of a photo with the event frame, and file writing that never
// leaves a partial file or overwrites a filed picture.
//
// Threads: the functions may run on any thread; their only state is the large buffers they
// keep from one picture to the next (behind a lock) and a switch the tests use. The two
// classes say in their comments who may call them. Failures are results (an empty
// optional, a null image or a FileResult with ok == false), each logged through SNP_Log
// unless said otherwise; no exception leaves these functions.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>
#include <optional>

namespace SNP_ImagePipeline {

// JPEG quality the booth encodes with (the 0.9 compression factor of the filing steps).
inline constexpr int kJpegQuality = 90;

// The photo window inside the composite.
inline constexpr int kPhotoWindowWidth = 568;
inline constexpr int kPhotoWindowHeight = 354;

struct JpegHeader {
    int width = 0;
    int height = 0;
    int subsampling = 0; // a TJSAMP value
    int colorspace = 0;  // a TJCS value
};

// Width, height and sampling of a JPEG, from its header only.
std::optional<JpegHeader> readJpegHeader(const QByteArray& jpeg);

// Decodes the whole picture at full size into an RGB888 image.
std::optional<QImage> decodeJpeg(const QByteArray& jpeg);

// Decodes the picture reduced in the DCT (1/8, 1/4, 3/8, 1/2 ... of the full size): the
// smallest reduction that is still at least minSize in both directions (the full size
// when the picture is smaller than that). Far cheaper than a full decode.
std::optional<QImage> decodeJpegScaled(const QByteArray& jpeg, QSize minSize);

// Encodes an image as a baseline JPEG without metadata. subsampling < 0: 4:2:0.
std::optional<QByteArray> encodeJpeg(const QImage& image, int quality, int subsampling = -1);

// Decodes the picture and encodes it again at the given quality with its own chroma
// subsampling, holding only one full-size buffer (through DecodedJpeg when the file is
// coded in YCbCr or grey). No metadata is carried over.
std::optional<QByteArray> recompressJpeg(const QByteArray& jpeg, int quality);

struct JpegPlanes;
struct FramePool;

// A JPEG picture decoded once into its planes as the file codes them (luma and the two
// chroma planes at the file's own subsampling, or the one plane of a grey picture), before
// any colour conversion. The picture encoded again and the picture reduced for the screen
// both come from this one decode; encoding from the planes also spares the colour
// conversion and chroma resampling of a round trip through RGB. The full-size planes live
// in a buffer kept from one picture to the next.
//
// Threads: made on one thread, then read-only: several threads may use one at once (the
// booth encodes it on one while it takes the reduced picture on another).
class DecodedJpeg {
public:
    // None (logged) when the data is no whole JPEG picture, or one coded otherwise than in
    // YCbCr or grey (RGB- or CMYK-coded files go through recompressJpeg's RGB route). With
    // reducedAtLeast the picture is also reduced for the screen while it is decoded, each
    // row group as it comes (see reduced()).
    static std::shared_ptr<const DecodedJpeg> decode(const QByteArray& jpeg, QSize reducedAtLeast = QSize());
    ~DecodedJpeg();
    DecodedJpeg(const DecodedJpeg&) = delete;
    DecodedJpeg& operator=(const DecodedJpeg&) = delete;

    QSize size() const { return QSize(_width, _height); }
    // Encoded again at the quality with the file's own subsampling; no metadata.
    std::optional<QByteArray> encode(int quality) const;
    // The picture reduced by the largest whole factor (up to 256) that keeps it at least
    // reducedAtLeast in both directions (the full size when it is smaller): each pixel the
    // mean of a square of the planes' pixels, converted as a decoder converts, into the
    // 32-bit format screens draw (Format_RGB32). A null image when no reduction was asked
    // for or it cannot be made (logged).
    QImage reduced() const;

private:
    DecodedJpeg(std::unique_ptr<JpegPlanes> planes, int width, int height);
    std::unique_ptr<JpegPlanes> _planes;
    int _width = 0;
    int _height = 0;
};

// Decodes live-view frames one after another for the screen: straight into the 32-bit
// format screens draw (Format_RGB32, no conversion after the decoder), reduced by the
// decoder itself (its DCT scaling) when the frame is shown at half its size or less, into
// pixel buffers reused from frame to frame. A frame's buffer comes back for a later frame
// once the last copy of its image is gone.
//
// Threads: decode() on one thread at a time (the frame loop's); the images it makes may be
// used, copied and let go on any thread, also after the decoder has gone.
class FrameDecoder {
public:
    FrameDecoder();
    ~FrameDecoder();
    FrameDecoder(const FrameDecoder&) = delete;
    FrameDecoder& operator=(const FrameDecoder&) = delete;

    // The frame for a picture shown at shownSize pixels (empty: not known, the frame's own
    // size). A null image when the bytes are no whole JPEG picture (damaged, truncated) or
    // one wider or taller than 8192 pixels; not logged, as the caller counts its bad frames.
    QImage decode(const uchar* jpeg, size_t size, QSize shownSize);
    // The size a frame of frameSize is decoded at when shown at shownSize: the smallest of
    // the decoder's reductions (1/2, 3/8, 1/4, 1/8 ...) still at least shownSize in both
    // directions when shownSize is at most half the frame, else the frame's own size.
    static QSize decodedSize(QSize frameSize, QSize shownSize);
    // Pixel buffers made so far (reused ones not counted again).
    int buffersMade() const;

private:
    std::shared_ptr<FramePool> _pool;
    void* _handle = nullptr; // the decoder's tjhandle
};

// The EXIF block of a JPEG, as the bytes of its TIFF structure (without the "Exif\0\0"
// marker); read with Exiv2 from the bytes, no pixel is decoded. Empty optional when the
// data is no readable image; an empty QByteArray when the picture carries no EXIF data.
std::optional<QByteArray> exifBlockOfJpeg(const QByteArray& jpeg);

// Photo window for a composite of the given size: 568 x 354, centred, computed in single
// precision so that a half pixel is kept ((999 - 568) / 2 = 215.5). Being centred, the
// window is at the same place whether counted from the top or the bottom edge.
QRectF photoWindowForCompositeSize(QSizeF compositeSize);

// The frame image from a file, at its pixel size whatever resolution the file declares.
std::optional<QImage> loadFrameImage(const QString& path);

// The composite: an image of the frame's pixel size, the photo stretched (no aspect kept,
// nothing cropped) into the photo window, then the frame drawn over it source-over at full
// opacity. The photo is decoded reduced in the DCT to just above the window size.
std::optional<QImage> makeComposite(const QByteArray& photoJpeg, const QImage& frame);
// As above for a photo already decoded (at any size: it is stretched into the window).
std::optional<QImage> makeComposite(const QImage& photo, const QImage& frame);

// The composite encoded as JPEG (quality 90) carrying the EXIF data of exifSourceJpeg
// (the filed picture, with the addresses in its user comment). The pixel-dimension tags
// are set to the composite's size and the orientation to upright, as the composite is
// drawn upright; every other entry is kept as it is. A source without EXIF data gives a
// composite without EXIF data.
std::optional<QByteArray> compositeJpeg(const QByteArray& photoJpeg, const QImage& frame,
                                        const QByteArray& exifSourceJpeg);

// As compositeJpeg, for a composite already drawn (makeComposite).
std::optional<QByteArray> compositeJpegFromImage(const QImage& composite, const QByteArray& exifSourceJpeg);

// The picture scaled down so that its longer side is maxSide pixels (reduced in the DCT,
// then smooth-scaled), encoded at quality 90 with the source's EXIF data, the pixel
// dimension tags set to the new size; the source itself when it is no larger.
std::optional<QByteArray> scaledJpeg(const QByteArray& jpeg, int maxSide);

// The EXIF entries of a JPEG as "key = value" lines, for log lines; values longer than
// maxValueLength characters are cut. No pixel is decoded.
QString exifSummaryOfJpeg(const QByteArray& jpeg, int maxValueLength = 80);

// Replaces the metadata of a JPEG by the given EXIF block (TIFF structure bytes); an
// empty block removes EXIF data. Pixels are not touched.
std::optional<QByteArray> jpegWithExifBlock(const QByteArray& jpeg, const QByteArray& exifBlock);

struct FileResult {
    bool ok = false;
    int error = 0;   // errno of the failing call, 0 on success
    QString path;    // the file written or moved to (on success)
    QString message; // what failed, for the log and the caller
};

// Writes the bytes to a temporary file in the target's folder (".name.XXXXXX", locked with
// flock() until it is in place, with the mode and group of SNP_FileAccess), flushes it to
// disk, then renames it into place: over the target (replace == true), or only when no file has that
// name (replace == false: EEXIST when one does; where the file system refuses that rename,
// a link does the same). The file arrives whole under its name in one step, as an
// inotify IN_MOVED_TO; the folder is flushed after, so a file reported written survives a
// power cut. On any failure the temporary file is removed and nothing is left at the
// target that was not there before.
FileResult writeFileAtomically(const QString& path, const QByteArray& bytes, bool replace = true);

// A temporary file of writeFileAtomically that nobody is writing any more (its writer
// died with a power cut or a kill), opened for reading and locked: the caller may place or
// remove it, then closes the descriptor. -1 when it is still being written, gone, placed
// meanwhile, or not a regular file.
int openLeftoverTemporaryFile(const QByteArray& path);

// Called with the temporary file and the target once the file is written and flushed, just
// before it is renamed into place (null: nothing), on the writing thread: to stop a write
// there in tests.
void setPlacementHookForTesting(std::function<void(const QByteArray& temporary, const QByteArray& target)> hook);

// Makes the placement behave as on a file system that refuses the no-replace rename (the
// link is used instead), to test that path on any file system.
void setNoReplaceRenameRefusedForTesting(bool refused);

// Flushes the folder's entries to disk (its file-system path): without it a power cut can
// take back a name made in it that was already reported as written.
void syncFolder(const QByteArray& folder);
// Called with each folder syncFolder flushes (null: none), on the flushing thread, to test
// which names are made durable.
void setFolderSyncedObserverForTesting(std::function<void(const QByteArray&)> observer);

// "name.ext" in the folder when no file has that name, else "name-1.ext", "name-2.ext" ...
// (checked only; moveFileNoClobber settles races). taken, when given, rules out more
// paths (those the caller has promised elsewhere).
QString nonCollidingPath(const QString& folder, const QString& name,
                         const std::function<bool(const QString&)>& taken = {});

// Moves the file into the folder under the name, or under the first free "name-N.ext"
// when a file of that name is there already: an existing file is never replaced. Works
// across file systems (copied and placed as by writeFileAtomically, with the source's mode
// and group, then the source removed). The folder is flushed after the move.
FileResult moveFileNoClobber(const QString& from, const QString& toFolder, const QString& name);

} // namespace SNP_ImagePipeline
