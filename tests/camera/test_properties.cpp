// Camera properties: values by data type, writes by property code and from display texts,
// display texts, the time record in local time, allowed-value tables and their cache, and
// the two property notifications. A scripted SDK gives exact bytes and failures; the
// simulated camera checks the whole road from a write to the camera's announcement.
#include "SNP_CanonCamera.h"
#include "SNP_Log.h"
#include "SimCameraSdk.h"
#include "TestSupport.h"
#include "camera/FakeEdsSdk.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <optional>
#include <mutex>
#include <thread>
#include <vector>

namespace {

// A zone with daylight-saving time, fixed for this test program before Qt reads the zone.
const bool kZoneSet = [] {
    setenv("TZ", "Europe/Berlin", 1);
    tzset();
    return true;
}();

enum : EdsPropertyID {
    kOwnerName = 0x4, kDateTime = 0x6, kFirmwareVersion = 0x7, kBatteryLevel = 0x8, kSaveTo = 0xB,
    kWhiteBalance = 0x106, kAEMode = 0x400, kISOSpeed = 0x402, kAv = 0x405, kTv = 0x406,
    kExposureCompensation = 0x407, kFocalLength = 0x409, kArtist = 0x418, kCopyright = 0x419,
    kEvfOutputDevice = 0x500, kEvfZoom = 0x507,
};

// The scripted SDK with properties: each has a data type, raw bytes and a reported size;
// descriptions are set per property; every write is recorded.
class PropertySdk : public FakeEdsSdk {
public:
    struct Raw {
        EdsDataType type = kEdsDataType_UInt32;
        std::vector<uint8_t> bytes;
        int reportedSize = -1;  // -1: the byte count
    };
    struct Write {
        EdsPropertyID id;
        EdsInt32 parameter;
        std::vector<uint8_t> bytes;
    };

    template <typename T>
    void setNumber(EdsPropertyID id, EdsDataType type, T value)
    {
        std::lock_guard<std::mutex> g(m);
        Raw raw;
        raw.type = type;
        raw.bytes.resize(sizeof value);
        std::memcpy(raw.bytes.data(), &value, sizeof value);
        props[id] = raw;
    }
    void setRaw(EdsPropertyID id, EdsDataType type, std::vector<uint8_t> bytes, int reportedSize = -1)
    {
        std::lock_guard<std::mutex> g(m);
        props[id] = Raw{type, std::move(bytes), reportedSize};
    }
    void setDesc(EdsPropertyID id, const std::vector<EdsInt32>& codes, std::optional<EdsInt32> reportedCount = {})
    {
        std::lock_guard<std::mutex> g(m);
        EdsPropertyDesc desc{};
        desc.form = 1;
        desc.access = 1;
        desc.numElements = reportedCount ? *reportedCount : EdsInt32(codes.size());
        for (size_t i = 0; i < codes.size() && i < 128; ++i)
            desc.propDesc[i] = codes[i];
        descs[id] = desc;
    }
    std::vector<Write> writesCopy()
    {
        std::lock_guard<std::mutex> g(m);
        return writes;
    }

    std::map<EdsPropertyID, Raw> props;
    std::map<EdsPropertyID, EdsPropertyDesc> descs;
    std::map<EdsPropertyID, EdsError> sizeFaults, dataFaults, setFaults, descFaults;
    std::vector<Write> writes;
    int sizeCalls = 0, descCalls = 0;
    // Written to the whole buffer past the reported size, to see that nothing reads it.
    std::vector<uint8_t> overflowBytes;

    EdsError EdsGetPropertySize(EdsBaseRef, EdsPropertyID id, EdsInt32, EdsDataType* type, EdsUInt32* size) override
    {
        std::lock_guard<std::mutex> g(m);
        ++sizeCalls;
        if (sizeFaults.count(id))
            return sizeFaults[id];
        auto it = props.find(id);
        if (it == props.end())
            return EDS_ERR_PROPERTIES_UNAVAILABLE;
        *type = it->second.type;
        *size = it->second.reportedSize >= 0 ? EdsUInt32(it->second.reportedSize) : EdsUInt32(it->second.bytes.size());
        return EDS_ERR_OK;
    }
    EdsError EdsGetPropertyData(EdsBaseRef, EdsPropertyID id, EdsInt32, EdsUInt32 size, void* out) override
    {
        std::lock_guard<std::mutex> g(m);
        if (dataFaults.count(id))
            return dataFaults[id];
        auto it = props.find(id);
        if (it == props.end())
            return EDS_ERR_PROPERTIES_UNAVAILABLE;
        const size_t n = std::min<size_t>(size, it->second.bytes.size());
        if (n > 0)
            std::memcpy(out, it->second.bytes.data(), n);
        return EDS_ERR_OK;
    }
    EdsError EdsSetPropertyData(EdsBaseRef, EdsPropertyID id, EdsInt32 parameter, EdsUInt32 size,
                                const void* data) override
    {
        std::lock_guard<std::mutex> g(m);
        const auto* bytes = static_cast<const uint8_t*>(data);
        writes.push_back(Write{id, parameter, std::vector<uint8_t>(bytes, bytes + size)});
        if (setFaults.count(id))
            return setFaults[id];
        return EDS_ERR_OK;
    }
    EdsError EdsGetPropertyDesc(EdsBaseRef, EdsPropertyID id, EdsPropertyDesc* out) override
    {
        std::lock_guard<std::mutex> g(m);
        ++descCalls;
        if (descFaults.count(id))
            return descFaults[id];
        auto it = descs.find(id);
        if (it == descs.end())
            return EDS_ERR_PROPERTIES_UNAVAILABLE;
        *out = it->second;
        return EDS_ERR_OK;
    }
};

struct Received {
    QString name;
    QVariantMap userInfo;
    bool onMainThread = false;
    const void* object = nullptr;
};

class PropertyTestBase : public ::testing::Test {
protected:
    void SetUpLogAndObserver()
    {
        ASSERT_TRUE(kZoneSet);
        SNP_Log::resetForTesting();
        ASSERT_TRUE(dir.isValid());
        logPath = dir.filePath(QStringLiteral("camera.log"));
        ASSERT_TRUE(SNP_Log::setLogFile(logPath));
        SNP_NotificationCenter::defaultCenter().addObserver(this, QString(), [this](const SNP_Notification& n) {
            if (n.name != SNP_CanonCameraPropertyDidChange && n.name != SNP_CanonCameraPropertiesDidChange)
                return;
            std::lock_guard<std::mutex> g(receivedLock);
            received.push_back(Received{n.name, n.userInfo, QThread::currentThread() == qApp->thread(),
                                        n.object.identity()});
        });
    }
    void TearDownObserver()
    {
        SNP_NotificationCenter::defaultCenter().removeObserver(this);
        SNP_Log::resetForTesting();
    }
    std::vector<Received> receivedNamed(const QString& name)
    {
        std::lock_guard<std::mutex> g(receivedLock);
        std::vector<Received> out;
        for (const Received& r : received)
            if (r.name == name)
                out.push_back(r);
        return out;
    }
    std::vector<Received> changesOf(const QString& propertyName)
    {
        std::vector<Received> out;
        for (const Received& r : receivedNamed(SNP_CanonCameraPropertyDidChange))
            if (r.userInfo.value(SNP_CanonCameraPropertyName).toString() == propertyName)
                out.push_back(r);
        return out;
    }
    void clearReceived()
    {
        std::lock_guard<std::mutex> g(receivedLock);
        received.clear();
    }
    QString logText() const
    {
        QFile file(logPath);
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }
    qsizetype logMark() const { return logText().size(); }
    QString logSince(qsizetype mark) const { return logText().mid(mark); }

