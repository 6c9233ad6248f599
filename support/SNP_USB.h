// USB descriptor reading for diagnostics: the device descriptor, the three string
// indices in it, and a string descriptor as text. The functions speak to a device
// through SNP_USBDevice (anything that answers control transfers) and report
// IOKit-style status codes, so their log lines name the same codes on every platform.
#pragma once

#include <QString>
#include <cstdint>

struct libusb_device_handle;

// The functions below are grouped under this name; it has no state of its own.
class SNP_USB {
};

// Status codes (IOKit's values).
using SNP_IOReturn = uint32_t;
constexpr SNP_IOReturn kIOReturnSuccess = 0x00000000;
constexpr SNP_IOReturn kIOReturnError = 0xE00002BC;
constexpr SNP_IOReturn kIOReturnNoMemory = 0xE00002BD;
constexpr SNP_IOReturn kIOReturnNoDevice = 0xE00002C0;
constexpr SNP_IOReturn kIOReturnNotPrivileged = 0xE00002C1;
constexpr SNP_IOReturn kIOReturnBadArgument = 0xE00002C2;
constexpr SNP_IOReturn kIOReturnExclusiveAccess = 0xE00002C5;
constexpr SNP_IOReturn kIOReturnTimeout = 0xE00002D6;
constexpr SNP_IOReturn kIOReturnUnderrun = 0xE00002E7;
constexpr SNP_IOReturn kIOReturnOverrun = 0xE00002E8;
constexpr SNP_IOReturn kIOReturnDeviceError = 0xE00002E9;
constexpr SNP_IOReturn kIOReturnAborted = 0xE00002EB;
constexpr SNP_IOReturn kIOUSBPipeStalled = 0xE000404F;

// One control request, in the order of the USB setup packet, plus the two time-outs
// of a timed device request (milliseconds; a completion time-out of 0 means none).
struct SNP_USBDeviceRequest {
    uint8_t requestType = 0;
    uint8_t request = 0;
    uint16_t value = 0;
    uint16_t index = 0;
    uint16_t length = 0;
    void* data = nullptr;
    uint32_t lengthDone = 0; // filled in
    uint32_t noDataTimeout = 0;
    uint32_t completionTimeout = 0;
};

// A device that answers control transfers.
class SNP_USBDevice {
public:
    virtual ~SNP_USBDevice() = default;
    // Sends the request, fills in request.lengthDone and returns the status.
    virtual SNP_IOReturn deviceRequest(SNP_USBDeviceRequest& request) = 0;
};

// A device opened with libusb. The handle stays the caller's (not closed here).
class SNP_LibUSBDevice : public SNP_USBDevice {
public:
    explicit SNP_LibUSBDevice(libusb_device_handle* handle) : _handle(handle) {}
    SNP_IOReturn deviceRequest(SNP_USBDeviceRequest& request) override;

    // libusb has a single time-out for the whole transfer; this is the one used for a
    // request's pair of time-outs.
    static unsigned int libusbTimeout(uint32_t noDataTimeout, uint32_t completionTimeout);
    // A libusb error code as a status code.
    static SNP_IOReturn statusForLibUSBError(int error);

private:
    libusb_device_handle* _handle;
};

// Reads the device descriptor (or its first length bytes) into buffer. Fewer bytes than
// length give kIOReturnUnderrun.
SNP_IOReturn usbDeviceGetDeviceDescriptor(SNP_USBDevice* device, void* buffer, uint16_t length);

// Reads the manufacturer, product and serial-number string indices from the device
// descriptor; each out pointer may be null; all are set to 0 when the read fails.
SNP_IOReturn usbDeviceGetStringIndices(SNP_USBDevice* device, uint8_t* manufacturerIndex,
                                       uint8_t* productIndex, uint8_t* serialNumberIndex);

// Reads string descriptor index as text, in US English when the device offers it, else
// in another English, else in the device's first language. *outString is null when the
// descriptor holds no characters or the read failed.
SNP_IOReturn usbDeviceGetDescriptorStringCopy(SNP_USBDevice* device, uint8_t index,
                                              QString* outString);
