// The libgphoto2 translation functions: property codes to widgets, choices to value codes
// by the name tables' display texts, descriptions, results, events and commands.
#include "GPhoto2Translate.h"
#include "SNP_CanonCameraNames.h"

#include <gtest/gtest.h>

using namespace GPhoto2;

namespace {

enum : EdsPropertyID {
    kOwnerName = 0x4, kDateTime = 0x6, kBattery = 0x8, kSaveTo = 0xB, kQuality = 0x100, kWB = 0x106,
    kAEMode = 0x400, kDrive = 0x401, kISO = 0x402, kMetering = 0x403, kAF = 0x404, kAv = 0x405, kTv = 0x406,
    kEv = 0x407, kEvfOutput = 0x500, kEvfMode = 0x501, kEvfZoom = 0x507, kColorTemperature = 0x107,
};
using Type = GPWidgetType;

GPWidget widget(Type type, const std::string& value, std::vector<std::string> choices = {}, bool readOnly = false)
{
    return GPWidget{"w", type, readOnly, value, 0, 0, 0, 0, 0, std::move(choices)};
}
GPWidget radio(const std::string& value, std::vector<std::string> choices) { return widget(Type::Radio, value, choices); }
GPWidget text(const std::string& value) { return widget(Type::Text, value); }
const std::vector<std::string> kOutputs{"TFT", "PC", "TFT + PC", "MOBILE", "Off", "Setting"};
const std::vector<std::string> kTargets{"Internal RAM", "Memory card"};

}  // namespace

TEST(GPhoto2Mapping, PropertiesWithoutAWidgetAreNotServed)
{
    EXPECT_EQ(mappingFor(kEvfMode)->kind, PropKind::Local);  // kept by the SDK itself
    for (EdsPropertyID unmapped : {0x10Fu, 0x9u, 0x12345u})
        EXPECT_EQ(mappingFor(unmapped), nullptr) << std::hex << unmapped;
}

TEST(GPhoto2Values, ChoicesBecomeCodesByTheNameTablesTextsAndBack)
{
    const std::optional<EdsUInt32> none;
    const struct { EdsPropertyID id; const char* choice; std::optional<EdsUInt32> code; } rows[] = {
        {kISO, "Auto", 0}, {kISO, "1600", 0x68}, {kISO, "25600", 0x88}, {kISO, "102400", none}, {kAv, "5", 0x2D},
        {kAv, "13", 0x44} /* not the third stop "13 (1/3)" */, {kAv, "f/8", 0x38}, {kAv, "implicit auto", 0},
        {kTv, "30", 0x10}, {kTv, "1/250", 0x78}, {kTv, "0.5", 0x40}, {kTv, "3.2", 0x2B}, {kTv, "2.5", 0x2D},
        {kTv, "1", 0x38}, {kTv, "bulb", 0xC}, {kEv, "-0.3", 0xFD}, {kEv, "0.6", 0x5}, {kEv, "0.7", 0x5},
        {kEv, "-1.7", 0xF3}, {kEv, "2.5", 0x14}, {kEv, "-0.5", 0xFC}, {kWB, "Shadow", 8}, {kWB, "Underwater", none},
        {kWB, "Color Temperature", 9}, {kDrive, "Timer 2 sec", 17}, {kMetering, "Center-weighted average", 5},
        {kAF, "AI Servo", 1}, {kAEMode, "TV", 1}, {kAEMode, "Creative Auto", 19}, {kOwnerName, "Ann", none},
    };
    for (const auto& row : rows)
        EXPECT_EQ(codeForChoice(row.id, row.choice), row.code) << std::hex << row.id << " " << row.choice;
    EXPECT_EQ(displayTextForChoice(kEv, "1.3"), "+1 1/3");
    EXPECT_EQ(strForCanonCameraImageQuality(codeForChoice(kQuality, "RAW + Large Fine JPEG").value_or(0)), "RAW+L1");

    const std::vector<std::string> isos = {"Auto", "100", "125", "160", "200", "400", "800", "1600"};
    const std::vector<std::string> speeds = {"bulb", "30", "2.5", "0.3", "1/4", "1/60", "1/4000"};
    for (const auto& [id, choices] : {std::make_pair(kISO, isos), std::make_pair(kTv, speeds)})
        for (const std::string& c : choices)
            EXPECT_EQ(choiceForCode(id, codeForChoice(id, c).value_or(0xFFFF), choices), c);
    EXPECT_EQ(choiceForCode(kISO, 0x88, isos), std::nullopt);
}

