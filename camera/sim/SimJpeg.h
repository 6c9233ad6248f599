// Pictures for the simulated camera: a generated scene encoded as JPEG (libjpeg-turbo),
// EXIF data written into it (Exiv2), and a cheap live-view frame renderer.
#pragma once

#include "EdsSdk.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace SimJpeg {

struct ExifFields {
    std::string make = "Canon";
    std::string model;
    std::string dateTimeOriginal;  // "YYYY:MM:DD HH:MM:SS"
    std::string artist;
    std::string copyright;
    std::string ownerName;
    std::string lensModel;
    std::string bodySerial;
    uint32_t exposureNumerator = 1, exposureDenominator = 60;  // seconds
    uint32_t fNumberNumerator = 56, fNumberDenominator = 10;
    uint16_t iso = 100;       // 0: not written (ISO Auto picked nothing)
    int32_t biasNumerator = 0, biasDenominator = 3;
    int width = 0, height = 0;
};

// The camera's scene at the given size, encoded at quality 90; cached per size (the
// answer is shared, never changed). Null when encoding failed.
std::shared_ptr<const std::vector<uint8_t>> basePicture(int width, int height);

// Adds (replaces) the EXIF block of a JPEG file in place. False (and logged) on failure.
bool writeExif(std::vector<uint8_t>& jpeg, const ExifFields& fields);

// The date text EXIF wants, from a camera time record.
std::string exifDateText(const EdsTime& time);

// Encodes an RGB picture (3 bytes per pixel, rows packed). Empty on failure.
std::vector<uint8_t> encodeRgb(const uint8_t* rgb, int width, int height, int quality);

// Live-view frames: a pre-rendered background in YUV 4:2:0 planes with a moving ball,
// a sweeping bar and a seven-segment clock drawn over it per frame, encoded from the
// planes (no colour conversion, no allocation per frame).
class LiveViewRenderer {
public:
    LiveViewRenderer(int width, int height);
    ~LiveViewRenderer();
    LiveViewRenderer(const LiveViewRenderer&) = delete;
    LiveViewRenderer& operator=(const LiveViewRenderer&) = delete;

    int width() const { return _width; }
    int height() const { return _height; }
    // Renders frame number frame at animation time seconds with the camera clock; the
    // encoded JPEG is at data()/size() until the next call. False on encoder failure.
    bool render(uint64_t frame, double seconds, const EdsTime& clock);
    const uint8_t* data() const { return _jpeg; }
    unsigned long size() const { return _jpegSize; }

private:
    void fillRect(int x, int y, int w, int h, uint8_t Y, uint8_t U, uint8_t V);
    void fillDisc(int cx, int cy, int r, uint8_t Y, uint8_t U, uint8_t V);
    void drawDigit(int x, int y, int scale, int digit);
    void drawText(int x, int y, int scale, const char* text);

    int _width, _height, _cw, _ch;
    std::vector<uint8_t> _bgY, _bgU, _bgV, _y, _u, _v;
    void* _tj = nullptr;
    unsigned char* _jpeg = nullptr;
    unsigned long _jpegSize = 0;
    unsigned long _jpegCapacity = 0;
};

}  // namespace SimJpeg
