// The booth's named resources (screen pictures, frame image, sound): looked up by name in
// the operator's own folder first (user default "resourceFolder"), then among the stock
// resources built into the application.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QUrl>

namespace SNP_Resources {

// The names of the resources the booth itself asks for (the screen pictures are
// "touch%d" and "live%d", see AppController::showScreenPictures).
inline constexpr char kFrameImageName[] = "LumoPictureFrame.png"; // the event frame over the picture
inline constexpr char kGrabSoundName[] = "Grab";                  // played as the picture is taken

// The booth's accent colour (notices, the flash's glow, the operator's highlights), and the
// same colour as a style sheet takes it.
inline QColor accentColor() { return QColor::fromRgbF(0.9372549f, 0.5568628f, 0.1372549f, 1.0f); }
inline constexpr char kAccentStyleColor[] = "rgb(239, 142, 35)";

// The path of the resource name (with or without its extension); types lists the
// extensions tried when the name has none. Empty when no such resource exists.
QString pathForResource(const QString& name, const QStringList& types);

// Every copy of the resource name (with its extension): the stock one first, then the one
// in the operator's folder. For lists an event adds to rather than replaces.
QStringList pathsForResource(const QString& name);

// An image resource by name ("touch1", "LumoPictureFrame", "LumoPictureFrame.png");
// a null image when it does not exist or cannot be read. Decoded images are kept (up to
// kImageCacheBudget bytes of pixels) and read again only when their file changes. Safe
// on any thread.
QImage imageNamed(const QString& name);

// Pixel bytes the decoded image resources may take: the stock screens, twelve pictures
// of up to 1920 x 1080, and the frame fit.
inline constexpr qint64 kImageCacheBudget = 128LL * 1024 * 1024;

// Sets the budget (a negative value restores kImageCacheBudget) and empties the cache.
void setImageCacheBudgetForTesting(qint64 bytes);

// A sound resource by name ("Grab"), as a URL for the sound player; empty when missing.
QUrl soundNamed(const QString& name);

} // namespace SNP_Resources
