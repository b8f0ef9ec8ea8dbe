#include "engine/BGRAImage.h"

#include "engine/Affine.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <libheif/heif.h>
#include <memory>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tallymere {

namespace {

using Bytes = std::vector<std::uint8_t>;

std::uint16_t readU16(const std::uint8_t* p, bool bigEndian) {
    return bigEndian ? static_cast<std::uint16_t>(p[0] << 8 | p[1])
                     : static_cast<std::uint16_t>(p[1] << 8 | p[0]);
}

std::uint32_t readU32(const std::uint8_t* p, bool bigEndian) {
    return bigEndian ? std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 |
                           std::uint32_t(p[2]) << 8 | p[3]
                     : std::uint32_t(p[3]) << 24 | std::uint32_t(p[2]) << 16 |
                           std::uint32_t(p[1]) << 8 | p[0];
}

// The orientation tag (1...8) of a TIFF-structured EXIF block; 1 when absent or unreadable.
int tiffOrientation(const std::uint8_t* p, std::size_t n) {
    if (n >= 6 && std::memcmp(p, "Exif\0\0", 6) == 0) {
        p += 6;
        n -= 6;
    }
    if (n < 8) return 1;
    bool big;
    if (p[0] == 'I' && p[1] == 'I')
        big = false;
    else if (p[0] == 'M' && p[1] == 'M')
        big = true;
    else
        return 1;
    if (readU16(p + 2, big) != 42) return 1;
    const std::uint32_t ifd = readU32(p + 4, big);
    if (ifd > n - 2) return 1;
    const std::uint16_t count = readU16(p + ifd, big);
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + std::size_t(i) * 12;
        if (entry + 12 > n) break;
        if (readU16(p + entry, big) != 0x0112) continue;
        const std::uint16_t type = readU16(p + entry + 2, big);
        const int value = type == 3   ? readU16(p + entry + 8, big)
                          : type == 4 ? static_cast<int>(readU32(p + entry + 8, big))
                                      : 1;
        return value >= 1 && value <= 8 ? value : 1;
    }
    return 1;
}

bool isJPEG(const Bytes& b) {
    return b.size() > 3 && b[0] == 0xFF && b[1] == 0xD8 && b[2] == 0xFF;
}

bool isHEIF(const Bytes& b) {
    return b.size() > 12 && std::memcmp(b.data() + 4, "ftyp", 4) == 0;
}

struct JPEGInfo {
    int width = 0;
    int height = 0;
    int orientation = 1;
    bool truncated = false; // the scan has no end-of-image marker after it
};

// Walks the JPEG markers up to the scan for the frame size and the EXIF orientation.
JPEGInfo jpegInfo(const Bytes& b) {
    JPEGInfo info;
    std::size_t i = 2;
    const std::size_t n = b.size();
    while (i + 4 <= n) {
        if (b[i] != 0xFF) break;
        const std::uint8_t marker = b[i + 1];
        if (marker == 0xFF) {
            ++i;
            continue;
        }
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {
            i += 2;
            continue;
        }
        if (marker == 0xDA) {
            // A file cut short ends inside the compressed data, which the decoder would
            // otherwise fill up with grey; 0xFF 0xD9 cannot occur inside that data.
            info.truncated = true;
            for (std::size_t k = i + 2; k + 1 < n; ++k)
                if (b[k] == 0xFF && b[k + 1] == 0xD9) {
                    info.truncated = false;
                    break;
                }
            break;
        }
        if (marker == 0xD9) break;
        const std::size_t len = readU16(&b[i + 2], true);
        if (len < 2 || i + 2 + len > n) break;
        const std::uint8_t* seg = &b[i + 4];
        if (marker == 0xE1 && info.orientation == 1 && len >= 8 &&
            std::memcmp(seg, "Exif\0\0", 6) == 0)
            info.orientation = tiffOrientation(seg + 6, len - 8);
        const bool sof =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (sof && len >= 7) {
            info.height = readU16(seg + 1, true);
            info.width = readU16(seg + 3, true);
        }
        i += 2 + len;
    }
    return info;
}

