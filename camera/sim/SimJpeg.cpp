#include "SimJpeg.h"

#include "SNP_Log.h"

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#include <exiv2/exiv2.hpp>
#pragma GCC diagnostic pop
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace SimJpeg {

namespace {

constexpr double kPi = 3.14159265358979323846;

struct Rgb {
    uint8_t r, g, b;
};

uint8_t clamp8(double v)
{
    return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0)));
}

Rgb mix(Rgb a, Rgb b, double t)
{
    return {clamp8(a.r + (b.r - a.r) * t), clamp8(a.g + (b.g - a.g) * t), clamp8(a.b + (b.b - a.b) * t)};
}

// The camera's view: sky with a sun, a mountain range, a meadow with furrows and a set
// of colour bars in front, so that a picture is recognisable at a glance and its colours
// can be checked.
void renderScene(uint8_t* rgb, int w, int h)
{
    const int horizon = static_cast<int>(h * 0.62);
    std::vector<int> ridge(static_cast<size_t>(w));
    for (int x = 0; x < w; ++x) {
        double u = static_cast<double>(x) / w;
        double m = (0.5 + 0.5 * std::sin(u * 2 * kPi * 2.3 + 0.4)) * (0.6 + 0.4 * std::sin(u * 2 * kPi * 5.1));
        ridge[static_cast<size_t>(x)] = horizon - static_cast<int>(h * 0.16 * m);
    }
    const Rgb skyTop{40, 90, 180}, skyLow{170, 210, 245};
    const Rgb grassNear{30, 85, 30}, grassFar{80, 150, 65};
    const Rgb rock{105, 98, 128}, snow{235, 235, 245};
    for (int y = 0; y < h; ++y) {
        uint8_t* row = rgb + static_cast<size_t>(y) * w * 3;
        if (y < horizon) {
            Rgb sky = mix(skyTop, skyLow, static_cast<double>(y) / horizon);
            for (int x = 0; x < w; ++x) {
                Rgb c = sky;
                int top = ridge[static_cast<size_t>(x)];
                if (y >= top)
                    c = (y - top) < h / 90 ? snow : rock;
                row[3 * x] = c.r;
                row[3 * x + 1] = c.g;
                row[3 * x + 2] = c.b;
            }
        } else {
            double t = static_cast<double>(y - horizon) / std::max(1, h - horizon);
            Rgb g = mix(grassFar, grassNear, t);
            // furrows, closer together towards the horizon
            double furrow = std::sin(std::sqrt(t) * 60.0);
            if (furrow > 0.85)
                g = mix(g, Rgb{20, 50, 20}, 0.5);
            for (int x = 0; x < w; ++x) {
                row[3 * x] = g.r;
                row[3 * x + 1] = g.g;
                row[3 * x + 2] = g.b;
            }
        }
    }
    // sun
    const int s = std::min(w, h);
    const int cx = static_cast<int>(w * 0.8), cy = static_cast<int>(h * 0.18), r = s / 12;
    for (int y = std::max(0, cy - r); y < std::min(h, cy + r); ++y)
        for (int x = std::max(0, cx - r); x < std::min(w, cx + r); ++x) {
            int dx = x - cx, dy = y - cy;
            if (dx * dx + dy * dy <= r * r) {
                uint8_t* p = rgb + (static_cast<size_t>(y) * w + x) * 3;
                p[0] = 255;
                p[1] = 228;
                p[2] = 110;
            }
        }
    // colour bars on a dark board
    static const Rgb bars[8] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
                                {235, 16, 235}, {235, 16, 16}, {16, 16, 235}, {16, 16, 16}};
    const int bx = static_cast<int>(w * 0.28), bw = static_cast<int>(w * 0.44);
    const int by = static_cast<int>(h * 0.68), bh = static_cast<int>(h * 0.22);
    const int border = std::max(2, s / 100);
    for (int y = by - border; y < by + bh + border; ++y) {
        if (y < 0 || y >= h)
            continue;
        uint8_t* row = rgb + static_cast<size_t>(y) * w * 3;
        for (int x = bx - border; x < bx + bw + border; ++x) {
            if (x < 0 || x >= w)
                continue;
            Rgb c{40, 30, 25};
            if (y >= by && y < by + bh && x >= bx && x < bx + bw)
                c = bars[std::min(7, (x - bx) * 8 / std::max(1, bw))];
            row[3 * x] = c.r;
            row[3 * x + 1] = c.g;
            row[3 * x + 2] = c.b;
        }
    }
}

