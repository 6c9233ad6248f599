// The libgphoto2 translation functions: property codes to widgets, choices to value codes
// by the name tables' display texts, descriptions, the clock, results and commands.
#include "GPhoto2Translate.h"

#include <gtest/gtest.h>

using namespace GPhoto2;

namespace {

enum : EdsPropertyID {
    kOwnerName = 0x4, kBattery = 0x8, kSaveTo = 0xB, kWB = 0x106, kISO = 0x402, kAv = 0x405,
    kTv = 0x406, kEv = 0x407, kEvfOutput = 0x500, kEvfZoom = 0x507, kColorTemperature = 0x107,
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

TEST(GPhoto2Values, ChoicesBecomeCodesByTheNameTablesTextsAndBack)
{
    const std::optional<EdsUInt32> none;
    const struct { EdsPropertyID id; const char* choice; std::optional<EdsUInt32> code; } rows[] = {
        {kISO, "Auto", 0}, {kISO, "1600", 0x68}, {kISO, "102400", none}, {kAv, "5", 0x2D},
        {kAv, "13", 0x44} /* not the third stop "13 (1/3)" */, {kAv, "f/8", 0x38}, {kTv, "30", 0x10}, {kTv, "1/250", 0x78},
        {kTv, "0.5", 0x40}, {kTv, "bulb", 0xC}, {kEv, "-0.3", 0xFD}, {kEv, "0.6", 0x5}, {kEv, "-1.7", 0xF3},
        {kEv, "-0.5", 0xFC}, {kWB, "Shadow", 8}, {kWB, "Underwater", none}, {kOwnerName, "Ann", none},
    };
    for (const auto& row : rows)
        EXPECT_EQ(codeForChoice(row.id, row.choice), row.code) << std::hex << row.id << " " << row.choice;

    const std::vector<std::string> isos = {"Auto", "100", "125", "160", "200", "400", "800", "1600"};
    const std::vector<std::string> speeds = {"bulb", "30", "2.5", "0.3", "1/4", "1/60", "1/4000"};
    for (const auto& [id, choices] : {std::make_pair(kISO, isos), std::make_pair(kTv, speeds)})
        for (const std::string& c : choices)
            EXPECT_EQ(choiceForCode(id, codeForChoice(id, c).value_or(0xFFFF), choices), c);
    EXPECT_EQ(choiceForCode(kISO, 0x88, isos), std::nullopt);
}

TEST(GPhoto2Values, WidgetValuesOfTheOtherKindsAndTheClock)
{
    GPWidget toggle = widget(Type::Toggle, ""), range = widget(Type::Range, ""), out;
    toggle.integer = 1;
    range.low = 2500, range.high = 10000, range.number = 5200;
    const struct { EdsPropertyID id; GPWidget w; std::optional<EdsUInt32> number; } reads[] = {
        {kBattery, text("50%"), 50}, {kBattery, text("AC"), 0xFFFFFFFF}, {kBattery, text("full"), std::nullopt},
        {kEvfOutput, radio("TFT + PC", kOutputs), 3}, {kEvfOutput, toggle, 2}, {kEvfOutput, radio("Setting", kOutputs), std::nullopt},
        {kSaveTo, radio("Internal RAM", kTargets), 2}, {kEvfZoom, text("0,0"), std::nullopt}, {kColorTemperature, range, 5200},
    };
    for (const auto& row : reads)
        EXPECT_EQ(numberForWidget(row.id, row.w), row.number) << std::hex << row.id << " " << row.w.text;

    const GPWidget iso = radio("100", {"100", "200"});
    const struct { EdsPropertyID id; EdsUInt32 number; GPWidget before; EdsError status; std::string text; } writes[] = {
        {kEvfOutput, 3, radio("TFT", kOutputs), EDS_ERR_OK, "TFT + PC"}, {kEvfZoom, 10, text("1"), EDS_ERR_OK, "10"},
        {kEvfOutput, 0x40, radio("TFT", kOutputs), EDS_ERR_INVALID_DEVICEPROP_VALUE, ""},
        {kSaveTo, 3, radio("Internal RAM", kTargets), EDS_ERR_OK, "Memory card"}, {kISO, 0x50, iso, EDS_ERR_OK, "200"},
        {kISO, 0x68, iso, EDS_ERR_INVALID_DEVICEPROP_VALUE, ""},
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
    // The camera's clock: impossible dates are no time.
    EXPECT_TRUE(epochForEdsTime(EdsTime{2024, 2, 29, 0, 0, 0, 0}));
    for (const EdsTime& bad : {EdsTime{2026, 2, 30, 0, 0, 0, 0}, EdsTime{2025, 2, 29, 0, 0, 0, 0}, EdsTime{2026, 1, 1, 24, 0, 0, 0}})
        EXPECT_EQ(epochForEdsTime(bad), std::nullopt) << bad.month << "/" << bad.day;
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

TEST(GPhoto2Results, StatusCodesAndCamerasThatDoNotAnswer)
{
    const struct { int gp; EdsError eds; bool noAnswer; } rows[] = {
        {5, EDS_ERR_OK, false}, {kGPErrorIOUsbFind, EDS_ERR_DEVICE_NOT_FOUND, true}, {kGPErrorIO, EDS_ERR_COMM_DISCONNECTED, true},
        {kGPErrorIOUsbClaim, 0xC0 /* comm port is in use */, false}, {kGPErrorTimeout, EDS_ERR_WAIT_TIMEOUT_ERROR, true},
        {-9999, EDS_ERR_INTERNAL_ERROR, false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(std::make_pair(edsErrorFor(row.gp), isNoAnswerResult(row.gp)), std::make_pair(row.eds, row.noAnswer)) << row.gp;
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
        {press, 2, 0, K::Fail, "", "", 0, bad}, {lens, 2, 0, K::SetRadio, "manualfocusdrive", "Near 2", 0, 0},
        {lens, 0x8004, 0, K::Fail, "", "", 0, bad}, {lens, 0x8001, 0, K::SetRadio, "manualfocusdrive", "Far 1", 0, 0},
        {kEdsCameraCommand_DoEvfAf, 0, 0, K::SetToggle, "cancelautofocus", "", 0, 0},
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
