#include "GPhoto2Translate.h"

#include "EdsSdkCore.h"
#include "SNP_CanonCameraNames.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace GPhoto2 {

namespace {

enum : EdsPropertyID {
    kProductName = 0x2, kBodyID = 0x3, kOwnerName = 0x4, kDateTime = 0x6, kFirmwareVersion = 0x7,
    kBatteryLevel = 0x8, kSaveTo = 0xB, kImageQuality = 0x100, kWhiteBalance = 0x106, kColorTemperature = 0x107,
    kColorSpace = 0x10D, kAEMode = 0x400, kDriveMode = 0x401, kISOSpeed = 0x402, kMeteringMode = 0x403,
    kAFMode = 0x404, kAv = 0x405, kTv = 0x406, kExposureCompensation = 0x407, kAvailableShots = 0x40A,
    kLensName = 0x40D, kArtist = 0x418, kCopyright = 0x419, kEvfOutputDevice = 0x500, kEvfMode = 0x501,
    kEvfZoom = 0x507,
};

const std::vector<PropertyMapping>& mappings()
{
    static const std::vector<PropertyMapping> rows = {
        {kProductName, PropKind::Text, kEdsDataType_String, {"cameramodel", "model"}},
        {kBodyID, PropKind::Text, kEdsDataType_String, {"serialnumber", "eosserialnumber"}},
        {kOwnerName, PropKind::Text, kEdsDataType_String, {"ownername"}},
        {kDateTime, PropKind::Date, kEdsDataType_Time, {"datetime", "datetimeutc"}},
        {kFirmwareVersion, PropKind::Text, kEdsDataType_String, {"deviceversion", "firmwareversion"}},
        {kBatteryLevel, PropKind::Battery, kEdsDataType_UInt32, {"batterylevel"}},
        {kSaveTo, PropKind::SaveTo, kEdsDataType_UInt32, {"capturetarget"}},
        {kImageQuality, PropKind::Choice, kEdsDataType_UInt32, {"imageformat", "imagequality"}},
        {kWhiteBalance, PropKind::Choice, kEdsDataType_Int32, {"whitebalance"}},
        {kColorTemperature, PropKind::Number, kEdsDataType_UInt32, {"colortemperature"}},
        {kColorSpace, PropKind::Choice, kEdsDataType_UInt32, {"colorspace"}},
        {kAEMode, PropKind::Choice, kEdsDataType_UInt32, {"autoexposuremode", "autoexposuremodedial", "expprogram"}},
        {kDriveMode, PropKind::Choice, kEdsDataType_UInt32, {"drivemode"}},
        {kISOSpeed, PropKind::Choice, kEdsDataType_UInt32, {"iso"}},
        {kMeteringMode, PropKind::Choice, kEdsDataType_UInt32, {"meteringmode"}},
        {kAFMode, PropKind::Choice, kEdsDataType_UInt32, {"focusmode"}},
        {kAv, PropKind::Choice, kEdsDataType_UInt32, {"aperture", "f-number"}},
        {kTv, PropKind::Choice, kEdsDataType_UInt32, {"shutterspeed", "shutterspeed2"}},
        {kExposureCompensation, PropKind::Choice, kEdsDataType_UInt32, {"exposurecompensation"}},
        {kAvailableShots, PropKind::Number, kEdsDataType_UInt32, {"availableshots"}},
        {kLensName, PropKind::Text, kEdsDataType_String, {"lensname"}},
        {kArtist, PropKind::Text, kEdsDataType_String, {"artist"}},
        {kCopyright, PropKind::Text, kEdsDataType_String, {"copyright"}},
        {kEvfOutputDevice, PropKind::Output, kEdsDataType_UInt32, {"output", "viewfinder"}},
        {kEvfMode, PropKind::Local, kEdsDataType_UInt32, {}},
        {kEvfZoom, PropKind::Number, kEdsDataType_UInt32, {"eoszoom"}},
    };
    return rows;
}

std::string lower(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

// Strict decimal number ("5.6", "-0.3", "30"); none for anything else.
std::optional<double> decimal(const std::string& text)
{
    std::string s = trim(text);
    if (s.empty())
        return std::nullopt;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !std::isfinite(v))
        return std::nullopt;
    return v;
}

SNP_NameTable tableFor(EdsPropertyID id)
{
    switch (id) {
    case kImageQuality: return tableForCanonCameraImageQuality();
    case kWhiteBalance: return tableForCanonCameraWB();
    case kColorSpace: return tableForCanonCameraColorSpace();
    case kAEMode: return tableForCanonCameraAEMode();
    case kDriveMode: return tableForCanonCameraDriveMode();
    case kISOSpeed: return tableForCanonCameraISO();
    case kMeteringMode: return tableForCanonCameraMeteringMode();
    case kAFMode: return tableForCanonCameraAFMode();
    case kAv: return tableForCanonCameraAv();
    case kTv: return tableForCanonCameraTv();
    case kExposureCompensation: return tableForCanonCameraEv();
    default: return {};
    }
}

// libgphoto2's texts (lower case) -> the name tables' texts.
const std::map<std::string, std::string>& aliases(EdsPropertyID id)
{
    static const std::map<std::string, std::string> none;
    static const std::map<std::string, std::string> wb = {
        {"auto", "Auto"}, {"awb", "Auto"}, {"awb white", "Auto"}, {"daylight", "Daylight"}, {"shadow", "Shade"},
        {"shade", "Shade"}, {"cloudy", "Cloudy"}, {"tungsten", "Tungsten"}, {"fluorescent", "Fluorescent"},
        {"flash", "Flash"}, {"manual", "Manual (set by shooting a white card or paper)"},
        {"custom", "Manual (set by shooting a white card or paper)"}, {"color temperature", "Color temperature"},
        {"manual 2", "Manual 2"}, {"manual 3", "Manual 3"}, {"manual 4", "Manual 4"}, {"manual 5", "Manual 5"},
        {"pc-1", "Custom white balance: PC-1"}, {"pc-2", "Custom white balance: PC-2"},
        {"pc-3", "Custom white balance: PC-3"}, {"pc-4", "Custom white balance: PC-4"},
        {"pc-5", "Custom white balance: PC-5"},
    };
    static const std::map<std::string, std::string> drive = {
        {"single", "Single-Frame Shooting"}, {"continuous", "Continuous Shooting"},
        {"continuous high speed", "High-Speed Continuous Shooting"},
        {"continuous low speed", "Low-Speed Continuous Shooting"}, {"single silent", "Silent single shooting"},
        {"timer 10 sec", "10-Sec Self-Timer"}, {"timer 2 sec", "2-Sec Self-Timer"},
        {"continuous timer", "10-Sec Self-Timer plus continuous shots"}, {"video", "Video"},
    };
    static const std::map<std::string, std::string> metering = {
        {"evaluative", "Evaluative metering"}, {"partial", "Partial metering"}, {"spot", "Spot metering"},
        {"center-weighted average", "Center-weighted averaging metering"},
        {"center weighted average", "Center-weighted averaging metering"},
        {"center-weighted", "Center-weighted averaging metering"},
    };
    static const std::map<std::string, std::string> af = {
        {"one shot", "One Shot AF"}, {"ai servo", "AI Servo AF"}, {"ai focus", "AI Focus AF"},
        {"manual", "Manual Focus"}, {"mf", "Manual Focus"},
    };
    static const std::map<std::string, std::string> ae = {
        {"p", "Program AE"}, {"tv", "Shutter-Speed Priority AE"}, {"av", "Aperture Priority AE"},
        {"manual", "Manual Exposure"}, {"m", "Manual Exposure"}, {"bulb", "Bulb"}, {"a_dep", "A-DEP"},
        {"a-dep", "A-DEP"}, {"dep", "DEP"}, {"auto", "Auto"}, {"green", "Auto"},
        {"night portrait", "Night Scene Portrait"}, {"sports", "Sports"}, {"portrait", "Portrait"},
        {"landscape", "Landscape"}, {"closeup", "Close-Up"}, {"close-up", "Close-Up"}, {"flash off", "Flash Off"},
        {"creative auto", "Creative Auto"},
    };
    static const std::map<std::string, std::string> quality = {
        {"large fine jpeg", "L1"}, {"large normal jpeg", "L2"}, {"medium fine jpeg", "M1"},
        {"medium normal jpeg", "M2"}, {"small fine jpeg", "S1"}, {"small normal jpeg", "S2"}, {"raw", "RAW"},
        {"raw + large fine jpeg", "RAW+L1"}, {"raw + large normal jpeg", "RAW+L2"},
        {"raw + medium fine jpeg", "RAW+M1"}, {"raw + medium normal jpeg", "RAW+M2"},
        {"raw + small fine jpeg", "RAW+S1"}, {"raw + small normal jpeg", "RAW+S2"}, {"sraw", "sRAW"},
        {"sraw1", "sRAW1"},
    };
    static const std::map<std::string, std::string> space = {{"srgb", "sRGB"}, {"adobergb", "Adobe RGB"},
                                                            {"adobe rgb", "Adobe RGB"}};
    switch (id) {
    case kWhiteBalance: return wb;
    case kDriveMode: return drive;
    case kMeteringMode: return metering;
    case kAFMode: return af;
    case kAEMode: return ae;
    case kImageQuality: return quality;
    case kColorSpace: return space;
    default: return none;
    }
}

bool isAutoChoice(const std::string& choice)
{
    const std::string c = lower(trim(choice));
    return c == "auto" || c == "implicit auto" || c == "auto iso";
}

// "5.6" -> "5.6"; "5" -> "5.0" (the table's text for f/5); "f/8" -> "8".
std::string apertureText(const std::string& choice)
{
    std::string s = trim(choice);
    if (s.rfind("f/", 0) == 0 || s.rfind("F/", 0) == 0)
        s = s.substr(2);
    SNP_NameTable table = tableForCanonCameraAv();
    for (const SNP_NameRow& row : table)
        if (s == row.text)
            return s;
    std::optional<double> v = decimal(s);
    if (!v)
        return s;
    for (int pass = 0; pass < 2; ++pass)
        for (const SNP_NameRow& row : table) {
            std::string t = row.text;
            const bool third = t.find(" (") != std::string::npos;
            if (third != (pass == 1))
                continue;
            if (third)
                t.resize(t.find(" ("));
            std::optional<double> tv = decimal(t);
            if (tv && std::fabs(*tv - *v) < 0.04)
                return row.text;
        }
    return s;
}

// "1/250" stays; "30" -> "30\""; "0.5" -> "0\"5"; "3.2" -> "3\"2"; "bulb" -> "Bulb".
std::string shutterText(const std::string& choice)
{
    std::string s = trim(choice);
    if (lower(s) == "bulb")
        return "Bulb";
    if (s.find('/') != std::string::npos || s.find('"') != std::string::npos)
        return s;
    if (!decimal(s))
        return s;
    auto dot = s.find('.');
    if (dot == std::string::npos)
        return s + "\"";
    std::string whole = s.substr(0, dot), frac = s.substr(dot + 1);
    if (whole.empty())
        whole = "0";
    while (frac.size() > 1 && frac.back() == '0')
        frac.pop_back();
    if (frac == "0")
        return whole + "\"";
    return whole + "\"" + frac;
}

// "-0.3" -> "-1/3"; "1.6" / "1.7" -> "+1 2/3"; "0.5" -> "+1/2"; "0" -> "0".
std::string compensationText(const std::string& choice)
{
    std::optional<double> v = decimal(choice);
    if (!v)
        return trim(choice);
    const double m = std::fabs(*v);
    if (m < 0.05)
        return "0";
    int whole = static_cast<int>(std::floor(m + 0.05));
    double rest = m - whole;
    const char* frac = nullptr;
    if (rest < 0.05)
        frac = nullptr;
    else if (rest < 0.42)
        frac = "1/3";
    else if (rest < 0.58)
        frac = "1/2";
    else if (rest < 0.95)
        frac = "2/3";
    std::string text = *v < 0 ? "-" : "+";
    if (whole > 0)
        text += std::to_string(whole);
    if (whole > 0 && frac)
        text += " ";
    if (frac)
        text += frac;
    return text;
}

std::optional<EdsUInt32> lookupText(SNP_NameTable table, const std::string& text)
{
    for (const SNP_NameRow& row : table)
        if (text == row.text)
            return row.code;
    return std::nullopt;
}

std::optional<EdsUInt32> integerText(const std::string& text)
{
    std::string s = trim(text);
    if (s.empty())
        return std::nullopt;
    char* end = nullptr;
    long long v = std::strtoll(s.c_str(), &end, 10);
    if (end == s.c_str() || *end != '\0' || v < 0 || v > 0xFFFFFFFFLL)
        return std::nullopt;
    return static_cast<EdsUInt32>(v);
}

// Viewfinder output text -> mask: "TFT" 1, "PC" 2, "MOBILE" 4, "MOBILE2" 8, "Off" 0.
std::optional<EdsUInt32> outputMask(const std::string& choice)
{
    std::string c = lower(trim(choice));
    if (c == "off" || c == "none")
        return 0u;
    EdsUInt32 mask = 0;
    size_t start = 0;
    while (start <= c.size()) {
        size_t plus = c.find('+', start);
        std::string token = trim(c.substr(start, plus == std::string::npos ? std::string::npos : plus - start));
        if (token == "tft")
            mask |= 1;
        else if (token == "pc")
            mask |= 2;
        else if (token == "mobile")
            mask |= 4;
        else if (token == "mobile2")
            mask |= 8;
        else
            return std::nullopt;
        if (plus == std::string::npos)
            break;
        start = plus + 1;
    }
    return mask;
}

std::optional<EdsUInt32> saveToFor(const std::string& choice)
{
    std::string c = lower(choice);
    if (c.find("ram") != std::string::npos || c.find("sdram") != std::string::npos)
        return static_cast<EdsUInt32>(kEdsSaveTo_Host);
    if (c.find("card") != std::string::npos)
        return static_cast<EdsUInt32>(kEdsSaveTo_Camera);
    return std::nullopt;
}

bool isListWidget(const GPWidget& w)
{
    return w.type == GPWidgetType::Radio || w.type == GPWidgetType::Menu;
}

}  // namespace

