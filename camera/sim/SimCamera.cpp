#include "SimCamera.h"

#include "EdsSdkCore.h"
#include "SNP_CanonCameraNames.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

enum : EdsPropertyID {
    kProductName = 0x2, kOwnerName = 0x4, kDateTime = 0x6, kFirmwareVersion = 0x7, kBatteryLevel = 0x8,
    kSaveTo = 0xB, kBatteryQuality = 0x10, kImageQuality = 0x100, kWhiteBalance = 0x106,
    kColorTemperature = 0x107, kColorSpace = 0x10D, kAEMode = 0x400, kDriveMode = 0x401, kISOSpeed = 0x402,
    kMeteringMode = 0x403, kAFMode = 0x404, kAv = 0x405, kTv = 0x406, kExposureCompensation = 0x407,
    kFocalLength = 0x409, kAvailableShots = 0x40A, kLensName = 0x40D, kArtist = 0x418, kCopyright = 0x419,
    kBodyID = 0x3, kEvfOutputDevice = 0x500, kEvfMode = 0x501, kEvfWhiteBalance = 0x502, kEvfZoom = 0x507,
};

// Shooting modes (AEMode codes).
enum : EdsUInt32 { kProgram = 0, kTvPriority = 1, kAvPriority = 2, kManual = 3, kBulb = 4 };
constexpr EdsUInt32 kTvBulb = 0x0C;

SimProperty listProp(EdsDataType type, EdsUInt32 value, std::vector<EdsInt32> allowed)
{
    SimProperty p;
    p.type = type;
    p.rule = SimProperty::Rule::List;
    p.number = value;
    p.allowed = std::move(allowed);
    return p;
}
SimProperty readOnly(EdsUInt32 value)
{
    SimProperty p;
    p.rule = SimProperty::Rule::ReadOnly;
    p.number = value;
    return p;
}
SimProperty textProp(const std::string& text, EdsUInt32 maxBytes, bool writable)
{
    SimProperty p;
    p.type = kEdsDataType_String;
    p.rule = writable ? SimProperty::Rule::Text : SimProperty::Rule::ReadOnly;
    p.text = text;
    p.maxBytes = maxBytes;
    return p;
}

// Third-stop codes of a range (x0, x3, x5 of every eighth).
std::vector<EdsInt32> thirdStops(EdsInt32 from, EdsInt32 to)
{
    std::vector<EdsInt32> codes;
    for (EdsInt32 base = from & ~7; base <= to; base += 8)
        for (EdsInt32 step : {0, 3, 5})
            if (base + step >= from && base + step <= to)
                codes.push_back(base + step);
    return codes;
}

bool isArray(EdsDataType t)
{
    return t >= kEdsDataType_Bool_Array && t <= kEdsDataType_Rational_Array;
}

// The size of a single value: a whole number's own width, four bytes for any other.
EdsUInt32 numberSize(EdsDataType t)
{
    const EdsUInt32 width = edsNumberWidth(t);
    return width ? width : 4;
}

bool validTime(const EdsTime& t)
{
    static const unsigned days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1980 || t.year > 2100 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days[t.month - 1])
        return false;
    if (t.month == 2 && t.day == 29 && !((t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0))
        return false;
    return t.hour < 24 && t.minute < 60 && t.second < 60 && t.milliseconds < 1000;
}

double hostNow()
{
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// "1/250" -> 1/250; "30\"" -> 30/1; "0\"5" -> 5/10; "1\"3" -> 13/10 (a third stop's "(1/3)" dropped).
void exposureFromText(const char* text, uint32_t& num, uint32_t& den)
{
    std::string s(text);
    auto paren = s.find(" (");
    if (paren != std::string::npos)
        s.resize(paren);
    num = 1;
    den = 60;
    if (s.rfind("1/", 0) == 0) {
        num = 1;
        den = static_cast<uint32_t>(std::max(1L, std::strtol(s.c_str() + 2, nullptr, 10)));
    } else if (auto q = s.find('"'); q != std::string::npos) {
        long whole = std::strtol(s.substr(0, q).c_str(), nullptr, 10);
        std::string frac = s.substr(q + 1);
        if (frac.empty()) {
            num = static_cast<uint32_t>(whole);
            den = 1;
        } else {
            num = static_cast<uint32_t>(whole * 10 + std::strtol(frac.c_str(), nullptr, 10));
            den = 10;
        }
    } else if (s == "Bulb") {
        num = 1;
        den = 1;
    }
}

}  // namespace