    QTemporaryDir dir;
    QString logPath;
    std::mutex receivedLock;
    std::vector<Received> received;
};

class ScriptedProperties : public PropertyTestBase {
protected:
    void SetUp() override
    {
        SetUpLogAndObserver();
        sdk = std::make_shared<PropertySdk>();
        EdsSetCurrentSdk(sdk);
        ref = sdk->addCamera("Canon EOS 40D");
        camera = SNP_CanonCamera::initWithCameraRef(ref);
        ASSERT_NE(camera, nullptr);
    }
    void TearDown() override
    {
        std::weak_ptr<SNP_CanonCamera> gone = camera;
        camera.reset();
        EXPECT_TRUE(waitUntil([&] { return gone.expired(); }));
        EdsSetCurrentSdk(nullptr);
        sdk.reset();
        TearDownObserver();
    }
    // A property event as the SDK delivers it, on a thread of its own.
    EdsError eventFromSdkThread(EdsPropertyEvent event, EdsPropertyID id, EdsUInt32 parameter = 0)
    {
        EdsError result = 0xFFFFFFFF;
        std::atomic<bool> done{false};
        std::thread t([&] {
            result = SNP_CanonCamera::propertyEventCallback(event, id, parameter, camera.get());
            done = true;
        });
        EXPECT_TRUE(waitUntil([&] { return done.load(); }));
        t.join();
        return result;
    }

    std::shared_ptr<PropertySdk> sdk;
    EdsCameraRef ref = nullptr;
    SNP_CanonCameraPtr camera;
};

std::vector<uint8_t> u32Bytes(uint32_t v)
{
    std::vector<uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

uint32_t u32Of(const std::vector<uint8_t>& b)
{
    uint32_t v = 0;
    std::memcpy(&v, b.data(), std::min<size_t>(4, b.size()));
    return v;
}

}  // namespace

// ---- reading by data type ----

TEST_F(ScriptedProperties, NumbersKeepWidthAndSignedness)
{
    struct Case {
        EdsPropertyID id;
        EdsDataType type;
        std::vector<uint8_t> bytes;
        int metaType;
        qint64 value;
    };
    const std::vector<Case> cases = {
        {0x1001, kEdsDataType_Int8, {0xFF}, QMetaType::SChar, -1},
        {0x1002, kEdsDataType_UInt8, {0xFF}, QMetaType::UChar, 255},
        {0x1003, kEdsDataType_Int16, {0xFE, 0xFF}, QMetaType::Short, -2},
        {0x1004, kEdsDataType_UInt16, {0xFE, 0xFF}, QMetaType::UShort, 65534},
        {0x1005, kEdsDataType_Int32, {0xFB, 0xFF, 0xFF, 0xFF}, QMetaType::Int, -5},
        {0x1006, kEdsDataType_UInt32, {0xFB, 0xFF, 0xFF, 0xFF}, QMetaType::UInt, 0xFFFFFFFBll},
    };
    for (const Case& c : cases) {
        sdk->setRaw(c.id, c.type, c.bytes);
        const SNP_PropertyValue value = camera->valueForPropertyID(c.id, 0);
        EXPECT_EQ(value.typeId(), c.metaType) << std::hex << c.id;
        EXPECT_TRUE(SNP_CanonCamera::isNumberValue(value));
        EXPECT_EQ(value.toLongLong(), c.value) << std::hex << c.id;
    }
    // As unsigned 32-bit, a signed value keeps its bits.
    EXPECT_EQ(SNP_CanonCamera::uint32Value(camera->valueForPropertyID(0x1001, 0)), 0xFFFFFFFFu);
    EXPECT_EQ(SNP_CanonCamera::uint32Value(camera->valueForPropertyID(0x1004, 0)), 65534u);
}

TEST_F(ScriptedProperties, TextsStopAtTheFirstNulOrTheReportedSize)
{
    sdk->setRaw(kOwnerName, kEdsDataType_String, {'B', 'o', 'o', 't', 'h', 0, 'X', 'Y'});
    EXPECT_EQ(camera->valueForPropertyID(kOwnerName, 0), QVariant(QStringLiteral("Booth")));

    // No NUL: the reported size bounds the text (the bytes after it are never read).
    sdk->setRaw(kArtist, kEdsDataType_String, {'K', 'o', 'r', 'v', 'a', 'n', 'e', 'x'}, 4);
    EXPECT_EQ(camera->valueForPropertyID(kArtist, 0), QVariant(QStringLiteral("Korv")));

    sdk->setRaw(kCopyright, kEdsDataType_String, {0xC3, 0xA9, 't', 0xC3, 0xA9, 0});  // "été"
    EXPECT_EQ(camera->valueForPropertyID(kCopyright, 0).toString(), QString::fromUtf8("\xC3\xA9t\xC3\xA9"));

    sdk->setRaw(kFirmwareVersion, kEdsDataType_String, {0xFF, 0xFE, 'x', 0});  // not UTF-8
    EXPECT_FALSE(camera->valueForPropertyID(kFirmwareVersion, 0).isValid());

    sdk->setRaw(0x2, kEdsDataType_String, {}, 0);
    const SNP_PropertyValue empty = camera->valueForPropertyID(0x2, 0);
    EXPECT_EQ(empty.typeId(), QMetaType::QString);
    EXPECT_TRUE(empty.toString().isEmpty());
}

TEST_F(ScriptedProperties, TypesWithoutConversionAndShortDataGiveNone)
{
    const qsizetype mark = logMark();
    sdk->setRaw(0x1010, kEdsDataType_Bool, {1});
    sdk->setRaw(0x1011, kEdsDataType_Int64, std::vector<uint8_t>(8, 1));
    sdk->setRaw(0x1012, kEdsDataType_Float, std::vector<uint8_t>(4, 1));
    sdk->setRaw(0x1013, kEdsDataType_Rational, std::vector<uint8_t>(8, 1));
    sdk->setRaw(kFocalLength, kEdsDataType_UInt32_Array, std::vector<uint8_t>(16, 1));
    for (EdsPropertyID id : {0x1010u, 0x1011u, 0x1012u, 0x1013u, uint32_t(kFocalLength)})
        EXPECT_FALSE(camera->valueForPropertyID(id, 0).isValid()) << std::hex << id;
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("got value (null) for unknown property (data type Int64 (10); size 8)")) << qPrintable(text);
    EXPECT_TRUE(text.contains("got value (null) for FocalLength (data type UInt32_Array (36); size 16)"));