const PropertyMapping* mappingFor(EdsPropertyID id)
{
    for (const PropertyMapping& m : mappings())
        if (m.id == id)
            return &m;
    return nullptr;
}

std::vector<EdsPropertyID> mappedProperties()
{
    std::vector<EdsPropertyID> ids;
    for (const PropertyMapping& m : mappings())
        ids.push_back(m.id);
    std::sort(ids.begin(), ids.end());
    return ids;
}

std::string displayTextForChoice(EdsPropertyID id, const std::string& choice)
{
    switch (id) {
    case kISOSpeed: {
        std::string s = trim(choice);
        if (isAutoChoice(s))
            return "Auto";
        if (integerText(s))
            return "ISO " + s;
        return s;
    }
    case kAv:
        return isAutoChoice(choice) ? "Auto" : apertureText(choice);
    case kTv:
        return isAutoChoice(choice) ? "Auto" : shutterText(choice);
    case kExposureCompensation:
        return compensationText(choice);
    default: {
        const auto& map = aliases(id);
        auto it = map.find(lower(trim(choice)));
        return it != map.end() ? it->second : trim(choice);
    }
    }
}

std::optional<EdsUInt32> codeForChoice(EdsPropertyID id, const std::string& choice)
{
    if ((id == kISOSpeed || id == kAv || id == kTv) && isAutoChoice(choice))
        return 0u;
    SNP_NameTable table = tableFor(id);
    if (table.empty())
        return std::nullopt;
    return lookupText(table, displayTextForChoice(id, choice));
}