SimCamera::SimCamera(const std::string& model) : _model(model)
{
    const std::vector<EdsInt32> wb = {0, 1, 2, 3, 4, 5, 6, 8, 9};
    _props[kProductName] = textProp(model, 32, false);
    _props[kBodyID] = textProp("0830201234", 32, false);
    _props[kOwnerName] = textProp("", 32, true);
    _props[kArtist] = textProp("", 64, true);
    _props[kCopyright] = textProp("", 64, true);
    _props[kFirmwareVersion] = textProp("2.1.2", 32, false);
    _props[kLensName] = textProp("EF24-105mm f/4L IS USM", 64, false);
    SimProperty time;
    time.type = kEdsDataType_Time;
    time.rule = SimProperty::Rule::Time;
    _props[kDateTime] = time;
    _props[kBatteryLevel] = readOnly(0xFFFFFFFFu);  // on the mains adapter
    _props[kBatteryQuality] = readOnly(3);
    _props[kAvailableShots] = readOnly(1500);
    _props[kSaveTo] = listProp(kEdsDataType_UInt32, kEdsSaveTo_Camera, {1, 2, 3});
    _props[kImageQuality] = listProp(kEdsDataType_UInt32, 0x100F0F,
                                     {0x100F0F, 0x130F0F, 0x120F0F, 0x1130F0F, 0x1120F0F, 0x2130F0F, 0x2120F0F,
                                      0x640F0F, 0x640013});
    _props[kWhiteBalance] = listProp(kEdsDataType_Int32, 0, wb);
    _props[kEvfWhiteBalance] = listProp(kEdsDataType_Int32, 0, wb);
    SimProperty ct;
    ct.rule = SimProperty::Rule::Range;
    ct.number = 5200;
    ct.low = 2500;
    ct.high = 10000;
    _props[kColorTemperature] = ct;
    _props[kColorSpace] = listProp(kEdsDataType_UInt32, 1, {1, 2});
    _props[kAEMode] = listProp(kEdsDataType_UInt32, kManual, {0, 1, 2, 3, 4, 9, 19});
    _props[kDriveMode] = listProp(kEdsDataType_UInt32, 0, {0, 1, 0x10, 0x11});
    _props[kISOSpeed] = listProp(kEdsDataType_UInt32, 0x50,
                                 {0, 0x48, 0x4B, 0x4D, 0x50, 0x53, 0x55, 0x58, 0x5B, 0x5D, 0x60, 0x63, 0x65, 0x68,
                                  0x70, 0x78});
    _props[kMeteringMode] = listProp(kEdsDataType_UInt32, 3, {3, 4, 1, 5});
    _props[kAFMode] = listProp(kEdsDataType_UInt32, 0, {0, 1, 2});
    _props[kAv] = listProp(kEdsDataType_UInt32, 0x30, thirdStops(0x28, 0x50));  // f/4 .. f/22
    _props[kTv] = listProp(kEdsDataType_UInt32, 0x68, thirdStops(0x10, 0xA0));  // 30" .. 1/8000
    _props[kExposureCompensation] = listProp(kEdsDataType_UInt32, 0,
                                             {0xF0, 0xF3, 0xF5, 0xF8, 0xFB, 0xFD, 0x0, 0x3, 0x5, 0x8, 0xB, 0xD, 0x10});
    SimProperty focal;
    focal.type = kEdsDataType_UInt32_Array;
    focal.rule = SimProperty::Rule::ReadOnly;
    focal.array = {50, 24, 105, 1};
    _props[kFocalLength] = focal;
    _props[kEvfOutputDevice] = listProp(kEdsDataType_UInt32, 0, {0, 1, 2, 3});
    _props[kEvfMode] = listProp(kEdsDataType_UInt32, 0, {0, 1});
    _props[kEvfZoom] = listProp(kEdsDataType_UInt32, 1, {1, 5, 10});
}

bool SimCamera::avAllowed() const
{
    EdsUInt32 mode = number(kAEMode);
    return mode == kAvPriority || mode == kManual || mode == kBulb;
}

bool SimCamera::tvAllowed() const
{
    EdsUInt32 mode = number(kAEMode);
    return mode == kTvPriority || mode == kManual;
}

long long SimCamera::clockSeconds() const
{
    return static_cast<long long>(std::floor(hostNow() + _clockOffset));
}

EdsTime SimCamera::clock() const
{
    double now = hostNow() + _clockOffset;
    EdsTime t = EdsCore::edsTimeForLocalSeconds(static_cast<long long>(std::floor(now)));
    t.milliseconds = static_cast<EdsUInt32>((now - std::floor(now)) * 1000) % 1000;
    return t;
}