    // A number or a time record reported shorter than its type is not read past its end.
    sdk->setRaw(kAv, kEdsDataType_UInt32, {0x30, 0, 0, 0}, 2);
    EXPECT_FALSE(camera->valueForPropertyID(kAv, 0).isValid());
    sdk->setRaw(kDateTime, kEdsDataType_Time, std::vector<uint8_t>(28, 0), 12);
    EXPECT_FALSE(camera->valueForPropertyID(kDateTime, 0).isValid());
}

TEST_F(ScriptedProperties, ReadFailuresAreLoggedWithTheStatusText)
{
    const qsizetype mark = logMark();
    EXPECT_FALSE(camera->valueForPropertyID(kAv, 0).isValid());  // not offered
    sdk->setNumber<uint32_t>(kTv, kEdsDataType_UInt32, 0x68);
    sdk->dataFaults[kTv] = EDS_ERR_COMM_DISCONNECTED;
    EXPECT_FALSE(camera->valueForPropertyID(kTv, 0).isValid());
    sdk->dataFaults.clear();
    EXPECT_EQ(camera->valueForPropertyID(kTv, 0).toUInt(), 0x68u);

    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("about to get value for property (1029) (0x405) Av"));
    EXPECT_TRUE(text.contains("error 50 (properties unavailable) getting property size for Av")) << qPrintable(text);
    EXPECT_TRUE(text.contains("error c1 (comm disconnected) getting property data for Tv"));
    EXPECT_TRUE(text.contains("got value 104 for Tv (data type UInt32 (9); size 4)"));
}

// ---- writing ----

TEST_F(ScriptedProperties, WritesAreShapedByThePropertyCode)
{
    // Texts: UTF-8 and one NUL.
    EXPECT_TRUE(camera->setValue(QStringLiteral("Korvanex"), kOwnerName, 0));
    // Date: the 28-byte record.
    const QDateTime date(QDate(2009, 2, 13), QTime(14, 5, 9, 250));
    EXPECT_TRUE(camera->setValue(date, kDateTime, 0));
    // Everything else: an unsigned 32-bit number, also for a signed value and a parameter.
    EXPECT_TRUE(camera->setValue(QVariant::fromValue<qint8>(-3), kExposureCompensation, 2));
    EXPECT_TRUE(camera->setValue(QVariant::fromValue<quint16>(0x30), kAv, 0));

    const auto writes = sdk->writesCopy();
    ASSERT_EQ(writes.size(), 4u);
    EXPECT_EQ(writes[0].id, uint32_t(kOwnerName));
    EXPECT_EQ(writes[0].bytes, (std::vector<uint8_t>{'K', 'o', 'r', 'v', 'a', 'n', 'e', 'x', 0}));
    EXPECT_EQ(writes[1].id, uint32_t(kDateTime));
    ASSERT_EQ(writes[1].bytes.size(), sizeof(EdsTime));
    EdsTime record;
    std::memcpy(&record, writes[1].bytes.data(), sizeof record);
    EXPECT_EQ(record.year, 2009u);
    EXPECT_EQ(record.month, 2u);
    EXPECT_EQ(record.day, 13u);
    EXPECT_EQ(record.hour, 14u);
    EXPECT_EQ(record.minute, 5u);
    EXPECT_EQ(record.second, 9u);
    EXPECT_EQ(record.milliseconds, 250u);
    EXPECT_EQ(writes[2].id, uint32_t(kExposureCompensation));
    EXPECT_EQ(writes[2].parameter, 2);
    EXPECT_EQ(writes[2].bytes, u32Bytes(0xFFFFFFFDu));
    EXPECT_EQ(writes[3].bytes, u32Bytes(0x30));
}