std::optional<std::string> choiceForCode(EdsPropertyID id, EdsUInt32 code, const std::vector<std::string>& choices)
{
    for (const std::string& c : choices) {
        std::optional<EdsUInt32> v;
        const PropertyMapping* m = mappingFor(id);
        if (m && m->kind == PropKind::Output)
            v = outputMask(c);
        else if (m && m->kind == PropKind::SaveTo)
            v = saveToFor(c);
        else
            v = codeForChoice(id, c);
        if (v && *v == code)
            return c;
    }
    return std::nullopt;
}

std::optional<EdsUInt32> numberForWidget(EdsPropertyID id, const GPWidget& w)
{
    const PropertyMapping* m = mappingFor(id);
    if (!m)
        return std::nullopt;
    switch (m->kind) {
    case PropKind::Choice:
        return codeForChoice(id, w.text);
    case PropKind::Number:
        if (w.type == GPWidgetType::Range)
            return w.number < 0 ? std::nullopt : std::optional<EdsUInt32>(static_cast<EdsUInt32>(std::lround(w.number)));
        if (w.type == GPWidgetType::Toggle)
            return static_cast<EdsUInt32>(w.integer);
        return integerText(w.text);
    case PropKind::Battery: {
        if (w.type == GPWidgetType::Range)
            return static_cast<EdsUInt32>(std::lround(std::max(0.0f, w.number)));
        std::string t = lower(trim(w.text));
        if (t == "ac" || t.find("ac power") != std::string::npos || t.find("mains") != std::string::npos ||
            t == "external")
            return 0xFFFFFFFFu;
        if (!t.empty() && t.back() == '%')
            t.pop_back();
        return integerText(t);
    }
    case PropKind::SaveTo:
        return saveToFor(w.text);
    case PropKind::Output:
        if (w.type == GPWidgetType::Toggle)
            return w.integer ? 2u : 0u;
        return outputMask(w.text);
    case PropKind::Text:
    case PropKind::Date:
    case PropKind::Local:
        return std::nullopt;
    }
    return std::nullopt;
}

