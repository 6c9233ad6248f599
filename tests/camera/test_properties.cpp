// Camera properties: values by data type, writes by property code and from display texts,
// display texts, the time record in local time, allowed-value tables and their cache, and
// the two property notifications. A scripted SDK gives exact bytes and failures; the
// simulated camera checks the whole road from a write to the camera's announcement.
#include "SimCameraSdk.h"
#include "camera/CameraFixture.h"
#include "camera/FakeEdsSdk.h"

#include <QTimeZone>

#include <cstdlib>
#include <ctime>
#include <cstring>
#include <numeric>
#include <optional>

namespace {

// A zone with daylight-saving time, fixed for this test program before Qt reads the zone.
[[maybe_unused]] const bool kZoneSet = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
}();

enum : EdsPropertyID {
    kOwnerName = 0x4, kDateTime = 0x6, kFirmwareVersion = 0x7, kBatteryLevel = 0x8,
    kWhiteBalance = 0x106, kAEMode = 0x400, kISOSpeed = 0x402, kAv = 0x405, kTv = 0x406,
    kExposureCompensation = 0x407, kFocalLength = 0x409, kArtist = 0x418,
};

template <typename T>
std::vector<uint8_t> bytesOf(const T& value)
{
    std::vector<uint8_t> b(sizeof value);
    std::memcpy(b.data(), &value, sizeof value);
    return b;
}

class ScriptedProperties : public CameraFixture<FakeEdsSdk> {
protected:
    void SetUp() override
    {
        CameraFixture::SetUp();
        camera = SNP_CanonCamera::initWithCameraRef(sdk->addCamera("Canon EOS 40D"));
        ASSERT_NE(camera, nullptr);
    }
    std::vector<FakeEdsSdk::Write> writes() { return sdk->locked([&] { return sdk->writes; }); }
    std::vector<uint8_t> lastWritten() { return writes().back().bytes; }
};