// Sensor grain, so that a picture file has the size of a real one rather than of a
// drawing (a flat scene compresses to a tenth of it).
void addGrain(uint8_t* rgb, size_t size)
{
    uint32_t state = 0x2545F491u;
    for (size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        int v = rgb[i] + static_cast<int>(state % 13) - 6;
        rgb[i] = static_cast<uint8_t>(std::clamp(v, 0, 255));
    }
}

std::mutex& exivLock()
{
    static std::mutex lock;
    return lock;
}

}  // namespace

std::vector<uint8_t> encodeRgb(const uint8_t* rgb, int width, int height, int quality)
{
    std::vector<uint8_t> out;
    tjhandle tj = tjInitCompress();
    if (!tj) {
        SNP_Log::debugf("simulated camera: cannot start the JPEG encoder");
        return out;
    }
    unsigned char* buf = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, rgb, width, width * 3, height, TJPF_RGB, &buf, &size, TJSAMP_420, quality, 0) == 0)
        out.assign(buf, buf + size);
    else
        SNP_Log::debugf("simulated camera: JPEG encoding failed: %s", tjGetErrorStr2(tj));
    tjFree(buf);
    tjDestroy(tj);
    return out;
}

std::shared_ptr<const std::vector<uint8_t>> basePicture(int width, int height)
{
    static std::mutex lock;
    static std::map<std::pair<int, int>, std::shared_ptr<const std::vector<uint8_t>>> cache;
    std::lock_guard<std::mutex> guard(lock);
    auto key = std::make_pair(width, height);
    auto it = cache.find(key);
    if (it != cache.end())
        return it->second;
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    renderScene(rgb.data(), width, height);
    addGrain(rgb.data(), rgb.size());
    auto jpeg = std::make_shared<const std::vector<uint8_t>>(encodeRgb(rgb.data(), width, height, 90));
    if (jpeg->empty())
        return nullptr;
    if (cache.size() >= 4)  // a few sizes at most; 24 MP files are large
        cache.erase(cache.begin());
    cache[key] = jpeg;
    return jpeg;
}

std::string exifDateText(const EdsTime& t)
{
    char text[32];
    std::snprintf(text, sizeof text, "%04u:%02u:%02u %02u:%02u:%02u", t.year % 10000, t.month % 100, t.day % 100,
                  t.hour % 100, t.minute % 100, t.second % 100);
    return text;
}

bool writeExif(std::vector<uint8_t>& jpeg, const ExifFields& f)
{
    std::lock_guard<std::mutex> guard(exivLock());
    try {
        Exiv2::LogMsg::setLevel(Exiv2::LogMsg::mute);
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(jpeg.data(), static_cast<long>(jpeg.size()));
        if (!image.get())
            return false;
        image->readMetadata();
        Exiv2::ExifData exif;
        exif["Exif.Image.Make"] = f.make;
        exif["Exif.Image.Model"] = f.model;
        exif["Exif.Image.Orientation"] = uint16_t(1);
        exif["Exif.Image.DateTime"] = f.dateTimeOriginal;
        if (!f.artist.empty())
            exif["Exif.Image.Artist"] = f.artist;
        if (!f.copyright.empty())
            exif["Exif.Image.Copyright"] = f.copyright;
        exif["Exif.Photo.ExposureTime"] = Exiv2::URational(f.exposureNumerator, f.exposureDenominator);
        exif["Exif.Photo.FNumber"] = Exiv2::URational(f.fNumberNumerator, f.fNumberDenominator);
        if (f.iso)
            exif["Exif.Photo.ISOSpeedRatings"] = f.iso;
        exif["Exif.Photo.DateTimeOriginal"] = f.dateTimeOriginal;
        exif["Exif.Photo.DateTimeDigitized"] = f.dateTimeOriginal;
        exif["Exif.Photo.ExposureBiasValue"] = Exiv2::Rational(f.biasNumerator, f.biasDenominator);
        exif["Exif.Photo.PixelXDimension"] = uint32_t(f.width);
        exif["Exif.Photo.PixelYDimension"] = uint32_t(f.height);
        exif["Exif.Photo.ColorSpace"] = uint16_t(1);
        if (!f.lensModel.empty())
            exif["Exif.Photo.LensModel"] = f.lensModel;
        if (!f.ownerName.empty())
            exif["Exif.Photo.CameraOwnerName"] = f.ownerName;
        if (!f.bodySerial.empty())
            exif["Exif.Photo.BodySerialNumber"] = f.bodySerial;
        image->setExifData(exif);
        image->writeMetadata();
        Exiv2::BasicIo& io = image->io();
        io.seek(0, Exiv2::BasicIo::beg);
        Exiv2::DataBuf buf = io.read(static_cast<long>(io.size()));
        if (buf.size_ <= 0)
            return false;
        jpeg.assign(buf.pData_, buf.pData_ + buf.size_);
        return true;
    } catch (const std::exception& e) {
        SNP_Log::debugf("simulated camera: writing EXIF data failed: %s", e.what());
    } catch (...) {
        SNP_Log::debugf("simulated camera: writing EXIF data failed");
    }
    return false;
}