EdsError SimCamera::size(EdsPropertyID id, EdsDataType* type, EdsUInt32* size) const
{
    auto it = _props.find(id);
    if (it == _props.end())
        return EDS_ERR_PROPERTIES_UNAVAILABLE;
    const SimProperty& p = it->second;
    if (type)
        *type = p.type;
    if (size) {
        if (p.type == kEdsDataType_String)
            *size = static_cast<EdsUInt32>(p.text.size() + 1);
        else if (p.type == kEdsDataType_Time)
            *size = sizeof(EdsTime);
        else if (isArray(p.type))
            *size = static_cast<EdsUInt32>(p.array.size() * 4);
        else
            *size = numberSize(p.type);
    }
    return EDS_ERR_OK;
}

EdsError SimCamera::get(EdsPropertyID id, EdsInt32 param, EdsUInt32 size, void* data) const
{
    auto it = _props.find(id);
    if (it == _props.end())
        return EDS_ERR_PROPERTIES_UNAVAILABLE;
    if (!data)
        return EDS_ERR_INVALID_POINTER;
    const SimProperty& p = it->second;
    EdsUInt32 needed = 0;
    this->size(id, nullptr, &needed);
    if (size < needed)
        return EDS_ERR_INVALID_LENGTH;
    if (p.type == kEdsDataType_String) {
        std::memcpy(data, p.text.c_str(), needed);
    } else if (p.type == kEdsDataType_Time) {
        EdsTime t = clock();
        std::memcpy(data, &t, sizeof t);
    } else if (isArray(p.type)) {
        if (needed > 0)
            std::memcpy(data, p.array.data(), needed);
    } else if (needed == 1) {
        auto v = static_cast<uint8_t>(p.number);
        std::memcpy(data, &v, 1);
    } else if (needed == 2) {
        auto v = static_cast<uint16_t>(p.number);
        std::memcpy(data, &v, 2);
    } else {
        std::memcpy(data, &p.number, 4);
    }
    (void)param;
    return EDS_ERR_OK;
}

EdsError SimCamera::set(EdsPropertyID id, EdsInt32 param, EdsUInt32 size, const void* data, SimPropertyEvents& events)
{
    auto it = _props.find(id);
    if (it == _props.end())
        return EDS_ERR_PROPERTIES_UNAVAILABLE;
    if (!data)
        return EDS_ERR_INVALID_POINTER;
    SimProperty& p = it->second;
    switch (p.rule) {
    case SimProperty::Rule::ReadOnly:
        return EDS_ERR_NOT_SUPPORTED;
    case SimProperty::Rule::Text: {
        if (size == 0)
            return EDS_ERR_INVALID_LENGTH;
        const char* text = static_cast<const char*>(data);
        size_t length = strnlen(text, size);
        if (length == size || length + 1 > p.maxBytes)  // no NUL inside, or too long for the camera
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        p.text.assign(text, length);
        break;
    }
    case SimProperty::Rule::Time: {
        if (size != sizeof(EdsTime))
            return EDS_ERR_INVALID_LENGTH;
        EdsTime t;
        std::memcpy(&t, data, sizeof t);
        if (!validTime(t))
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        const std::optional<long long> secs = EdsCore::localSecondsForEdsTime(t);
        if (!secs)
            return EDS_ERR_DEVICE_INVALID_PARAMETER;
        _clockOffset = static_cast<double>(*secs) + t.milliseconds / 1000.0 - hostNow();
        break;
    }
    case SimProperty::Rule::Range:
    case SimProperty::Rule::List: {
        if (size != 4)
            return EDS_ERR_INVALID_LENGTH;
        EdsUInt32 value;
        std::memcpy(&value, data, 4);
        if ((id == kAv && !avAllowed()) || (id == kTv && !tvAllowed()))
            return EDS_ERR_DEVICE_INVALID_PARAMETER;  // the shooting mode sets it
        if (p.rule == SimProperty::Rule::Range) {
            auto v = static_cast<EdsInt32>(value);
            if (v < p.low || v > p.high)
                return EDS_ERR_INVALID_DEVICEPROP_VALUE;
        } else {
            bool found = false;
            for (EdsInt32 a : p.allowed)
                found = found || static_cast<EdsUInt32>(a) == value;
            if (!found)
                return EDS_ERR_INVALID_DEVICEPROP_VALUE;
        }
        EdsUInt32 old = p.number;
        p.number = value;
        events.emplace_back(kEdsPropertyEvent_PropertyChanged, id);
        if (id == kAEMode && old != value)
            applyMode(old, value, events);
        return EDS_ERR_OK;
    }
    }
    (void)param;
    events.emplace_back(kEdsPropertyEvent_PropertyChanged, id);
    return EDS_ERR_OK;
}

