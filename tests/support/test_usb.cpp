#include "SNP_Log.h"
#include "SNP_USB.h"

#include <gtest/gtest.h>

#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <map>
#include <utility>
#include <vector>

namespace {

// Answers GET_DESCRIPTOR requests from canned replies keyed by (value, index) and
// records every request it was sent.
class FakeUSBDevice : public SNP_USBDevice {
public:
    struct Reply {
        QByteArray bytes;
        SNP_IOReturn status = kIOReturnSuccess;
    };

    void answer(uint16_t value, uint16_t index, QByteArray bytes, SNP_IOReturn status = kIOReturnSuccess)
    {
        _replies[{value, index}] = Reply{std::move(bytes), status};
    }

    SNP_IOReturn deviceRequest(SNP_USBDeviceRequest& request) override
    {
        requests.push_back(request);
        request.lengthDone = 0;
        auto it = _replies.find({request.value, request.index});
        if (it == _replies.end())
            return kIOUSBPipeStalled; // what a device does with a request it cannot answer
        if (it->second.status != kIOReturnSuccess)
            return it->second.status;
        const auto n = std::min<qsizetype>(it->second.bytes.size(), request.length);
        std::memcpy(request.data, it->second.bytes.constData(), static_cast<size_t>(n));
        request.lengthDone = static_cast<uint32_t>(n);
        return kIOReturnSuccess;
    }

    std::vector<SNP_USBDeviceRequest> requests;

private:
    std::map<std::pair<uint16_t, uint16_t>, Reply> _replies;
};

QByteArray deviceDescriptor()
{
    QByteArray d(18, '\0');
    d[0] = 18;
    d[1] = 1;
    d[14] = 1; // manufacturer
    d[15] = 2; // product
    d[16] = 3; // serial number
    d[17] = 1;
    return d;
}

QByteArray languageList(std::initializer_list<uint16_t> ids)
{
    QByteArray d;
    d.append(char(2 + 2 * ids.size()));
    d.append(char(3));
    for (uint16_t id : ids) {
        d.append(char(id & 0xFF));
        d.append(char(id >> 8));
    }
    return d;
}

QByteArray stringDescriptor(const QString& text, int trailingNuls = 0)
{
    QByteArray d;
    d.append(char(0));
    d.append(char(3));
    for (QChar c : text) {
        d.append(char(c.unicode() & 0xFF));
        d.append(char(c.unicode() >> 8));
    }
    for (int i = 0; i < trailingNuls; ++i)
        d.append(2, '\0');
    d[0] = char(d.size());
    return d;
}

class USBTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        SNP_Log::resetForTesting();
        ASSERT_TRUE(_dir.isValid());
        _logPath = _dir.filePath("usb.log");
        ASSERT_TRUE(SNP_Log::setLogFile(_logPath));
    }
    void TearDown() override { SNP_Log::resetForTesting(); }

    QString log() const
    {
        QFile f(_logPath);
        return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
    }

    QTemporaryDir _dir;
    QString _logPath;
    FakeUSBDevice _device;
};

} // namespace

TEST_F(USBTest, DeviceDescriptorRequestAndArguments)
{
    _device.answer(0x0100, 0, deviceDescriptor());
    uint8_t buffer[18] = {};
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, buffer, sizeof buffer), kIOReturnSuccess);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buffer), 18), deviceDescriptor());
    ASSERT_EQ(_device.requests.size(), 1u);
    const SNP_USBDeviceRequest& r = _device.requests[0];
    EXPECT_EQ(r.requestType, 0x80);
    EXPECT_EQ(r.request, 6);
    EXPECT_EQ(r.value, 0x0100);
    EXPECT_EQ(r.index, 0);
    EXPECT_EQ(r.length, 18);
    EXPECT_EQ(r.noDataTimeout, 100u);
    EXPECT_EQ(r.completionTimeout, 100u);

    const char* message = "Passed a NULL pointer or zero length into usbDeviceGetDeviceDescriptor.";
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(nullptr, buffer, 18), kIOReturnBadArgument);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, nullptr, 18), kIOReturnBadArgument);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, buffer, 0), kIOReturnBadArgument);
    EXPECT_EQ(log().count(message), 3);
    EXPECT_EQ(_device.requests.size(), 1u);
}

TEST_F(USBTest, ShortDeviceDescriptorIsAnUnderrunAndFailuresPassThrough)
{
    _device.answer(0x0100, 0, deviceDescriptor().left(8));
    uint8_t buffer[18] = {};
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, buffer, sizeof buffer), kIOReturnUnderrun);
    // Asking for only the first 8 bytes is fine.
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, buffer, 8), kIOReturnSuccess);

    FakeUSBDevice failing;
    failing.answer(0x0100, 0, QByteArray(), kIOReturnTimeout);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&failing, buffer, sizeof buffer), kIOReturnTimeout);
}

TEST_F(USBTest, StringIndicesFromTheDeviceDescriptor)
{
    _device.answer(0x0100, 0, deviceDescriptor());
    uint8_t m = 9, p = 9, s = 9;
    EXPECT_EQ(usbDeviceGetStringIndices(&_device, &m, &p, &s), kIOReturnSuccess);
    EXPECT_EQ(m, 1);
    EXPECT_EQ(p, 2);
    EXPECT_EQ(s, 3);
    EXPECT_EQ(usbDeviceGetStringIndices(&_device, nullptr, &p, nullptr), kIOReturnSuccess);
    EXPECT_EQ(p, 2);

    FakeUSBDevice shortDevice;
    shortDevice.answer(0x0100, 0, deviceDescriptor().left(10));
    m = p = s = 9;
    EXPECT_EQ(usbDeviceGetStringIndices(&shortDevice, &m, &p, &s), kIOReturnUnderrun);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(p, 0);
    EXPECT_EQ(s, 0);

    const qsizetype before = log().size();
    EXPECT_EQ(usbDeviceGetStringIndices(nullptr, &m, &p, &s), kIOReturnBadArgument);
    EXPECT_EQ(log().size(), before); // no message for a null device here
}