TEST_F(ScriptedProperties, ValuesByDataTypeAndTheirDisplayTexts)
{
    const std::vector<uint8_t> ff{0xFF}, fffe{0xFE, 0xFF}, fffffffb{0xFB, 0xFF, 0xFF, 0xFF};
    const EdsTime good{2011, 6, 1, 10, 20, 30, 0};
    const struct {
        const char* name;
        EdsPropertyID id;
        EdsDataType type;  // 0: not offered
        std::vector<uint8_t> bytes;
        int reportedSize;
        QVariant expected;  // invalid: none
    } rows[] = {
        {"int8", 0x1001, kEdsDataType_Int8, ff, -1, QVariant::fromValue<qint8>(-1)},
        {"uint8", 0x1002, kEdsDataType_UInt8, ff, -1, QVariant::fromValue<quint8>(255)},
        {"int16", 0x1003, kEdsDataType_Int16, fffe, -1, QVariant::fromValue<qint16>(-2)},
        {"uint16", 0x1004, kEdsDataType_UInt16, fffe, -1, QVariant::fromValue<quint16>(65534)},
        {"int32", 0x1005, kEdsDataType_Int32, fffffffb, -1, QVariant::fromValue<qint32>(-5)},
        {"uint32", 0x1006, kEdsDataType_UInt32, fffffffb, -1, QVariant::fromValue<quint32>(0xFFFFFFFB)},
        {"text to its NUL", kOwnerName, kEdsDataType_String, {'B', 'o', 'o', 't', 'h', 0, 'X'}, -1, QStringLiteral("Booth")},
        {"text to its size", kArtist, kEdsDataType_String, {'K', 'o', 'r', 'v', 'a', 'n'}, 4, QStringLiteral("Korv")},
        {"not UTF-8", kFirmwareVersion, kEdsDataType_String, {0xFF, 0xFE, 'x', 0}, -1, QVariant()},
        {"empty text", 0x2, kEdsDataType_String, {}, 0, QString(QLatin1String(""))},
        {"time", kDateTime, kEdsDataType_Time, bytesOf(good), -1, QDateTime(QDate(2011, 6, 1), QTime(10, 20, 30))},
        {"short time", 0x1021, kEdsDataType_Time, bytesOf(good), 12, QVariant()},
        {"short number", kAv, kEdsDataType_UInt32, {0x30, 0, 0, 0}, 2, QVariant()},
        {"bool", 0x1010, kEdsDataType_Bool, {1}, -1, QVariant()},
        {"not offered", kTv, 0, {}, -1, QVariant()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.type)
            sdk->setRaw(row.id, row.type, row.bytes, row.reportedSize);
        const SNP_PropertyValue value = camera->valueForPropertyID(row.id, 0);
        EXPECT_EQ(value.typeId(), row.expected.typeId());
        EXPECT_EQ(value, row.expected);
    }
    // As unsigned 32-bit, a signed value keeps its bits.
    EXPECT_EQ(SNP_CanonCamera::uint32Value(camera->valueForPropertyID(0x1001, 0)), 0xFFFFFFFFu);
    // A failed read gives none; the next read its value again.
    sdk->fail("EdsGetPropertyData", EDS_ERR_COMM_DISCONNECTED);
    EXPECT_FALSE(camera->valueForPropertyID(0x1006, 0).isValid());
    sdk->fail("EdsGetPropertyData", EDS_ERR_OK);
    EXPECT_EQ(camera->valueForPropertyID(0x1006, 0).toUInt(), 0xFFFFFFFBu);

    // Display texts by property.
    const struct {
        EdsPropertyID id;
        uint32_t code;
        const char* text;
    } texts[] = {
        {kBatteryLevel, 0xFFFFFFFF, "AC Power"}, {kBatteryLevel, 80, "80 %"}, {kBatteryLevel, 0xFFFFFFFE, "-2 %"},
        {0x10, 3, "High"}, {0x100, 0x640F0F, "RAW"}, {kWhiteBalance, 8, "Shade"}, {0x10D, 2, "Adobe RGB"},
        {kAEMode, 2, "Aperture Priority AE"}, {0x401, 17, "2-Sec Self-Timer"}, {kISOSpeed, 0, "Auto"},
        {0x403, 5, "Center-weighted averaging metering"}, {0x404, 3, "Manual Focus"}, {kAv, 0x2B, "4.5"},
        {kTv, 0x2D, "2\"5"}, {kExposureCompensation, 0xFD, "-1/3"}, {kExposureCompensation, 0xFFFFFFFD, "unknown"},
        {kFocalLength, 255, "0XFF"} /* no table of its own */,
    };
    for (const auto& row : texts)
        EXPECT_EQ(camera->stringForPropertyID(row.id, row.code), QString::fromUtf8(row.text)) << std::hex << row.id;
}

TEST_F(ScriptedProperties, WritesAreShapedByThePropertyCodeAndValuesOfTheWrongKindAreNeverWritten)
{
    EXPECT_TRUE(camera->setValue(QStringLiteral("Korvanex"), kOwnerName, 0));  // UTF-8 and one NUL
    EXPECT_TRUE(camera->setValue(QDateTime(QDate(2009, 2, 13), QTime(14, 5, 9, 250)), kDateTime, 0));
    EXPECT_TRUE(camera->setValue(QVariant::fromValue<qint8>(-3), kExposureCompensation, 2));  // unsigned 32 bits
    EXPECT_TRUE(camera->setValue(QVariant::fromValue<quint16>(0x30), kAv, 0));
    const EdsTime record{2009, 2, 13, 14, 5, 9, 250};
    const auto written = writes();
    ASSERT_EQ(written.size(), 4u);
    EXPECT_EQ(written[0].bytes, (std::vector<uint8_t>{'K', 'o', 'r', 'v', 'a', 'n', 'e', 'x', 0}));
    EXPECT_EQ(written[1].bytes, bytesOf(record));
    EXPECT_EQ(written[2].parameter, 2);
    EXPECT_EQ(written[2].bytes, bytesOf(0xFFFFFFFDu));
    EXPECT_EQ(written[3].bytes, bytesOf(0x30u));

    const std::pair<QVariant, EdsPropertyID> wrongKinds[] = {
        {QVariant::fromValue<quint32>(7), kOwnerName}, {QStringLiteral("125"), kTv} /* a text is never parsed */,
        {QVariant::fromValue<quint32>(2009), kDateTime}, {QDateTime(), kDateTime}, {QVariant(), kAv},
    };
    for (const auto& [value, id] : wrongKinds)
        EXPECT_FALSE(camera->setValue(value, id, 0)) << std::hex << id;
    EXPECT_EQ(writes().size(), 4u);
}