int pngOrientation(const Bytes& b) {
    static const std::uint8_t sig[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (b.size() < 8 || std::memcmp(b.data(), sig, 8) != 0) return 1;
    std::size_t i = 8;
    while (i + 12 <= b.size()) {
        const std::size_t len = readU32(&b[i], true);
        if (len > b.size() - i - 12) break;
        if (std::memcmp(&b[i + 4], "eXIf", 4) == 0) return tiffOrientation(&b[i + 8], len);
        if (std::memcmp(&b[i + 4], "IEND", 4) == 0) break;
        i += 12 + len;
    }
    return 1;
}

int webpOrientation(const Bytes& b) {
    if (b.size() < 12 || std::memcmp(b.data(), "RIFF", 4) != 0 ||
        std::memcmp(b.data() + 8, "WEBP", 4) != 0)
        return 1;
    std::size_t i = 12;
    while (i + 8 <= b.size()) {
        const std::size_t len = readU32(&b[i + 4], false);
        if (len > b.size() - i - 8) break;
        if (std::memcmp(&b[i], "EXIF", 4) == 0) return tiffOrientation(&b[i + 8], len);
        i += 8 + len + (len & 1);
    }
    return 1;
}

int fileOrientation(const Bytes& b) {
    if (isJPEG(b)) return jpegInfo(b).orientation;
    if (b.size() >= 4 &&
        (std::memcmp(b.data(), "II*\0", 4) == 0 || std::memcmp(b.data(), "MM\0*", 4) == 0))
        return tiffOrientation(b.data(), b.size());
    if (const int o = pngOrientation(b); o != 1) return o;
    return webpOrientation(b);
}

// The first image's width and height as a TIFF's first IFD declares them; 0 x 0 when unreadable.
cv::Size tiffSize(const std::uint8_t* p, std::size_t n) {
    if (n < 8) return {};
    const bool big = p[0] == 'M';
    const std::uint32_t ifd = readU32(p + 4, big);
    if (ifd > n - 2) return {};
    const std::uint16_t count = readU16(p + ifd, big);
    long long size[2] = {0, 0};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::size_t entry = ifd + 2 + std::size_t(i) * 12;
        if (entry + 12 > n) break;
        const std::uint16_t tag = readU16(p + entry, big);
        if (tag != 256 && tag != 257) continue;
        const std::uint16_t type = readU16(p + entry + 2, big);
        size[tag - 256] = type == 3 ? readU16(p + entry + 8, big) : readU32(p + entry + 8, big);
    }
    return {static_cast<int>(std::min<long long>(size[0], INT32_MAX)),
            static_cast<int>(std::min<long long>(size[1], INT32_MAX))};
}

