// One simulated camera body's settings: its properties with their SDK data types, sizes,
// allowed values and the rules a camera applies when the host writes them (the shooting
// mode governs which of aperture and shutter speed may be set). Plain data: the SDK
// object (SimCameraSdk) guards it with its lock and delivers the events it answers.
#pragma once

#include "EdsSdk.h"
#include "SimJpeg.h"

#include <map>
#include <string>
#include <utility>
#include <vector>

struct SimProperty {
    enum class Rule { List, Range, Text, Time, ReadOnly };
    EdsDataType type = kEdsDataType_UInt32;
    Rule rule = Rule::List;
    EdsUInt32 number = 0;
    std::string text;
    std::vector<EdsUInt32> array;  // array types
    std::vector<EdsInt32> allowed;  // Rule::List
    EdsInt32 low = 0, high = 0;     // Rule::Range
    EdsUInt32 maxBytes = 0;         // Rule::Text, NUL included
};

// Events a write raises: (event, property code).
using SimPropertyEvents = std::vector<std::pair<EdsPropertyEvent, EdsPropertyID>>;

class SimCamera {
public:
    explicit SimCamera(const std::string& model);

    const std::string& model() const { return _model; }

    bool has(EdsPropertyID id) const { return _props.count(id) != 0; }
    EdsError size(EdsPropertyID id, EdsDataType* type, EdsUInt32* size) const;
    EdsError get(EdsPropertyID id, EdsInt32 param, EdsUInt32 size, void* data) const;
    // A host write: checked as the camera checks it; answers the events to announce.
    EdsError set(EdsPropertyID id, EdsInt32 param, EdsUInt32 size, const void* data, SimPropertyEvents& events);
    EdsError desc(EdsPropertyID id, EdsPropertyDesc* desc) const;

    // Camera-side changes (no checks).
    bool force(EdsPropertyID id, EdsUInt32 value, SimPropertyEvents& events);
    bool forceText(EdsPropertyID id, const std::string& text);
    EdsUInt32 number(EdsPropertyID id) const;
    std::string text(EdsPropertyID id) const;

    // Camera clock: host local time plus the offset.
    EdsTime clock() const;
    double clockOffset() const { return _clockOffset; }
    void setClockOffset(double seconds) { _clockOffset = seconds; }
    long long clockSeconds() const;  // seconds since the epoch as the camera sees it

    bool avAllowed() const;
    bool tvAllowed() const;

    // The EXIF data of a picture taken now with the current settings.
    SimJpeg::ExifFields exifNow() const;

private:
    void applyMode(EdsUInt32 oldMode, EdsUInt32 newMode, SimPropertyEvents& events);

    std::string _model;
    std::map<EdsPropertyID, SimProperty> _props;
    double _clockOffset = 0;
    EdsUInt32 _tvBeforeBulb = 0x68;
};