EdsError widgetForNumber(EdsPropertyID id, EdsUInt32 number, const GPWidget& current, GPWidget& out)
{
    const PropertyMapping* m = mappingFor(id);
    if (!m)
        return EDS_ERR_NOT_SUPPORTED;
    if (current.readOnly)
        return EDS_ERR_NOT_SUPPORTED;
    out = current;
    switch (m->kind) {
    case PropKind::Choice:
    case PropKind::SaveTo:
    case PropKind::Output: {
        if (m->kind == PropKind::Output && current.type == GPWidgetType::Toggle) {
            out.integer = (number & 2) ? 1 : 0;
            return EDS_ERR_OK;
        }
        EdsUInt32 wanted = number;
        if (m->kind == PropKind::SaveTo && number == kEdsSaveTo_Both)
            wanted = kEdsSaveTo_Camera;  // the card keeps it; the host is still asked to take it
        std::optional<std::string> choice;
        if (isListWidget(current))
            choice = choiceForCode(id, wanted, current.choices);
        if (!choice)
            return EDS_ERR_INVALID_DEVICEPROP_VALUE;
        out.text = *choice;
        return EDS_ERR_OK;
    }
    case PropKind::Number:
        if (current.type == GPWidgetType::Range) {
            const float v = static_cast<float>(number);
            if (v < current.low || v > current.high)
                return EDS_ERR_INVALID_DEVICEPROP_VALUE;
            out.number = v;
            return EDS_ERR_OK;
        }
        if (current.type == GPWidgetType::Text) {
            out.text = std::to_string(number);
            return EDS_ERR_OK;
        }
        if (isListWidget(current)) {
            for (const std::string& c : current.choices)
                if (integerText(c) == std::optional<EdsUInt32>(number)) {
                    out.text = c;
                    return EDS_ERR_OK;
                }
        }
        return EDS_ERR_INVALID_DEVICEPROP_VALUE;
    case PropKind::Battery:
        return EDS_ERR_NOT_SUPPORTED;
    case PropKind::Text:
    case PropKind::Date:
    case PropKind::Local:
        return EDS_ERR_INVALID_PARAMETER;
    }
    return EDS_ERR_INVALID_PARAMETER;
}

