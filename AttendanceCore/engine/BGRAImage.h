#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace cv {
class Mat;
}

namespace tallymere {

struct Affine;

// The most pixels a decoded picture (a photo or a video frame) may have: 100 megapixels, well
// above any camera's photos and 8K video (33 megapixels), while a refused picture's declared size
// is read before any pixel is decoded, so no file can make the program hold more than about
// 400 MB for one picture.
inline constexpr std::int64_t maxImagePixels = 100'000'000;

// The largest still-image file that is read whole: far above any camera's photo (a 100-megapixel
// picture stored without compression is 300 MB at 8 bits), while a FIFO, a device or a runaway
// file is never read.
inline constexpr std::uint64_t maxImageFileBytes = std::uint64_t(512) << 20;

// The one image type for frames, photos and face crops: tightly packed 4-byte pixels in
// blue, green, red, alpha order, rows top to bottom.
struct BGRAImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> data; // exactly width * height * 4 bytes

    BGRAImage() = default;
    // Every byte 0 (transparent black).
    BGRAImage(int width, int height);
    // Memberwise; the caller guarantees data.size() == width * height * 4.
    BGRAImage(int width, int height, std::vector<std::uint8_t> data);
    // Copies a foreign BGRA buffer whose rows are `rowStride` bytes apart (video frames arrive so).
    BGRAImage(int width, int height, const std::uint8_t* pixels, std::size_t rowStride);

    bool operator==(const BGRAImage&) const = default;

    // Decodes the first image of a still-image file upright (EXIF orientation applied), longer
    // side at most maxSide (no bound when maxSide <= 0), never enlarged, alpha premultiplied.
    // JPEG, PNG, WebP, TIFF, BMP and HEIF. Nothing when the file cannot be opened or decoded,
    // is not a regular file, is larger than maxImageFileBytes, or declares more than
    // maxImagePixels; for the last, `refusal` (when given) receives tooLargeText's text, and it
    // is cleared otherwise.
    static std::optional<BGRAImage> load(const std::filesystem::path& path, int maxSide,
                                         std::string* refusal = nullptr);
    // "This photo is too large (W × H)".
    static std::string tooLargeText(int width, int height);

    BGRAImage cropped(int x, int y, int w, int h) const;
    // The whole image scaled into the top-left of a size x size black buffer, and the scale.
    std::optional<std::pair<BGRAImage, float>> letterboxed(int size) const;
    // The size of the picture inside a size x size letterbox and the factor that maps letterbox
    // coordinates back to this image (divide by it).
    struct LetterboxGeometry {
        int width = 0;
        int height = 0;
        float scale = 0;
    };
    LetterboxGeometry letterboxGeometry(int size) const;
    // Resamples the whole image into `target` (8-bit, 4 channels, already of the wanted size; may
    // be a region of a larger buffer): area averaging when shrinking, cubic when enlarging.
    void resampleInto(cv::Mat& target) const;
    BGRAImage warpAffine(int outW, int outH, const Affine& m) const;
    double laplacianVariance() const;
    BGRAImage rotated180() const;
    BGRAImage rotated90(bool clockwise) const;
    bool writeJPEG(const std::filesystem::path& path, double quality) const;
    // The bytes writeJPEG would write; nothing when the image cannot be encoded.
    std::optional<std::vector<std::uint8_t>> encodeJPEG(double quality) const;
    // Writes encoded bytes as the whole file; false when it cannot.
    static bool writeFile(const std::filesystem::path& path,
                          const std::vector<std::uint8_t>& bytes);

    // A zero-copy 8UC4 view of the pixels for the engine's own use; valid while the image lives
    // and is not resized.
    cv::Mat mat() const;
};

} // namespace tallymere