// The picture size a still-image file declares in its header, read before anything is decoded,
// for the formats the decoder is given (JPEG, PNG, WebP, TIFF, BMP; HEIF is asked of its own
// decoder). Nothing for other content, which is then not decoded at all: its size could not be
// bounded beforehand.
std::optional<cv::Size> declaredSize(const Bytes& b) {
    const std::size_t n = b.size();
    const auto clampInt = [](long long v) {
        return static_cast<int>(std::clamp<long long>(v, 0, INT32_MAX));
    };
    if (isJPEG(b)) {
        const JPEGInfo info = jpegInfo(b);
        return cv::Size(info.width, info.height);
    }
    static const std::uint8_t png[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    if (n >= 24 && std::memcmp(b.data(), png, 8) == 0 && std::memcmp(&b[12], "IHDR", 4) == 0)
        return cv::Size(clampInt(readU32(&b[16], true)), clampInt(readU32(&b[20], true)));
    if (n >= 8 &&
        (std::memcmp(b.data(), "II*\0", 4) == 0 || std::memcmp(b.data(), "MM\0*", 4) == 0))
        return tiffSize(b.data(), n);
    if (n >= 26 && b[0] == 'B' && b[1] == 'M') {
        const auto w = static_cast<std::int32_t>(readU32(&b[18], false));
        const auto h = static_cast<std::int32_t>(readU32(&b[22], false));
        return cv::Size(clampInt(std::llabs(w)), clampInt(std::llabs(h)));
    }
    if (n >= 30 && std::memcmp(b.data(), "RIFF", 4) == 0 && std::memcmp(&b[8], "WEBP", 4) == 0) {
        const auto u24 = [&](std::size_t i) { return b[i] | b[i + 1] << 8 | b[i + 2] << 16; };
        if (std::memcmp(&b[12], "VP8X", 4) == 0) return cv::Size(u24(24) + 1, u24(27) + 1);
        if (std::memcmp(&b[12], "VP8L", 4) == 0) {
            const std::uint32_t bits = readU32(&b[21], false);
            return cv::Size(static_cast<int>(bits & 0x3FFF) + 1,
                            static_cast<int>((bits >> 14) & 0x3FFF) + 1);
        }
        if (std::memcmp(&b[12], "VP8 ", 4) == 0)
            return cv::Size(readU16(&b[26], false) & 0x3FFF, readU16(&b[28], false) & 0x3FFF);
        return std::nullopt;
    }
    return std::nullopt;
}

bool tooManyPixels(long long width, long long height) {
    return width * height > maxImagePixels;
}

// Writes `m` turned upright according to an EXIF orientation code into `upright` (already of
// the turned size).
void orientInto(const cv::Mat& m, int orientation, cv::Mat& upright) {
    cv::Mat t;
    switch (orientation) {
    case 2:
        cv::flip(m, upright, 1);
        return;
    case 3:
        cv::flip(m, upright, -1);
        return;
    case 4:
        cv::flip(m, upright, 0);
        return;
    case 5:
        cv::transpose(m, upright);
        return;
    case 6:
        cv::transpose(m, t);
        cv::flip(t, upright, 1);
        return;
    case 7:
        cv::transpose(m, t);
        cv::flip(t, upright, -1);
        return;
    case 8:
        cv::transpose(m, t);
        cv::flip(t, upright, 0);
        return;
    default:
        m.copyTo(upright);
        return;
    }
}

// 8 bits per channel, whatever depth the decoder produced.
cv::Mat narrowed(const cv::Mat& decoded) {
    cv::Mat m8;
    switch (decoded.depth()) {
    case CV_8U:
        return decoded;
    case CV_16U:
        decoded.convertTo(m8, CV_8U, 1.0 / 257.0);
        return m8;
    case CV_32F:
    case CV_64F:
        decoded.convertTo(m8, CV_8U, 255.0);
        return m8;
    default:
        decoded.convertTo(m8, CV_8U);
        return m8;
    }
}

// BGRA with premultiplied alpha from grey + alpha or BGRA with straight alpha.
cv::Mat premultiplied(const cv::Mat& m8) {
    cv::Mat out(m8.size(), CV_8UC4);
    const bool grey = m8.channels() == 2;
    for (int y = 0; y < m8.rows; ++y) {
        const std::uint8_t* s = m8.ptr<std::uint8_t>(y);
        std::uint8_t* d = out.ptr<std::uint8_t>(y);
        for (int x = 0; x < m8.cols; ++x, d += 4) {
            const int a = grey ? s[1] : s[3];
            const int b = s[0], g = grey ? s[0] : s[1], r = grey ? s[0] : s[2];
            s += grey ? 2 : 4;
            if (a == 255) {
                d[0] = static_cast<std::uint8_t>(b);
                d[1] = static_cast<std::uint8_t>(g);
                d[2] = static_cast<std::uint8_t>(r);
            } else {
                d[0] = static_cast<std::uint8_t>((b * a + 127) / 255);
                d[1] = static_cast<std::uint8_t>((g * a + 127) / 255);
                d[2] = static_cast<std::uint8_t>((r * a + 127) / 255);
            }
            d[3] = static_cast<std::uint8_t>(a);
        }
    }
    return out;
}

// Longer side of the decoded picture at most maxSide; never enlarged.
cv::Size boundedSize(int width, int height, int maxSide) {
    const int longer = std::max(width, height);
    if (maxSide <= 0 || longer <= maxSide) return {width, height};
    const double s = static_cast<double>(maxSide) / longer;
    return {std::clamp(static_cast<int>(std::lround(width * s)), 1, maxSide),
            std::clamp(static_cast<int>(std::lround(height * s)), 1, maxSide)};
}

cv::Mat shrunk(const cv::Mat& m, cv::Size target) {
    if (m.size() == target) return m;
    cv::Mat out;
    cv::resize(m, out, target, 0, 0, cv::INTER_AREA);
    return out;
}

// The decoded picture (grey, BGR, grey + alpha or BGRA, any depth) shrunk to `target` by area
// averaging, as premultiplied BGRA, turned upright. Pictures without alpha are shrunk before their
// channels are widened, and the last step writes straight into the new image.
std::optional<BGRAImage> finish(const cv::Mat& decoded, cv::Size target, int orientation) {
    const cv::Mat m8 = narrowed(decoded);
    const int channels = m8.channels();
    if (channels < 1 || channels > 4 || m8.empty()) return std::nullopt;
    const bool swap = orientation >= 5 && orientation <= 8;
    BGRAImage image(swap ? target.height : target.width, swap ? target.width : target.height);
    cv::Mat upright = image.mat();
    cv::Mat bgra;
    if (orientation == 1) bgra = upright; // written in place
    if (channels == 2 || channels == 4) {
        // Alpha is applied before averaging, so transparent pixels add no colour.
        shrunk(premultiplied(m8), target).copyTo(bgra);
    } else {
        cv::cvtColor(shrunk(m8, target), bgra,
                     channels == 1 ? cv::COLOR_GRAY2BGRA : cv::COLOR_BGR2BGRA);
    }
    if (orientation != 1) orientInto(bgra, orientation, upright);
    return image;
}

// The primary image of a HEIF file with its rotation and mirroring applied: BGR, or BGRA with
// premultiplied alpha.
cv::Mat decodeHEIF(const Bytes& bytes, int maxSide, cv::Size& refused) {
    std::unique_ptr<heif_context, decltype(&heif_context_free)> ctx(heif_context_alloc(),
                                                                    &heif_context_free);
    if (!ctx) return {};
    if (heif_context_read_from_memory_without_copy(ctx.get(), bytes.data(), bytes.size(), nullptr)
            .code != heif_error_Ok)
        return {};
    heif_image_handle* rawHandle = nullptr;
    if (heif_context_get_primary_image_handle(ctx.get(), &rawHandle).code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image_handle, decltype(&heif_image_handle_release)> handle(
        rawHandle, &heif_image_handle_release);
    const int declaredW = heif_image_handle_get_width(handle.get());
    const int declaredH = heif_image_handle_get_height(handle.get());
    if (tooManyPixels(declaredW, declaredH)) {
        refused = cv::Size(declaredW, declaredH);
        return {};
    }
    const bool alpha = heif_image_handle_has_alpha_channel(handle.get());
    const bool isPremultiplied = alpha && heif_image_handle_is_premultiplied_alpha(handle.get());
    heif_image* rawImage = nullptr;
    // The decoder applies the file's rotation and mirroring by default.
    if (heif_decode_image(handle.get(), &rawImage, heif_colorspace_RGB,
                          alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                          nullptr)
            .code != heif_error_Ok)
        return {};
    std::unique_ptr<heif_image, decltype(&heif_image_release)> image(rawImage, &heif_image_release);
    int stride = 0;
    const std::uint8_t* plane =
        heif_image_get_plane_readonly(image.get(), heif_channel_interleaved, &stride);
    const int w = heif_image_get_width(image.get(), heif_channel_interleaved);
    const int h = heif_image_get_height(image.get(), heif_channel_interleaved);
    if (!plane || w <= 0 || h <= 0) return {};
    const cv::Mat view(h, w, alpha ? CV_8UC4 : CV_8UC3, const_cast<std::uint8_t*>(plane),
                       static_cast<std::size_t>(stride));
    cv::Mat out;
    if (alpha && !isPremultiplied) {
        cv::cvtColor(view, out, cv::COLOR_RGBA2BGRA);
        return premultiplied(out);
    }
    // Shrunk before the colour conversion copies it, so a large picture is held whole only once.
    cv::cvtColor(shrunk(view, boundedSize(w, h, maxSide)), out,
                 alpha ? cv::COLOR_RGBA2BGRA : cv::COLOR_RGB2BGR);
    return out;
}

// A still-image file's bytes. Only a regular file of at most maxImageFileBytes is read: a FIFO
// would block, a device such as /dev/zero would never end. Opening does not wait for a FIFO's
// writer, and the type is judged on what was opened.
std::optional<Bytes> readFile(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) return std::nullopt;
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0 ||
        static_cast<std::uint64_t>(info.st_size) > maxImageFileBytes) {
        ::close(fd);
        return std::nullopt;
    }
    Bytes bytes(static_cast<std::size_t>(info.st_size));
    std::size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // a file that shrank is decoded as far as it goes
        got += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(got);
    return bytes;
}

