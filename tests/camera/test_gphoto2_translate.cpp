// The libgphoto2 translation functions: property codes to widgets, choices to value codes
// by the name tables' display texts, descriptions, results, events and commands.
#include "GPhoto2Translate.h"
#include "SNP_CanonCameraNames.h"

#include <gtest/gtest.h>

using namespace GPhoto2;

namespace {

enum : EdsPropertyID {
    kOwnerName = 0x4, kDateTime = 0x6, kBatteryLevel = 0x8, kSaveTo = 0xB, kImageQuality = 0x100,
    kWhiteBalance = 0x106, kAEMode = 0x400, kDriveMode = 0x401, kISO = 0x402, kMetering = 0x403, kAFMode = 0x404,
    kAv = 0x405, kTv = 0x406, kEv = 0x407, kEvfOutput = 0x500, kEvfMode = 0x501, kEvfZoom = 0x507,
};

GPWidget radio(const std::string& name, const std::string& value, std::vector<std::string> choices, bool ro = false)
{
    GPWidget w;
    w.name = name;
    w.type = GPWidgetType::Radio;
    w.text = value;
    w.choices = std::move(choices);
    w.readOnly = ro;
    return w;
}

GPWidget text(const std::string& name, const std::string& value)
{
    GPWidget w;
    w.name = name;
    w.type = GPWidgetType::Text;
    w.text = value;
    return w;
}

}  // namespace

TEST(GPhoto2Mapping, PropertiesTheBoothUsesHaveWidgetsAndOthersNone)
{
    struct Row {
        EdsPropertyID id;
        const char* widget;
        EdsDataType type;
    };
    const Row rows[] = {
        {kAEMode, "autoexposuremode", kEdsDataType_UInt32}, {kAv, "aperture", kEdsDataType_UInt32},
        {kTv, "shutterspeed", kEdsDataType_UInt32},         {kISO, "iso", kEdsDataType_UInt32},
        {kEv, "exposurecompensation", kEdsDataType_UInt32}, {kWhiteBalance, "whitebalance", kEdsDataType_Int32},
        {kDriveMode, "drivemode", kEdsDataType_UInt32},     {kMetering, "meteringmode", kEdsDataType_UInt32},
        {kAFMode, "focusmode", kEdsDataType_UInt32},        {kImageQuality, "imageformat", kEdsDataType_UInt32},
        {kBatteryLevel, "batterylevel", kEdsDataType_UInt32}, {0x7, "deviceversion", kEdsDataType_String},
        {0x40D, "lensname", kEdsDataType_String},           {kOwnerName, "ownername", kEdsDataType_String},
        {0x418, "artist", kEdsDataType_String},             {0x419, "copyright", kEdsDataType_String},
        {kDateTime, "datetime", kEdsDataType_Time},         {kSaveTo, "capturetarget", kEdsDataType_UInt32},
        {kEvfOutput, "output", kEdsDataType_UInt32},        {kEvfZoom, "eoszoom", kEdsDataType_UInt32},
    };
    for (const Row& row : rows) {
        const PropertyMapping* m = mappingFor(row.id);
        ASSERT_NE(m, nullptr) << std::hex << row.id;
        ASSERT_FALSE(m->widgets.empty());
        EXPECT_EQ(m->widgets.front(), row.widget) << std::hex << row.id;
        EXPECT_EQ(m->type, row.type) << std::hex << row.id;
    }
    ASSERT_NE(mappingFor(kEvfMode), nullptr);
    EXPECT_EQ(mappingFor(kEvfMode)->kind, PropKind::Local);
    EXPECT_EQ(mappingFor(0x10F), nullptr);  // PhotoEffect
    EXPECT_EQ(mappingFor(0x9), nullptr);    // CFn
    EXPECT_EQ(mappingFor(0x12345), nullptr);
    std::vector<EdsPropertyID> ids = mappedProperties();
    EXPECT_TRUE(std::is_sorted(ids.begin(), ids.end()));
    EXPECT_EQ(ids.size(), 26u);
}