TEST(GPhoto2Values, WidgetValuesOfTheOtherKinds)
{
    GPWidget toggle = widget(Type::Toggle, ""), range = widget(Type::Range, ""), out;
    toggle.integer = 1;
    range.low = 2500, range.high = 10000, range.number = 5200;
    const struct { EdsPropertyID id; GPWidget w; std::optional<EdsUInt32> number; } reads[] = {
        {kBattery, text("50%"), 50}, {kBattery, text("AC"), 0xFFFFFFFF}, {kBattery, text("full"), std::nullopt},
        {kEvfOutput, radio("TFT + PC", kOutputs), 3}, {kEvfOutput, radio("Off", kOutputs), 0}, {kEvfOutput, toggle, 2},
        {kEvfOutput, radio("Setting", kOutputs), std::nullopt}, {kSaveTo, radio("Internal RAM", kTargets), 2},
        {kSaveTo, radio("Memory card", kTargets), 1}, {kEvfZoom, text("5"), 5}, {kEvfZoom, text("0,0"), std::nullopt},
        {kColorTemperature, range, 5200},
    };
    for (const auto& row : reads)
        EXPECT_EQ(numberForWidget(row.id, row.w), row.number) << std::hex << row.id << " " << row.w.text;

    const GPWidget iso = radio("100", {"100", "200"});
    const struct { EdsPropertyID id; EdsUInt32 number; GPWidget before; EdsError status; std::string text; } writes[] = {
        {kEvfOutput, 3, radio("TFT", kOutputs), EDS_ERR_OK, "TFT + PC"}, {kEvfZoom, 10, text("1"), EDS_ERR_OK, "10"},
        {kEvfOutput, 0x40, radio("TFT", kOutputs), EDS_ERR_INVALID_DEVICEPROP_VALUE, ""},
        {kSaveTo, 2, radio("Memory card", kTargets), EDS_ERR_OK, "Internal RAM"},
        {kSaveTo, 3, radio("Internal RAM", kTargets), EDS_ERR_OK, "Memory card"}, {kISO, 0x50, iso, EDS_ERR_OK, "200"},
        {kISO, 0x68, iso, EDS_ERR_INVALID_DEVICEPROP_VALUE, ""}, {0x10F, 1, iso, EDS_ERR_NOT_SUPPORTED, ""},
        {kISO, 0x50, widget(Type::Radio, "100", {"100", "200"}, true), EDS_ERR_NOT_SUPPORTED, ""},
        {kBattery, 50, text("100%"), EDS_ERR_NOT_SUPPORTED, ""},
        {kColorTemperature, 20000, range, EDS_ERR_INVALID_DEVICEPROP_VALUE, ""},
    };
    for (const auto& row : writes) {
        EXPECT_EQ(widgetForNumber(row.id, row.number, row.before, out), row.status) << std::hex << row.id << " " << row.number;
        if (row.status == EDS_ERR_OK) {
            EXPECT_EQ(out.text, row.text) << std::hex << row.id << " " << row.number;
        }
    }
    toggle.integer = 0;
    ASSERT_EQ(widgetForNumber(kEvfOutput, 3, toggle, out), EDS_ERR_OK);
    EXPECT_EQ(out.integer, 1);
    ASSERT_EQ(widgetForNumber(kColorTemperature, 6500, range, out), EDS_ERR_OK);
    EXPECT_EQ(out.number, 6500.0f);
}