// The warp's arithmetic without a library call per pixel (std::floor and std::round were one
// each): in double precision adding 1 or 0.5 to a float is exact, and truncating a non-negative
// number is its floor, so the bytes are those of rounding halves away from zero.
// The floor of a coordinate of at least -1.
int floorFrom(float v) {
    return static_cast<int>(static_cast<double>(v) + 1.0) - 1;
}
// A weighted sum of bytes (never negative), rounded half up and clamped to a byte.
std::uint8_t weightedByte(float v) {
    return static_cast<std::uint8_t>(std::min(255, static_cast<int>(static_cast<double>(v) + 0.5)));
}

} // namespace

BGRAImage::BGRAImage(int width, int height)
    : width(std::max(width, 0)), height(std::max(height, 0)),
      data(static_cast<std::size_t>(this->width) * this->height * 4, 0) {}

BGRAImage::BGRAImage(int width, int height, std::vector<std::uint8_t> data)
    : width(width), height(height), data(std::move(data)) {}

BGRAImage::BGRAImage(int width, int height, const std::uint8_t* pixels, std::size_t rowStride)
    : BGRAImage(width, height) {
    const std::size_t row = static_cast<std::size_t>(this->width) * 4;
    for (int y = 0; y < this->height; ++y)
        std::memcpy(data.data() + row * y, pixels + rowStride * y, row);
}

