#pragma once

#include "engine/BGRAImage.h"
#include "engine/Face.h"
#include "engine/ModelRuntime.h"

#include <array>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere {

// The model description stored with every set of results when the models folder does not name
// its models.
inline constexpr std::string_view modelName =
    "InsightFace buffalo_l (SCRFD-10G + ArcFace R50) \u00b7 ONNX";

// The engine's only error: the models directory lacks the recogniser. Its text names the directory,
// or, when the engine searched for one, every folder searched and how to get the models.
class EngineError : public std::runtime_error {
public:
    explicit EngineError(std::filesystem::path modelsDirectory);
    EngineError(std::filesystem::path modelsDirectory, const std::string& text);
    const std::filesystem::path& modelsDirectory() const { return directory; }

private:
    std::filesystem::path directory;
};

// Owns the face models: the recogniser, loaded when the engine is made, and one detector per input
// size, loaded on first use and kept. Shared by every thread that analyses faces; detection and
// embedding keep no state between calls apart from the detector cache.
class FaceEngine {
public:
    // Input sizes for which detector files exist ("SCRFD640.onnx" and so on).
    static constexpr std::array<int, 3> detectorSizes{640, 1280, 1920};

    // Uses the given models directory, or the one the search finds. Fails with EngineError when
    // the directory holds no "ArcFace.onnx"; the runtime's loading error passes through.
    // computeUnits: 1 = processor and graphics processor, 2 = all units (both run on the processor
    // here; see detectorPrecision), 0 = the processor in 32-bit floats only.
    explicit FaceEngine(std::optional<std::filesystem::path> modelsDirectory = {},
                        std::optional<int> computeUnits = {});

    // The folder ModelsLocation's search picks for this process (see there).
    static std::filesystem::path defaultModelsDirectory();

    // The precision the detectors run at with these compute units: 1 and 2
    // allow bfloat16 throughout (detection was measured to find the same faces with boxes within
    // a pixel and landmarks within a pixel and a half of 32-bit detection at every size), 0 none.
    static Precision detectorPrecision(int computeUnits);

    // The supported detector size nearest to `size`; a tie keeps the smaller.
    static int effectiveDetectorSize(int size);

    // The detector size at which `image` is searched besides `size`'s own when that one would
    // enlarge it: the largest supported size not above the image's longer side, or the smallest
    // size. Equal to effectiveDetectorSize(size) when no enlargement happens.
    static int unenlargedDetectorSize(const BGRAImage& image, int size);

    // Runs every detector at `precision` instead of the compute units' choice, or again at that
    // choice when none is given; detectors already loaded are loaded again on next use. For
    // measuring one precision against another, never while another thread detects.
    void overrideDetectorPrecision(std::optional<Precision> precision);

    // The detector for the nearest supported size, loaded once and cached. The runtime's loading
    // error passes through, and nothing is cached, so the next call tries again.
    Model& detector(int size);

    // One detector pass over the whole image: faces scoring at least `threshold`, boxes and
    // landmarks in the image's pixels, after overlap suppression.
    std::vector<Face> detectOnce(const BGRAImage& image, int size, float threshold);
    // detectOnce on the whole image and, with tiles >= 2, on each of tiles x tiles overlapping
    // tiles; duplicates merged. When the detector size would enlarge the image, the whole image
    // is also searched at unenlargedDetectorSize, so that close-ups are found as well.
    std::vector<Face> detect(const BGRAImage& image, int size, float threshold, int tiles);
    // Aligns, measures and embeds every face in one batched recogniser pass. On failure `faces`
    // is left exactly as it was.
    void embed(const BGRAImage& image, std::vector<Face>& faces);
    // Aligns and measures every face (crop, sharpness, frontality) as embed does, without
    // embedding it: enough to know each face's quality.
    void align(const BGRAImage& image, std::vector<Face>& faces) const;
    // Embeds the aligned faces marked in `which` in one batched recogniser pass; the others are
    // left without an embedding. On failure no face gains one.
    void embedAligned(std::vector<Face>& faces, const std::vector<bool>& which);
    // detect at threshold 0.5 and keep the faces at least minFace wide.
    std::vector<Face> find(const BGRAImage& image, int size, float minFace, int tiles);
    // find, then embed.
    std::vector<Face> analyze(const BGRAImage& image, int size, float minFace, int tiles);