TEST(GPhoto2Values, DescriptionsFromTheChoices)
{
    std::vector<std::string> many;
    for (int i = 0; i < 200; ++i)
        many.push_back(std::to_string(i));
    const struct { EdsPropertyID id; GPWidget w; EdsInt32 access; std::vector<EdsInt32> codes; } rows[] = {
        {kISO, radio("100", {"Auto", "100", "Weird", "100", "200"}), 1, {0, 0x48, 0x50}},  // unknown, repeat left out
        {kISO, widget(Type::Radio, "100", {"100", "200"}, true), 0, {}}, {kOwnerName, text("Ann"), 1, {}},
        {kSaveTo, radio("Memory card", kTargets), 1, {2, 1, 3}}, {kEvfZoom, text("1"), 1, {1, 5, 10}},
    };
    for (const auto& row : rows) {
        const EdsPropertyDesc desc = descForWidget(row.id, row.w);
        EXPECT_EQ(desc.access, row.access) << std::hex << row.id;
        EXPECT_EQ(std::vector<EdsInt32>(desc.propDesc, desc.propDesc + desc.numElements), row.codes) << std::hex << row.id;
    }
    const EdsPropertyDesc bounded = descForWidget(kEvfZoom, radio("1", many));
    EXPECT_EQ(std::make_pair(bounded.numElements, bounded.propDesc[127]), std::make_pair(EdsInt32(128), EdsInt32(127)));
}

TEST(GPhoto2Values, CameraClockRecord)
{
    const EdsTime back = edsTimeForEpoch(epochForEdsTime(EdsTime{2026, 12, 6, 21, 5, 9, 0}).value_or(0));
    EXPECT_EQ(std::vector<EdsUInt32>({back.year, back.month, back.day, back.hour, back.minute, back.second}),
              std::vector<EdsUInt32>({2026, 12, 6, 21, 5, 9}));
    EXPECT_TRUE(epochForEdsTime(EdsTime{2024, 2, 29, 0, 0, 0, 0}));
    for (const EdsTime& bad : {EdsTime{2026, 2, 30, 0, 0, 0, 0}, EdsTime{2025, 2, 29, 0, 0, 0, 0}, EdsTime{2026, 1, 1, 24, 0, 0, 0}})
        EXPECT_EQ(epochForEdsTime(bad), std::nullopt) << bad.month << "/" << bad.day;
}

