#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <utility>
#include <vector>

namespace cv {
class Mat;
}

namespace tallymere {

struct Affine;

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
    // JPEG, PNG, WebP, TIFF, BMP and HEIF. Nothing when the file cannot be opened or decoded.
    static std::optional<BGRAImage> load(const std::filesystem::path& path, int maxSide);

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
