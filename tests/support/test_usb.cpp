// USB descriptors read through a fake device: the requests sent, the language chosen for
// strings, the string's contents, and failures passed through.
#include "JpegFixtures.h"
#include "SNP_USB.h"

#include <cstring>
#include <map>
#include <tuple>
#include <vector>

namespace {

// Answers GET_DESCRIPTOR requests from canned replies keyed by (value, index) and
// records every request it was sent.
class FakeUSBDevice : public SNP_USBDevice {
public:
    void answer(uint16_t value, uint16_t index, QByteArray bytes, SNP_IOReturn status = kIOReturnSuccess)
    {
        _replies[{value, index}] = {std::move(bytes), status};
    }
    SNP_IOReturn deviceRequest(SNP_USBDeviceRequest& request) override
    {
        requests.push_back(request);
        request.lengthDone = 0;
        const auto it = _replies.find({request.value, request.index});
        if (it == _replies.end())
            return kIOUSBPipeStalled; // what a device does with a request it cannot answer
        if (it->second.second != kIOReturnSuccess)
            return it->second.second;
        const auto n = std::min<qsizetype>(it->second.first.size(), request.length);
        std::memcpy(request.data, it->second.first.constData(), static_cast<size_t>(n));
        request.lengthDone = static_cast<uint32_t>(n);
        return kIOReturnSuccess;
    }
    std::vector<SNP_USBDeviceRequest> requests;

private:
    std::map<std::pair<uint16_t, uint16_t>, std::pair<QByteArray, SNP_IOReturn>> _replies;
};

// requestType, request, value, index, length, no-data and completion time-outs.
using Shape = std::tuple<int, int, int, int, int, unsigned, unsigned>;
Shape shape(const SNP_USBDeviceRequest& r)
{
    return {r.requestType, r.request, r.value, r.index, r.length, r.noDataTimeout, r.completionTimeout};
}

// Manufacturer, product and serial-number strings at indices 1, 2 and 3.
const QByteArray kDeviceDescriptor = QByteArray::fromHex("120100000000000000000000000001020300");

QByteArray languageList(const std::vector<uint16_t>& ids)
{
    QByteArray d;
    d.append(char(2 + 2 * ids.size())).append(char(3));
    for (uint16_t id : ids)
        d.append(char(id & 0xFF)).append(char(id >> 8));
    return d;
}

QByteArray stringDescriptor(const QString& text, int trailingNuls = 0)
{
    QByteArray d("\0\3", 2);
    for (QChar c : text)
        d.append(char(c.unicode() & 0xFF)).append(char(c.unicode() >> 8));
    d.append(QByteArray(2 * trailingNuls, '\0'));
    d[0] = char(d.size());
    return d;
}

class USBTest : public fixtures::LoggedTest {
protected:
    FakeUSBDevice _device;
};

} // namespace

TEST_F(USBTest, DeviceDescriptorAndStringIndices)
{
    _device.answer(0x0100, 0, kDeviceDescriptor);
    uint8_t buffer[18] = {}, m = 9, p = 9, s = 9;
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, buffer, sizeof buffer), kIOReturnSuccess);
    EXPECT_EQ(QByteArray(reinterpret_cast<char*>(buffer), 18), kDeviceDescriptor);
    ASSERT_EQ(_device.requests.size(), 1u);
    EXPECT_EQ(shape(_device.requests[0]), Shape(0x80, 6, 0x0100, 0, 18, 100, 100));
    EXPECT_EQ(usbDeviceGetStringIndices(&_device, &m, &p, &s), kIOReturnSuccess);
    EXPECT_EQ(QList<int>({m, p, s}), QList<int>({1, 2, 3}));
    p = 9;
    EXPECT_EQ(usbDeviceGetStringIndices(&_device, nullptr, &p, nullptr), kIOReturnSuccess);
    EXPECT_EQ(p, 2);

    // Bad arguments reach no device.
    const auto requests = _device.requests.size();
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(nullptr, buffer, 18), kIOReturnBadArgument);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, nullptr, 18), kIOReturnBadArgument);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&_device, buffer, 0), kIOReturnBadArgument);
    EXPECT_EQ(logText().count("Passed a NULL pointer or zero length into usbDeviceGetDeviceDescriptor."), 3);
    EXPECT_EQ(usbDeviceGetStringIndices(nullptr, &m, &p, &s), kIOReturnBadArgument);
    EXPECT_EQ(_device.requests.size(), requests);

    // Fewer bytes than asked for are an underrun, and give no indices; a failure passes through.
    FakeUSBDevice shortDevice, failing;
    shortDevice.answer(0x0100, 0, kDeviceDescriptor.left(10));
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&shortDevice, buffer, sizeof buffer), kIOReturnUnderrun);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&shortDevice, buffer, 8), kIOReturnSuccess);
    EXPECT_EQ(usbDeviceGetStringIndices(&shortDevice, &m, &p, &s), kIOReturnUnderrun);
    EXPECT_EQ(QList<int>({m, p, s}), QList<int>({0, 0, 0}));
    failing.answer(0x0100, 0, QByteArray(), kIOReturnTimeout);
    EXPECT_EQ(usbDeviceGetDeviceDescriptor(&failing, buffer, sizeof buffer), kIOReturnTimeout);
}