TEST(GPhoto2Values, ChoicesBecomeCodesByTheNameTablesTexts)
{
    EXPECT_EQ(codeForChoice(kISO, "Auto"), 0u);
    EXPECT_EQ(codeForChoice(kISO, "100"), 0x48u);
    EXPECT_EQ(codeForChoice(kISO, "1600"), 0x68u);
    EXPECT_EQ(codeForChoice(kISO, "25600"), 0x88u);
    EXPECT_EQ(codeForChoice(kISO, "102400"), std::nullopt);

    EXPECT_EQ(codeForChoice(kAv, "5.6"), 0x30u);
    EXPECT_EQ(codeForChoice(kAv, "5"), 0x2Du);  // "5.0" in the table
    EXPECT_EQ(codeForChoice(kAv, "4.5"), 0x2Bu);
    EXPECT_EQ(codeForChoice(kAv, "13"), 0x44u);  // not the third stop "13 (1/3)"
    EXPECT_EQ(codeForChoice(kAv, "f/8"), 0x38u);
    EXPECT_EQ(codeForChoice(kAv, "22"), 0x50u);
    EXPECT_EQ(codeForChoice(kAv, "implicit auto"), 0u);

    EXPECT_EQ(codeForChoice(kTv, "30"), 0x10u);
    EXPECT_EQ(codeForChoice(kTv, "1/250"), 0x78u);
    EXPECT_EQ(codeForChoice(kTv, "0.5"), 0x40u);
    EXPECT_EQ(codeForChoice(kTv, "3.2"), 0x2Bu);
    EXPECT_EQ(codeForChoice(kTv, "2.5"), 0x2Du);
    EXPECT_EQ(codeForChoice(kTv, "1"), 0x38u);
    EXPECT_EQ(codeForChoice(kTv, "bulb"), 0xCu);
    EXPECT_EQ(codeForChoice(kTv, "1/8000"), 0xA0u);

    EXPECT_EQ(codeForChoice(kEv, "0"), 0x0u);
    EXPECT_EQ(codeForChoice(kEv, "-0.3"), 0xFDu);
    EXPECT_EQ(codeForChoice(kEv, "0.6"), 0x5u);
    EXPECT_EQ(codeForChoice(kEv, "0.7"), 0x5u);
    EXPECT_EQ(codeForChoice(kEv, "1.3"), 0xBu);
    EXPECT_EQ(codeForChoice(kEv, "-1.7"), 0xF3u);
    EXPECT_EQ(codeForChoice(kEv, "-3"), 0xE8u);
    EXPECT_EQ(codeForChoice(kEv, "2.5"), 0x14u);
    EXPECT_EQ(codeForChoice(kEv, "-0.5"), 0xFCu);
    EXPECT_EQ(displayTextForChoice(kEv, "1.3"), "+1 1/3");

    EXPECT_EQ(codeForChoice(kWhiteBalance, "Auto"), 0u);
    EXPECT_EQ(codeForChoice(kWhiteBalance, "Shadow"), 8u);
    EXPECT_EQ(codeForChoice(kWhiteBalance, "Tungsten"), 3u);
    EXPECT_EQ(codeForChoice(kWhiteBalance, "Manual"), 6u);
    EXPECT_EQ(codeForChoice(kWhiteBalance, "Color Temperature"), 9u);
    EXPECT_EQ(codeForChoice(kDriveMode, "Single"), 0u);
    EXPECT_EQ(codeForChoice(kDriveMode, "Timer 2 sec"), 17u);
    EXPECT_EQ(codeForChoice(kMetering, "Spot"), 1u);
    EXPECT_EQ(codeForChoice(kMetering, "Center-weighted average"), 5u);
    EXPECT_EQ(codeForChoice(kAFMode, "AI Servo"), 1u);
    EXPECT_EQ(codeForChoice(kAFMode, "Manual"), 3u);
    EXPECT_EQ(codeForChoice(kAEMode, "TV"), 1u);
    EXPECT_EQ(codeForChoice(kAEMode, "Manual"), 3u);
    EXPECT_EQ(codeForChoice(kAEMode, "Creative Auto"), 19u);

    std::optional<EdsUInt32> large = codeForChoice(kImageQuality, "Large Fine JPEG");
    ASSERT_TRUE(large);
    EXPECT_EQ(strForCanonCameraImageQuality(*large), "L1");
    std::optional<EdsUInt32> raw = codeForChoice(kImageQuality, "RAW + Large Fine JPEG");
    ASSERT_TRUE(raw);
    EXPECT_EQ(strForCanonCameraImageQuality(*raw), "RAW+L1");

    EXPECT_EQ(codeForChoice(kWhiteBalance, "Underwater"), std::nullopt);
    EXPECT_EQ(codeForChoice(kOwnerName, "Ann"), std::nullopt);  // no value table
}