TEST_F(ScriptedProperties, ValuesOfTheWrongKindAreNeverWritten)
{
    const qsizetype mark = logMark();
    EXPECT_FALSE(camera->setValue(QVariant::fromValue<quint32>(7), kOwnerName, 0));
    EXPECT_FALSE(camera->setValue(QStringLiteral("1/125"), kTv, 0));
    EXPECT_FALSE(camera->setValue(QStringLiteral("125"), kTv, 0));  // a text is never parsed
    EXPECT_FALSE(camera->setValue(QVariant::fromValue<quint32>(2009), kDateTime, 0));
    EXPECT_FALSE(camera->setValue(QStringLiteral("2009-02-13"), kDateTime, 0));
    EXPECT_FALSE(camera->setValue(QDateTime(), kDateTime, 0));
    EXPECT_FALSE(camera->setValue(QVariant(), kAv, 0));
    EXPECT_TRUE(sdk->writesCopy().empty());
    EXPECT_TRUE(logSince(mark).contains("about to set value (1/125) for property Tv"));
}

TEST_F(ScriptedProperties, RefusedWritesAnswerNoAndAreLogged)
{
    sdk->setFaults[kAv] = EDS_ERR_INVALID_DEVICEPROP_VALUE;
    const qsizetype mark = logMark();
    EXPECT_FALSE(camera->setValue(QVariant::fromValue<quint32>(0x99), kAv, 0));
    EXPECT_TRUE(camera->setValue(QVariant::fromValue<quint32>(0x68), kTv, 0));
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("about to set value (153) for property Av"));
    EXPECT_TRUE(text.contains("error 201c (invalid deviceprop value) setting value (153) for property Av"))
        << qPrintable(text);
    EXPECT_TRUE(text.contains("set value (104) for property Tv"));
    EXPECT_EQ(text.count("set value (153) for property Av"), 1);  // "about to ..." only, no success line
    // No notification is posted by a write.
    EXPECT_TRUE(receivedNamed(SNP_CanonCameraPropertyDidChange).empty());
}

// ---- display texts ----

TEST_F(ScriptedProperties, DisplayTextsByProperty)
{
    EXPECT_EQ(camera->stringForPropertyID(kBatteryLevel, 0xFFFFFFFFu), QStringLiteral("AC Power"));
    EXPECT_EQ(camera->stringForPropertyID(kBatteryLevel, 80), QStringLiteral("80 %"));
    EXPECT_EQ(camera->stringForPropertyID(kBatteryLevel, 0xFFFFFFFEu), QStringLiteral("-2 %"));
    EXPECT_EQ(camera->stringForPropertyID(0x10, 3), QStringLiteral("High"));
    EXPECT_EQ(camera->stringForPropertyID(0x100, 0x640F0F), QStringLiteral("RAW"));
    EXPECT_EQ(camera->stringForPropertyID(kWhiteBalance, 8), QStringLiteral("Shade"));
    EXPECT_EQ(camera->stringForPropertyID(0x502, 0xFFFFFFFFu),
              QStringLiteral("Setting the white balance by clicking image coordinates"));
    EXPECT_EQ(camera->stringForPropertyID(0x10D, 2), QStringLiteral("Adobe RGB"));
    EXPECT_EQ(camera->stringForPropertyID(kAEMode, 2), QStringLiteral("Aperture Priority AE"));
    EXPECT_EQ(camera->stringForPropertyID(0x401, 17), QStringLiteral("2-Sec Self-Timer"));
    EXPECT_EQ(camera->stringForPropertyID(kISOSpeed, 0), QStringLiteral("Auto"));
    EXPECT_EQ(camera->stringForPropertyID(0x403, 5), QStringLiteral("Center-weighted averaging metering"));
    EXPECT_EQ(camera->stringForPropertyID(0x404, 3), QStringLiteral("Manual Focus"));
    EXPECT_EQ(camera->stringForPropertyID(kAv, 0x2B), QStringLiteral("4.5"));
    EXPECT_EQ(camera->stringForPropertyID(kTv, 0x2D), QStringLiteral("2\"5"));
    EXPECT_EQ(camera->stringForPropertyID(kExposureCompensation, 0xFD), QStringLiteral("-1/3"));
    EXPECT_EQ(camera->stringForPropertyID(kExposureCompensation, 0xFFFFFFFDu), QStringLiteral("unknown"));
    // No table of its own: upper-case hexadecimal.
    EXPECT_EQ(camera->stringForPropertyID(kFocalLength, 0x32), QStringLiteral("0X32"));
    EXPECT_EQ(camera->stringForPropertyID(kSaveTo, 255), QStringLiteral("0XFF"));
    EXPECT_EQ(camera->stringNameForPropertyID(kFocalLength), QStringLiteral("FocalLength"));
    EXPECT_EQ(camera->stringNameForPropertyID(0x415), QStringLiteral("unknown property"));
}

// ---- the time record ----

TEST(PropertyTime, RecordToDateInLocalTime)
{
    ASSERT_TRUE(kZoneSet);
    EdsTime record{2009, 2, 13, 14, 5, 9, 250};
    const QDateTime date = SNP_CanonCamera::dateForEDSTime(&record);
    ASSERT_TRUE(date.isValid());
    const QDateTime local(QDate(2009, 2, 13), QTime(14, 5, 9));
    EXPECT_EQ(local.msecsTo(date), 250);
    EXPECT_EQ(date.toLocalTime().time().hour(), 14);

    EdsTime whole{2009, 2, 13, 14, 5, 9, 0};
    EXPECT_EQ(SNP_CanonCamera::dateForEDSTime(&whole), local);

    EXPECT_FALSE(SNP_CanonCamera::dateForEDSTime(nullptr).isValid());
    EdsTime zero{};
    EXPECT_FALSE(SNP_CanonCamera::dateForEDSTime(&zero).isValid());
    EdsTime badMonth{2009, 13, 1, 0, 0, 0, 0};
    EXPECT_FALSE(SNP_CanonCamera::dateForEDSTime(&badMonth).isValid());
    EdsTime badDay{2009, 2, 30, 0, 0, 0, 0};
    EXPECT_FALSE(SNP_CanonCamera::dateForEDSTime(&badDay).isValid());
    EdsTime badHour{2009, 2, 1, 24, 0, 0, 0};
    EXPECT_FALSE(SNP_CanonCamera::dateForEDSTime(&badHour).isValid());
}

