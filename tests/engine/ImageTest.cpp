#include "EngineTestSupport.h"
#include "engine/Affine.h"
#include "engine/BGRAImage.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <sys/stat.h>

namespace tallymere {
namespace {

using testing::noiseImage;
using testing::solidImage;
using testing::TempDir;

std::array<int, 4> pixel(const BGRAImage& img, int x, int y) {
    const std::uint8_t* p = img.data.data() + (static_cast<std::size_t>(y) * img.width + x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

void setPixel(BGRAImage& img, int x, int y, std::array<int, 4> v) {
    std::uint8_t* p = img.data.data() + (static_cast<std::size_t>(y) * img.width + x) * 4;
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<std::uint8_t>(v[k]);
}

void writeBytes(const std::filesystem::path& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

// Writes the bytes and returns the path, for loading in one line.
std::filesystem::path writeTo(const std::filesystem::path& path,
                              const std::vector<std::uint8_t>& bytes) {
    writeBytes(path, bytes);
    return path;
}

std::vector<std::uint8_t> encode(const std::string& ext, const cv::Mat& m) {
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(cv::imencode(ext, m, bytes));
    return bytes;
}

// A big-endian TIFF block holding only the orientation tag.
std::vector<std::uint8_t> tiffWithOrientation(int orientation) {
    return {'M',  'M',  0, 42, 0, 0, 0, 8, 0, 1,
            0x01, 0x12, 0, 3,  0, 0, 0, 1, 0, static_cast<std::uint8_t>(orientation),
            0,    0,    0, 0,  0, 0};
}

std::vector<std::uint8_t> jpegWithOrientation(const cv::Mat& m, int orientation) {
    auto jpeg = encode(".jpg", m);
    std::vector<std::uint8_t> payload = {'E', 'x', 'i', 'f', 0, 0};
    const auto tiff = tiffWithOrientation(orientation);
    payload.insert(payload.end(), tiff.begin(), tiff.end());
    const std::size_t len = payload.size() + 2;
    std::vector<std::uint8_t> segment = {0xFF, 0xE1, static_cast<std::uint8_t>(len >> 8),
                                         static_cast<std::uint8_t>(len & 0xFF)};
    segment.insert(segment.end(), payload.begin(), payload.end());
    jpeg.insert(jpeg.begin() + 2, segment.begin(), segment.end());
    return jpeg;
}

std::uint32_t crc32(const std::uint8_t* p, std::size_t n) {
    std::uint32_t c = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
    }
    return c ^ 0xFFFFFFFFu;
}

std::vector<std::uint8_t> pngWithOrientation(const cv::Mat& m, int orientation) {
    auto png = encode(".png", m);
    const auto tiff = tiffWithOrientation(orientation);
    std::vector<std::uint8_t> chunk = {0,   0,   0,   static_cast<std::uint8_t>(tiff.size()),
                                       'e', 'X', 'I', 'f'};
    chunk.insert(chunk.end(), tiff.begin(), tiff.end());
    const std::uint32_t crc = crc32(chunk.data() + 4, chunk.size() - 4);
    for (int s = 24; s >= 0; s -= 8)
        chunk.push_back(static_cast<std::uint8_t>(crc >> s));
    // After the signature (8 bytes) and the header chunk (25 bytes).
    png.insert(png.begin() + 33, chunk.begin(), chunk.end());
    return png;
}

// 64 x 32 blue picture with a red 16 x 16 block in its top-left corner.
cv::Mat markedPicture() {
    cv::Mat m(32, 64, CV_8UC3, cv::Scalar(255, 0, 0));
    m(cv::Rect(0, 0, 16, 16)).setTo(cv::Scalar(0, 0, 255));
    return m;
}

bool isRed(const std::array<int, 4>& p) {
    return p[2] > 150 && p[0] < 90;
}
bool isBlue(const std::array<int, 4>& p) {
    return p[0] > 150 && p[2] < 90;
}

TEST(BGRAImage, ConstructionZeroFillsAndCopiesStridedRows) {
    const BGRAImage blank(3, 2);
    EXPECT_EQ(blank.data, std::vector<std::uint8_t>(24, 0));

    // Rows 20 bytes apart, of which 8 are pixels.
    std::vector<std::uint8_t> frame(60);
    for (std::size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<std::uint8_t>(i);
    const BGRAImage img(2, 3, frame.data(), 20);
    ASSERT_EQ(img.data.size(), 24u);
    EXPECT_EQ(pixel(img, 0, 0), (std::array<int, 4>{0, 1, 2, 3}));
    EXPECT_EQ(pixel(img, 1, 1), (std::array<int, 4>{24, 25, 26, 27}));
    EXPECT_EQ(pixel(img, 1, 2), (std::array<int, 4>{44, 45, 46, 47}));

    // The view shares the bytes.
    const cv::Mat view = img.mat();
    EXPECT_EQ(view.data, img.data.data());
    EXPECT_EQ(view.cols, 2);
    EXPECT_EQ(view.rows, 3);
}

TEST(BGRAImage, CropClampsToTheImage) {
    const BGRAImage img = noiseImage(10, 8);
    const BGRAImage a = img.cropped(-3, -2, 6, 5);
    ASSERT_EQ(a.width, 3);
    ASSERT_EQ(a.height, 3);
    EXPECT_EQ(pixel(a, 2, 2), pixel(img, 2, 2));
    EXPECT_EQ(pixel(a, 0, 0), pixel(img, 0, 0));

    const BGRAImage b = img.cropped(7, 5, 10, 10);
    ASSERT_EQ(b.width, 3);
    ASSERT_EQ(b.height, 3);
    EXPECT_EQ(pixel(b, 0, 0), pixel(img, 7, 5));
    EXPECT_EQ(pixel(b, 2, 2), pixel(img, 9, 7));

    const BGRAImage inner = img.cropped(2, 3, 4, 2);
    ASSERT_EQ(inner.width, 4);
    EXPECT_EQ(pixel(inner, 3, 1), pixel(img, 5, 4));
}

TEST(BGRAImage, CropOutsideOrEmptyIsOneBlackPixel) {
    const BGRAImage img = solidImage(10, 8, 9, 9, 9);
    const BGRAImage expected(1, 1, {0, 0, 0, 0});
    EXPECT_EQ(img.cropped(20, 0, 5, 5), expected);
    EXPECT_EQ(img.cropped(-10, -10, 5, 5), expected);
    EXPECT_EQ(img.cropped(2, 2, 0, 4), expected);
    EXPECT_EQ(img.cropped(2, 2, 4, -1), expected);
}

TEST(BGRAImage, LetterboxKeepsAspectInTheTopLeft) {
    const auto landscape = solidImage(1920, 1080, 10, 20, 30).letterboxed(640);
    ASSERT_TRUE(landscape);
    const auto& [box, scale] = *landscape;
    EXPECT_EQ(box.width, 640);
    EXPECT_EQ(box.height, 640);
    EXPECT_FLOAT_EQ(scale, 360.0f / 1080.0f);
    EXPECT_EQ(pixel(box, 0, 0), (std::array<int, 4>{10, 20, 30, 255}));
    EXPECT_EQ(pixel(box, 639, 359), (std::array<int, 4>{10, 20, 30, 255}));
    EXPECT_EQ(pixel(box, 639, 360), (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(pixel(box, 0, 639), (std::array<int, 4>{0, 0, 0, 0}));

    const auto portrait = solidImage(1080, 1920, 1, 2, 3).letterboxed(640);
    ASSERT_TRUE(portrait);
    EXPECT_FLOAT_EQ(portrait->second, 640.0f / 1920.0f);
    EXPECT_EQ(pixel(portrait->first, 359, 639), (std::array<int, 4>{1, 2, 3, 255}));
    EXPECT_EQ(pixel(portrait->first, 360, 0), (std::array<int, 4>{0, 0, 0, 0}));

    // A square takes the landscape branch and fills the buffer; enlarging keeps a flat colour.
    const auto square = solidImage(100, 100, 5, 6, 7).letterboxed(640);
    ASSERT_TRUE(square);
    EXPECT_FLOAT_EQ(square->second, 6.4f);
    EXPECT_EQ(pixel(square->first, 639, 639), (std::array<int, 4>{5, 6, 7, 255}));

    EXPECT_FALSE(BGRAImage().letterboxed(640));
}

TEST(BGRAImage, LetterboxGeometryTruncatesAndNeverReachesZero) {
    const auto wide = BGRAImage(1000, 333).letterboxGeometry(640);
    EXPECT_EQ(wide.width, 640);
    EXPECT_EQ(wide.height, 213); // 0.333 x 640 = 213.1
    EXPECT_FLOAT_EQ(wide.scale, 213.0f / 333.0f);
    const auto sliver = BGRAImage(5000, 2).letterboxGeometry(640);
    EXPECT_EQ(sliver.height, 1);
    const auto tall = BGRAImage(333, 1000).letterboxGeometry(640);
    EXPECT_EQ(tall.width, 213);
    EXPECT_EQ(tall.height, 640);
    EXPECT_FLOAT_EQ(tall.scale, 0.64f);
}

TEST(BGRAImage, WarpIdentityCopiesColourWithOpaqueAlphaAndBlackBeyond) {
    BGRAImage img = noiseImage(7, 5);
    const BGRAImage out = img.warpAffine(9, 6, Affine{});
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            auto expected = pixel(img, x, y);
            expected[3] = 255;
            ASSERT_EQ(pixel(out, x, y), expected) << x << "," << y;
        }
    EXPECT_EQ(pixel(out, 8, 0), (std::array<int, 4>{0, 0, 0, 255}));
    EXPECT_EQ(pixel(out, 0, 5), (std::array<int, 4>{0, 0, 0, 255}));
}

TEST(BGRAImage, WarpRoundsHalvesAwayFromZeroAndFadesAtTheBorder) {
    BGRAImage img(2, 1);
    setPixel(img, 0, 0, {0, 2, 10, 0});
    setPixel(img, 1, 0, {1, 3, 21, 0});
    // Output x samples source x + 0.5.
    const BGRAImage out = img.warpAffine(3, 1, Affine{1, 0, -0.5f, 0, 1, 0});
    EXPECT_EQ(pixel(out, 0, 0), (std::array<int, 4>{1, 3, 16, 255})); // 0.5, 2.5, 15.5
    // Half of the second pixel, half of nothing: 0.5, 1.5, 10.5.
    EXPECT_EQ(pixel(out, 1, 0), (std::array<int, 4>{1, 2, 11, 255}));
    EXPECT_EQ(pixel(out, 2, 0), (std::array<int, 4>{0, 0, 0, 255}));

    // Far outside, and a transform mapping everything to infinity, give black.
    const BGRAImage far = img.warpAffine(2, 2, Affine{1, 0, -1e9f, 0, 1, 0});
    EXPECT_EQ(pixel(far, 1, 1), (std::array<int, 4>{0, 0, 0, 255}));
}

TEST(BGRAImage, WarpAlongASimilarityScalesTheContent) {
    // A 4 x 4 checker of 2 x 2 cells, shrunk by half onto 2 x 2: each output samples a cell corner.
    BGRAImage img(4, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) {
            const int v = ((x / 2) + (y / 2)) % 2 ? 200 : 0;
            setPixel(img, x, y, {v, v, v, 255});
        }
    const Affine half{0.5f, 0, 0, 0, 0.5f, 0};
    const BGRAImage out = img.warpAffine(2, 2, half);
    EXPECT_EQ(pixel(out, 0, 0)[0], 0);
    EXPECT_EQ(pixel(out, 1, 0)[0], 200);
    EXPECT_EQ(pixel(out, 0, 1)[0], 200);
    EXPECT_EQ(pixel(out, 1, 1)[0], 0);
}

TEST(BGRAImage, LaplacianVariance) {
    EXPECT_EQ(solidImage(20, 10, 40, 80, 120).laplacianVariance(), 0.0);
    // One grey-9 pixel in the middle of a 3 x 3 black image. With the mirrored border its four
    // neighbours see it twice (L = 18) and it sees -36: mean 4, mean square 288.
    BGRAImage dot = solidImage(3, 3, 0, 0, 0);
    setPixel(dot, 1, 1, {9, 9, 9, 255});
    EXPECT_DOUBLE_EQ(dot.laplacianVariance(), 272.0);
    // Only colour counts, through the grey weights: pure blue 100 is grey round(11.4) = 11.
    BGRAImage blue = solidImage(3, 3, 0, 0, 0, 17);
    setPixel(blue, 1, 1, {100, 0, 0, 3});
    EXPECT_NEAR(blue.laplacianVariance(), 272.0 * (11.0 * 11.0) / 81.0, 1e-9);
}

// The alignment warp and the sharpness measure written out plainly, one neighbour and one pixel
// at a time, to hold the engine's faster forms to the same bytes and the same number.
BGRAImage plainWarp(const BGRAImage& img, int outW, int outH, const Affine& m) {
    BGRAImage out(outW, outH);
    const Affine inv = m.inverted();
    for (int y = 0; y < outH; ++y) {
        for (int x = 0; x < outW; ++x) {
            std::uint8_t* d = &out.data[(static_cast<std::size_t>(y) * outW + x) * 4];
            const float sx = inv.a * x + inv.b * y + inv.tx, sy = inv.c * x + inv.d * y + inv.ty;
            const float flx = std::floor(sx), fly = std::floor(sy), fx = sx - flx, fy = sy - fly;
            d[3] = 255;
            if (!(flx >= -1.0f && flx < img.width && fly >= -1.0f && fly < img.height)) continue;
            const int x0 = static_cast<int>(flx), y0 = static_cast<int>(fly);
            const float w[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
            float acc[3] = {0, 0, 0};
            for (int k = 0; k < 4; ++k) {
                const int nx = x0 + k % 2, ny = y0 + k / 2;
                if (nx < 0 || nx >= img.width || ny < 0 || ny >= img.height) continue;
                for (int c = 0; c < 3; ++c)
                    acc[c] +=
                        w[k] * img.data[(static_cast<std::size_t>(ny) * img.width + nx) * 4 + c];
            }
            for (int c = 0; c < 3; ++c) {
                const float r = std::round(acc[c]);
                d[c] = static_cast<std::uint8_t>(r <= 0 ? 0 : (r >= 255 ? 255 : r));
            }
        }
    }
    return out;
}

double plainLaplacianVariance(const BGRAImage& img) {
    const int w = img.width, h = img.height;
    auto grey = [&](int x, int y) {
        x = x < 0 ? 1 : (x >= w ? w - 2 : x);
        y = y < 0 ? 1 : (y >= h ? h - 2 : y);
        const std::uint8_t* p = &img.data[(static_cast<std::size_t>(y) * w + x) * 4];
        return std::round(0.114f * p[0] + (0.587f * p[1] + 0.299f * p[2]));
    };
    double sum = 0, sumSq = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const float l =
                grey(x - 1, y) + grey(x + 1, y) + grey(x, y - 1) + grey(x, y + 1) - 4 * grey(x, y);
            sum += l;
            sumSq += static_cast<double>(l) * l;
        }
    const double n = static_cast<double>(w) * h, mean = sum / n;
    return sumSq / n - mean * mean;
}

TEST(BGRAImage, FastWarpAndSharpnessGiveThePlainResultsExactly) {
    const BGRAImage img = noiseImage(97, 61, 11);
    // Inside, across every border, partly and wholly outside; turned, shrunk and enlarged.
    const Affine transforms[] = {
        {1, 0, 0, 0, 1, 0},
        {0.73f, 0.21f, -3.5f, -0.21f, 0.73f, 8.25f},
        {2.5f, -0.4f, 30, 0.4f, 2.5f, -20},
        {0.5f, 0, -40, 0, 0.5f, -25},
        {1.1f, 0.9f, -60, -0.9f, 1.1f, 70},
        {1, 0, -1e6f, 0, 1, 0},
    };
    for (const Affine& m : transforms) {
        const BGRAImage fast = img.warpAffine(112, 112, m);
        ASSERT_EQ(fast, plainWarp(img, 112, 112, m)) << m.a << " " << m.b << " " << m.tx;
        EXPECT_EQ(fast.laplacianVariance(), plainLaplacianVariance(fast));
    }
    for (const auto& [w, h] : {std::pair{2, 2}, std::pair{3, 7}, std::pair{112, 112}}) {
        const BGRAImage noise = noiseImage(w, h, 5);
        EXPECT_EQ(noise.laplacianVariance(), plainLaplacianVariance(noise)) << w << " x " << h;
    }
}

TEST(BGRAImage, Turns) {
    const BGRAImage img = noiseImage(5, 3);
    const BGRAImage half = img.rotated180();
    EXPECT_EQ(pixel(half, 0, 0), pixel(img, 4, 2));
    EXPECT_EQ(pixel(half, 4, 0), pixel(img, 0, 2));
    EXPECT_EQ(half.rotated180(), img);

    const BGRAImage cw = img.rotated90(true);
    ASSERT_EQ(cw.width, 3);
    ASSERT_EQ(cw.height, 5);
    // Source (x, y) goes to (height - 1 - y, x).
    EXPECT_EQ(pixel(cw, 2 - 0, 4), pixel(img, 4, 0));
    EXPECT_EQ(pixel(cw, 2 - 2, 1), pixel(img, 1, 2));
    const BGRAImage ccw = img.rotated90(false);
    // Source (x, y) goes to (y, width - 1 - x).
    EXPECT_EQ(pixel(ccw, 0, 4 - 4), pixel(img, 4, 0));
    EXPECT_EQ(pixel(ccw, 2, 4 - 1), pixel(img, 1, 2));
    EXPECT_EQ(cw.rotated90(false), img);
    EXPECT_EQ(cw.rotated90(true), half);
}

TEST(Affine, SimilarityFitsRotationScaleAndShift) {
    const Affine same = Affine::similarity(arcfaceTemplate, arcfaceTemplate);
    EXPECT_NEAR(same.a, 1, 1e-5);
    EXPECT_NEAR(same.d, 1, 1e-5);
    EXPECT_NEAR(same.b, 0, 1e-5);
    EXPECT_NEAR(same.c, 0, 1e-5);
    EXPECT_NEAR(same.tx, 0, 1e-3);
    EXPECT_NEAR(same.ty, 0, 1e-3);

    std::vector<Point> doubled;
    for (const Point p : arcfaceTemplate)
        doubled.push_back({2 * p.x, 2 * p.y});
    const Affine shrink = Affine::similarity(doubled, arcfaceTemplate);
    EXPECT_NEAR(shrink.a, 0.5, 1e-6);
    EXPECT_NEAR(shrink.d, 0.5, 1e-6);
    EXPECT_NEAR(shrink.tx, 0, 1e-4);

    // A quarter turn (x, y) -> (-y, x) plus a shift is found exactly, without reflection.
    std::vector<Point> turned;
    for (const Point p : arcfaceTemplate)
        turned.push_back({-p.y + 10, p.x - 4});
    const Affine turn = Affine::similarity(arcfaceTemplate, turned);
    EXPECT_NEAR(turn.a, 0, 1e-5);
    EXPECT_NEAR(turn.b, -1, 1e-5);
    EXPECT_NEAR(turn.c, 1, 1e-5);
    EXPECT_NEAR(turn.d, 0, 1e-5);
    const Point q = turn.apply({3, 5});
    EXPECT_NEAR(q.x, -5 + 10, 1e-3);
    EXPECT_NEAR(q.y, 3 - 4, 1e-3);

    const Point back = turn.inverted().apply(q);
    EXPECT_NEAR(back.x, 3, 1e-3);
    EXPECT_NEAR(back.y, 5, 1e-3);
}

TEST(Affine, BenchTemplateStartsAsTheAlignmentTemplate) {
    EXPECT_EQ(arcfaceTemplateForBench, arcfaceTemplate);
    EXPECT_FLOAT_EQ(arcfaceTemplate[2].x, 56.0252f);
    EXPECT_FLOAT_EQ(arcfaceTemplate[4].y, 92.2041f);
}

TEST(BGRAImage, WriteJPEGReplacesFilesAndReportsFailure) {
    const TempDir dir;
    const BGRAImage img = solidImage(40, 30, 30, 120, 200, 0); // alpha is ignored
    const auto path = dir / "face.tmp"; // the name's extension does not matter
    writeBytes(path, std::vector<std::uint8_t>(100000, 1));
    ASSERT_TRUE(img.writeJPEG(path, 0.9));
    const cv::Mat back = cv::imread(path.string(), cv::IMREAD_COLOR);
    ASSERT_FALSE(back.empty());
    EXPECT_EQ(back.cols, 40);
    EXPECT_LT(std::filesystem::file_size(path), 100000u);
    const cv::Vec3b v = back.at<cv::Vec3b>(15, 20);
    EXPECT_NEAR(v[0], 30, 3);
    EXPECT_NEAR(v[1], 120, 3);
    EXPECT_NEAR(v[2], 200, 3);

    const BGRAImage noisy = noiseImage(64, 64);
    ASSERT_TRUE(noisy.writeJPEG(dir / "high.jpg", 0.9));
    ASSERT_TRUE(noisy.writeJPEG(dir / "low.jpg", 0.1));
    EXPECT_GT(std::filesystem::file_size(dir / "high.jpg"),
              std::filesystem::file_size(dir / "low.jpg"));

    EXPECT_FALSE(img.writeJPEG(dir / "missing" / "folder" / "x.jpg", 0.9));
    EXPECT_FALSE(BGRAImage().writeJPEG(dir / "empty.jpg", 0.9));
}

TEST(BGRAImageLoad, MissingOrUndecodableFilesGiveNothing) {
    const TempDir dir;
    EXPECT_FALSE(BGRAImage::load(dir / "nothing.jpg", 3000));
    writeBytes(dir / "junk.jpg", {0xFF, 0xD8, 0xFF, 0xE0, 1, 2, 3});
    EXPECT_FALSE(BGRAImage::load(dir / "junk.jpg", 3000));
    writeBytes(dir / "empty.png", {});
    EXPECT_FALSE(BGRAImage::load(dir / "empty.png", 3000));
    writeBytes(dir / "fake.heic", {0, 0, 0, 24, 'f', 't', 'y', 'p', 'h', 'e', 'i', 'c', 0, 0});
    EXPECT_FALSE(BGRAImage::load(dir / "fake.heic", 3000));
    EXPECT_FALSE(BGRAImage::load(dir.path(), 3000)); // a folder
}

TEST(BGRAImageLoad, BoundsTheLongerSideWithoutEnlarging) {
    const TempDir dir;
    cv::Mat big(3000, 4000, CV_8UC3, cv::Scalar(40, 90, 160));
    writeBytes(dir / "big.jpg", encode(".jpg", big));
    const auto loaded = BGRAImage::load(dir / "big.jpg", 3000);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->width, 3000);
    EXPECT_EQ(loaded->height, 2250);
    EXPECT_NEAR(pixel(*loaded, 1500, 1000)[2], 160, 3);
    EXPECT_EQ(pixel(*loaded, 1500, 1000)[3], 255);

    cv::Mat small(600, 800, CV_8UC3, cv::Scalar(1, 2, 3));
    writeBytes(dir / "small.png", encode(".png", small));
    const auto kept = BGRAImage::load(dir / "small.png", 3000);
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->width, 800);
    EXPECT_EQ(kept->height, 600);
    EXPECT_EQ(pixel(*kept, 5, 5), (std::array<int, 4>{1, 2, 3, 255}));

    // Portrait PNG shrinks along its height.
    cv::Mat tall(1000, 500, CV_8UC3, cv::Scalar(9, 9, 9));
    writeBytes(dir / "tall.png", encode(".png", tall));
    const auto shrunk = BGRAImage::load(dir / "tall.png", 300);
    ASSERT_TRUE(shrunk);
    EXPECT_EQ(shrunk->width, 150);
    EXPECT_EQ(shrunk->height, 300);
}

TEST(BGRAImageLoad, HugeJPEGIsReducedToTheWantedSize) {
    // 6400 x 4800 at 800 decodes at one eighth (800 x 600) and at 700 likewise, then shrinks;
    // the block in the top-left corner stays where it was.
    const TempDir dir;
    cv::Mat huge(4800, 6400, CV_8UC3, cv::Scalar(200, 0, 0));
    huge(cv::Rect(0, 0, 1600, 1600)).setTo(cv::Scalar(0, 0, 220));
    writeBytes(dir / "huge.jpg", encode(".jpg", huge));
    for (const auto& [maxSide, w, h] :
         {std::tuple{800, 800, 600}, std::tuple{700, 700, 525}, std::tuple{2000, 2000, 1500}}) {
        const auto img = BGRAImage::load(dir / "huge.jpg", maxSide);
        ASSERT_TRUE(img);
        EXPECT_EQ(img->width, w);
        EXPECT_EQ(img->height, h);
        EXPECT_TRUE(isRed(pixel(*img, w / 8, h / 8)));
        EXPECT_TRUE(isBlue(pixel(*img, w - 2, h - 2)));
    }
}

TEST(BGRAImageLoad, AppliesTheOrientationTag) {
    // Where the stored top-left block ends up in the upright picture, for each orientation code:
    // the corner (0 = top-left, 1 = top-right, 2 = bottom-left, 3 = bottom-right) and whether
    // width and height swap.
    struct Case {
        int orientation;
        int corner;
        bool swapped;
    };
    const Case cases[] = {{1, 0, false}, {2, 1, false}, {3, 3, false}, {4, 2, false},
                          {5, 0, true},  {6, 1, true},  {7, 3, true},  {8, 2, true}};
    const TempDir dir;
    for (const auto& c : cases) {
        for (const std::string ext : {".jpg", ".png"}) {
            const auto file = dir / ("o" + std::to_string(c.orientation) + ext);
            writeBytes(file, ext == ".jpg" ? jpegWithOrientation(markedPicture(), c.orientation)
                                           : pngWithOrientation(markedPicture(), c.orientation));
            const auto img = BGRAImage::load(file, 3000);
            ASSERT_TRUE(img) << file;
            EXPECT_EQ(img->width, c.swapped ? 32 : 64) << file;
            EXPECT_EQ(img->height, c.swapped ? 64 : 32) << file;
            const int right = img->width - 8, bottom = img->height - 8;
            const std::array<std::pair<int, int>, 4> corners = {
                std::pair{8, 8}, std::pair{right, 8}, std::pair{8, bottom},
                std::pair{right, bottom}};
            for (int k = 0; k < 4; ++k) {
                const auto p = pixel(*img, corners[k].first, corners[k].second);
                EXPECT_EQ(isRed(p), k == c.corner) << file << " corner " << k;
            }
        }
    }
}

TEST(BGRAImageLoad, AlphaIsPremultipliedAndDepthsAreNarrowed) {
    const TempDir dir;
    cv::Mat rgba(1, 3, CV_8UC4);
    rgba.at<cv::Vec4b>(0, 0) = {200, 100, 50, 128};
    rgba.at<cv::Vec4b>(0, 1) = {200, 100, 50, 0};
    rgba.at<cv::Vec4b>(0, 2) = {200, 100, 50, 255};
    writeBytes(dir / "alpha.png", encode(".png", rgba));
    const auto img = BGRAImage::load(dir / "alpha.png", 3000);
    ASSERT_TRUE(img);
    EXPECT_EQ(pixel(*img, 0, 0), (std::array<int, 4>{100, 50, 25, 128}));
    EXPECT_EQ(pixel(*img, 1, 0), (std::array<int, 4>{0, 0, 0, 0}));
    EXPECT_EQ(pixel(*img, 2, 0), (std::array<int, 4>{200, 100, 50, 255}));

    cv::Mat grey16(2, 2, CV_16UC1, cv::Scalar(257 * 77));
    writeBytes(dir / "grey16.png", encode(".png", grey16));
    const auto grey = BGRAImage::load(dir / "grey16.png", 3000);
    ASSERT_TRUE(grey);
    EXPECT_EQ(pixel(*grey, 1, 1), (std::array<int, 4>{77, 77, 77, 255}));

    cv::Mat bgr(4, 4, CV_8UC3, cv::Scalar(10, 20, 30));
    writeBytes(dir / "plain.bmp", encode(".bmp", bgr));
    writeBytes(dir / "plain.tiff", encode(".tiff", bgr));
    writeBytes(dir / "plain.webp", encode(".webp", bgr));
    for (const char* name : {"plain.bmp", "plain.tiff"}) {
        const auto loaded = BGRAImage::load(dir / name, 3000);
        ASSERT_TRUE(loaded) << name;
        EXPECT_EQ(pixel(*loaded, 3, 3), (std::array<int, 4>{10, 20, 30, 255})) << name;
    }
    const auto webp = BGRAImage::load(dir / "plain.webp", 3000);
    ASSERT_TRUE(webp);
    EXPECT_EQ(webp->width, 4);
}

TEST(BGRAImageLoad, ReadsHEIF) {
    const TempDir dir;
    if (testing::runCommand("command -v heif-enc") != 0) GTEST_SKIP() << "heif-enc not installed";
    cv::Mat m(96, 128, CV_8UC3, cv::Scalar(200, 40, 40));
    m(cv::Rect(0, 0, 32, 32)).setTo(cv::Scalar(40, 40, 220));
    writeBytes(dir / "in.png", encode(".png", m));
    std::string log;
    ASSERT_EQ(testing::runCommand("heif-enc -q 95 " + testing::quoted(dir / "in.png") + " -o " +
                                      testing::quoted(dir / "photo.heic"),
                                  &log),
              0)
        << log;
    const auto img = BGRAImage::load(dir / "photo.heic", 3000);
    ASSERT_TRUE(img);
    EXPECT_EQ(img->width, 128);
    EXPECT_EQ(img->height, 96);
    EXPECT_TRUE(isRed(pixel(*img, 10, 10)));
    EXPECT_TRUE(isBlue(pixel(*img, 100, 80)));
    EXPECT_EQ(pixel(*img, 100, 80)[3], 255);

    const auto smaller = BGRAImage::load(dir / "photo.heic", 64);
    ASSERT_TRUE(smaller);
    EXPECT_EQ(smaller->width, 64);
    EXPECT_EQ(smaller->height, 48);
}

// The bytes with a big-endian 16-bit value written at `at`.
void putU16(std::vector<std::uint8_t>& bytes, std::size_t at, int value, bool bigEndian) {
    bytes.at(at + (bigEndian ? 0 : 1)) = static_cast<std::uint8_t>(value >> 8);
    bytes.at(at + (bigEndian ? 1 : 0)) = static_cast<std::uint8_t>(value & 0xFF);
}

std::size_t find(const std::vector<std::uint8_t>& bytes, const std::string& text) {
    const auto at =
        std::search(bytes.begin(), bytes.end(), text.begin(), text.end(),
                    [](std::uint8_t a, char b) { return a == static_cast<std::uint8_t>(b); });
    EXPECT_NE(at, bytes.end()) << text;
    return static_cast<std::size_t>(at - bytes.begin());
}

TEST(BGRAImageLoad, PicturesDeclaringTooManyPixelsAreRefusedBeforeDecoding) {
    const TempDir dir;
    const cv::Mat small = markedPicture();
    std::string refusal = "stale";
    ASSERT_TRUE(BGRAImage::load(writeTo(dir / "fine.png", encode(".png", small)), 0, &refusal));
    EXPECT_EQ(refusal, "");

    // A PNG declaring 32000 x 32000 16-bit pixels with colour and alpha: 8 GB once decoded.
    std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    std::vector<std::uint8_t> header = {0, 0, 0, 13,   'I', 'H', 'D', 'R', 0, 0, 0x7D,
                                        0, 0, 0, 0x7D, 0,   16,  6,   0,   0, 0};
    const std::uint32_t crc = crc32(header.data() + 4, header.size() - 4);
    for (int s = 24; s >= 0; s -= 8)
        header.push_back(static_cast<std::uint8_t>(crc >> s));
    png.insert(png.end(), header.begin(), header.end());
    png.resize(png.size() + 4096, 0); // compressed rows would follow
    EXPECT_FALSE(BGRAImage::load(writeTo(dir / "bomb.png", png), 3000, &refusal));
    EXPECT_EQ(refusal, "This photo is too large (32000 \u00d7 32000)");

    // The same for a JPEG's frame header, a BMP's and a WebP's.
    auto jpeg = encode(".jpg", small);
    const std::size_t sof = find(jpeg, "\xFF\xC0");
    putU16(jpeg, sof + 5, 20000, true);
    putU16(jpeg, sof + 7, 20000, true);
    EXPECT_FALSE(BGRAImage::load(writeTo(dir / "bomb.jpg", jpeg), 3000, &refusal));
    EXPECT_EQ(refusal, "This photo is too large (20000 \u00d7 20000)");

    auto bmp = encode(".bmp", small);
    putU16(bmp, 18, 30000, false);
    putU16(bmp, 22, 30000, false);
    EXPECT_FALSE(BGRAImage::load(writeTo(dir / "bomb.bmp", bmp), 3000, &refusal));
    EXPECT_EQ(refusal, "This photo is too large (30000 \u00d7 30000)");

    auto webp = encode(".webp", small);
    // Lossless: 14 bits of width - 1 and 14 of height - 1 after the signature byte.
    ASSERT_EQ(std::string(webp.begin() + 12, webp.begin() + 16), "VP8L");
    std::uint32_t bits = webp[21] | webp[22] << 8 | webp[23] << 16 | std::uint32_t(webp[24]) << 24;
    bits = (bits & 0xF0000000u) | 15999u | 15999u << 14;
    for (int k = 0; k < 4; ++k)
        webp[21 + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(bits >> (8 * k));
    EXPECT_FALSE(BGRAImage::load(writeTo(dir / "bomb.webp", webp), 3000, &refusal));
    EXPECT_EQ(refusal, "This photo is too large (16000 \u00d7 16000)");

    // A HEIF's declared size is its own decoder's to read.
    if (testing::runCommand("command -v heif-enc") == 0) {
        writeBytes(dir / "in.png", encode(".png", small));
        ASSERT_EQ(testing::runCommand("heif-enc -q 50 " + testing::quoted(dir / "in.png") + " -o " +
                                      testing::quoted(dir / "photo.heic")),
                  0);
        std::ifstream in(dir / "photo.heic", std::ios::binary);
        std::vector<std::uint8_t> heic((std::istreambuf_iterator<char>(in)),
                                       std::istreambuf_iterator<char>());
        // Every ispe box (type, version and flags, then 32-bit width and height) of the file.
        for (std::size_t ispe = find(heic, "ispe"); ispe + 12 <= heic.size();) {
            putU16(heic, ispe + 8, 0, true);
            putU16(heic, ispe + 10, 20000, true);
            putU16(heic, ispe + 12, 0, true);
            putU16(heic, ispe + 14, 20000, true);
            const std::string box = "ispe";
            const auto next = std::search(heic.begin() + static_cast<std::ptrdiff_t>(ispe) + 4,
                                          heic.end(), box.begin(), box.end());
            ispe = static_cast<std::size_t>(next - heic.begin());
        }
        EXPECT_FALSE(BGRAImage::load(writeTo(dir / "bomb.heic", heic), 3000, &refusal));
        EXPECT_EQ(refusal, "This photo is too large (20000 \u00d7 20000)");
    }
}

TEST(BGRAImageLoad, SpecialFilesAreNotReadAsPhotos) {
    const TempDir dir;
    std::string refusal;
    // A FIFO would block the reader until someone writes; /dev/zero would never end.
    ASSERT_EQ(::mkfifo((dir / "fifo.jpg").c_str(), 0644), 0);
    EXPECT_FALSE(BGRAImage::load(dir / "fifo.jpg", 3000, &refusal));
    EXPECT_EQ(refusal, "");
    std::filesystem::create_symlink("/dev/zero", dir / "zero.png");
    EXPECT_FALSE(BGRAImage::load(dir / "zero.png", 3000));
    std::filesystem::create_directory(dir / "folder.jpg");
    EXPECT_FALSE(BGRAImage::load(dir / "folder.jpg", 3000));
    // Content the decoder would take but whose size cannot be read first is not decoded.
    EXPECT_FALSE(BGRAImage::load(
        writeTo(dir / "grey.jpg", encode(".pgm", cv::Mat(32, 64, CV_8UC1, cv::Scalar(128)))), 0));
}

} // namespace
} // namespace tallymere