cv::Mat BGRAImage::mat() const {
    return cv::Mat(height, width, CV_8UC4, const_cast<std::uint8_t*>(data.data()));
}

std::string BGRAImage::tooLargeText(int width, int height) {
    return "This photo is too large (" + std::to_string(width) + " \u00d7 " +
           std::to_string(height) + ")";
}

std::optional<BGRAImage> BGRAImage::load(const std::filesystem::path& path, int maxSide,
                                         std::string* refusal) {
    if (refusal) refusal->clear();
    const auto refuse = [&](int width, int height) -> std::optional<BGRAImage> {
        if (refusal) *refusal = tooLargeText(width, height);
        return std::nullopt;
    };
    try {
        const auto bytes = readFile(path);
        if (!bytes || bytes->empty()) return std::nullopt;
        if (isHEIF(*bytes)) {
            cv::Size refused;
            const cv::Mat decoded = decodeHEIF(*bytes, maxSide, refused); // already upright
            if (!refused.empty()) return refuse(refused.width, refused.height);
            if (decoded.empty()) return std::nullopt;
            return finish(decoded, boundedSize(decoded.cols, decoded.rows, maxSide), 1);
        }
        // The declared size is checked before any pixel is decoded: a small file can declare a
        // picture that would take gigabytes.
        const std::optional<cv::Size> declared = declaredSize(*bytes);
        if (!declared) return std::nullopt;
        if (tooManyPixels(declared->width, declared->height))
            return refuse(declared->width, declared->height);
        if (isJPEG(*bytes)) {
            // A JPEG far larger than wanted is decoded at 1/2, 1/4 or 1/8 straight from the
            // compressed data, so a huge photo is never held whole.
            const JPEGInfo info = jpegInfo(*bytes);
            if (info.truncated) return std::nullopt;
            int flags = cv::IMREAD_COLOR;
            const int longer = std::max(info.width, info.height);
            if (maxSide > 0 && longer > 0) {
                if ((longer + 7) / 8 >= maxSide)
                    flags = cv::IMREAD_REDUCED_COLOR_8;
                else if ((longer + 3) / 4 >= maxSide)
                    flags = cv::IMREAD_REDUCED_COLOR_4;
                else if ((longer + 1) / 2 >= maxSide)
                    flags = cv::IMREAD_REDUCED_COLOR_2;
            }
            const cv::Mat decoded = cv::imdecode(*bytes, flags | cv::IMREAD_IGNORE_ORIENTATION);
            if (decoded.empty()) return std::nullopt;
            // The final size follows from the full frame, not from the reduced decode.
            const bool known = info.width > 0 && info.height > 0;
            const cv::Size target = known ? boundedSize(info.width, info.height, maxSide)
                                          : boundedSize(decoded.cols, decoded.rows, maxSide);
            return finish(decoded, target, info.orientation);
        }
        // A large picture is decoded straight to 8-bit colour (3 bytes a pixel) rather than as
        // stored (up to 16-bit colour and alpha, 8 bytes a pixel), so that even one at the limit
        // is held in about 300 MB.
        const bool large =
            static_cast<long long>(declared->width) * declared->height > maxImagePixels / 4;
        const cv::Mat decoded =
            cv::imdecode(*bytes, large ? cv::IMREAD_COLOR | cv::IMREAD_IGNORE_ORIENTATION
                                       : cv::IMREAD_UNCHANGED);
        if (decoded.empty()) return std::nullopt;
        return finish(decoded, boundedSize(decoded.cols, decoded.rows, maxSide),
                      fileOrientation(*bytes));
    } catch (const std::exception&) {
        // An undecodable file is an absent image, not an error.
        return std::nullopt;
    }
}