void SimCamera::applyMode(EdsUInt32 oldMode, EdsUInt32 newMode, SimPropertyEvents& events)
{
    SimProperty& tv = _props[kTv];
    if (newMode == kBulb) {
        _tvBeforeBulb = tv.number;
        tv.number = kTvBulb;
        events.emplace_back(kEdsPropertyEvent_PropertyChanged, kTv);
    } else if (oldMode == kBulb) {
        tv.number = _tvBeforeBulb;
        events.emplace_back(kEdsPropertyEvent_PropertyChanged, kTv);
    }
    events.emplace_back(kEdsPropertyEvent_PropertyDescChanged, kAv);
    events.emplace_back(kEdsPropertyEvent_PropertyDescChanged, kTv);
}

EdsError SimCamera::desc(EdsPropertyID id, EdsPropertyDesc* out) const
{
    auto it = _props.find(id);
    if (it == _props.end())
        return EDS_ERR_PROPERTIES_UNAVAILABLE;
    if (!out)
        return EDS_ERR_INVALID_POINTER;
    std::memset(out, 0, sizeof *out);
    const SimProperty& p = it->second;
    bool settable = p.rule != SimProperty::Rule::ReadOnly && !(id == kAv && !avAllowed()) &&
                    !(id == kTv && !tvAllowed());
    out->access = settable ? 1 : 0;
    if (p.rule == SimProperty::Rule::List && settable) {
        out->form = 1;
        out->numElements = static_cast<EdsInt32>(std::min<size_t>(p.allowed.size(), 128));
        for (EdsInt32 i = 0; i < out->numElements; ++i)
            out->propDesc[i] = p.allowed[static_cast<size_t>(i)];
    }
    return EDS_ERR_OK;
}

bool SimCamera::force(EdsPropertyID id, EdsUInt32 value, SimPropertyEvents& events)
{
    auto it = _props.find(id);
    if (it == _props.end() || it->second.type == kEdsDataType_String || it->second.type == kEdsDataType_Time ||
        isArray(it->second.type))
        return false;
    EdsUInt32 old = it->second.number;
    it->second.number = value;
    events.emplace_back(kEdsPropertyEvent_PropertyChanged, id);
    if (id == kAEMode && old != value)
        applyMode(old, value, events);
    return true;
}

bool SimCamera::forceText(EdsPropertyID id, const std::string& text)
{
    auto it = _props.find(id);
    if (it == _props.end() || it->second.type != kEdsDataType_String)
        return false;
    it->second.text = text;
    return true;
}

EdsUInt32 SimCamera::number(EdsPropertyID id) const
{
    auto it = _props.find(id);
    return it == _props.end() ? 0 : it->second.number;
}

std::string SimCamera::text(EdsPropertyID id) const
{
    auto it = _props.find(id);
    return it == _props.end() ? std::string() : it->second.text;
}

SimJpeg::ExifFields SimCamera::exifNow() const
{
    SimJpeg::ExifFields f;
    f.model = _model;
    f.dateTimeOriginal = SimJpeg::exifDateText(clock());
    f.artist = text(kArtist);
    f.copyright = text(kCopyright);
    f.ownerName = text(kOwnerName);
    f.lensModel = text(kLensName);
    f.bodySerial = text(kBodyID);
    exposureFromText(cStrForCanonCameraTv(number(kTv)), f.exposureNumerator, f.exposureDenominator);
    double fnumber = std::atof(cStrForCanonCameraAv(number(kAv)));
    if (fnumber <= 0)
        fnumber = 5.6;
    f.fNumberNumerator = static_cast<uint32_t>(std::lround(fnumber * 10));
    f.fNumberDenominator = 10;
    const char* iso = cStrForCanonCameraISO(number(kISOSpeed));
    f.iso = std::strncmp(iso, "ISO ", 4) == 0 ? static_cast<uint16_t>(std::atoi(iso + 4)) : 400;  // Auto picks 400
    // Exposure compensation: byte code in eighths of a stop, thirds written as x/6.
    auto code = static_cast<int8_t>(number(kExposureCompensation) & 0xFF);
    int magnitude = std::abs(static_cast<int>(code));
    int whole = magnitude / 8, rest = magnitude % 8;
    int sixths = whole * 6 + (rest == 3 ? 2 : rest == 4 ? 3 : rest == 5 ? 4 : 0);
    f.biasNumerator = code < 0 ? -sixths : sixths;
    f.biasDenominator = 6;
    return f;
}