TEST(GPhoto2Values, CodesGoBackToTheCamerasOwnChoices)
{
    const std::vector<std::string> isos = {"Auto", "100", "125", "160", "200", "400", "800", "1600"};
    for (const std::string& c : isos) {
        std::optional<EdsUInt32> code = codeForChoice(kISO, c);
        ASSERT_TRUE(code) << c;
        EXPECT_EQ(choiceForCode(kISO, *code, isos), c);
    }
    const std::vector<std::string> speeds = {"bulb", "30", "2.5", "0.3", "1/4", "1/60", "1/4000"};
    for (const std::string& c : speeds)
        EXPECT_EQ(choiceForCode(kTv, *codeForChoice(kTv, c), speeds), c);
    EXPECT_EQ(choiceForCode(kISO, 0x88, isos), std::nullopt);
}

TEST(GPhoto2Values, WidgetValuesOfTheOtherKinds)
{
    EXPECT_EQ(numberForWidget(kBatteryLevel, text("batterylevel", "100%")), 100u);
    EXPECT_EQ(numberForWidget(kBatteryLevel, text("batterylevel", "50%")), 50u);
    EXPECT_EQ(numberForWidget(kBatteryLevel, text("batterylevel", "AC")), 0xFFFFFFFFu);
    EXPECT_EQ(numberForWidget(kBatteryLevel, text("batterylevel", "full")), std::nullopt);

    const std::vector<std::string> outputs = {"TFT", "PC", "TFT + PC", "MOBILE", "Off", "Setting"};
    EXPECT_EQ(numberForWidget(kEvfOutput, radio("output", "TFT", outputs)), 1u);
    EXPECT_EQ(numberForWidget(kEvfOutput, radio("output", "PC", outputs)), 2u);
    EXPECT_EQ(numberForWidget(kEvfOutput, radio("output", "TFT + PC", outputs)), 3u);
    EXPECT_EQ(numberForWidget(kEvfOutput, radio("output", "Off", outputs)), 0u);
    EXPECT_EQ(numberForWidget(kEvfOutput, radio("output", "Setting", outputs)), std::nullopt);
    GPWidget out;
    ASSERT_EQ(widgetForNumber(kEvfOutput, 3, radio("output", "TFT", outputs), out), EDS_ERR_OK);
    EXPECT_EQ(out.text, "TFT + PC");
    EXPECT_EQ(widgetForNumber(kEvfOutput, 0x40, radio("output", "TFT", outputs), out), EDS_ERR_INVALID_DEVICEPROP_VALUE);
    GPWidget toggle;
    toggle.name = "viewfinder";
    toggle.type = GPWidgetType::Toggle;
    ASSERT_EQ(widgetForNumber(kEvfOutput, 3, toggle, out), EDS_ERR_OK);
    EXPECT_EQ(out.integer, 1);
    toggle.integer = 1;
    EXPECT_EQ(numberForWidget(kEvfOutput, toggle), 2u);

    const std::vector<std::string> targets = {"Internal RAM", "Memory card"};
    EXPECT_EQ(numberForWidget(kSaveTo, radio("capturetarget", "Internal RAM", targets)), 2u);
    EXPECT_EQ(numberForWidget(kSaveTo, radio("capturetarget", "Memory card", targets)), 1u);
    ASSERT_EQ(widgetForNumber(kSaveTo, 2, radio("capturetarget", "Memory card", targets), out), EDS_ERR_OK);
    EXPECT_EQ(out.text, "Internal RAM");
    ASSERT_EQ(widgetForNumber(kSaveTo, 3, radio("capturetarget", "Internal RAM", targets), out), EDS_ERR_OK);
    EXPECT_EQ(out.text, "Memory card");

    EXPECT_EQ(numberForWidget(kEvfZoom, text("eoszoom", "5")), 5u);
    EXPECT_EQ(numberForWidget(kEvfZoom, text("eoszoom", "0,0")), std::nullopt);
    ASSERT_EQ(widgetForNumber(kEvfZoom, 10, text("eoszoom", "1"), out), EDS_ERR_OK);
    EXPECT_EQ(out.text, "10");

    GPWidget range;
    range.type = GPWidgetType::Range;
    range.low = 2500;
    range.high = 10000;
    range.number = 5200;
    EXPECT_EQ(numberForWidget(0x107, range), 5200u);
    EXPECT_EQ(widgetForNumber(0x107, 20000, range, out), EDS_ERR_INVALID_DEVICEPROP_VALUE);
    ASSERT_EQ(widgetForNumber(0x107, 6500, range, out), EDS_ERR_OK);
    EXPECT_EQ(out.number, 6500.0f);
}