BGRAImage BGRAImage::cropped(int x, int y, int w, int h) const {
    const long long x0 = std::max<long long>(x, 0), y0 = std::max<long long>(y, 0);
    const long long x1 = std::min<long long>(static_cast<long long>(x) + w, width);
    const long long y1 = std::min<long long>(static_cast<long long>(y) + h, height);
    if (x0 >= x1 || y0 >= y1) return BGRAImage(1, 1);
    const int cw = static_cast<int>(x1 - x0), ch = static_cast<int>(y1 - y0);
    return BGRAImage(cw, ch, data.data() + (y0 * width + x0) * 4,
                     static_cast<std::size_t>(width) * 4);
}

BGRAImage::LetterboxGeometry BGRAImage::letterboxGeometry(int size) const {
    LetterboxGeometry g;
    const float ratio = static_cast<float>(height) / static_cast<float>(width);
    if (ratio <= 1.0f) {
        g.width = size;
        g.height = std::max(1, static_cast<int>(ratio * static_cast<float>(size)));
    } else {
        g.height = size;
        g.width = std::max(1, static_cast<int>(static_cast<float>(size) / ratio));
    }
    g.scale = static_cast<float>(g.height) / static_cast<float>(height);
    return g;
}

void BGRAImage::resampleInto(cv::Mat& target) const {
    const cv::Mat source = mat();
    if (target.cols == width && target.rows == height) {
        source.copyTo(target);
        return;
    }
    const bool shrinking = target.cols <= width && target.rows <= height;
    cv::resize(source, target, target.size(), 0, 0, shrinking ? cv::INTER_AREA : cv::INTER_CUBIC);
}

