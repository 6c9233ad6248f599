// Plain translation functions between the camera SDK interface (EdsSdk.h) and libgphoto2:
// property codes to configuration widget names, widget values to and from the SDK's
// value codes (by the display texts of the name tables, SNP_CanonCameraNames.h), widget
// choices to property descriptions, libgphoto2 results to SDK status codes, camera events
// to SDK events, and SDK commands to the widget writes that perform them. No state, no
// libgphoto2 calls: everything here is usable and tested without the library.
#pragma once

#include "EdsSdk.h"
#include "GPhoto2Port.h"

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace GPhoto2 {

// How a property's value is carried by its widget.
enum class PropKind {
    Choice,   // a radio/menu widget whose choices translate to value codes by display text
    Text,     // a text widget: SDK string
    Number,   // a number in a text or range widget (zoom, shots, colour temperature)
    Date,     // a date widget: SDK time record
    Battery,  // "100%" / "AC" text: percent or 0xFFFFFFFF for mains power
    SaveTo,   // "Internal RAM" (host) / "Memory card" (camera)
    Output,   // viewfinder outputs "TFT", "PC", "TFT + PC", "Off": bit mask
    Local     // kept by the SDK itself, no widget (the viewfinder mode)
};

struct PropertyMapping {
    EdsPropertyID id;
    PropKind kind;
    EdsDataType type;
    std::vector<std::string> widgets;  // tried in this order; the first the camera has is used
};

// The mapping of a property code, or null for a code this SDK does not serve.
const PropertyMapping* mappingFor(EdsPropertyID id);
// Every mapped code, in code order.
std::vector<EdsPropertyID> mappedProperties();

// The name-table display text a widget choice stands for ("100" -> "ISO 100" for the ISO
// speed, "Shadow" -> "Shade" for the white balance); the choice itself when no rule applies.
std::string displayTextForChoice(EdsPropertyID id, const std::string& choice);
// The value code of a choice: the code whose display text in the name tables is the
// choice's display text; "Auto" choices of ISO, aperture and shutter speed are code 0.
std::optional<EdsUInt32> codeForChoice(EdsPropertyID id, const std::string& choice);
// The first of the widget's choices that stands for the code.
std::optional<std::string> choiceForCode(EdsPropertyID id, EdsUInt32 code, const std::vector<std::string>& choices);

// The number a widget's current value stands for (every kind but Text and Date).
std::optional<EdsUInt32> numberForWidget(EdsPropertyID id, const GPWidget& widget);
// The widget value that writes the number: a copy of the current widget with its value
// replaced. EDS_ERR_NOT_SUPPORTED for a read-only widget, EDS_ERR_INVALID_DEVICEPROP_VALUE
// for a number none of its values stands for.
EdsError widgetForNumber(EdsPropertyID id, EdsUInt32 number, const GPWidget& current, GPWidget& out);
// The property description: access 1 when writable; the allowed codes in the camera's
// order (duplicates dropped, at most 128) with form 1 when the widget offers a list.
EdsPropertyDesc descForWidget(EdsPropertyID id, const GPWidget& widget);

// Local wall-clock time record <-> seconds since the epoch.
EdsTime edsTimeForEpoch(long long seconds);
std::optional<long long> epochForEdsTime(const EdsTime& time);

// libgphoto2 result -> SDK status (0 -> 0).
EdsError edsErrorFor(int gpResult);
// Results that mean the camera did not answer: it may have gone from the bus, or be on it
// and silent (asleep, its session hung, a time-out).
bool isNoAnswerResult(int gpResult);
const char* gpResultName(int gpResult);

// What a camera event becomes.
struct TranslatedEvent {
    enum class Kind { None, Object, PropertyRefresh } kind = Kind::None;
    EdsObjectEvent event = 0;
};
// A new file becomes a transfer request (0x208) when the save destination includes the
// host, else an item-created event (0x204); a new folder 0x203, a changed file 0x206;
// an unknown event asks for the watched properties to be compared again.
TranslatedEvent translateEvent(const GPEvent& event, EdsUInt32 saveTo);

// How a command is performed.
struct CommandPlan {
    enum class Kind { Done, Trigger, SetRadio, SetToggle, Fail } kind = Kind::Done;
    std::string widget;
    std::string value;        // SetRadio
    int toggle = 0;           // SetToggle
    EdsError error = EDS_ERR_OK;  // Fail
    int shutterAfter = 0;     // the shutter button's state once performed: 0 up, 1 half, 3 full
    bool triggerIfMissing = false;  // a full press on a camera without the release widget
};
CommandPlan planCommand(EdsCameraCommand command, EdsUInt32 param, int shutterState);

// Snapshot of the watched widgets, by property code.
using WidgetSnapshot = std::map<EdsPropertyID, GPWidget>;
using PropertyEvents = std::vector<std::pair<EdsPropertyEvent, EdsPropertyID>>;
// Value changes (0x101) and choice or access changes (0x102) between two snapshots;
// a property that appeared counts as changed. Date widgets are never compared (clocks run).
PropertyEvents diffSnapshots(const WidgetSnapshot& before, const WidgetSnapshot& after);

}  // namespace GPhoto2