TEST(GPhoto2Values, WritesThatTheCameraCannotTake)
{
    GPWidget out;
    const GPWidget iso = radio("iso", "100", {"100", "200"});
    EXPECT_EQ(widgetForNumber(kISO, 0x50, iso, out), EDS_ERR_OK);
    EXPECT_EQ(out.text, "200");
    EXPECT_EQ(widgetForNumber(kISO, 0x68, iso, out), EDS_ERR_INVALID_DEVICEPROP_VALUE);
    EXPECT_EQ(widgetForNumber(kISO, 0x50, radio("iso", "100", {"100", "200"}, true), out), EDS_ERR_NOT_SUPPORTED);
    EXPECT_EQ(widgetForNumber(kBatteryLevel, 50, text("batterylevel", "100%"), out), EDS_ERR_NOT_SUPPORTED);
    EXPECT_EQ(widgetForNumber(0x10F, 1, iso, out), EDS_ERR_NOT_SUPPORTED);
}

TEST(GPhoto2Values, DescriptionsFromTheChoices)
{
    EdsPropertyDesc desc = descForWidget(kISO, radio("iso", "100", {"Auto", "100", "Weird", "100", "200"}));
    EXPECT_EQ(desc.access, 1);
    EXPECT_EQ(desc.form, 1);
    ASSERT_EQ(desc.numElements, 3);  // the unknown choice and the repeat are left out
    EXPECT_EQ(desc.propDesc[0], 0);
    EXPECT_EQ(desc.propDesc[1], 0x48);
    EXPECT_EQ(desc.propDesc[2], 0x50);

    desc = descForWidget(kISO, radio("iso", "100", {"100", "200"}, true));
    EXPECT_EQ(desc.access, 0);
    EXPECT_EQ(desc.numElements, 0);

    std::vector<std::string> many;
    for (int i = 0; i < 200; ++i)
        many.push_back(std::to_string(i));
    desc = descForWidget(kEvfZoom, radio("eoszoom", "1", many));
    EXPECT_EQ(desc.numElements, 128);
    EXPECT_EQ(desc.propDesc[127], 127);

    desc = descForWidget(kSaveTo, radio("capturetarget", "Memory card", {"Internal RAM", "Memory card"}));
    ASSERT_EQ(desc.numElements, 3);
    EXPECT_EQ(desc.propDesc[0], 2);
    EXPECT_EQ(desc.propDesc[1], 1);
    EXPECT_EQ(desc.propDesc[2], 3);

    desc = descForWidget(kEvfZoom, text("eoszoom", "1"));
    ASSERT_EQ(desc.numElements, 3);
    EXPECT_EQ(desc.propDesc[2], 10);

    desc = descForWidget(kOwnerName, text("ownername", "Ann"));
    EXPECT_EQ(desc.access, 1);
    EXPECT_EQ(desc.numElements, 0);
}

TEST(GPhoto2Values, CameraClockRecord)
{
    EdsTime t{2026, 12, 6, 21, 5, 9, 0};
    std::optional<long long> secs = epochForEdsTime(t);
    ASSERT_TRUE(secs);
    EdsTime back = edsTimeForEpoch(*secs);
    EXPECT_EQ(back.year, 2026u);
    EXPECT_EQ(back.month, 12u);
    EXPECT_EQ(back.day, 6u);
    EXPECT_EQ(back.hour, 21u);
    EXPECT_EQ(back.minute, 5u);
    EXPECT_EQ(back.second, 9u);
    EXPECT_EQ(epochForEdsTime(EdsTime{2026, 2, 30, 0, 0, 0, 0}), std::nullopt);
    EXPECT_EQ(epochForEdsTime(EdsTime{2025, 2, 29, 0, 0, 0, 0}), std::nullopt);
    EXPECT_TRUE(epochForEdsTime(EdsTime{2024, 2, 29, 0, 0, 0, 0}));
    EXPECT_EQ(epochForEdsTime(EdsTime{2026, 1, 1, 24, 0, 0, 0}), std::nullopt);
}