TEST_F(USBTest, StringDescriptorPrefersUSEnglish)
{
    _device.answer(0x0300, 0, languageList({0x0809, 0x0409}));
    _device.answer(0x0302, 0x0409, stringDescriptor("EOS 5D Mark II"));
    _device.answer(0x0302, 0x0809, stringDescriptor("wrong language"));
    QString text;
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 2, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "EOS 5D Mark II");
    ASSERT_EQ(_device.requests.size(), 2u);
    for (const SNP_USBDeviceRequest& r : _device.requests) {
        EXPECT_EQ(r.requestType, 0x80);
        EXPECT_EQ(r.request, 6);
        EXPECT_EQ(r.length, 256);
        EXPECT_EQ(r.noDataTimeout, 1u);
        EXPECT_EQ(r.completionTimeout, 0u);
    }
    EXPECT_EQ(_device.requests[0].value, 0x0300);
    EXPECT_EQ(_device.requests[0].index, 0);
    EXPECT_EQ(_device.requests[1].value, 0x0302);
    EXPECT_EQ(_device.requests[1].index, 0x0409);
    EXPECT_FALSE(log().contains("The number of language IDs"));
}

TEST_F(USBTest, StringDescriptorTakesOtherEnglishThenFirstLanguage)
{
    _device.answer(0x0300, 0, languageList({0x0407, 0x0809}));
    _device.answer(0x0301, 0x0809, stringDescriptor("Canon Inc."));
    QString text;
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 1, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "Canon Inc.");

    FakeUSBDevice german;
    german.answer(0x0300, 0, languageList({0x0407}));
    german.answer(0x0303, 0x0407, stringDescriptor(QString::fromUtf8("Kamera \xC3\xBC")));
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&german, 3, &text), kIOReturnSuccess);
    EXPECT_EQ(text, QString::fromUtf8("Kamera \xC3\xBC"));
    const QString lines = log();
    EXPECT_TRUE(lines.contains("using language id 0x0407 for string descriptor 3.")) << qPrintable(lines);
    EXPECT_TRUE(lines.contains("The number of language IDs is 1."));
    EXPECT_TRUE(lines.contains("LangID #1 is  0x0407."));
}

TEST_F(USBTest, EmptyAndPaddedStringDescriptors)
{
    _device.answer(0x0300, 0, languageList({0x0409}));
    _device.answer(0x0301, 0x0409, stringDescriptor(QString()));
    _device.answer(0x0302, 0x0409, stringDescriptor("AB", 3));
    _device.answer(0x0303, 0x0409, stringDescriptor(QString(), 2));
    QString text = "stale";
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 1, &text), kIOReturnSuccess);
    EXPECT_TRUE(text.isNull());
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 2, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "AB");
    text = "stale";
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 3, &text), kIOReturnSuccess);
    EXPECT_TRUE(text.isNull());
}

TEST_F(USBTest, StringDescriptorLengthBeyondWhatArrivedIsNotRead)
{
    _device.answer(0x0300, 0, languageList({0x0409}));
    QByteArray lying = stringDescriptor("OK");
    lying[0] = char(200); // claims far more than it sends
    _device.answer(0x0301, 0x0409, lying);
    QString text;
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 1, &text), kIOReturnSuccess);
    EXPECT_EQ(text, "OK");
}

TEST_F(USBTest, StringDescriptorFailures)
{
    QString text = "stale";
    const char* message = "Passed a NULL pointer or zero index into usbInterfaceGetDescriptorStringCopy.";
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(nullptr, 1, &text), kIOReturnBadArgument);
    EXPECT_TRUE(text.isNull());
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 1, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 0, &text), kIOReturnBadArgument);
    EXPECT_EQ(log().count(message), 3);
    EXPECT_TRUE(_device.requests.empty());

    // No language list: the string is asked for in language 0, and its failure is the result.
    FakeUSBDevice noLanguages;
    noLanguages.answer(0x0300, 0, QByteArray(), 0xE00002ED);
    noLanguages.answer(0x0301, 0, QByteArray(), kIOReturnTimeout);
    text = "stale";
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&noLanguages, 1, &text), kIOReturnTimeout);
    EXPECT_TRUE(text.isNull());
    ASSERT_EQ(noLanguages.requests.size(), 2u);
    EXPECT_EQ(noLanguages.requests[1].index, 0);

    // A language list but a failing string request.
    FakeUSBDevice stalled;
    stalled.answer(0x0300, 0, languageList({0x0409}));
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&stalled, 4, &text), kIOUSBPipeStalled);
    EXPECT_TRUE(text.isNull());
}

TEST(LibUSBDevice, TimeoutsAndErrorMapping)
{
    EXPECT_EQ(SNP_LibUSBDevice::libusbTimeout(100, 100), 100u);
    EXPECT_EQ(SNP_LibUSBDevice::libusbTimeout(1, 0), 100u);
    EXPECT_EQ(SNP_LibUSBDevice::libusbTimeout(500, 0), 500u);
    EXPECT_EQ(SNP_LibUSBDevice::statusForLibUSBError(0), kIOReturnSuccess);
    EXPECT_NE(SNP_LibUSBDevice::statusForLibUSBError(-7), kIOReturnSuccess);

    SNP_LibUSBDevice none(nullptr);
    uint8_t buffer[18];
    EXPECT_NE(usbDeviceGetDeviceDescriptor(&none, buffer, sizeof buffer), kIOReturnSuccess);
}