// ---------------------------------------------------------------------------------------

LiveViewRenderer::LiveViewRenderer(int width, int height)
    : _width(width & ~1), _height(height & ~1), _cw(_width / 2), _ch(_height / 2)
{
    std::vector<uint8_t> rgb(static_cast<size_t>(_width) * _height * 3);
    renderScene(rgb.data(), _width, _height);
    _bgY.resize(static_cast<size_t>(_width) * _height);
    _bgU.resize(static_cast<size_t>(_cw) * _ch);
    _bgV.resize(static_cast<size_t>(_cw) * _ch);
    for (int y = 0; y < _height; ++y)
        for (int x = 0; x < _width; ++x) {
            const uint8_t* p = &rgb[(static_cast<size_t>(y) * _width + x) * 3];
            _bgY[static_cast<size_t>(y) * _width + x] = clamp8(0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2]);
        }
    for (int y = 0; y < _ch; ++y)
        for (int x = 0; x < _cw; ++x) {
            double r = 0, g = 0, b = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    const uint8_t* p = &rgb[(static_cast<size_t>(2 * y + dy) * _width + 2 * x + dx) * 3];
                    r += p[0] / 4.0;
                    g += p[1] / 4.0;
                    b += p[2] / 4.0;
                }
            _bgU[static_cast<size_t>(y) * _cw + x] = clamp8(-0.168736 * r - 0.331264 * g + 0.5 * b + 128);
            _bgV[static_cast<size_t>(y) * _cw + x] = clamp8(0.5 * r - 0.418688 * g - 0.081312 * b + 128);
        }
    _y = _bgY;
    _u = _bgU;
    _v = _bgV;
    _tj = tjInitCompress();
    _jpegCapacity = tjBufSize(_width, _height, TJSAMP_420);
    _jpeg = tjAlloc(static_cast<int>(_jpegCapacity));
}

LiveViewRenderer::~LiveViewRenderer()
{
    if (_jpeg)
        tjFree(_jpeg);
    if (_tj)
        tjDestroy(static_cast<tjhandle>(_tj));
}

void LiveViewRenderer::fillRect(int x, int y, int w, int h, uint8_t Y, uint8_t U, uint8_t V)
{
    int x0 = std::max(0, x), y0 = std::max(0, y);
    int x1 = std::min(_width, x + w), y1 = std::min(_height, y + h);
    for (int yy = y0; yy < y1; ++yy)
        std::memset(&_y[static_cast<size_t>(yy) * _width + x0], Y, static_cast<size_t>(std::max(0, x1 - x0)));
    for (int yy = y0 / 2; yy < (y1 + 1) / 2 && yy < _ch; ++yy) {
        int cx0 = x0 / 2, cx1 = std::min(_cw, (x1 + 1) / 2);
        if (cx1 > cx0) {
            std::memset(&_u[static_cast<size_t>(yy) * _cw + cx0], U, static_cast<size_t>(cx1 - cx0));
            std::memset(&_v[static_cast<size_t>(yy) * _cw + cx0], V, static_cast<size_t>(cx1 - cx0));
        }
    }
}

void LiveViewRenderer::fillDisc(int cx, int cy, int r, uint8_t Y, uint8_t U, uint8_t V)
{
    for (int y = std::max(0, cy - r); y < std::min(_height, cy + r); ++y) {
        int dy = y - cy;
        int half = static_cast<int>(std::sqrt(static_cast<double>(r * r - dy * dy)));
        int x0 = std::max(0, cx - half), x1 = std::min(_width, cx + half);
        if (x1 <= x0)
            continue;
        std::memset(&_y[static_cast<size_t>(y) * _width + x0], Y, static_cast<size_t>(x1 - x0));
        if ((y & 1) == 0 && y / 2 < _ch) {
            std::memset(&_u[static_cast<size_t>(y / 2) * _cw + x0 / 2], U, static_cast<size_t>((x1 - x0) / 2));
            std::memset(&_v[static_cast<size_t>(y / 2) * _cw + x0 / 2], V, static_cast<size_t>((x1 - x0) / 2));
        }
    }
}