// The record is local wall-clock time, read and written with the zone offset of its own
// date (so on both sides of daylight saving).
TEST(PropertyTime, RecordsAndDatesBothWays)
{
    const struct {
        EdsTime record;
        QDateTime date;  // invalid: the record is refused
    } rows[] = {
        {{2009, 2, 13, 14, 5, 9, 250}, QDateTime(QDate(2009, 2, 13), QTime(14, 5, 9, 250))},      // winter
        {{2023, 7, 14, 12, 30, 0, 500}, QDateTime(QDate(2023, 7, 14), QTime(12, 30, 0, 500))},   // summer
        {{2009, 2, 30, 0, 0, 0, 0}, {}}, {{2009, 2, 1, 24, 0, 0, 0}, {}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.record.year * 10000 + row.record.month * 100 + row.record.day);
        const QDateTime read = SNP_CanonCamera::dateForEDSTime(&row.record);
        EXPECT_EQ(read.isValid(), row.date.isValid());
        if (!row.date.isValid())
            continue;
        EXPECT_EQ(read.toMSecsSinceEpoch(), row.date.toMSecsSinceEpoch());
        EdsTime written{};
        SNP_CanonCamera::EDSTime(&written, row.date);
        EXPECT_EQ(bytesOf(written), bytesOf(row.record));
    }
    EXPECT_FALSE(SNP_CanonCamera::dateForEDSTime(nullptr).isValid());
    // A date given in UTC is written as local time (Berlin is UTC+1 in winter).
    EdsTime record{};
    SNP_CanonCamera::EDSTime(&record, QDateTime(QDate(2010, 1, 5), QTime(8, 0), QTimeZone::utc()));
    EXPECT_EQ(record.hour, 9u);
    // Not a date: the record stays as it was.
    const EdsTime before = record;
    SNP_CanonCamera::EDSTime(&record, QStringLiteral("2010-01-05"));
    SNP_CanonCamera::EDSTime(&record, QVariant());
    EXPECT_EQ(bytesOf(record), bytesOf(before));
    SNP_CanonCamera::EDSTime(nullptr, QDateTime::currentDateTime());  // no crash
}

