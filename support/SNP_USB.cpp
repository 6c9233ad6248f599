#include "SNP_USB.h"

#include "SNP_Log.h"

#include <algorithm>
#include <cstring>

#ifdef HAVE_LIBUSB
#include <libusb.h>
#endif

namespace {

constexpr uint8_t kRequestTypeDeviceToHost = 0x80; // standard, device, in
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint16_t kDescriptorTypeDevice = 0x0100;
constexpr uint16_t kDescriptorTypeString = 0x0300;
constexpr uint16_t kStringBufferSize = 256;
constexpr uint16_t kDeviceDescriptorSize = 18;

} // namespace

unsigned int SNP_LibUSBDevice::libusbTimeout(uint32_t noDataTimeout, uint32_t completionTimeout)
{
    // A completion time-out bounds the whole transfer, as libusb's does. Without one only
    // the no-data time-out applies, which a whole-transfer limit cannot mirror; a device
    // needs a few frames for even a short descriptor, so it is given at least 100 ms.
    if (completionTimeout != 0)
        return std::max(completionTimeout, noDataTimeout);
    return std::max<uint32_t>(noDataTimeout, 100);
}

SNP_IOReturn SNP_LibUSBDevice::statusForLibUSBError(int error)
{
#ifdef HAVE_LIBUSB
    switch (error) {
    case LIBUSB_SUCCESS: return kIOReturnSuccess;
    case LIBUSB_ERROR_INVALID_PARAM: return kIOReturnBadArgument;
    case LIBUSB_ERROR_ACCESS: return kIOReturnNotPrivileged;
    case LIBUSB_ERROR_NO_DEVICE: return kIOReturnNoDevice;
    case LIBUSB_ERROR_NOT_FOUND: return kIOReturnNoDevice;
    case LIBUSB_ERROR_BUSY: return kIOReturnExclusiveAccess;
    case LIBUSB_ERROR_TIMEOUT: return kIOReturnTimeout;
    case LIBUSB_ERROR_OVERFLOW: return kIOReturnOverrun;
    case LIBUSB_ERROR_PIPE: return kIOUSBPipeStalled;
    case LIBUSB_ERROR_INTERRUPTED: return kIOReturnAborted;
    case LIBUSB_ERROR_NO_MEM: return kIOReturnNoMemory;
    case LIBUSB_ERROR_IO: return kIOReturnDeviceError;
    default: return kIOReturnError;
    }
#else
    return error == 0 ? kIOReturnSuccess : kIOReturnError;
#endif
}

SNP_IOReturn SNP_LibUSBDevice::deviceRequest(SNP_USBDeviceRequest& request)
{
    request.lengthDone = 0;
#ifdef HAVE_LIBUSB
    if (!_handle) {
        SNP_Log::debug(QStringLiteral("no libusb device handle for a control request"));
        return kIOReturnNoDevice;
    }
    const int result = libusb_control_transfer(
        _handle, request.requestType, request.request, request.value, request.index,
        static_cast<unsigned char*>(request.data), request.length,
        libusbTimeout(request.noDataTimeout, request.completionTimeout));
    if (result < 0) {
        const SNP_IOReturn status = statusForLibUSBError(result);
        SNP_Log::debugf("control request 0x%02x/%u value 0x%04x failed: %s (0x%x)",
                        request.requestType, request.request, request.value,
                        libusb_error_name(result), status);
        return status;
    }
    request.lengthDone = static_cast<uint32_t>(result);
    return kIOReturnSuccess;
#else
    SNP_Log::debug(QStringLiteral("USB control requests are not available in this build"));
    return kIOReturnNoDevice;
#endif
}

SNP_IOReturn usbDeviceGetDeviceDescriptor(SNP_USBDevice* device, void* buffer, uint16_t length)
{
    if (!device || !buffer || length == 0) {
        SNP_Log::debug(QStringLiteral(
            "Passed a NULL pointer or zero length into usbDeviceGetDeviceDescriptor."));
        return kIOReturnBadArgument;
    }
    SNP_USBDeviceRequest request;
    request.requestType = kRequestTypeDeviceToHost;
    request.request = kRequestGetDescriptor;
    request.value = kDescriptorTypeDevice;
    request.index = 0;
    request.length = length;
    request.data = buffer;
    request.noDataTimeout = 100;
    request.completionTimeout = 100;
    SNP_IOReturn status = device->deviceRequest(request);
    if (status == kIOReturnSuccess && request.lengthDone < length)
        status = kIOReturnUnderrun;
    return status;
}