TEST(GPhoto2Results, StatusCodesAndDisconnects)
{
    EXPECT_EQ(edsErrorFor(kGPOk), EDS_ERR_OK);
    EXPECT_EQ(edsErrorFor(5), EDS_ERR_OK);
    EXPECT_EQ(edsErrorFor(kGPErrorNotSupported), EDS_ERR_NOT_SUPPORTED);
    EXPECT_EQ(edsErrorFor(kGPErrorCameraBusy), EDS_ERR_DEVICE_BUSY);
    EXPECT_EQ(edsErrorFor(kGPErrorIOUsbFind), EDS_ERR_DEVICE_NOT_FOUND);
    EXPECT_EQ(edsErrorFor(kGPErrorIORead), EDS_ERR_COMM_DISCONNECTED);
    EXPECT_EQ(edsErrorFor(kGPErrorIOUsbClaim), 0xC0u);
    EXPECT_EQ(strForEDSError(edsErrorFor(kGPErrorIOUsbClaim)), "comm port is in use");
    EXPECT_EQ(edsErrorFor(kGPErrorCancel), EDS_ERR_OPERATION_CANCELLED);
    EXPECT_EQ(edsErrorFor(kGPErrorTimeout), EDS_ERR_WAIT_TIMEOUT_ERROR);
    EXPECT_EQ(edsErrorFor(kGPError), EDS_ERR_INTERNAL_ERROR);
    EXPECT_EQ(edsErrorFor(-9999), EDS_ERR_INTERNAL_ERROR);
    EXPECT_TRUE(isNoAnswerResult(kGPErrorIO));
    EXPECT_TRUE(isNoAnswerResult(kGPErrorIOUsbFind));
    EXPECT_TRUE(isNoAnswerResult(kGPErrorTimeout));
    EXPECT_FALSE(isNoAnswerResult(kGPErrorCameraBusy));
    EXPECT_FALSE(isNoAnswerResult(kGPErrorNotSupported));
    EXPECT_STREQ(gpResultName(kGPErrorCameraBusy), "camera busy");
}

TEST(GPhoto2Events, CameraEventsBecomeSdkEvents)
{
    GPEvent added{GPEventType::FileAdded, "/store_00000001", "IMG_0001.JPG", ""};
    TranslatedEvent t = translateEvent(added, kEdsSaveTo_Host);
    EXPECT_EQ(t.kind, TranslatedEvent::Kind::Object);
    EXPECT_EQ(t.event, kEdsObjectEvent_DirItemRequestTransfer);
    EXPECT_EQ(translateEvent(added, kEdsSaveTo_Both).event, kEdsObjectEvent_DirItemRequestTransfer);
    EXPECT_EQ(translateEvent(added, kEdsSaveTo_Camera).event, kEdsObjectEvent_DirItemCreated);
    EXPECT_EQ(translateEvent(GPEvent{GPEventType::FolderAdded, "/DCIM/101CANON", "", ""}, 2).event,
              kEdsObjectEvent_FolderUpdateItems);
    EXPECT_EQ(translateEvent(GPEvent{GPEventType::Unknown, "", "", "PTP Property d105 changed"}, 2).kind,
              TranslatedEvent::Kind::PropertyRefresh);
    EXPECT_EQ(translateEvent(GPEvent{GPEventType::Timeout, "", "", ""}, 2).kind, TranslatedEvent::Kind::None);
    EXPECT_EQ(translateEvent(GPEvent{GPEventType::CaptureComplete, "", "", ""}, 2).kind, TranslatedEvent::Kind::None);
}