void LiveViewRenderer::drawDigit(int x, int y, int s, int digit)
{
    // segments a b c d e f g
    static const uint8_t segments[10] = {0x3F, 0x06, 0x5B, 0x4F, 0x66, 0x6D, 0x7D, 0x07, 0x7F, 0x6F};
    const uint8_t m = segments[digit % 10];
    const int t = s, l = 4 * s;  // thickness, length
    const uint8_t Y = 235, U = 128, V = 128;
    if (m & 0x01) fillRect(x + t, y, l, t, Y, U, V);
    if (m & 0x02) fillRect(x + t + l, y + t, t, l, Y, U, V);
    if (m & 0x04) fillRect(x + t + l, y + 2 * t + l, t, l, Y, U, V);
    if (m & 0x08) fillRect(x + t, y + 2 * t + 2 * l, l, t, Y, U, V);
    if (m & 0x10) fillRect(x, y + 2 * t + l, t, l, Y, U, V);
    if (m & 0x20) fillRect(x, y + t, t, l, Y, U, V);
    if (m & 0x40) fillRect(x + t, y + t + l, l, t, Y, U, V);
}

void LiveViewRenderer::drawText(int x, int y, int s, const char* text)
{
    for (const char* c = text; *c; ++c) {
        if (*c >= '0' && *c <= '9') {
            drawDigit(x, y, s, *c - '0');
            x += 8 * s;
        } else if (*c == ':') {
            fillRect(x + s, y + 2 * s, s, s, 235, 128, 128);
            fillRect(x + s, y + 5 * s + s, s, s, 235, 128, 128);
            x += 4 * s;
        } else {
            x += 4 * s;
        }
    }
}

bool LiveViewRenderer::render(uint64_t frame, double seconds, const EdsTime& clock)
{
    if (!_tj || !_jpeg)
        return false;
    // Restore the background where the previous frame drew (whole planes: cheap memcpy).
    std::memcpy(_y.data(), _bgY.data(), _y.size());
    std::memcpy(_u.data(), _bgU.data(), _u.size());
    std::memcpy(_v.data(), _bgV.data(), _v.size());

    // a red ball bouncing over the sky
    const int s = std::min(_width, _height);
    const int r = s / 14;
    const int bx = static_cast<int>(_width * (0.1 + 0.8 * (0.5 + 0.5 * std::sin(seconds * 1.3))));
    const int by = static_cast<int>(_height * 0.32 + _height * 0.12 * std::fabs(std::sin(seconds * 2.6)));
    fillDisc(bx, by, r, 82, 90, 240);
    // a light bar sweeping over the meadow
    const int sweep = static_cast<int>(std::fmod(seconds * _width / 4.0, static_cast<double>(_width)));
    for (int y = static_cast<int>(_height * 0.62); y < _height; ++y) {
        uint8_t* row = &_y[static_cast<size_t>(y) * _width];
        for (int x = sweep; x < std::min(_width, sweep + _width / 64); ++x)
            row[x] = static_cast<uint8_t>(std::min(255, row[x] + 60));
    }
    // the running clock and the frame number on a dark plate
    const int scale = std::max(2, s / 170);
    fillRect(scale * 2, scale * 2, scale * 70, scale * 30, 16, 128, 128);
    char text[32];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", clock.hour % 100, clock.minute % 100, clock.second % 100);
    drawText(scale * 4, scale * 4, scale, text);
    std::snprintf(text, sizeof text, "%06llu", static_cast<unsigned long long>(frame % 1000000));
    drawText(scale * 4, scale * 18, scale, text);

    const unsigned char* planes[3] = {_y.data(), _u.data(), _v.data()};
    int strides[3] = {_width, _cw, _cw};
    _jpegSize = _jpegCapacity;
    if (tjCompressFromYUVPlanes(static_cast<tjhandle>(_tj), planes, _width, strides, _height, TJSAMP_420, &_jpeg,
                                &_jpegSize, 75, TJFLAG_NOREALLOC | TJFLAG_FASTDCT) != 0) {
        SNP_Log::debugf("simulated camera: live-view encoding failed: %s", tjGetErrorStr2(static_cast<tjhandle>(_tj)));
        _jpegSize = 0;
        return false;
    }
    return true;
}

}  // namespace SimJpeg