std::optional<std::pair<BGRAImage, float>> BGRAImage::letterboxed(int size) const {
    if (size <= 0 || width <= 0 || height <= 0) return std::nullopt;
    const LetterboxGeometry g = letterboxGeometry(size);
    BGRAImage box(size, size);
    cv::Mat region = box.mat()(cv::Rect(0, 0, g.width, g.height));
    resampleInto(region);
    return std::make_pair(std::move(box), g.scale);
}

BGRAImage BGRAImage::warpAffine(int outW, int outH, const Affine& m) const {
    BGRAImage out(outW, outH);
    const Affine inv = m.inverted();
    const std::uint8_t* src = data.data();
    std::uint8_t* dst = out.data.data();
    const std::size_t stride = static_cast<std::size_t>(width) * 4;
    const float lastX = static_cast<float>(width - 1), lastY = static_cast<float>(height - 1);
    for (int y = 0; y < out.height; ++y) {
        const float fyp = static_cast<float>(y);
        for (int x = 0; x < out.width; ++x, dst += 4) {
            const float fxp = static_cast<float>(x);
            const float sx = inv.a * fxp + inv.b * fyp + inv.tx;
            const float sy = inv.c * fxp + inv.d * fyp + inv.ty;
            dst[3] = 255;
            // Far outside (or not a number): black, and no integer conversion out of range. The
            // bounds are whole numbers, so testing the coordinate tests its floor.
            if (!(sx >= -1.0f && sx < static_cast<float>(width) && sy >= -1.0f &&
                  sy < static_cast<float>(height)))
                continue;
            const int x0 = floorFrom(sx), y0 = floorFrom(sy);
            const float flx = static_cast<float>(x0), fly = static_cast<float>(y0);
            const float fx = sx - flx, fy = sy - fly;
            const float w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
            if (flx >= 0.0f && flx < lastX && fly >= 0.0f && fly < lastY) {
                // All four neighbours inside: the common case, without a test per neighbour. The
                // sums are taken in the same order as below, so the bytes are the same.
                const std::uint8_t* p = src + static_cast<std::size_t>(fly) * stride +
                                        static_cast<std::size_t>(flx) * 4;
                const std::uint8_t* q = p + stride;
                for (int c = 0; c < 3; ++c) {
                    float acc = 0;
                    acc += w[0] * p[c];
                    acc += w[1] * p[c + 4];
                    acc += w[2] * q[c];
                    acc += w[3] * q[c + 4];
                    dst[c] = weightedByte(acc);
                }
                continue;
            }
            const int nx[4] = {x0, x0 + 1, x0, x0 + 1};
            const int ny[4] = {y0, y0, y0 + 1, y0 + 1};
            float acc[3] = {0, 0, 0};
            for (int k = 0; k < 4; ++k) {
                if (nx[k] < 0 || nx[k] >= width || ny[k] < 0 || ny[k] >= height) continue;
                const std::uint8_t* p = src + (static_cast<std::size_t>(ny[k]) * width + nx[k]) * 4;
                acc[0] += w[k] * p[0];
                acc[1] += w[k] * p[1];
                acc[2] += w[k] * p[2];
            }
            dst[0] = weightedByte(acc[0]);
            dst[1] = weightedByte(acc[1]);
            dst[2] = weightedByte(acc[2]);
        }
    }
    return out;
}

