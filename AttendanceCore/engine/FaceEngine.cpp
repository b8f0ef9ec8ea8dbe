#include "engine/FaceEngine.h"

#include "engine/Affine.h"
#include "engine/Matrix.h"
#include "engine/ModelsLocation.h"
#include "engine/OneDnnRuntime.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/core/utility.hpp>
#include <string>
#include <system_error>
#include <unistd.h>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

constexpr const char* recognizerFile = "ArcFace.onnx";
constexpr int cropSize = 112;
constexpr int embeddingSize = 512;

std::string detectorFile(int size) {
    return "SCRFD" + std::to_string(size) + ".onnx";
}

bool fileExists(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// Writes the picture's blue, green and red bytes as three float planes of a `side` x `side`
// tensor, zero outside the picture. Every element is written exactly once. Rows from `firstRow`
// to before `endRow` only, when given.
void fillPlanes(const cv::Mat& bgra, int side, float* planes, int firstRow = 0, int endRow = -1) {
    const std::size_t planeSize = static_cast<std::size_t>(side) * side;
    float* b = planes;
    float* g = planes + planeSize;
    float* r = planes + 2 * planeSize;
    for (int y = firstRow; y < (endRow < 0 ? side : endRow); ++y) {
        const std::size_t row = static_cast<std::size_t>(y) * side;
        int x = 0;
        if (y < bgra.rows) {
            const std::uint8_t* p = bgra.ptr<std::uint8_t>(y);
            for (; x < bgra.cols; ++x, p += 4) {
                b[row + x] = p[0];
                g[row + x] = p[1];
                r[row + x] = p[2];
            }
        }
        std::fill(b + row + x, b + row + side, 0.0f);
        std::fill(g + row + x, g + row + side, 0.0f);
        std::fill(r + row + x, r + row + side, 0.0f);
    }
}

// Runs work(i) for every i below count, spread over the machine's cores. The first failure is
// passed on once every part has finished.
template <typename Work>
void eachFace(std::size_t count, const Work& work) {
    if (count == 1) {
        work(0);
        return;
    }
    std::mutex guard;
    std::exception_ptr failure;
    cv::parallel_for_(cv::Range(0, static_cast<int>(count)), [&](const cv::Range& range) {
        try {
            for (int i = range.start; i < range.end; ++i)
                work(static_cast<std::size_t>(i));
        } catch (...) {
            const std::lock_guard<std::mutex> lock(guard);
            if (!failure) failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

// The calling thread's model-input buffer, grown as needed and kept: a fresh buffer of a large
// detector input costs more in first-touch page faults than filling it does.
float* inputBuffer(std::size_t floats) {
    thread_local std::vector<float> buffer;
    if (buffer.size() < floats) buffer.resize(floats);
    return buffer.data();
}

// What identifies a model file's contents, so that scales measured on one model are never used
// with another that happens to be in the same place: its size and a hash of its bytes.
std::string modelFingerprint(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::uint64_t hash = 14695981039346656037ull, size = 0;
    std::vector<char> block(1 << 20);
    while (in) {
        in.read(block.data(), std::streamsize(block.size()));
        const auto n = static_cast<std::size_t>(in.gcount());
        for (std::size_t k = 0; k < n; ++k)
            hash = (hash ^ static_cast<unsigned char>(block[k])) * 1099511628211ull;
        size += n;
    }
    return std::to_string(size) + ":" + std::to_string(hash);
}

// The 8-bit scales stored beside a model, when they were measured on this model.
std::optional<ActivationRanges> readScales(const fs::path& file, const std::string& fingerprint) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return std::nullopt;
    const nlohmann::json json = nlohmann::json::parse(in, nullptr, false);
    if (!json.is_object() || json.value("model", "") != fingerprint) return std::nullopt;
    const auto ranges = json.find("ranges");
    if (ranges == json.end() || !ranges->is_object()) return std::nullopt;
    ActivationRanges result;
    for (const auto& [name, value] : ranges->items())
        if (value.is_number()) result[name] = value.get<float>();
    if (result.empty()) return std::nullopt;
    return result;
}

float overlap(const Box& p, const Box& q, bool overlapOfSmaller) {
    const float w = std::max(0.0f, std::min(p.x2, q.x2) - std::max(p.x1, q.x1));
    const float h = std::max(0.0f, std::min(p.y2, q.y2) - std::max(p.y1, q.y1));
    const float inter = w * h;
    const float area = (p.x2 - p.x1) * (p.y2 - p.y1);
    const float areaQ = (q.x2 - q.x1) * (q.y2 - q.y1);
    if (overlapOfSmaller) return inter / std::max(std::min(area, areaQ), 0.000001f);
    const float uni = area + areaQ - inter;
    return uni > 0 ? inter / uni : 0.0f;
}

} // namespace

EngineError::EngineError(fs::path modelsDirectory)
    : std::runtime_error("Face models not found in " + modelsDirectory.string()),
      directory(std::move(modelsDirectory)) {}

EngineError::EngineError(fs::path modelsDirectory, const std::string& text)
    : std::runtime_error(text), directory(std::move(modelsDirectory)) {}

fs::path FaceEngine::defaultModelsDirectory() {
    return ModelsLocation::current().directory;
}

FaceEngine::FaceEngine(std::optional<fs::path> modelsDirectory, std::optional<int> computeUnits)
    : detectorUnits(computeUnits.value_or(1)) {
    if (modelsDirectory) {
        modelsPath = *modelsDirectory;
        if (!fileExists(modelsPath / recognizerFile)) throw EngineError(modelsPath);
    } else {
        const ModelsLocation location = ModelsLocation::current();
        modelsPath = location.directory;
        if (!location.found) throw EngineError(modelsPath, location.missingText());
    }
    loadRecognizer(computeUnits);
    modelDescription = readModelName(modelsPath);
}

void FaceEngine::loadRecognizer(std::optional<int> computeUnits) {
    const fs::path file = modelsPath / recognizerFile;
    const char* runtime = std::getenv("TALLYMERE_RUNTIME");
    const bool oneDnn = !runtime || std::string_view(runtime) != "opencv";
    Numbers wanted = Numbers::Float32;
    const char* forced = std::getenv("TALLYMERE_PRECISION");
    if (forced && std::string_view(forced) == "int8")
        wanted = Numbers::Int8;
    else if (forced && std::string_view(forced) == "bf16")
        wanted = Numbers::BFloat16;
    else if (forced && std::string_view(forced) == "fp32")
        wanted = Numbers::Float32;
    else if (precisionForUnits(computeUnits.value_or(2)) != Precision::Full)
        wanted = oneDnnHasInt8()   ? Numbers::Int8
                 : oneDnnHasBf16() ? Numbers::BFloat16
                                   : Numbers::Float32;
    if (wanted == Numbers::Int8 && oneDnn) {
        if (auto ranges = readScales(modelsPath / scalesFile, modelFingerprint(file))) {
            try {
                recognizer = loadOneDnnModel(file, *ranges);
                recognizerNumbers = Numbers::Int8;
                return;
            } catch (const OneDnnError&) {
                // Runs in another precision below, as a model oneDNN cannot run does.
            }
        }
        awaitingScales = true;
    }
    const bool reduced = wanted != Numbers::Float32;
    recognizer = loadModel(file, reduced ? Precision::Reduced : Precision::Full);
    const bool bf16 = reduced && recognizer->runtimeName() == "onednn" && oneDnnHasBf16();
    recognizerNumbers = bf16 ? Numbers::BFloat16 : Numbers::Float32;
    if (recognizer->runtimeName() != "onednn") awaitingScales = false;
}

std::shared_ptr<Model> FaceEngine::currentRecognizer() const {
    const std::lock_guard<std::mutex> guard(recognizerLock);
    return recognizer;
}

std::string FaceEngine::recognizerPrecision() const {
    const std::lock_guard<std::mutex> guard(recognizerLock);
    switch (recognizerNumbers) {
    case Numbers::Int8:
        return "8-bit integers";
    case Numbers::BFloat16:
        return "bfloat16";
    case Numbers::Float32:
        break;
    }
    return "32-bit floats";
}

bool FaceEngine::wantsRecognizerScales() const {
    const std::lock_guard<std::mutex> guard(recognizerLock);
    return awaitingScales;
}

bool FaceEngine::calibrateRecognizer(const std::vector<BGRAImage>& faces) {
    if (faces.size() < minScaleFaces || !wantsRecognizerScales()) return false;
    const std::size_t planeSize = static_cast<std::size_t>(cropSize) * cropSize;
    std::vector<float> input(faces.size() * 3 * planeSize);
    for (std::size_t i = 0; i < faces.size(); ++i) {
        if (faces[i].width != cropSize || faces[i].height != cropSize)
            throw std::invalid_argument("calibrateRecognizer takes aligned 112 x 112 faces");
        fillPlanes(faces[i].mat(), cropSize, input.data() + i * 3 * planeSize);
    }
    const fs::path file = modelsPath / recognizerFile;
    const ActivationRanges ranges = measureOneDnnRanges(
        file, {{"image",
                {static_cast<std::int64_t>(faces.size()), 3, cropSize, cropSize},
                input.data()}});
    std::shared_ptr<Model> model = loadOneDnnModel(file, ranges);
    nlohmann::json json{
        {"model", modelFingerprint(file)}, {"faces", faces.size()}, {"ranges", ranges}};
    {
        // Written whole under another name first, so that a reader never sees half a file.
        // Without a writable models folder (an installed one) the scales are measured again in
        // the next process. Each process writes its own partial file: two may calibrate at once.
        const fs::path target = modelsPath / scalesFile;
        fs::path partial = target;
        partial += ".partial-" + std::to_string(::getpid());
        std::ofstream out(partial, std::ios::binary | std::ios::trunc);
        out << json.dump(1);
        out.close();
        std::error_code ec;
        if (out) fs::rename(partial, target, ec);
        if (!out || ec) fs::remove(partial, ec);
    }
    const std::lock_guard<std::mutex> guard(recognizerLock);
    recognizer = std::move(model);
    recognizerNumbers = Numbers::Int8;
    awaitingScales = false;
    return true;
}

std::string FaceEngine::readModelName(const fs::path& modelsDirectory) {
    // Written by the model conversion beside the models; a folder converted before it existed,
    // or a damaged file, keeps the description of the default models.
    std::ifstream in(modelsDirectory / "models.json", std::ios::binary);
    if (in) {
        const nlohmann::json manifest = nlohmann::json::parse(in, nullptr, false);
        if (manifest.is_object()) {
            const auto name = manifest.find("name");
            if (name != manifest.end() && name->is_string() &&
                !name->get_ref<const std::string&>().empty())
                return name->get<std::string>();
        }
    }
    return std::string(tallymere::modelName);
}

int FaceEngine::effectiveDetectorSize(int size) {
    int best = detectorSizes[0];
    long long bestDistance = std::llabs(static_cast<long long>(size) - best);
    for (const int candidate : detectorSizes) {
        const long long distance = std::llabs(static_cast<long long>(size) - candidate);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

Precision FaceEngine::detectorPrecision(int computeUnits) {
    // Measured against 32-bit detection on the shared photos and the frames of the shared and a
    // crowded recording (bench_detection_precision): at every size bfloat16 throughout found
    // every face again with boxes within half a pixel and landmarks within 0.4 of one, in 0.57 to
    // 0.62 of the processor time. (Before near-duplicates were averaged, a face whose two
    // candidates' scores differed by 0.0004 moved by the pixel between them whenever rounding
    // swapped the winner.)
    return computeUnits >= 1 ? Precision::Reduced : Precision::Full;
}

void FaceEngine::overrideDetectorPrecision(std::optional<Precision> precision) {
    const std::lock_guard<std::mutex> guard(lock);
    detectorPrecisionOverride = precision;
    detectors.clear();
}

Model& FaceEngine::detector(int size) {
    const std::lock_guard<std::mutex> guard(lock);
    const int effective = effectiveDetectorSize(size);
    if (auto found = detectors.find(effective); found != detectors.end()) return *found->second;
    auto model = loadModel(modelsPath / detectorFile(effective),
                           detectorPrecisionOverride.value_or(detectorPrecision(detectorUnits)));
    Model& loaded = *model;
    detectors.emplace(effective, std::move(model));
    return loaded;
}

std::vector<Face> FaceEngine::detectOnce(const BGRAImage& image, int size, float threshold) {
    Model& model = detector(size);
    const int side = effectiveDetectorSize(size);
    if (image.width <= 0 || image.height <= 0) return {};

    // The letterbox: the whole image scaled into the top-left corner, black elsewhere, written
    // straight into the model's float planes.
    const BGRAImage::LetterboxGeometry g = image.letterboxGeometry(side);
    cv::Mat scaled;
    if (g.width == image.width && g.height == image.height) {
        scaled = image.mat(); // already the letterbox picture's size
    } else {
        scaled.create(g.height, g.width, CV_8UC4);
        image.resampleInto(scaled);
    }
    const std::size_t planeSize = static_cast<std::size_t>(side) * side;
    float* input = inputBuffer(3 * planeSize);
    cv::parallel_for_(cv::Range(0, side), [&](const cv::Range& rows) {
        fillPlanes(scaled, side, input, rows.start, rows.end);
    });

    const auto outputs = model.run({{"image", {1, 3, side, side}, input}});

    std::vector<Face> candidates;
    for (const int stride : {8, 16, 32}) {
        const std::string suffix = std::to_string(stride);
        const auto scoreIt = outputs.find("score_" + suffix);
        const auto bboxIt = outputs.find("bbox_" + suffix);
        const auto kpsIt = outputs.find("kps_" + suffix);
        if (scoreIt == outputs.end() || bboxIt == outputs.end() || kpsIt == outputs.end()) continue;
        const Matrix score(scoreIt->second), bbox(bboxIt->second), kps(kpsIt->second);
        // An output too small for the score table would be read past its end: treat the stride
        // as absent.
        if (score.cols() < 1 || bbox.rows < score.rows || bbox.cols() < 4 ||
            kps.rows < score.rows || kps.cols() < 10)
            continue;
        const int gridWidth = side / stride;
        const float s = static_cast<float>(stride);
        for (std::int64_t r = 0; r < score.rows; ++r) {
            const float c = score(r, 0);
            if (!(c >= threshold)) continue;
            const std::int64_t l = r / 2;
            const float cx = static_cast<float>(stride * (l % gridWidth));
            const float cy = static_cast<float>(stride * (l / gridWidth));
            Face face;
            face.box = {(cx - bbox(r, 0) * s) / g.scale, (cy - bbox(r, 1) * s) / g.scale,
                        (cx + bbox(r, 2) * s) / g.scale, (cy + bbox(r, 3) * s) / g.scale};
            face.kps.reserve(5);
            for (int k = 0; k < 5; ++k)
                face.kps.push_back(
                    {(cx + kps(r, 2 * k) * s) / g.scale, (cy + kps(r, 2 * k + 1) * s) / g.scale});
            face.score = c;
            candidates.push_back(std::move(face));
        }
    }
    return nms(std::move(candidates), 0.4f, false, nearDuplicate);
}

int FaceEngine::unenlargedDetectorSize(const BGRAImage& image, int size) {
    const int side = effectiveDetectorSize(size);
    const int longer = std::max(image.width, image.height);
    if (longer >= side) return side;
    int native = detectorSizes[0];
    for (const int candidate : detectorSizes)
        if (candidate <= longer) native = candidate;
    return native;
}

std::vector<Face> FaceEngine::detect(const BGRAImage& image, int size, float threshold, int tiles) {
    std::vector<Face> all = detectOnce(image, size, threshold);
    // Enlarging the frame to the detector's size helps small faces but pushes a close-up past
    // the face sizes the detector knows, and it is then lost: a second pass at a size that does
    // not enlarge keeps it.
    const int native = unenlargedDetectorSize(image, size);
    const bool secondPass =
        image.width > 0 && image.height > 0 && native != effectiveDetectorSize(size);
    if (secondPass) {
        for (Face& face : detectOnce(image, native, threshold))
            all.push_back(std::move(face));
        all = nms(std::move(all), 0.5f, true, nearDuplicate);
    }
    if (tiles < 2) return all;
    const int n = tiles;
    const float tw = static_cast<float>(image.width) / static_cast<float>(n);
    const float th = static_cast<float>(image.height) / static_cast<float>(n);
    const int padX = static_cast<int>(tw * 0.2f), padY = static_cast<int>(th * 0.2f);
    for (int j = 0; j < n; ++j) {
        for (int i = 0; i < n; ++i) {
            const int y0 = std::max(0, static_cast<int>(th * static_cast<float>(j)) - padY);
            const int y1 =
                std::min(image.height, static_cast<int>(th * static_cast<float>(j + 1)) + padY);
            const int x0 = std::max(0, static_cast<int>(tw * static_cast<float>(i)) - padX);
            const int x1 =
                std::min(image.width, static_cast<int>(tw * static_cast<float>(i + 1)) + padX);
            const BGRAImage tile = image.cropped(x0, y0, x1 - x0, y1 - y0);
            const float dx = static_cast<float>(x0), dy = static_cast<float>(y0);
            for (Face& face : detectOnce(tile, size, threshold)) {
                face.box = {face.box.x1 + dx, face.box.y1 + dy, face.box.x2 + dx, face.box.y2 + dy};
                for (Point& p : face.kps)
                    p = {p.x + dx, p.y + dy};
                all.push_back(std::move(face));
            }
        }
    }
    return nms(std::move(all), 0.5f, true);
}

std::vector<std::vector<float>> FaceEngine::embeddings(const float* input, std::size_t count) {
    const auto outputs = currentRecognizer()->run(
        {{"image", {static_cast<std::int64_t>(count), 3, cropSize, cropSize}, input}});
    const auto found = outputs.find("embedding");
    if (found == outputs.end())
        throw std::runtime_error("The face recogniser in " + modelsPath.string() +
                                 " has no \"embedding\" output");
    const Matrix out(found->second);
    // Whatever the declared shape, the output holds one equal chunk per face, in face order.
    const std::int64_t total = found->second.elementCount();
    const std::int64_t chunk = total / static_cast<std::int64_t>(count);
    if (chunk < embeddingSize || chunk * static_cast<std::int64_t>(count) != total)
        throw std::runtime_error("The face recogniser in " + modelsPath.string() + " gives " +
                                 std::to_string(total) + " values for " + std::to_string(count) +
                                 " faces; at least 512 per face are needed");

    std::vector<std::vector<float>> result(count);
    for (std::size_t i = 0; i < count; ++i) {
        std::vector<float> v(embeddingSize);
        float sumSq = 0;
        for (int k = 0; k < embeddingSize; ++k) {
            v[k] = out.at(static_cast<std::int64_t>(i) * chunk + k);
            sumSq += v[k] * v[k];
        }
        const float norm = std::sqrt(sumSq) + 0.000000001f;
        for (float& x : v)
            x /= norm;
        result[i] = std::move(v);
    }
    return result;
}

void FaceEngine::embed(const BGRAImage& image, std::vector<Face>& faces) {
    if (faces.empty()) return;
    const std::size_t count = faces.size();

    // Each face is aligned and written into its own slot of the batch, on every core at once;
    // nothing is shared between faces, so the order of the work does not change a byte.
    std::vector<BGRAImage> crops(count);
    const std::size_t planeSize = static_cast<std::size_t>(cropSize) * cropSize;
    float* input = inputBuffer(count * 3 * planeSize);
    eachFace(count, [&](std::size_t i) {
        crops[i] =
            image.warpAffine(cropSize, cropSize, Affine::similarity(faces[i].kps, arcfaceTemplate));
        fillPlanes(crops[i].mat(), cropSize, input + i * 3 * planeSize);
    });
    std::vector<std::vector<float>> found = embeddings(input, count);

    std::vector<double> blur(count);
    eachFace(count, [&](std::size_t i) { blur[i] = crops[i].laplacianVariance(); });

    std::vector<Face> updated = faces;
    for (std::size_t i = 0; i < count; ++i) {
        Face& face = updated[i];
        face.embedding = std::move(found[i]);
        face.blur = blur[i];
        face.frontal = frontalScore(face.kps);
        face.crop = std::move(crops[i]);
    }
    faces = std::move(updated);
}

void FaceEngine::align(const BGRAImage& image, std::vector<Face>& faces) const {
    eachFace(faces.size(), [&](std::size_t i) {
        Face& face = faces[i];
        face.crop =
            image.warpAffine(cropSize, cropSize, Affine::similarity(face.kps, arcfaceTemplate));
        face.blur = face.crop->laplacianVariance();
        face.frontal = frontalScore(face.kps);
    });
}

void FaceEngine::embedAligned(std::vector<Face>& faces, const std::vector<bool>& which) {
    std::vector<std::size_t> chosen;
    for (std::size_t i = 0; i < faces.size(); ++i)
        if (i < which.size() && which[i] && faces[i].crop) chosen.push_back(i);
    if (chosen.empty()) return;
    const std::size_t planeSize = static_cast<std::size_t>(cropSize) * cropSize;
    float* input = inputBuffer(chosen.size() * 3 * planeSize);
    eachFace(chosen.size(), [&](std::size_t k) {
        fillPlanes(faces[chosen[k]].crop->mat(), cropSize, input + k * 3 * planeSize);
    });
    std::vector<std::vector<float>> found = embeddings(input, chosen.size());
    for (std::size_t k = 0; k < chosen.size(); ++k)
        faces[chosen[k]].embedding = std::move(found[k]);
}

std::vector<Face> FaceEngine::find(const BGRAImage& image, int size, float minFace, int tiles) {
    std::vector<Face> found = detect(image, size, 0.5f, tiles);
    std::vector<Face> kept;
    for (Face& face : found)
        if (face.width() >= minFace) kept.push_back(std::move(face));
    return kept;
}

std::vector<Face> FaceEngine::analyze(const BGRAImage& image, int size, float minFace, int tiles) {
    std::vector<Face> kept = find(image, size, minFace, tiles);
    embed(image, kept);
    return kept;
}

std::vector<Face> nms(std::vector<Face> faces, float threshold, bool overlapOfSmaller,
                      float averageAbove) {
    std::stable_sort(faces.begin(), faces.end(),
                     [](const Face& p, const Face& q) { return p.score > q.score; });
    std::vector<Face> kept;
    // Per kept face: its score and the weighted sums of the boxes and landmarks averaged into it.
    struct Sum {
        float best = 0, weight = 0;
        Box box{0, 0, 0, 0};
        std::vector<Point> kps;
    };
    std::vector<Sum> sums;
    // A dropped face counts the more the closer it lies and the nearer its score is to the kept
    // one's: nothing at an overlap of averageAbove or a score lower by scoreBand; as much as the
    // kept face itself from halfway between averageAbove and a perfect overlap, at an equal
    // score. No face then jumps as an overlap crosses averageAbove or a faint candidate, well
    // below the kept one, crosses the detection threshold; and two close faces of nearly equal
    // scores give the same mean whichever of them is kept.
    constexpr float scoreBand = 0.1f;
    auto add = [averageAbove](Sum& sum, const Face& face, float iou) {
        const float closeness =
            averageAbove < 1 ? (iou - averageAbove) / (0.5f * (1 - averageAbove)) : 1;
        const float w = std::clamp(closeness, 0.0f, 1.0f) *
                        std::clamp(1 - (sum.best - face.score) / scoreBand, 0.0f, 1.0f);
        if (!(w > 0)) return;
        sum.weight += w;
        sum.box = {sum.box.x1 + w * face.box.x1, sum.box.y1 + w * face.box.y1,
                   sum.box.x2 + w * face.box.x2, sum.box.y2 + w * face.box.y2};
        sum.kps.resize(face.kps.size());
        for (std::size_t k = 0; k < face.kps.size(); ++k)
            sum.kps[k] = {sum.kps[k].x + w * face.kps[k].x, sum.kps[k].y + w * face.kps[k].y};
    };
    for (Face& face : faces) {
        bool dropped = false;
        for (std::size_t i = 0; i < kept.size(); ++i) {
            // Kept boxes stay as found until the end: overlaps are measured with those.
            if (overlap(face.box, kept[i].box, overlapOfSmaller) > threshold) {
                dropped = true;
                if (averageAbove > 0 && face.kps.size() == kept[i].kps.size())
                    add(sums[i], face, overlap(face.box, kept[i].box, false));
                break;
            }
        }
        if (dropped) continue;
        if (averageAbove > 0) {
            sums.push_back({face.score, 0, {0, 0, 0, 0}, {}});
            add(sums.back(), face, 1);
        }
        kept.push_back(std::move(face));
    }
    if (averageAbove > 0)
        for (std::size_t i = 0; i < kept.size(); ++i) {
            const Sum& sum = sums[i];
            const float w = sum.weight;
            kept[i].box = {sum.box.x1 / w, sum.box.y1 / w, sum.box.x2 / w, sum.box.y2 / w};
            for (std::size_t k = 0; k < kept[i].kps.size(); ++k)
                kept[i].kps[k] = {sum.kps[k].x / w, sum.kps[k].y / w};
        }
    return kept;
}

float frontalScore(const std::vector<Point>& kps) {
    if (kps.size() < 3) return 0;
    const Point e1 = kps[0], e2 = kps[1], n = kps[2];
    const float dx = e1.x - e2.x, dy = e1.y - e2.y;
    const float d = std::sqrt(dx * dx + dy * dy);
    if (d <= 0.001f) return 0;
    float v = 1.0f - 2.0f * std::fabs(n.x - (e1.x + e2.x) / 2.0f) / d;
    v = std::min(v, 1.0f);
    return v < 0 ? 0.0f : v;
}

} // namespace tallymere