    const std::filesystem::path& modelsDir() const { return modelsPath; }

    // The precision the recogniser computes in: "32-bit floats", "bfloat16" or "8-bit integers".
    // Chosen when the engine is made: "TALLYMERE_PRECISION" (fp32, bf16 or int8) forces one;
    // otherwise compute units 0 and 1 keep 32 bits, and 2 (the default) take 8 bits where the
    // processor has 8-bit dot products (VNNI, AMX), bfloat16 where it has those only, 32 bits
    // elsewhere. 8 bits needs scales measured on real faces (the file `scalesFile` beside the
    // model, written by calibrateRecognizer); until there are some it runs in bfloat16 (or 32
    // bits where the processor has no bfloat16).
    std::string recognizerPrecision() const;
    // Whether the recogniser waits for its 8-bit scales.
    bool wantsRecognizerScales() const;
    // Measures the recogniser's 8-bit scales in 32-bit floats on aligned faces (the crops that
    // `embed` leaves in each face), stores them beside the model where the folder can be written,
    // and runs the recogniser in 8 bits from then on. Changes nothing and returns false with fewer
    // than minScaleFaces faces or when the recogniser does not wait for scales. Safe while other
    // threads embed: a run in progress finishes on the model it began with.
    bool calibrateRecognizer(const std::vector<BGRAImage>& faces);
    static constexpr std::size_t minScaleFaces = 20;
    static constexpr const char* scalesFile = "ArcFace.scales.json";

    // The description of the loaded models stored with every set of results: the "name" of the
    // folder's "models.json" (written by the model conversion), else the global `modelName`.
    const std::string& modelName() const { return modelDescription; }
    // That description for a models folder.
    static std::string readModelName(const std::filesystem::path& modelsDirectory);

private:
    // Runs the recogniser over `count` prepared crops and returns their unit-length embeddings.
    std::vector<std::vector<float>> embeddings(const float* input, std::size_t count);
    enum class Numbers { Float32, BFloat16, Int8 };

    std::map<int, std::unique_ptr<Model>> detectors;
    std::shared_ptr<Model> recognizer; // replaced once its 8-bit scales exist
    Numbers recognizerNumbers = Numbers::Float32;
    bool awaitingScales = false;
    mutable std::mutex recognizerLock; // guards the three above
    std::filesystem::path modelsPath;
    std::string modelDescription;
    int detectorUnits = 1;
    std::optional<Precision> detectorPrecisionOverride;
    std::mutex lock; // guards `detectors` and detector loading

    void loadRecognizer(std::optional<int> computeUnits);
    std::shared_ptr<Model> currentRecognizer() const;
};

// Overlap suppression: sorted by score (stable), a face is dropped when it overlaps an already
// kept one by more than `threshold`, as intersection over union or, with overlapOfSmaller, as
// intersection over the smaller box. With averageAbove > 0, a kept face's box and landmarks
// become a weighted mean of its own and those of the faces it dropped that overlap it by more
// than averageAbove (intersection over union), each weighted by how far its overlap lies above
// averageAbove and how near its score comes to the kept face's (within a tenth): two
// near-duplicates whose scores differ only by rounding then give nearly the same face whichever
// of them scores higher.
std::vector<Face> nms(std::vector<Face> faces, float threshold, bool overlapOfSmaller,
                      float averageAbove = 0);

// The overlap (intersection over union) at which the detector's candidates, and one face found
// by two passes, count as the same face seen twice and are averaged.
inline constexpr float nearDuplicate = 0.8f;

// 1 for a nose halfway between the eyes, falling to 0 for a nose level with an eye.
float frontalScore(const std::vector<Point>& kps);

} // namespace tallymere