EdsPropertyDesc descForWidget(EdsPropertyID id, const GPWidget& w)
{
    EdsPropertyDesc desc{};
    desc.access = w.readOnly ? 0 : 1;
    const PropertyMapping* m = mappingFor(id);
    if (!m || w.readOnly)
        return desc;
    std::vector<EdsUInt32> codes;
    auto add = [&](EdsUInt32 code) {
        if (std::find(codes.begin(), codes.end(), code) == codes.end() && codes.size() < 128)
            codes.push_back(code);
    };
    if (m->kind == PropKind::Number && id == kEvfZoom && w.type == GPWidgetType::Text) {
        for (EdsUInt32 z : {1u, 5u, 10u})
            add(z);
    } else if (m->kind == PropKind::Output && w.type == GPWidgetType::Toggle) {
        add(0);
        add(2);
    } else if (isListWidget(w)) {
        for (const std::string& c : w.choices) {
            std::optional<EdsUInt32> v;
            if (m->kind == PropKind::Output)
                v = outputMask(c);
            else if (m->kind == PropKind::SaveTo)
                v = saveToFor(c);
            else if (m->kind == PropKind::Number)
                v = integerText(c);
            else
                v = codeForChoice(id, c);
            if (v)
                add(*v);
        }
        if (m->kind == PropKind::SaveTo && std::find(codes.begin(), codes.end(), 1u) != codes.end() &&
            std::find(codes.begin(), codes.end(), 2u) != codes.end())
            add(kEdsSaveTo_Both);
    }
    if (!codes.empty()) {
        desc.form = 1;
        desc.numElements = static_cast<EdsInt32>(codes.size());
        for (size_t i = 0; i < codes.size(); ++i)
            desc.propDesc[i] = static_cast<EdsInt32>(codes[i]);
    }
    return desc;
}