// Allowed values are keyed by display text (the later code winning) and display texts are
// written as their codes; at most 128 codes are read, however many the camera claims.
TEST_F(ScriptedProperties, SupportedValuesAndDisplayTextWrites)
{
    sdk->setDesc(kAv, {0x28, 0x2B, 0x2C, 0x30});
    const auto table = camera->supportedValuesForPropertyID(kAv);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->keys(), (QStringList{"4", "4.5", "5.6"}));
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("4.5"), kAv));
    EXPECT_EQ(lastWritten(), bytesOf(0x2Cu));  // 0x2B and 0x2C collapse
    // Without a cached table every write reads the table afresh, and keeps none.
    EXPECT_EQ(sdk->count("EdsGetPropertyDesc"), 2);
    EXPECT_FALSE(camera->cachedSupportedValues(QStringLiteral("Av")).has_value());
    // A text not in the table fails without touching the camera.
    EXPECT_FALSE(camera->setStringValue(QStringLiteral("f/99"), kAv));
    EXPECT_FALSE(camera->setStringValue(QString(), kAv));
    EXPECT_EQ(writes().size(), 1u);
    // Owner, artist and copyright take the text itself, without any table.
    const int tablesRead = sdk->count("EdsGetPropertyDesc");
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("Studio"), kArtist));
    EXPECT_EQ(sdk->count("EdsGetPropertyDesc"), tablesRead);
    EXPECT_EQ(lastWritten(), (std::vector<uint8_t>{'S', 't', 'u', 'd', 'i', 'o', 0}));

    std::vector<EdsInt32> codes(128);
    std::iota(codes.begin(), codes.end(), 0x1000);
    sdk->setDesc(kFocalLength, codes, 100000);
    EXPECT_EQ(camera->supportedValuesForPropertyID(kFocalLength)->size(), 128);
    sdk->setDesc(kTv, {0x68}, -4);  // a negative count reads none
    EXPECT_TRUE(camera->supportedValuesForPropertyID(kTv)->isEmpty());
    sdk->fail("EdsGetPropertyDesc", EDS_ERR_DEVICE_BUSY);
    EXPECT_FALSE(camera->supportedValuesForPropertyID(kISOSpeed).has_value());
}

TEST_F(ScriptedProperties, DescriptionEventsFillTheCacheAndAnnounce)
{
    sdk->setDesc(kTv, {0x68, 0x70, 0x88});
    onSdkThread([&] {
        EXPECT_EQ(SNP_CanonCamera::propertyEventCallback(kEdsPropertyEvent_PropertyDescChanged, kTv, 0, camera.get()),
                  EDS_ERR_OK);
    });
    const auto announced = receivedNamed(SNP_CanonCameraPropertiesDidChange);
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_EQ(announced[0].userInfo.value(SNP_CanonCameraPropertyName).toString(), QStringLiteral("Tv"));
    const QVariantMap table = announced[0].userInfo.value(SNP_CanonCameraProperties).toMap();
    EXPECT_EQ(table.keys(), (QStringList{"1/1000", "1/125", "1/60"}));
    // From now on writes use the cached table: no further description read.
    EXPECT_EQ(camera->cachedSupportedValues(QStringLiteral("Tv")), table);
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("1/125"), kTv));
    EXPECT_EQ(sdk->count("EdsGetPropertyDesc"), 1);
    EXPECT_EQ(lastWritten(), bytesOf(0x70u));
    // A later description replaces the table; a failed one leaves it alone.
    sdk->setDesc(kTv, {0x88});
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyDescChanged, kTv, 0);
    sdk->fail("EdsGetPropertyDesc", EDS_ERR_DEVICE_BUSY);
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyDescChanged, kTv, 0);
    EXPECT_EQ(camera->cachedSupportedValues(QStringLiteral("Tv"))->keys(), QStringList{"1/1000"});
    EXPECT_EQ(receivedNamed(SNP_CanonCameraPropertiesDidChange).size(), 2u);
}