SNP_IOReturn usbDeviceGetStringIndices(SNP_USBDevice* device, uint8_t* manufacturerIndex,
                                       uint8_t* productIndex, uint8_t* serialNumberIndex)
{
    if (!device)
        return kIOReturnBadArgument;
    uint8_t descriptor[kDeviceDescriptorSize] = {};
    const SNP_IOReturn status = usbDeviceGetDeviceDescriptor(device, descriptor, sizeof descriptor);
    const bool ok = status == kIOReturnSuccess;
    if (manufacturerIndex)
        *manufacturerIndex = ok ? descriptor[14] : 0;
    if (productIndex)
        *productIndex = ok ? descriptor[15] : 0;
    if (serialNumberIndex)
        *serialNumberIndex = ok ? descriptor[16] : 0;
    return status;
}

namespace {

SNP_IOReturn requestStringDescriptor(SNP_USBDevice* device, uint8_t index, uint16_t languageID,
                                     uint8_t* buffer, uint32_t* lengthDone)
{
    std::memset(buffer, 0, kStringBufferSize);
    SNP_USBDeviceRequest request;
    request.requestType = kRequestTypeDeviceToHost;
    request.request = kRequestGetDescriptor;
    request.value = static_cast<uint16_t>(kDescriptorTypeString | index);
    request.index = languageID;
    request.length = kStringBufferSize;
    request.data = buffer;
    request.noDataTimeout = 1;
    request.completionTimeout = 0;
    const SNP_IOReturn status = device->deviceRequest(request);
    // Never trust a device to report more than was asked for.
    *lengthDone = std::min<uint32_t>(request.lengthDone, kStringBufferSize);
    return status;
}

} // namespace

SNP_IOReturn usbDeviceGetDescriptorStringCopy(SNP_USBDevice* device, uint8_t index,
                                              QString* outString)
{
    if (outString)
        *outString = QString();
    if (!device || !outString || index == 0) {
        SNP_Log::debug(QStringLiteral(
            "Passed a NULL pointer or zero index into usbInterfaceGetDescriptorStringCopy.\n"));
        return kIOReturnBadArgument;
    }

    uint8_t buffer[kStringBufferSize];
    uint32_t lengthDone = 0;
    uint16_t languageID = 0;

    SNP_IOReturn status = requestStringDescriptor(device, 0, 0, buffer, &lengthDone);
    if (status == kIOReturnSuccess && lengthDone >= 4) {
        // The descriptor's own length, but no more than actually arrived.
        const uint32_t length = std::min<uint32_t>(buffer[0], lengthDone);
        bool english = false;
        for (uint32_t i = 2; i + 1 < length; i += 2) {
            const uint16_t id = static_cast<uint16_t>(buffer[i] | (buffer[i + 1] << 8));
            if ((id & 0xFF) == 0x09) {
                languageID = id;
                english = true;
                if ((id >> 8) == 0x04)
                    break;
            }
        }
        if (!english) {
            languageID = static_cast<uint16_t>(buffer[2] | (buffer[3] << 8));
            const int count = length >= 2 ? static_cast<int>((length - 2) / 2) : 0;
            if (count > 0) {
                SNP_Log::debugf("using language id %#.4x for string descriptor %d.",
                                languageID, index);
                SNP_Log::debugf("The number of language IDs is %d.", count);
                for (int n = 1; n <= count; ++n) {
                    const uint32_t at = 2 * static_cast<uint32_t>(n);
                    SNP_Log::debugf("LangID #%d is  %#.4x.", n,
                                    static_cast<unsigned>(buffer[at] | (buffer[at + 1] << 8)));
                }
            }
        }
    }

    status = requestStringDescriptor(device, index, languageID, buffer, &lengthDone);
    if (status == kIOReturnSuccess && lengthDone >= 2) {
        uint32_t length = std::min<uint32_t>(buffer[0], lengthDone);
        buffer[0] = 0xFF; // byte-order mark, little-endian
        buffer[1] = 0xFE;
        length &= ~1u;
        while (length >= 4 && buffer[length - 2] == 0 && buffer[length - 1] == 0)
            length -= 2;
        if (length > 3) {
            QString text;
            text.reserve(static_cast<qsizetype>((length - 2) / 2));
            for (uint32_t i = 2; i + 1 < length; i += 2)
                text.append(QChar(static_cast<char16_t>(buffer[i] | (buffer[i + 1] << 8))));
            *outString = text;
        }
    }
    return status;
}
