// What the booth says and plays for the visitor: the touch countdown's spoken tick (a
// text-to-speech engine, made once one exists, preferring one that needs no daemon) and the
// sound "Grab" of the capture. A booth without speech or sound says so in the log once and
// goes on silently. Main thread only.
#pragma once

class QObject;
class QTextToSpeech;
class QSoundEffect;

class SNP_BoothSounds {
public:
    // The speech engine and the sound effect are made as children of owner.
    explicit SNP_BoothSounds(QObject* owner) : _owner(owner) {}

    // Makes the speaker when a speech engine exists (once), and logs the engine and voice
    // it speaks with.
    void createSpeaker();
    // The countdown's tick, spoken by a speaker that works.
    void speakTick();
    // Plays the sound "Grab".
    void playGrabSound();

private:
    QObject* _owner;
    QTextToSpeech* _speaker = nullptr;
    QSoundEffect* _grabSound = nullptr;
    bool _reportedNoSpeech = false;
    bool _reportedNoSound = false;
};