EdsTime edsTimeForEpoch(long long seconds)
{
    return EdsCore::edsTimeForLocalSeconds(seconds);
}

std::optional<long long> epochForEdsTime(const EdsTime& t)
{
    static const unsigned days[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t.year < 1970 || t.year > 2100 || t.month < 1 || t.month > 12 || t.day < 1 || t.day > days[t.month - 1] ||
        t.hour > 23 || t.minute > 59 || t.second > 59 || t.milliseconds > 999)
        return std::nullopt;
    if (t.month == 2 && t.day == 29 && !((t.year % 4 == 0 && t.year % 100 != 0) || t.year % 400 == 0))
        return std::nullopt;
    return EdsCore::localSecondsForEdsTime(t);
}

EdsError edsErrorFor(int r)
{
    if (r >= 0)
        return EDS_ERR_OK;
    switch (r) {
    case kGPErrorBadParameters: return EDS_ERR_INVALID_PARAMETER;
    case kGPErrorNoMemory: return EDS_ERR_MEM_ALLOC_FAILED;
    case kGPErrorNotSupported: return EDS_ERR_NOT_SUPPORTED;
    case kGPErrorTimeout: return EDS_ERR_WAIT_TIMEOUT_ERROR;
    case kGPErrorUnknownPort:
    case kGPErrorIOUsbFind:
    case kGPErrorModelNotFound:
    case kGPErrorIOInit: return EDS_ERR_DEVICE_NOT_FOUND;
    case kGPErrorIOUsbClaim:
    case kGPErrorIOLock: return 0xC0;  // comm port is in use (another program holds the camera)
    case kGPErrorIO:
    case kGPErrorIORead:
    case kGPErrorIOWrite:
    case kGPErrorIOUpdate:
    case kGPErrorIOUsbClearHalt: return EDS_ERR_COMM_DISCONNECTED;
    case kGPErrorCameraBusy: return EDS_ERR_DEVICE_BUSY;
    case kGPErrorCancel: return EDS_ERR_OPERATION_CANCELLED;
    case kGPErrorNoSpace: return 0x84;  // device memory full
    case kGPErrorFileNotFound:
    case kGPErrorDirectoryNotFound: return 0x22;  // file not found
    case kGPErrorCorruptedData: return 0x2D;     // file data corrupt
    case kGPErrorCameraError: return 0x85;       // device internal error
    case kGPErrorFixedLimitExceeded: return EDS_ERR_INVALID_LENGTH;
    default: return EDS_ERR_INTERNAL_ERROR;
    }
}

