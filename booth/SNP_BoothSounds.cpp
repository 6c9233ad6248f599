#include "SNP_BoothSounds.h"

#include "SNP_Log.h"
#include "SNP_Resources.h"

#include <QObject>
#include <QUrl>
#ifdef HAVE_QT_TTS
#include <QTextToSpeech>
#include <QVoice>
#endif
#ifdef HAVE_QT_MULTIMEDIA
#include <QAudioDevice>
#include <QMediaDevices>
#include <QSoundEffect>
#endif

void SNP_BoothSounds::createSpeaker()
{
    if (_speaker)
        return;
#ifdef HAVE_QT_TTS
    // An engine that speaks by itself first: speech-dispatcher needs a daemon that a kiosk
    // may not run.
    const QStringList engines = QTextToSpeech::availableEngines();
    if (!engines.isEmpty()) {
        const QString engine = engines.contains(QStringLiteral("flite")) ? QStringLiteral("flite") : engines.first();
        _speaker = new QTextToSpeech(engine, _owner);
        if (_speaker->state() != QTextToSpeech::Error) {
            SNP_Log::debugf("speaking with the speech engine \"%s\", voice \"%s\" (%s)", qUtf8Printable(engine),
                            qUtf8Printable(_speaker->voice().name()), qUtf8Printable(_speaker->locale().name()));
            return;
        }
        SNP_Log::debugf("the speech engine \"%s\" does not start", qUtf8Printable(engine));
        delete _speaker;
        _speaker = nullptr;
    }
#endif
    if (!_reportedNoSpeech) {
        _reportedNoSpeech = true;
        SNP_Log::debug(QStringLiteral("no speech engine available: the countdown runs without its spoken tick"));
    }
}

void SNP_BoothSounds::speakTick()
{
#ifdef HAVE_QT_TTS
    if (_speaker && _speaker->state() != QTextToSpeech::Error)
        _speaker->say(QStringLiteral(" "));
#endif
}

void SNP_BoothSounds::playGrabSound()
{
    const QUrl url = SNP_Resources::soundNamed(QString::fromLatin1(SNP_Resources::kGrabSoundName));
    if (url.isEmpty()) {
        SNP_Log::debug(QStringLiteral("the sound \"Grab\" is missing"));
        return;
    }
#ifdef HAVE_QT_MULTIMEDIA
    if (!QMediaDevices::audioOutputs().isEmpty()) {
        if (!_grabSound || _grabSound->source() != url) {
            delete _grabSound;
            _grabSound = new QSoundEffect(_owner);
            _grabSound->setSource(url);
        }
        if (_grabSound->status() != QSoundEffect::Error) {
            _grabSound->play();
            return;
        }
    }
#endif
    if (!_reportedNoSound) {
        _reportedNoSound = true;
        SNP_Log::debug(QStringLiteral("no audio output available: the sound \"Grab\" is not played"));
    }
}