TEST(GPhoto2Results, StatusCodesAndCamerasThatDoNotAnswer)
{
    const struct { int gp; EdsError eds; bool noAnswer; } rows[] = {
        {kGPOk, EDS_ERR_OK, false}, {5, EDS_ERR_OK, false}, {kGPErrorNotSupported, EDS_ERR_NOT_SUPPORTED, false},
        {kGPErrorCameraBusy, EDS_ERR_DEVICE_BUSY, false}, {kGPErrorIOUsbFind, EDS_ERR_DEVICE_NOT_FOUND, true},
        {kGPErrorIO, EDS_ERR_COMM_DISCONNECTED, true}, {kGPErrorIORead, EDS_ERR_COMM_DISCONNECTED, true},
        {kGPErrorIOUsbClaim, 0xC0 /* comm port is in use */, false}, {kGPErrorCancel, EDS_ERR_OPERATION_CANCELLED, false},
        {kGPErrorTimeout, EDS_ERR_WAIT_TIMEOUT_ERROR, true}, {kGPError, EDS_ERR_INTERNAL_ERROR, false},
        {-9999, EDS_ERR_INTERNAL_ERROR, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(std::make_pair(edsErrorFor(row.gp), isNoAnswerResult(row.gp)), std::make_pair(row.eds, row.noAnswer)) << row.gp;
}

TEST(GPhoto2Events, CameraEventsBecomeSdkEvents)
{
    using K = TranslatedEvent::Kind;
    const GPEvent added{GPEventType::FileAdded, "/store_00000001", "IMG_0001.JPG", ""};
    const struct { GPEvent event; EdsUInt32 saveTo; K kind; EdsUInt32 code; } rows[] = {
        {added, kEdsSaveTo_Host, K::Object, kEdsObjectEvent_DirItemRequestTransfer},
        {added, kEdsSaveTo_Both, K::Object, kEdsObjectEvent_DirItemRequestTransfer},
        {added, kEdsSaveTo_Camera, K::Object, kEdsObjectEvent_DirItemCreated},
        {GPEvent{GPEventType::FolderAdded, "/DCIM/101CANON", "", ""}, 2, K::Object, kEdsObjectEvent_FolderUpdateItems},
        {GPEvent{GPEventType::Unknown, "", "", "PTP Property d105 changed"}, 2, K::PropertyRefresh, 0},
        {GPEvent{GPEventType::Timeout, "", "", ""}, 2, K::None, 0}, {GPEvent{GPEventType::CaptureComplete, "", "", ""}, 2, K::None, 0},
    };
    for (const auto& row : rows) {
        const TranslatedEvent t = translateEvent(row.event, row.saveTo);
        EXPECT_EQ(std::make_pair(t.kind, row.kind == K::Object ? t.event : 0), std::make_pair(row.kind, row.code))
            << int(row.event.type) << " " << row.saveTo;
    }
}

TEST(GPhoto2Events, WidgetComparison)
{
    const WidgetSnapshot before{
        {kISO, radio("100", {"100", "200"})}, {kAv, radio("4", {"4", "5.6"})}, {kDateTime, widget(Type::Date, "")}};
    WidgetSnapshot after = before;
    EXPECT_TRUE(diffSnapshots(before, after).empty());
    after[kISO].text = "200";
    after[kAv].choices = {"5.6"};
    after[kDateTime].integer = 1001;  // a running clock is no change
    after[kEv] = radio("0", {"0"});
    PropertyEvents events = diffSnapshots(before, after);
    std::sort(events.begin(), events.end());
    EXPECT_EQ(events, (PropertyEvents{{0x101, kISO}, {0x101, kEv}, {0x102, kAv}}));
}

TEST(GPhoto2Commands, CommandPlans)
{
    using K = CommandPlan::Kind;
    const EdsUInt32 press = kEdsCameraCommand_PressShutterButton, lens = kEdsCameraCommand_DriveLensEvf;
    const EdsError bad = EDS_ERR_DEVICE_INVALID_PARAMETER;
    const struct { EdsUInt32 command, param; int shutter; K kind; std::string widget, value; int after; EdsError error; } rows[] = {
        {kEdsCameraCommand_TakePicture, 0, 0, K::Trigger, "", "", 0, 0},
        {press, 1, 0, K::SetRadio, "eosremoterelease", "Press Half", 1, 0},
        {press, 3, 1, K::SetRadio, "eosremoterelease", "Press Full", 3, 0},
        {press, 0x10003, 3, K::Done, "", "", 0, 0},  // held: no second picture
        {press, 0, 3, K::SetRadio, "eosremoterelease", "Release Full", 0, 0},
        {press, 0, 1, K::SetRadio, "eosremoterelease", "Release Half", 0, 0},
        {press, 0, 0, K::Done, "", "", 0, 0}, {press, 2, 0, K::Fail, "", "", 0, bad},
        {lens, 2, 0, K::SetRadio, "manualfocusdrive", "Near 2", 0, 0},
        {lens, 0x8003, 0, K::SetRadio, "manualfocusdrive", "Far 3", 0, 0}, {lens, 0, 0, K::Fail, "", "", 0, bad},
        {lens, 4, 0, K::Fail, "", "", 0, bad}, {lens, 0x8000, 0, K::Fail, "", "", 0, bad},
        {lens, 0x8004, 0, K::Fail, "", "", 0, bad},
        {kEdsCameraCommand_DoEvfAf, 1, 0, K::SetToggle, "autofocusdrive", "", 0, 0},
        {kEdsCameraCommand_DoEvfAf, 0, 0, K::SetToggle, "cancelautofocus", "", 0, 0},
        {kEdsCameraCommand_ExtendShutDownTimer, 0, 0, K::Done, "", "", 0, 0},
        {kEdsCameraCommand_BulbStart, 0, 0, K::SetRadio, "eosremoterelease", "Press Full", 3, 0},
        {kEdsCameraCommand_DoClickWBEvf, 0, 0, K::Fail, "", "", 0, EDS_ERR_NOT_SUPPORTED},
        {0x7777, 0, 0, K::Fail, "", "", 0, EDS_ERR_UNKNOWN_COMMAND},
    };
    for (const auto& row : rows) {
        const CommandPlan p = planCommand(row.command, row.param, row.shutter);
        EXPECT_EQ(std::make_pair(p.kind, p.error), std::make_pair(row.kind, row.error)) << std::hex << row.command << "/" << row.param;
        if (row.kind == K::SetRadio || row.kind == K::SetToggle) {
            EXPECT_EQ(std::make_tuple(p.widget, p.value, p.shutterAfter), std::make_tuple(row.widget, row.value, row.after))
                << std::hex << row.command << "/" << row.param;
        }
    }
    EXPECT_TRUE(planCommand(press, 3, 1).triggerIfMissing);
}
