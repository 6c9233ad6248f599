// The booth's user defaults: a QSettings store (organization "Korvanex", application
// "booth", on Linux ~/.config/Korvanex/booth.conf, or $XDG_CONFIG_HOME/Korvanex/booth.conf)
// with "-KEY VALUE" command-line pairs that override any key for one run. Overrides are
// never written to the store. The booth and the mailer (booth-mailer) share the store.
#pragma once

#include "SNP_PreferenceKeys.h"

#include <QSettings>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <cstdint>
#include <memory>
#include <optional>

namespace SNP_Preferences {

// Defaults.
extern const char* const DefaultScratchFolder;     // "/CanonScratchFolder"
extern const char* const DefaultMainImagesFolder;  // "/KorvanexMainImagesFolder"
extern const char* const DefaultForUploadFolder;   // "/KorvanexUploadFolder"
extern const char* const DefaultCameraBackend;     // "sim", the backend of a build without libgphoto2
constexpr uint32_t DefaultTouchScreenCount = 83;   // used for a stored 0 or no value
constexpr uint32_t MaxTouchScreenCount = 3600;
constexpr uint32_t DefaultKeyboardIdleSeconds = 60;
constexpr uint32_t MaxKeyboardIdleSeconds = 3600;
constexpr uint32_t DefaultOperatorIdleSeconds = 120;
constexpr uint32_t MaxOperatorIdleSeconds = 86400;
constexpr uint32_t DefaultLowSpaceMegabytes = 500;
constexpr uint32_t MaxLowSpaceMegabytes = 1000000;
constexpr int OperatorPinDigits = 6;              // of a PIN made at the first start
constexpr qsizetype MaxValueLength = 4096;

// Reads "-KEY VALUE" pairs from the command line (argv[0] is skipped). Each argument
// that begins with "-" names a key and the next argument is its value, whatever it looks
// like. An argument that is not a key, or a key with no value, is skipped and reported
// by reportArgumentProblems(). Replaces any earlier overrides.
void setArguments(int argc, const char* const* argv);
void setArguments(const QStringList& arguments);
// The overrides in force.
QVariantMap argumentOverrides();
// Logs what setArguments() skipped (called once the log is open); then forgets it.
void reportArgumentProblems();

// The store. Tests may point it at a file of their own (empty: back to the default).
std::unique_ptr<QSettings> store();
void setStoreFileForTesting(const QString& iniPath);

// The value for key: the override if there is one, else the stored value, else empty.
QVariant value(const QString& key);
bool hasOverride(const QString& key);

// A folder key resolved for use: the override, else the stored value, else the default.
// An empty, relative or over-long value is replaced by the default, with a log line.
QString folder(const QString& key, const QString& defaultPath);
// The folder value as kept in the store (overrides ignored), sanitised the same way.
QString storedFolder(const QString& key, const QString& defaultPath);
// Writes a folder value to the store.
void setFolder(const QString& key, const QString& path);

// A text value (override, else stored): nothing when the key is absent. A stored line with
// commas is the text as written (QSettings alone would make it a list); a value of a type
// QSettings made up, or longer than MaxValueLength, is logged and treated as absent.
std::optional<QString> text(const QString& key);
// A whole number in 0..max (override, else stored), the fallback when absent; a negative,
// non-numeric or over-large value is logged and the fallback is used.
uint32_t wholeNumber(const QString& key, uint32_t fallback, uint32_t max);

// The touch-screen countdown in seconds, read at every screen change: the
// "touchScreenCountValue" value, 83 when it is 0 or absent; a negative, non-numeric or
// over-large (> 3600) value is logged and 83 is used.
uint32_t touchScreenCountValue();

// Seconds the e-mail screen waits for a key before it returns to the first screen (and
// empties the fields): "keyboardIdleSeconds", 60 when absent, 0 = never; a value that is
// not a whole number of 0..3600 is logged and 60 is used.
uint32_t keyboardIdleSeconds();

// The PIN staff type after "quit" to leave kiosk mode: "operatorPin", digits; empty = "quit"
// needs no PIN (only an override can still say so: the first start stores a PIN, see
// makeOperatorPinIfNone). A value that is not 1 to 32 digits is logged and answered with
// none: "quit" is then refused until the value is mended, so that a typo never opens the
// operator panel to visitors.
std::optional<QString> operatorPin();

// With no "operatorPin" stored (absent or empty) and none given for this run, makes a
// random PIN of OperatorPinDigits digits and stores it; answers it, so that whoever started
// the booth can be told once. When the store cannot be written the PIN holds for this run
// only (as an override) and the log says so. None when a PIN was there already.
std::optional<QString> makeOperatorPinIfNone();

// Seconds the operator panel (the booth out of kiosk mode) waits for a touch before it
// goes back to kiosk mode: "operatorIdleSeconds", 120 when absent, 0 = never; a value that
// is not a whole number of 0..86400 is logged and 120 is used.
uint32_t operatorIdleSeconds();

// The output names (QScreen::name(), "HDMI-1") of the touch screen and the live screen:
// "touchScreenOutput" and "liveScreenOutput"; empty when not set.
QString touchScreenOutput();
QString liveScreenOutput();

// Free space below which a working folder counts as running out: "lowSpaceMegabytes",
// 500 when absent (a value outside 0..1000000 is logged and 500 is used).
uint32_t lowSpaceMegabytes();

// The camera implementation to use: "cameraBackend"; when it is not set at all, the
// build's default (builtDefault: "gphoto2" where the camera library has libgphoto2, so an
// installed booth photographs with the real camera; "sim" otherwise). A value that is set
// is answered as it is (trimmed; one over 64 characters cut to 64, a list or other
// non-text as empty), so that a wrong one names no backend rather than the simulated
// camera.
QString cameraBackend(const QString& builtDefault = QString::fromLatin1(DefaultCameraBackend));

} // namespace SNP_Preferences