bool isNoAnswerResult(int r)
{
    switch (r) {
    case kGPErrorIO:
    case kGPErrorTimeout:
    case kGPErrorIORead:
    case kGPErrorIOWrite:
    case kGPErrorIOUpdate:
    case kGPErrorIOUsbClearHalt:
    case kGPErrorIOUsbFind:
    case kGPErrorIOInit:
    case kGPErrorModelNotFound:
        return true;
    default:
        return false;
    }
}

const char* gpResultName(int r)
{
    switch (r) {
    case kGPOk: return "no error";
    case kGPError: return "unspecified error";
    case kGPErrorBadParameters: return "bad parameters";
    case kGPErrorNoMemory: return "out of memory";
    case kGPErrorLibrary: return "error in the camera driver";
    case kGPErrorUnknownPort: return "unknown port";
    case kGPErrorNotSupported: return "unsupported operation";
    case kGPErrorIO: return "I/O problem";
    case kGPErrorFixedLimitExceeded: return "fixed limit exceeded";
    case kGPErrorTimeout: return "timeout reading from or writing to the port";
    case kGPErrorIOInit: return "could not initialize port";
    case kGPErrorIORead: return "could not read from port";
    case kGPErrorIOWrite: return "could not write to port";
    case kGPErrorIOUsbClearHalt: return "could not clear halt";
    case kGPErrorIOUsbFind: return "could not find the requested device on the USB port";
    case kGPErrorIOUsbClaim: return "could not claim the USB device";
    case kGPErrorIOLock: return "could not lock the device";
    case kGPErrorCorruptedData: return "corrupted data";
    case kGPErrorModelNotFound: return "unknown model";
    case kGPErrorFileNotFound: return "file not found";
    case kGPErrorDirectoryNotFound: return "directory not found";
    case kGPErrorCameraBusy: return "camera busy";
    case kGPErrorCancel: return "cancelled";
    case kGPErrorCameraError: return "camera error";
    case kGPErrorNoSpace: return "not enough space";
    default: return "unknown error";
    }
}

TranslatedEvent translateEvent(const GPEvent& event, EdsUInt32 saveTo)
{
    TranslatedEvent t;
    switch (event.type) {
    case GPEventType::FileAdded:
        t.kind = TranslatedEvent::Kind::Object;
        t.event = (saveTo & kEdsSaveTo_Host) ? kEdsObjectEvent_DirItemRequestTransfer : kEdsObjectEvent_DirItemCreated;
        break;
    case GPEventType::FolderAdded:
        t.kind = TranslatedEvent::Kind::Object;
        t.event = kEdsObjectEvent_FolderUpdateItems;
        break;
    case GPEventType::FileChanged:
        t.kind = TranslatedEvent::Kind::Object;
        t.event = kEdsObjectEvent_DirItemInfoChanged;
        break;
    case GPEventType::Unknown:
        t.kind = TranslatedEvent::Kind::PropertyRefresh;
        break;
    case GPEventType::Timeout:
    case GPEventType::CaptureComplete:
        break;
    }
    return t;
}