TEST(GPhoto2Events, WidgetComparison)
{
    WidgetSnapshot before{{kISO, radio("iso", "100", {"100", "200"})}, {kAv, radio("aperture", "4", {"4", "5.6"})}};
    GPWidget clock;
    clock.type = GPWidgetType::Date;
    clock.integer = 1000;
    before[kDateTime] = clock;
    WidgetSnapshot after = before;
    EXPECT_TRUE(diffSnapshots(before, after).empty());
    after[kISO].text = "200";
    after[kAv].choices = {"5.6"};
    after[kDateTime].integer = 1001;  // a running clock is no change
    after[kEv] = radio("exposurecompensation", "0", {"0"});
    PropertyEvents events = diffSnapshots(before, after);
    ASSERT_EQ(events.size(), 3u);
    EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(EdsPropertyEvent(0x101), EdsPropertyID(kISO))),
              events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(EdsPropertyEvent(0x102), EdsPropertyID(kAv))),
              events.end());
    EXPECT_NE(std::find(events.begin(), events.end(), std::make_pair(EdsPropertyEvent(0x101), EdsPropertyID(kEv))),
              events.end());
}

TEST(GPhoto2Commands, ShutterButtonFollowsItsState)
{
    CommandPlan p = planCommand(kEdsCameraCommand_TakePicture, 0, 0);
    EXPECT_EQ(p.kind, CommandPlan::Kind::Trigger);

    p = planCommand(kEdsCameraCommand_PressShutterButton, 1, 0);
    EXPECT_EQ(p.kind, CommandPlan::Kind::SetRadio);
    EXPECT_EQ(p.widget, "eosremoterelease");
    EXPECT_EQ(p.value, "Press Half");
    EXPECT_EQ(p.shutterAfter, 1);
    p = planCommand(kEdsCameraCommand_PressShutterButton, 3, 1);
    EXPECT_EQ(p.value, "Press Full");
    EXPECT_TRUE(p.triggerIfMissing);
    EXPECT_EQ(p.shutterAfter, 3);
    p = planCommand(kEdsCameraCommand_PressShutterButton, 0x10003, 3);  // held: no second picture
    EXPECT_EQ(p.kind, CommandPlan::Kind::Done);
    p = planCommand(kEdsCameraCommand_PressShutterButton, 0, 3);
    EXPECT_EQ(p.value, "Release Full");
    EXPECT_EQ(p.shutterAfter, 0);
    p = planCommand(kEdsCameraCommand_PressShutterButton, 0, 1);
    EXPECT_EQ(p.value, "Release Half");
    p = planCommand(kEdsCameraCommand_PressShutterButton, 0, 0);
    EXPECT_EQ(p.kind, CommandPlan::Kind::Done);
    p = planCommand(kEdsCameraCommand_PressShutterButton, 2, 0);
    EXPECT_EQ(p.kind, CommandPlan::Kind::Fail);
    EXPECT_EQ(p.error, EDS_ERR_DEVICE_INVALID_PARAMETER);
}

TEST(GPhoto2Commands, LensDriveFocusAndOthers)
{
    CommandPlan p = planCommand(kEdsCameraCommand_DriveLensEvf, 2, 0);
    EXPECT_EQ(p.widget, "manualfocusdrive");
    EXPECT_EQ(p.value, "Near 2");
    p = planCommand(kEdsCameraCommand_DriveLensEvf, 0x8003, 0);
    EXPECT_EQ(p.value, "Far 3");
    for (EdsUInt32 bad : {0u, 4u, 0x8000u, 0x8004u})
        EXPECT_EQ(planCommand(kEdsCameraCommand_DriveLensEvf, bad, 0).kind, CommandPlan::Kind::Fail) << bad;
    p = planCommand(kEdsCameraCommand_DoEvfAf, 1, 0);
    EXPECT_EQ(p.kind, CommandPlan::Kind::SetToggle);
    EXPECT_EQ(p.widget, "autofocusdrive");
    EXPECT_EQ(planCommand(kEdsCameraCommand_DoEvfAf, 0, 0).widget, "cancelautofocus");
    EXPECT_EQ(planCommand(kEdsCameraCommand_ExtendShutDownTimer, 0, 0).kind, CommandPlan::Kind::Done);
    EXPECT_EQ(planCommand(kEdsCameraCommand_BulbEnd, 0, 0).kind, CommandPlan::Kind::Fail);
    EXPECT_EQ(planCommand(kEdsCameraCommand_BulbStart, 0, 0).value, "Press Full");
    EXPECT_EQ(planCommand(kEdsCameraCommand_DoClickWBEvf, 0, 0).error, EDS_ERR_NOT_SUPPORTED);
    EXPECT_EQ(planCommand(0x7777, 0, 0).error, EDS_ERR_UNKNOWN_COMMAND);
}