TEST(PropertyTime, DateToRecordUsesTheCalendarYearAndLocalTime)
{
    ASSERT_TRUE(kZoneSet);
    EdsTime record{};
    // The last day of a year whose last week belongs to the next year's week numbering.
    SNP_CanonCamera::EDSTime(&record, QDateTime(QDate(2024, 12, 31), QTime(23, 59, 58, 7)));
    EXPECT_EQ(record.year, 2024u);
    EXPECT_EQ(record.month, 12u);
    EXPECT_EQ(record.day, 31u);
    EXPECT_EQ(record.hour, 23u);
    EXPECT_EQ(record.minute, 59u);
    EXPECT_EQ(record.second, 58u);
    EXPECT_EQ(record.milliseconds, 7u);

    // A date given in UTC is written as local wall-clock time (Berlin is UTC+1 in winter).
    SNP_CanonCamera::EDSTime(&record, QDateTime(QDate(2010, 1, 5), QTime(8, 0), QTimeZone::utc()));
    EXPECT_EQ(record.hour, 9u);

    // Not a date: the record stays as it was.
    EdsTime untouched{1, 2, 3, 4, 5, 6, 7};
    SNP_CanonCamera::EDSTime(&untouched, QStringLiteral("2010-01-05"));
    SNP_CanonCamera::EDSTime(&untouched, QVariant());
    EXPECT_EQ(untouched.year, 1u);
    EXPECT_EQ(untouched.milliseconds, 7u);
    SNP_CanonCamera::EDSTime(nullptr, QDateTime::currentDateTime());  // no crash
}

TEST(PropertyTime, RecordsRoundTripOnBothSidesOfDaylightSaving)
{
    ASSERT_TRUE(kZoneSet);
    // Whatever today's offset is, a summer date and a winter date both come back as the
    // instant they were written from.
    for (const QDateTime& date : {QDateTime(QDate(2023, 7, 14), QTime(12, 30, 0, 500)),
                                  QDateTime(QDate(2023, 1, 14), QTime(12, 30, 0, 500))}) {
        EdsTime record{};
        SNP_CanonCamera::EDSTime(&record, date);
        EXPECT_EQ(record.hour, 12u);
        EXPECT_EQ(SNP_CanonCamera::dateForEDSTime(&record).toMSecsSinceEpoch(), date.toMSecsSinceEpoch())
            << qPrintable(date.toString(Qt::ISODate));
    }
}

TEST_F(ScriptedProperties, TimePropertiesReadAsDates)
{
    EdsTime record{2011, 6, 1, 10, 20, 30, 0};
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    sdk->setRaw(kDateTime, kEdsDataType_Time, bytes);
    const SNP_PropertyValue value = camera->valueForPropertyID(kDateTime, 0);
    ASSERT_EQ(value.typeId(), QMetaType::QDateTime);
    EXPECT_EQ(value.toDateTime(), QDateTime(QDate(2011, 6, 1), QTime(10, 20, 30)));

    EdsTime bad{2011, 0, 1, 10, 20, 30, 0};
    std::memcpy(bytes.data(), &bad, sizeof bad);
    sdk->setRaw(kDateTime, kEdsDataType_Time, bytes);
    EXPECT_FALSE(camera->valueForPropertyID(kDateTime, 0).isValid());
}

// ---- allowed values ----

TEST_F(ScriptedProperties, SupportedValuesAreKeyedByDisplayTextLaterCodeWinning)
{
    sdk->setDesc(kAv, {0x28, 0x2B, 0x2C, 0x30});
    const qsizetype mark = logMark();
    const auto table = camera->supportedValuesForPropertyID(kAv);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->size(), 3);
    EXPECT_EQ(table->value(QStringLiteral("4")).toUInt(), 0x28u);
    EXPECT_EQ(table->value(QStringLiteral("4.5")).toUInt(), 0x2Cu);  // 0x2B and 0x2C collapse
    EXPECT_EQ(table->value(QStringLiteral("4.5")).typeId(), QMetaType::UInt);
    EXPECT_EQ(table->value(QStringLiteral("5.6")).toUInt(), 0x30u);
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("about to get supported values for property (1029) Av"));
    EXPECT_TRUE(text.contains("found 3 supported properties for Av (propID 0x405)"));
    // Nothing is stored by the listing itself.
    EXPECT_FALSE(camera->cachedSupportedValues(QStringLiteral("Av")).has_value());
}

TEST_F(ScriptedProperties, AtMost128CodesAreRead)
{
    std::vector<EdsInt32> codes;
    for (EdsInt32 i = 0; i < 128; ++i)
        codes.push_back(0x1000 + i);
    sdk->setDesc(kFocalLength, codes, 100000);  // the camera claims far more
    const auto table = camera->supportedValuesForPropertyID(kFocalLength);
    ASSERT_TRUE(table.has_value());
    EXPECT_EQ(table->size(), 128);
    EXPECT_EQ(table->value(QStringLiteral("0X107F")).toUInt(), 0x107Fu);

    sdk->setDesc(kTv, {0x68}, -4);  // a negative count reads nothing
    const auto none = camera->supportedValuesForPropertyID(kTv);
    ASSERT_TRUE(none.has_value());
    EXPECT_TRUE(none->isEmpty());
}