double BGRAImage::laplacianVariance() const {
    if (width < 2 || height < 2) return 0;
    const std::size_t n = static_cast<std::size_t>(width) * height;
    // Grey levels are whole numbers, so every Laplacian value and its square is a whole number
    // and the sums are exact in 64-bit integers, in any order.
    std::vector<std::int32_t> grey(n);
    const std::uint8_t* p = data.data();
    for (std::size_t i = 0; i < n; ++i, p += 4)
        grey[i] =
            static_cast<std::int32_t>(std::round(0.114f * p[0] + (0.587f * p[1] + 0.299f * p[2])));

    // Mirrored border that does not repeat the edge pixel: -1 reads 1, n reads n - 2.
    auto mirror = [](int i, int size) { return i < 0 ? 1 : (i >= size ? size - 2 : i); };
    std::int64_t sum = 0, sumSq = 0;
    for (int y = 0; y < height; ++y) {
        const std::int32_t* row = grey.data() + static_cast<std::size_t>(y) * width;
        const std::int32_t* up =
            grey.data() + static_cast<std::size_t>(mirror(y - 1, height)) * width;
        const std::int32_t* down =
            grey.data() + static_cast<std::size_t>(mirror(y + 1, height)) * width;
        auto at = [&](int x) {
            return row[mirror(x - 1, width)] + row[mirror(x + 1, width)] + up[x] + down[x] -
                   4 * row[x];
        };
        std::int64_t l = at(0);
        sum += l;
        sumSq += l * l;
        for (int x = 1; x < width - 1; ++x) {
            const std::int64_t v = row[x - 1] + row[x + 1] + up[x] + down[x] - 4 * row[x];
            sum += v;
            sumSq += v * v;
        }
        l = at(width - 1);
        sum += l;
        sumSq += l * l;
    }
    const double mean = static_cast<double>(sum) / static_cast<double>(n);
    return static_cast<double>(sumSq) / static_cast<double>(n) - mean * mean;
}

BGRAImage BGRAImage::rotated180() const {
    BGRAImage out(width, height);
    const std::size_t n = static_cast<std::size_t>(width) * height;
    const std::uint32_t* s = reinterpret_cast<const std::uint32_t*>(data.data());
    std::uint32_t* d = reinterpret_cast<std::uint32_t*>(out.data.data());
    for (std::size_t k = 0; k < n; ++k)
        d[k] = s[n - 1 - k];
    return out;
}

BGRAImage BGRAImage::rotated90(bool clockwise) const {
    BGRAImage out(height, width);
    const std::uint32_t* s = reinterpret_cast<const std::uint32_t*>(data.data());
    std::uint32_t* d = reinterpret_cast<std::uint32_t*>(out.data.data());
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const int ox = clockwise ? height - 1 - y : y;
            const int oy = clockwise ? x : width - 1 - x;
            d[static_cast<std::size_t>(oy) * out.width + ox] =
                s[static_cast<std::size_t>(y) * width + x];
        }
    }
    return out;
}

bool BGRAImage::writeJPEG(const std::filesystem::path& path, double quality) const {
    const auto encoded = encodeJPEG(quality);
    return encoded && writeFile(path, *encoded);
}

std::optional<std::vector<std::uint8_t>> BGRAImage::encodeJPEG(double quality) const {
    try {
        if (width <= 0 || height <= 0) return std::nullopt;
        cv::Mat bgr;
        cv::cvtColor(mat(), bgr, cv::COLOR_BGRA2BGR);
        const int q = static_cast<int>(std::lround(std::clamp(quality, 0.0, 1.0) * 100));
        std::vector<std::uint8_t> encoded;
        if (!cv::imencode(".jpg", bgr, encoded, {cv::IMWRITE_JPEG_QUALITY, q})) return std::nullopt;
        return encoded;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

bool BGRAImage::writeFile(const std::filesystem::path& path,
                          const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    out.close();
    return static_cast<bool>(out);
}

} // namespace tallymere