TEST_F(USBTest, StringsAreReadInUSEnglishElseOtherEnglishElseTheFirstLanguage)
{
    const struct { const char* name; std::vector<uint16_t> languages; uint16_t chosen; bool listLogged; } rows[] = {
        {"US English after British", {0x0809, 0x0409}, 0x0409, false},
        {"US English before British", {0x0409, 0x0809}, 0x0409, false},
        {"other English", {0x0407, 0x0809}, 0x0809, false},
        {"no English", {0x0407}, 0x0407, true},
        {"no language list: language 0", {}, 0, false},
    };
    // Each language's string names the language.
    const auto nameIn = [](uint16_t id) { return QStringLiteral("Kamera \u00fc %1").arg(id, 4, 16, QChar(u'0')); };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        FakeUSBDevice device;
        device.answer(0x0300, 0, languageList(row.languages), row.languages.empty() ? kIOReturnError : kIOReturnSuccess);
        for (uint16_t id : row.languages)
            device.answer(0x0303, id, stringDescriptor(nameIn(id)));
        device.answer(0x0303, 0, stringDescriptor(nameIn(0)));
        const qsizetype before = logText().size();
        QString text;
        EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&device, 3, &text), kIOReturnSuccess);
        EXPECT_EQ(text, nameIn(row.chosen));
        ASSERT_EQ(device.requests.size(), 2u);
        EXPECT_EQ(shape(device.requests[0]), Shape(0x80, 6, 0x0300, 0, 256, 1, 0));
        EXPECT_EQ(shape(device.requests[1]), Shape(0x80, 6, 0x0303, row.chosen, 256, 1, 0));
        EXPECT_EQ(logText().mid(before).contains("The number of language IDs"), row.listLogged);
    }
    // Without English the language list is logged.
    const QString lines = logText();
    EXPECT_TRUE(lines.contains("using language id 0x0407 for string descriptor 3.")) << qPrintable(lines);
    EXPECT_TRUE(lines.contains("The number of language IDs is 1."));
    EXPECT_TRUE(lines.contains("LangID #1 is  0x0407."));
}

TEST_F(USBTest, StringDescriptorContentsAndFailures)
{
    QByteArray lying = stringDescriptor("OK");
    lying[0] = char(200); // claims far more than it sends
    const struct { const char* name; QByteArray descriptor; SNP_IOReturn status; QString expected; } rows[] = {
        {"no characters: success and no string", stringDescriptor(QString()), kIOReturnSuccess, QString()},
        {"padded with NULs", stringDescriptor("AB", 3), kIOReturnSuccess, "AB"},
        {"only padding", stringDescriptor(QString(), 2), kIOReturnSuccess, QString()},
        {"length beyond what arrived", lying, kIOReturnSuccess, "OK"},
        {"string request stalled", QByteArray(), kIOUSBPipeStalled, QString()},
    };
    _device.answer(0x0300, 0, languageList({0x0409}));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        _device.answer(0x0301, 0x0409, row.descriptor, row.status);
        QString text = "stale";
        EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 1, &text), row.status);
        EXPECT_EQ(text, row.expected);
        EXPECT_EQ(text.isNull(), row.expected.isNull());
    }

    // Bad arguments reach no device.
    const auto requests = _device.requests.size();
    QString text = "stale";
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(nullptr, 1, &text), kIOReturnBadArgument);
    EXPECT_TRUE(text.isNull());
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 1, nullptr), kIOReturnBadArgument);
    EXPECT_EQ(usbDeviceGetDescriptorStringCopy(&_device, 0, &text), kIOReturnBadArgument);
    EXPECT_EQ(logText().count("Passed a NULL pointer or zero index into usbInterfaceGetDescriptorStringCopy."), 3);
    EXPECT_EQ(_device.requests.size(), requests);
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