TEST_F(ScriptedProperties, FailedDescriptionGivesNone)
{
    sdk->descFaults[kISOSpeed] = EDS_ERR_DEVICE_BUSY;
    const qsizetype mark = logMark();
    EXPECT_FALSE(camera->supportedValuesForPropertyID(kISOSpeed).has_value());
    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("error 81 getting proper description for property 1026"));
    EXPECT_TRUE(text.contains("found 0 supported properties for ISOSpeed (propID 0x402)"));
}

// ---- writing display texts ----

TEST_F(ScriptedProperties, DisplayTextsAreWrittenAsTheirCodes)
{
    sdk->setDesc(kAv, {0x28, 0x2B, 0x2C, 0x30});
    const int descBefore = sdk->descCalls;
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("4.5"), kAv));
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("5.6"), kAv));
    // Without a cached table, every write fetches the table afresh, and keeps none.
    EXPECT_EQ(sdk->descCalls - descBefore, 2);
    EXPECT_FALSE(camera->cachedSupportedValues(QStringLiteral("Av")).has_value());
    auto writes = sdk->writesCopy();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(u32Of(writes[0].bytes), 0x2Cu);
    EXPECT_EQ(u32Of(writes[1].bytes), 0x30u);

    // A text that is not in the table fails without touching the camera.
    EXPECT_FALSE(camera->setStringValue(QStringLiteral("f/99"), kAv));
    EXPECT_FALSE(camera->setStringValue(QString(), kAv));
    EXPECT_EQ(sdk->writesCopy().size(), 2u);

    // Owner, artist and copyright take the text itself, without any table.
    const int descNow = sdk->descCalls;
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("Studio"), kArtist));
    EXPECT_EQ(sdk->descCalls, descNow);
    writes = sdk->writesCopy();
    EXPECT_EQ(writes.back().bytes, (std::vector<uint8_t>{'S', 't', 'u', 'd', 'i', 'o', 0}));
}

TEST_F(ScriptedProperties, DescriptionEventsFillTheCacheAndAnnounce)
{
    sdk->setDesc(kTv, {0x68, 0x70, 0x88});
    const qsizetype mark = logMark();
    EXPECT_EQ(eventFromSdkThread(kEdsPropertyEvent_PropertyDescChanged, kTv, 0), EDS_ERR_OK);

    const auto announced = receivedNamed(SNP_CanonCameraPropertiesDidChange);
    ASSERT_EQ(announced.size(), 1u);
    EXPECT_TRUE(announced[0].onMainThread);
    EXPECT_EQ(announced[0].object, static_cast<const void*>(camera.get()));
    EXPECT_EQ(announced[0].userInfo.size(), 3);
    EXPECT_EQ(announced[0].userInfo.value(SNP_CanonCameraPropertyName).toString(), QStringLiteral("Tv"));
    EXPECT_EQ(announced[0].userInfo.value(SNP_CanonCameraPropertyID).toUInt(), uint32_t(kTv));
    const QVariantMap table = announced[0].userInfo.value(SNP_CanonCameraProperties).toMap();
    EXPECT_EQ(table.keys(), (QStringList{"1/1000", "1/125", "1/60"}));
    EXPECT_TRUE(logSince(mark).contains("camera Canon EOS 40D property Tv (1030) description changed (p=0)"));

    // From now on writes use the cached table: no further description read.
    auto cached = camera->cachedSupportedValues(QStringLiteral("Tv"));
    ASSERT_TRUE(cached.has_value());
    EXPECT_EQ(*cached, table);
    const int descBefore = sdk->descCalls;
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("1/125"), kTv));
    EXPECT_EQ(sdk->descCalls, descBefore);
    EXPECT_EQ(u32Of(sdk->writesCopy().back().bytes), 0x70u);
    EXPECT_TRUE(logSince(mark).contains("used key Tv for dict"));

    // A later description replaces the table; a failed one leaves it alone.
    sdk->setDesc(kTv, {0x88});
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyDescChanged, kTv, 0);
    EXPECT_EQ(camera->cachedSupportedValues(QStringLiteral("Tv"))->keys(), QStringList{"1/1000"});
    sdk->descFaults[kTv] = EDS_ERR_DEVICE_BUSY;
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyDescChanged, kTv, 0);
    EXPECT_EQ(camera->cachedSupportedValues(QStringLiteral("Tv"))->keys(), QStringList{"1/1000"});
    EXPECT_EQ(receivedNamed(SNP_CanonCameraPropertiesDidChange).size(), 2u);
}

TEST_F(ScriptedProperties, CodesWithoutANameShareOneCacheEntry)
{
    sdk->setDesc(0x1234, {1, 2});
    sdk->setDesc(0x1235, {3});
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyDescChanged, 0x1234, 0);
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyDescChanged, 0x1235, 0);
    const auto cached = camera->cachedSupportedValues(QStringLiteral("unknown property"));
    ASSERT_TRUE(cached.has_value());
    EXPECT_EQ(cached->keys(), QStringList{"0X3"});
}

// ---- value notifications ----

