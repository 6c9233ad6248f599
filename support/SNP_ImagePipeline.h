// Picture work for filing: JPEG decoding (full size or reduced in the DCT), encoding,
// EXIF blocks moved between JPEG files without touching pixels, the composite of a
// photo with the event frame, and file writing that never leaves a partial file or
// overwrites a filed picture.
//
// Threads: everything here is stateless (but for a switch the tests use) and may run on
// any thread. Failures are results (an empty optional or a FileResult with ok == false),
// each logged through SNP_Log; no exception leaves these functions.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QRectF>
#include <QSize>
#include <QString>

#include <functional>
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
// subsampling, holding only one full-size pixel buffer. No metadata is carried over.
std::optional<QByteArray> recompressJpeg(const QByteArray& jpeg, int quality);

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
// (checked only; moveFileNoClobber settles races).
QString nonCollidingPath(const QString& folder, const QString& name);

// Moves the file into the folder under the name, or under the first free "name-N.ext"
// when a file of that name is there already: an existing file is never replaced. Works
// across file systems (copied and placed as by writeFileAtomically, with the source's mode
// and group, then the source removed). The folder is flushed after the move.
FileResult moveFileNoClobber(const QString& from, const QString& toFolder, const QString& name);

} // namespace SNP_ImagePipeline