namespace {

// A press or release of the shutter button through the remote release widget.
void planRelease(CommandPlan& p, const char* value, int after)
{
    p.kind = CommandPlan::Kind::SetRadio;
    p.widget = "eosremoterelease";
    p.value = value;
    p.shutterAfter = after;
}

void planFailure(CommandPlan& p, EdsError e)
{
    p.kind = CommandPlan::Kind::Fail;
    p.error = e;
}

// Press shutter button (0x4): param 0 releases it, 1 presses it halfway, 3 fully (the
// 0x1000x forms without autofocus alike); shutter is the button's state now.
void planShutterButton(CommandPlan& p, EdsUInt32 param, int shutter)
{
    switch (param) {
    case 0:
        if (shutter == 3)
            planRelease(p, "Release Full", 0);
        else if (shutter == 1)
            planRelease(p, "Release Half", 0);
        else
            p.shutterAfter = 0;
        return;
    case 1:
    case 0x10001:
        if (shutter == 0)
            planRelease(p, "Press Half", 1);
        return;
    case 3:
    case 0x10003:
        if (shutter != 3) {
            planRelease(p, "Press Full", 3);
            p.triggerIfMissing = true;
        }
        return;
    default:
        planFailure(p, EDS_ERR_DEVICE_INVALID_PARAMETER);
        return;
    }
}

// Drive lens (0x103): the near steps 1 to 3, the far steps 0x8001 to 0x8003.
void planLensDrive(CommandPlan& p, EdsUInt32 param)
{
    static const char* near[] = {"Near 1", "Near 2", "Near 3"};
    static const char* far[] = {"Far 1", "Far 2", "Far 3"};
    p.kind = CommandPlan::Kind::SetRadio;
    p.widget = "manualfocusdrive";
    if (param >= 1 && param <= 3)
        p.value = near[param - 1];
    else if (param >= 0x8001 && param <= 0x8003)
        p.value = far[param - 0x8001];
    else
        planFailure(p, EDS_ERR_DEVICE_INVALID_PARAMETER);
}

}  // namespace

CommandPlan planCommand(EdsCameraCommand command, EdsUInt32 param, int shutter)
{
    CommandPlan p;
    p.shutterAfter = shutter;
    switch (command) {
    case kEdsCameraCommand_TakePicture:
        p.kind = CommandPlan::Kind::Trigger;
        return p;
    case kEdsCameraCommand_ExtendShutDownTimer:
        return p;
    case kEdsCameraCommand_BulbStart:
        if (shutter == 3)
            planFailure(p, EDS_ERR_DEVICE_INVALID_PARAMETER);
        else
            planRelease(p, "Press Full", 3);
        return p;
    case kEdsCameraCommand_BulbEnd:
        if (shutter != 3)
            planFailure(p, EDS_ERR_DEVICE_INVALID_PARAMETER);
        else
            planRelease(p, "Release Full", 0);
        return p;
    case kEdsCameraCommand_PressShutterButton:
        planShutterButton(p, param, shutter);
        return p;
    case kEdsCameraCommand_DoEvfAf:
        if (param > 1) {
            planFailure(p, EDS_ERR_DEVICE_INVALID_PARAMETER);
            return p;
        }
        p.kind = CommandPlan::Kind::SetToggle;
        p.widget = param == 1 ? "autofocusdrive" : "cancelautofocus";
        p.toggle = 1;
        return p;
    case kEdsCameraCommand_DriveLensEvf:
        planLensDrive(p, param);
        return p;
    case kEdsCameraCommand_DoClickWBEvf:
        planFailure(p, EDS_ERR_NOT_SUPPORTED);
        return p;
    default:
        planFailure(p, EDS_ERR_UNKNOWN_COMMAND);
        return p;
    }
}

PropertyEvents diffSnapshots(const WidgetSnapshot& before, const WidgetSnapshot& after)
{
    PropertyEvents events;
    for (const auto& [id, w] : after) {
        if (w.type == GPWidgetType::Date)
            continue;
        auto it = before.find(id);
        if (it == before.end()) {
            events.emplace_back(kEdsPropertyEvent_PropertyChanged, id);
            continue;
        }
        const GPWidget& o = it->second;
        if (o.text != w.text || o.number != w.number || o.integer != w.integer)
            events.emplace_back(kEdsPropertyEvent_PropertyChanged, id);
        if (o.choices != w.choices || o.readOnly != w.readOnly || o.low != w.low || o.high != w.high)
            events.emplace_back(kEdsPropertyEvent_PropertyDescChanged, id);
    }
    return events;
}

}  // namespace GPhoto2