TEST_F(ScriptedProperties, ValueNotificationsCarryTheirKeysInOrderUntilOneIsMissing)
{
    sdk->setNumber<uint32_t>(kBatteryLevel, kEdsDataType_UInt32, 0xFFFFFFFFu);
    sdk->setNumber<int8_t>(kExposureCompensation, kEdsDataType_Int8, -3);
    sdk->setRaw(kOwnerName, kEdsDataType_String, {'E', 'v', 'e', 0});
    const qsizetype mark = logMark();

    EXPECT_EQ(eventFromSdkThread(kEdsPropertyEvent_PropertyChanged, kBatteryLevel, 0), EDS_ERR_OK);
    camera->propertyDidChange(kExposureCompensation, 0);
    camera->propertyDidChange(kOwnerName, 0);
    camera->updateValueForPropertyID(kAv);  // not offered: unreadable

    auto battery = changesOf(QStringLiteral("BatteryLevel"));
    ASSERT_EQ(battery.size(), 1u);
    EXPECT_TRUE(battery[0].onMainThread);
    EXPECT_EQ(battery[0].object, static_cast<const void*>(camera.get()));
    EXPECT_EQ(battery[0].userInfo.size(), 4);
    EXPECT_EQ(battery[0].userInfo.value(SNP_CanonCameraProperty).toString(), QStringLiteral("AC Power"));
    EXPECT_EQ(battery[0].userInfo.value(SNP_CanonCameraPropertyID).toUInt(), uint32_t(kBatteryLevel));
    EXPECT_EQ(battery[0].userInfo.value(SNP_CanonCameraPropertyValue).toUInt(), 0xFFFFFFFFu);

    auto ev = changesOf(QStringLiteral("ExposureCompensation"));
    ASSERT_EQ(ev.size(), 1u);
    // The display text comes from the number's unsigned bits (0xFFFFFFFD is not a byte code).
    EXPECT_EQ(ev[0].userInfo.value(SNP_CanonCameraProperty).toString(), QStringLiteral("unknown"));
    EXPECT_EQ(ev[0].userInfo.value(SNP_CanonCameraPropertyValue).typeId(), QMetaType::SChar);
    EXPECT_EQ(ev[0].userInfo.value(SNP_CanonCameraPropertyValue).toInt(), -3);

    auto owner = changesOf(QStringLiteral("OwnerName"));
    ASSERT_EQ(owner.size(), 1u);
    EXPECT_EQ(owner[0].userInfo.size(), 3);
    EXPECT_EQ(owner[0].userInfo.value(SNP_CanonCameraProperty).toString(), QStringLiteral("Eve"));
    EXPECT_FALSE(owner[0].userInfo.contains(SNP_CanonCameraPropertyValue));

    auto av = changesOf(QStringLiteral("Av"));
    ASSERT_EQ(av.size(), 1u);
    EXPECT_EQ(av[0].userInfo.keys(), QStringList{SNP_CanonCameraPropertyName});

    const QString text = logSince(mark);
    EXPECT_TRUE(text.contains("camera Canon EOS 40D property BatteryLevel (8, p=0) changed to AC Power"));
    EXPECT_TRUE(text.contains("camera Canon EOS 40D property OwnerName (4, p=0) changed to Eve"));
    EXPECT_TRUE(text.contains("camera Canon EOS 40D property Av (405, p=0) changed to (null)"));
}

TEST_F(ScriptedProperties, ClockNotificationsCarryADate)
{
    EdsTime record{2012, 3, 4, 5, 6, 7, 0};
    std::vector<uint8_t> bytes(sizeof record);
    std::memcpy(bytes.data(), &record, sizeof record);
    sdk->setRaw(kDateTime, kEdsDataType_Time, bytes);
    camera->propertyDidChange(kDateTime, 0);
    auto clock = changesOf(QStringLiteral("DateTime"));
    ASSERT_EQ(clock.size(), 1u);
    EXPECT_EQ(clock[0].userInfo.size(), 3);
    EXPECT_EQ(clock[0].userInfo.value(SNP_CanonCameraProperty).toDateTime(),
              QDateTime(QDate(2012, 3, 4), QTime(5, 6, 7)));
}

TEST_F(ScriptedProperties, PostingFromTheSdkThreadWaitsForTheMainThread)
{
    sdk->setNumber<uint32_t>(kISOSpeed, kEdsDataType_UInt32, 0x48);
    std::atomic<bool> observerRan{false};
    std::atomic<bool> ranBeforeReturn{false};
    SNP_NotificationCenter::defaultCenter().addObserver(&observerRan, SNP_CanonCameraPropertyDidChange,
                                                        [&](const SNP_Notification&) { observerRan = true; });
    std::atomic<bool> done{false};
    std::thread t([&] {
        SNP_CanonCamera::propertyEventCallback(kEdsPropertyEvent_PropertyChanged, kISOSpeed, 0, camera.get());
        ranBeforeReturn = observerRan.load();
        done = true;
    });
    EXPECT_TRUE(waitUntil([&] { return done.load(); }));
    t.join();
    SNP_NotificationCenter::defaultCenter().removeObserver(&observerRan);
    EXPECT_TRUE(ranBeforeReturn.load());
    EXPECT_EQ(changesOf(QStringLiteral("ISOSpeed")).at(0).userInfo.value(SNP_CanonCameraProperty).toString(),
              QStringLiteral("ISO 100"));
}

TEST_F(ScriptedProperties, OutputDeviceChangesGoToLiveViewOnly)
{
    sdk->setNumber<uint32_t>(kEvfOutputDevice, kEdsDataType_UInt32, 0);
    const int sizeCallsBefore = sdk->sizeCalls;
    camera->processPropertyEvent(kEdsPropertyEvent_PropertyChanged, kEvfOutputDevice, 0);
    EXPECT_TRUE(receivedNamed(SNP_CanonCameraPropertyDidChange).empty());
    EXPECT_EQ(sdk->sizeCalls, sizeCallsBefore);  // no value read by the property handling
}

TEST_F(ScriptedProperties, UnknownEventsAreLoggedAndAnsweredWithZero)
{
    const qsizetype mark = logMark();
    EXPECT_EQ(camera->processPropertyEvent(0x1FF, kAv, 0), EDS_ERR_OK);
    EXPECT_EQ(SNP_CanonCamera::propertyEventCallback(0x1FF, kAv, 0, nullptr), EDS_ERR_OK);
    EXPECT_TRUE(logSince(mark).contains("received unknown property event 1ff for camera Canon EOS 40D"));
    EXPECT_TRUE(received.empty());
}