TEST_F(ScriptedProperties, ValueNotificationsCarryTheirKeysInOrderUntilOneIsMissing)
{
    sdk->setRaw(kBatteryLevel, kEdsDataType_UInt32, bytesOf(0xFFFFFFFFu));
    sdk->setRaw(kExposureCompensation, kEdsDataType_Int8, {0xFD});
    sdk->setRaw(kOwnerName, kEdsDataType_String, {'E', 'v', 'e', 0});
    // The poster waits for the main thread: the observer ran before the SDK's callback returned.
    bool ranBeforeReturn = false;
    onSdkThread([&] {
        SNP_CanonCamera::propertyEventCallback(kEdsPropertyEvent_PropertyChanged, kBatteryLevel, 0, camera.get());
        ranBeforeReturn = !changesOf("BatteryLevel").empty();
    });
    EXPECT_TRUE(ranBeforeReturn);
    for (EdsPropertyID id : {kExposureCompensation, kOwnerName, kAv /* not offered */})
        camera->updateValueForPropertyID(id);
    // Unknown events post nothing.
    EXPECT_EQ(camera->processPropertyEvent(0x1FF, kAv, 0), EDS_ERR_OK);
    EXPECT_EQ(SNP_CanonCamera::propertyEventCallback(0x1FF, kAv, 0, nullptr), EDS_ERR_OK);
    drain();
    EXPECT_EQ(receivedNamed().size(), 4u);  // the four changes below

    const struct {
        const char* name;
        QVariant shown, value;  // invalid: no such key
    } rows[] = {
        {"BatteryLevel", QStringLiteral("AC Power"), QVariant::fromValue<quint32>(0xFFFFFFFF)},
        {"ExposureCompensation", QStringLiteral("unknown"), QVariant::fromValue<qint8>(-3)},  // text of the unsigned bits
        {"OwnerName", QStringLiteral("Eve"), QVariant()},
        {"Av", QVariant(), QVariant()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto changes = changesOf(row.name);
        ASSERT_EQ(changes.size(), 1u);
        EXPECT_TRUE(changes[0].onMainThread);
        EXPECT_EQ(changes[0].userInfo.value(SNP_CanonCameraProperty), row.shown);
        EXPECT_EQ(changes[0].userInfo.value(SNP_CanonCameraPropertyValue), row.value);
        EXPECT_EQ(changes[0].userInfo.value(SNP_CanonCameraPropertyValue).typeId(), row.value.typeId());
    }
}

// Runs under the thread checker in CI: the allowed-values cache is written by the SDK's
// thread and read by the main thread.
TEST_F(ScriptedProperties, CacheIsSafeAcrossThreads)
{
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load())
            camera->cachedSupportedValues(QStringLiteral("Av"));
    });
    for (int i = 0; i < 200; ++i)
        camera->setSupportedValues(SNP_SupportedValues{{QString::number(i), QVariant::fromValue<quint32>(i)}}, kAv);
    stop = true;
    reader.join();
    camera->setSupportedValues(std::nullopt, kAv);  // none changes nothing
    EXPECT_EQ(camera->cachedSupportedValues(QStringLiteral("Av"))->keys(), QStringList{"199"});
}

// ---- the simulated camera, end to end ----

class SimulatedProperties : public CameraFixture<SimCameraSdk> {
protected:
    QVariant lastShown(const char* name)
    {
        const std::vector<Received> changes = changesOf(name);
        return changes.empty() ? QVariant() : changes.back().userInfo.value(SNP_CanonCameraProperty);
    }
};

TEST_F(SimulatedProperties, FromAWriteToTheCamerasAnnouncement)
{
    // The session start announces the settings; a camera-side change shows.
    EXPECT_EQ(lastShown("AEMode"), QStringLiteral("Manual Exposure"));
    EXPECT_LE(std::abs(lastShown("DateTime").toDateTime().secsTo(QDateTime::currentDateTime())), 2);
    sdk->setCameraProperty(camId, kBatteryLevel, 80);
    // Accepted writes come back as events, refused ones do not.
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("8"), kAv));
    EXPECT_TRUE(camera->setOwnerName(QStringLiteral("Korvanex booth")));
    EXPECT_FALSE(camera->setValue(QVariant::fromValue<quint32>(0x99), kAv, 0));  // not allowed
    // The clock is written and read in local time.
    const QDateTime target = QDateTime::currentDateTime().addSecs(3600);
    ASSERT_TRUE(camera->setCameraClock(target));
    ASSERT_TRUE(sdk->waitForIdle());
    EXPECT_EQ(lastShown("BatteryLevel"), QStringLiteral("80 %"));
    EXPECT_EQ(lastShown("Av"), QStringLiteral("8"));  // 0x38, as the camera announced it
    EXPECT_EQ(lastShown("OwnerName"), QStringLiteral("Korvanex booth"));
    EXPECT_NEAR(sdk->clockOffset(camId), 3600.0, 1.5);
    EXPECT_LE(std::abs(camera->cameraClock().secsTo(target)), 2);
}

}  // namespace