TEST_F(ScriptedProperties, CacheIsSafeAcrossThreads)
{
    sdk->setDesc(kAv, {0x28, 0x30});
    std::atomic<bool> stop{false};
    std::thread reader([&] {
        while (!stop.load())
            camera->cachedSupportedValues(QStringLiteral("Av"));
    });
    for (int i = 0; i < 200; ++i)
        camera->setSupportedValues(SNP_SupportedValues{{QStringLiteral("4"), QVariant::fromValue<quint32>(0x28)},
                                                       {QString::number(i), QVariant::fromValue<quint32>(i)}},
                                   kAv);
    stop = true;
    reader.join();
    const auto cached = camera->cachedSupportedValues(QStringLiteral("Av"));
    ASSERT_TRUE(cached.has_value());
    EXPECT_TRUE(cached->contains(QStringLiteral("199")));
    camera->setSupportedValues(std::nullopt, kAv);  // none changes nothing
    EXPECT_TRUE(camera->cachedSupportedValues(QStringLiteral("Av"))->contains(QStringLiteral("199")));
}

// ---- the simulated camera, end to end ----

class SimulatedProperties : public PropertyTestBase {
protected:
    void SetUp() override
    {
        SetUpLogAndObserver();
        sim = std::make_shared<SimCameraSdk>();
        EdsSetCurrentSdk(sim);
        camId = sim->connectedCameras().front();
        camera = SNP_CanonCamera::initWithCameraRef(sim->cameraRef(camId));
        ASSERT_NE(camera, nullptr);
        ASSERT_TRUE(camera->load());
        ASSERT_TRUE(sim->waitForIdle());
    }
    void TearDown() override
    {
        if (camera)
            camera->unload();
        EXPECT_TRUE(sim->waitForIdle());
        // Callbacks hand their last camera reference to the main thread: let it go there,
        // so that the next test's camera (same handle in a fresh SDK) gets an object of its own.
        std::weak_ptr<SNP_CanonCamera> gone = camera;
        camera.reset();
        EXPECT_TRUE(waitUntil([&] { return gone.expired(); }));
        EdsSetCurrentSdk(nullptr);
        sim.reset();
        TearDownObserver();
    }
    QString lastShown(const QString& propertyName)
    {
        auto changes = changesOf(propertyName);
        return changes.empty() ? QString() : changes.back().userInfo.value(SNP_CanonCameraProperty).toString();
    }

    std::shared_ptr<SimCameraSdk> sim;
    int camId = 0;
    SNP_CanonCameraPtr camera;
};

TEST_F(SimulatedProperties, SessionStartAnnouncesTheInitialSettings)
{
    EXPECT_EQ(lastShown(QStringLiteral("AEMode")), QStringLiteral("Manual Exposure"));
    EXPECT_EQ(lastShown(QStringLiteral("BatteryLevel")), QStringLiteral("AC Power"));
    EXPECT_EQ(lastShown(QStringLiteral("FirmwareVersion")), QStringLiteral("2.1.2"));
    EXPECT_EQ(lastShown(QStringLiteral("Av")), QStringLiteral("5.6"));
    auto clock = changesOf(QStringLiteral("DateTime"));
    ASSERT_FALSE(clock.empty());
    EXPECT_LE(std::abs(clock.back().userInfo.value(SNP_CanonCameraProperty).toDateTime().secsTo(
                  QDateTime::currentDateTime())),
              2);

    sim->setCameraProperty(camId, kBatteryLevel, 80);
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(lastShown(QStringLiteral("BatteryLevel")), QStringLiteral("80 %"));
}

TEST_F(SimulatedProperties, AcceptedWritesComeBackAsEventsRefusedOnesDoNot)
{
    clearReceived();
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("8"), kAv));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(camId, kAv), 0x38u);
    EXPECT_EQ(lastShown(QStringLiteral("Av")), QStringLiteral("8"));

    clearReceived();
    EXPECT_FALSE(camera->setValue(QVariant::fromValue<quint32>(0x99), kAv, 0));  // not allowed
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(camId, kAv), 0x38u);
    EXPECT_TRUE(changesOf(QStringLiteral("Av")).empty());

    EXPECT_TRUE(camera->setOwnerName(QStringLiteral("Korvanex booth")));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(lastShown(QStringLiteral("OwnerName")), QStringLiteral("Korvanex booth"));
}

TEST_F(SimulatedProperties, ExposureModeDecidesWhichOfAvAndTvTheCameraTakes)
{
    clearReceived();
    ASSERT_TRUE(camera->setStringValue(QStringLiteral("Aperture Priority AE"), kAEMode));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(lastShown(QStringLiteral("AEMode")), QStringLiteral("Aperture Priority AE"));
    // The camera announced new descriptions: the cache now holds the Tv table (empty: not settable).
    const auto tv = camera->cachedSupportedValues(QStringLiteral("Tv"));
    ASSERT_TRUE(tv.has_value());
    EXPECT_TRUE(tv->isEmpty());
    EXPECT_FALSE(camera->setStringValue(QStringLiteral("1/125"), kTv));
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("11"), kAv));

    ASSERT_TRUE(camera->setStringValue(QStringLiteral("Shutter-Speed Priority AE"), kAEMode));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_TRUE(camera->setStringValue(QStringLiteral("1/125"), kTv));
    EXPECT_FALSE(camera->setValue(QVariant::fromValue<quint32>(0x40), kAv, 0));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_EQ(sim->cameraProperty(camId, kTv), 0x70u);
    EXPECT_EQ(sim->cameraProperty(camId, kAv), 0x40u);  // from the earlier write
}

TEST_F(SimulatedProperties, TheCameraClockIsWrittenAndReadInLocalTime)
{
    const QDateTime target = QDateTime::currentDateTime().addSecs(3600);
    ASSERT_TRUE(camera->setCameraClock(target));
    ASSERT_TRUE(sim->waitForIdle());
    EXPECT_NEAR(sim->clockOffset(camId), 3600.0, 1.5);
    const QDateTime read = camera->cameraClock();
    ASSERT_TRUE(read.isValid());
    EXPECT_LE(std::abs(read.secsTo(target)), 2);
}
