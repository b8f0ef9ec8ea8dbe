// The enrolment check on real photos with the small shared test models: which photos are
// accepted, which face is picked in a group photo, and what the operator is told otherwise.

#include "engine/BGRAImage.h"
#include "engine/FaceEngine.h"
#include "library/Library.h"
#include "library/Records.h"
#include "recognition/Enroller.h"
#include "recognition/Gallery.h"
#include "support/ModelCache.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using tallymere::testing::sharedFaces;
using tallymere::testing::sharedModels;
using tallymere::testing::TempDir;
using ::testing::MatchesRegex;

// The shared source models converted into the form the engine reads, once per build.
const fs::path& convertedModels() {
    static const fs::path dir =
        tallymere::testing::convertedSharedModels("scrfd_500m_kps.onnx", "640");
    return dir;
}

FaceEngine& sharedEngine() {
    static FaceEngine engine(convertedModels());
    return engine;
}

fs::path person(const std::string& name, const std::string& file) {
    return sharedFaces() / "people" / name / file;
}
fs::path group(const std::string& file) {
    return sharedFaces() / "groups" / file;
}

float dot(const std::vector<float>& a, const std::vector<float>& b) {
    float sum = 0;
    for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i)
        sum += a[i] * b[i];
    return sum;
}

class EnrollPhotos : public ::testing::Test {
protected:
    void SetUp() override {
        TALLYMERE_REQUIRE_SHARED();
        library = std::make_unique<Library>(dir / "library");
    }

    // A member whose photos are imported from `files`, as the application adds them.
    Member memberWith(const std::string& id, const std::string& name,
                      const std::vector<fs::path>& files) {
        Member m;
        m.id = id;
        m.name = name;
        m.photos = library->importPhotos(files, id);
        EXPECT_EQ(m.photos.size(), files.size()) << "every file is imported";
        return m;
    }

    Member check(Member m) { return Enroller(sharedEngine(), *library).check(std::move(m)); }

    // Writes an image made by the test as a photo file outside the library.
    fs::path writePhoto(const BGRAImage& image, const std::string& name) {
        const fs::path path = dir / name;
        EXPECT_TRUE(image.writeJPEG(path, 0.95));
        return path;
    }

    static BGRAImage loadPhoto(const fs::path& path) {
        std::optional<BGRAImage> image = BGRAImage::load(path, 3000);
        if (!image) throw std::runtime_error("cannot load " + path.string());
        return *image;
    }

    // The image shrunk by `factor` (< 1), through the letterbox that keeps the aspect ratio.
    static BGRAImage shrunk(const BGRAImage& image, float factor) {
        const int side =
            static_cast<int>(static_cast<float>(std::max(image.width, image.height)) * factor);
        auto boxed = image.letterboxed(side);
        if (!boxed) throw std::runtime_error("letterbox failed");
        const BGRAImage::LetterboxGeometry g = image.letterboxGeometry(side);
        return boxed->first.cropped(0, 0, g.width, g.height);
    }

    TempDir dir;
    std::unique_ptr<Library> library;
};

void expectAccepted(const Photo& p, const std::string& what) {
    EXPECT_TRUE(p.checked) << what;
    EXPECT_TRUE(p.ok) << what << ": " << p.reason;
    EXPECT_EQ(p.reason, "") << what;
    EXPECT_GE(p.faceWidth, 80.0f) << what;
    EXPECT_GT(p.quality, 0.0f) << what;
    ASSERT_TRUE(p.embedding) << what;
    EXPECT_EQ(p.embedding->size(), 512u) << what;
    EXPECT_NEAR(std::sqrt(dot(*p.embedding, *p.embedding)), 1.0, 1e-3) << what;
}

void expectRejected(const Photo& p, const std::string& reason) {
    EXPECT_TRUE(p.checked);
    EXPECT_FALSE(p.ok);
    EXPECT_EQ(p.reason, reason);
    EXPECT_EQ(p.faceWidth, 0.0f);
    EXPECT_EQ(p.quality, 0.0f);
    EXPECT_FALSE(p.embedding);
}

TEST_F(EnrollPhotos, EverySinglePersonPhotoIsAcceptedWithItsFaceMeasuredInTheLoadedImage) {
    const std::vector<std::pair<std::string, std::vector<std::string>>> people{
        {"Barack Obama", {"obama.jpg", "obama2.jpg"}},
        {"Joe Biden", {"biden.jpg"}},
        {"Alex Lacamoire", {"lacamoire1.jpg", "lacamoire2.png"}},
        {"Kit Harington", {"harington1.jpeg", "harington2.jpeg"}},
        {"Rose Leslie", {"leslie1.jpg", "leslie2.jpg"}},
        {"Lin-Manuel Miranda", {"miranda1.png"}},
    };
    int n = 0;
    for (const auto& [name, files] : people) {
        std::vector<fs::path> paths;
        for (const std::string& f : files)
            paths.push_back(person(name, f));
        const std::string id = "M000" + std::to_string(++n);
        const Member checked = check(memberWith(id, name, paths));
        ASSERT_EQ(checked.photos.size(), files.size());
        for (std::size_t i = 0; i < files.size(); ++i) {
            const Photo& p = checked.photos[i];
            expectAccepted(p, files[i]);
            // The width is the most prominent face's, in the photo as loaded for the check.
            Enroller enroller(sharedEngine(), *library);
            const BGRAImage loaded = loadPhoto(paths[i]);
            auto [image, faces] = enroller.candidates(loaded);
            ASSERT_FALSE(faces.empty()) << files[i];
            EXPECT_EQ(image, loaded) << files[i] << " was found upright";
            EXPECT_EQ(p.faceWidth, faces[0].width()) << files[i];
        }
        // Photos of the same person agree.
        if (files.size() == 2) {
            EXPECT_GT(dot(*checked.photos[0].embedding, *checked.photos[1].embedding), 0.45f)
                << name;
        }
        EXPECT_TRUE(fs::exists(library->thumbURL(id))) << name;
    }
}

TEST_F(EnrollPhotos, PhotoTakenSidewaysIsTurnedAndMeasuredUpright) {
    // The test detector finds no face in this photo lying on its side, nor upside down, so the
    // check turns it back upright.
    const fs::path original = person("Rose Leslie", "leslie1.jpg");
    const BGRAImage sideways = loadPhoto(original).rotated90(true);
    const Member checked =
        check(memberWith("M0001", "Rose Leslie", {original, writePhoto(sideways, "turned.jpg")}));
    expectAccepted(checked.photos[0], "upright");
    expectAccepted(checked.photos[1], "turned");
    // Measured across the upright face, in the turned image.
    EXPECT_NEAR(checked.photos[1].faceWidth, checked.photos[0].faceWidth,
                0.05f * checked.photos[0].faceWidth);
    EXPECT_GT(dot(*checked.photos[0].embedding, *checked.photos[1].embedding), 0.8f);

    Enroller enroller(sharedEngine(), *library);
    auto [image, faces] = enroller.candidates(loadPhoto(dir / "turned.jpg"));
    ASSERT_FALSE(faces.empty());
    EXPECT_EQ(image.width, sideways.height);
    EXPECT_EQ(image.height, sideways.width);
    EXPECT_EQ(faces[0].width(), checked.photos[1].faceWidth);
}

TEST_F(EnrollPhotos, TurnsAreTriedClockwiseFirst) {
    // Upside down, this portrait shows the test detector no face, but both quarter turns show
    // one (lying on its side); the clockwise turn is tried first and kept.
    const BGRAImage upsideDown = loadPhoto(person("Barack Obama", "obama.jpg")).rotated180();
    Enroller enroller(sharedEngine(), *library);
    ASSERT_TRUE(sharedEngine().detectOnce(upsideDown, 640, 0.5f).empty());
    ASSERT_FALSE(sharedEngine().detectOnce(upsideDown.rotated90(false), 640, 0.5f).empty());
    auto [image, faces] = enroller.candidates(upsideDown);
    EXPECT_FALSE(faces.empty());
    EXPECT_EQ(image, upsideDown.rotated90(true));
}

TEST_F(EnrollPhotos, PhotoWithoutAFaceIsRejectedAfterEveryTurn) {
    BGRAImage gradient(640, 480);
    for (int y = 0; y < gradient.height; ++y)
        for (int x = 0; x < gradient.width; ++x) {
            std::uint8_t* px =
                &gradient.data[(static_cast<std::size_t>(y) * gradient.width + x) * 4];
            px[0] = static_cast<std::uint8_t>(x * 255 / gradient.width);
            px[1] = static_cast<std::uint8_t>(y * 255 / gradient.height);
            px[2] = 128;
            px[3] = 255;
        }
    Enroller enroller(sharedEngine(), *library);
    auto [image, faces] = enroller.candidates(gradient);
    EXPECT_TRUE(faces.empty());
    EXPECT_EQ(image, gradient) << "the photo stays as loaded";

    Member m = memberWith("M0001", "Nobody", {writePhoto(gradient, "gradient.jpg")});
    // An earlier verdict is not reused.
    m.photos[0].checked = true;
    m.photos[0].ok = true;
    m.photos[0].reason = "stale";
    m.photos[0].faceWidth = 120;
    m.photos[0].embedding = std::vector<float>(512, 0.04f);
    const Member checked = check(m);
    expectRejected(checked.photos[0], "No face found");
}

TEST_F(EnrollPhotos, FilesThatAreNotReadableImagesAreRejectedAndTheCheckGoesOn) {
    const fs::path text = dir / "notes.jpg";
    std::ofstream(text) << "not a picture at all\n";
    const fs::path empty = dir / "empty.png";
    std::ofstream{empty};
    // Half of a real JPEG: the decoder sees the start of a picture and then runs out.
    const fs::path cut = dir / "cut.jpg";
    {
        std::ifstream in(person("Joe Biden", "biden.jpg"), std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream(cut, std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    }
    const Member checked = check(
        memberWith("M0001", "Joe Biden", {text, empty, cut, person("Joe Biden", "biden.jpg")}));
    expectRejected(checked.photos[0], "Couldn't open this image");
    expectRejected(checked.photos[1], "Couldn't open this image");
    expectRejected(checked.photos[2], "Couldn't open this image");
    expectAccepted(checked.photos[3], "the good photo after them");
}

TEST_F(EnrollPhotos, PlantedLinksAndSpecialFilesNeitherBlockNorWriteOutside) {
    Member m = memberWith("M0001", "Joe Biden", {person("Joe Biden", "biden.jpg")});
    // A face picture that is a link is replaced, its target untouched.
    const fs::path target = dir / "precious.jpg";
    std::ofstream(target) << "not to be overwritten";
    fs::create_symlink(target, library->thumbURL("M0001"));
    // A photo that is a FIFO would block the check; one that is /dev/zero would never end.
    fs::path folder = library->membersDir() / "M0001";
    ASSERT_EQ(::mkfifo((folder / "fifo.jpg").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", folder / "zero.jpg");
    m.photos.emplace_back("fifo.jpg", Date{});
    m.photos.emplace_back("zero.jpg", Date{});
    // A picture declaring far more pixels than any photo says so.
    // (Written afresh: the camera's file holds a thumbnail with a frame header of its own.)
    std::ifstream in(writePhoto(loadPhoto(person("Joe Biden", "biden.jpg")), "plain.jpg"),
                     std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t sof = bytes.find("\xFF\xC0");
    ASSERT_NE(sof, std::string::npos);
    bytes[sof + 5] = bytes[sof + 7] = char(0x4E); // 0x4E20 = 20000
    bytes[sof + 6] = bytes[sof + 8] = char(0x20);
    std::ofstream(folder / "huge.jpg", std::ios::binary) << bytes;
    m.photos.emplace_back("huge.jpg", Date{});

    const Member checked = check(m);
    expectAccepted(checked.photos[0], "the real photo");
    expectRejected(checked.photos[1], "Couldn't open this image");
    expectRejected(checked.photos[2], "Couldn't open this image");
    expectRejected(checked.photos[3], "This photo is too large (20000 \u00d7 20000)");
    EXPECT_FALSE(fs::is_symlink(library->thumbURL("M0001")));
    EXPECT_TRUE(BGRAImage::load(library->thumbURL("M0001"), 0));
    std::ifstream kept(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "not to be overwritten");
}

TEST_F(EnrollPhotos, MissingPhotoFileIsRejected) {
    Member m = memberWith("M0001", "Joe Biden", {person("Joe Biden", "biden.jpg")});
    m.photos.insert(m.photos.begin(), Photo("1741426200123_3F2A1C.jpg", Date{}));
    m.photos.insert(m.photos.begin(), Photo("../elsewhere.jpg", Date{}));
    const Member checked = check(m);
    expectRejected(checked.photos[0], "Couldn't open this image");
    expectRejected(checked.photos[1], "Couldn't open this image");
    expectAccepted(checked.photos[2], "the photo that is there");
}

TEST_F(EnrollPhotos, FaceShrunkBelowTheMinimumWidthGetsTheSizeMessage) {
    const BGRAImage original = loadPhoto(person("Barack Obama", "obama.jpg"));
    Enroller enroller(sharedEngine(), *library);
    auto [image, faces] = enroller.candidates(original);
    ASSERT_FALSE(faces.empty());
    // Shrink so that the face is about 60 pixels wide.
    const float factor = 60.0f / faces[0].width();
    ASSERT_LT(factor, 1.0f);
    const Member checked = check(
        memberWith("M0001", "Barack Obama", {writePhoto(shrunk(original, factor), "small.jpg")}));
    const Photo& p = checked.photos[0];
    EXPECT_TRUE(p.checked);
    EXPECT_FALSE(p.ok);
    EXPECT_GT(p.faceWidth, 40.0f);
    EXPECT_LT(p.faceWidth, 80.0f);
    char expected[80];
    std::snprintf(expected, sizeof expected, "Face too small (%.0f px; needs 80)", p.faceWidth);
    EXPECT_EQ(p.reason, expected);
    EXPECT_GT(p.quality, 0.0f) << "a rejected face still reports its quality";
    EXPECT_FALSE(p.embedding);
    EXPECT_FALSE(fs::exists(library->thumbURL("M0001")));
}

// The member's reference: the normalised sum of the embeddings of their accepted solo photos.
std::vector<float> referenceOf(const Member& m) {
    std::vector<float> sum(512, 0.0f);
    for (const Photo& p : m.photos)
        if (p.ok && p.reason.empty())
            for (std::size_t k = 0; k < 512; ++k)
                sum[k] += (*p.embedding)[k];
    return normalized(sum);
}

std::string groupNote(float similarity) {
    char text[100];
    std::snprintf(text, sizeof text,
                  "Group photo: picked the face matching their other photos (%.0f%%)",
                  similarity * 100.0f);
    return text;
}

TEST_F(EnrollPhotos, GroupPhotoIsResolvedAgainstTheMembersOtherPhotos) {
    for (const char* file : {"two_people.jpg", "obama_and_biden.jpg"}) {
        SCOPED_TRACE(file);
        const Member obama = check(memberWith("M0001", "Barack Obama",
                                              {person("Barack Obama", "obama.jpg"), group(file),
                                               person("Barack Obama", "obama2.jpg")}));
        const Member biden = check(
            memberWith("M0002", "Joe Biden", {group(file), person("Joe Biden", "biden.jpg")}));
        const Photo& obamaInGroup = obama.photos[1];
        const Photo& bidenInGroup = biden.photos[0];
        ASSERT_TRUE(obamaInGroup.ok) << obamaInGroup.reason;
        ASSERT_TRUE(bidenInGroup.ok) << bidenInGroup.reason;
        ASSERT_TRUE(obamaInGroup.embedding && bidenInGroup.embedding);

        // The note carries the picked face's similarity to the member's solo photos.
        const std::vector<float> obamaRef = referenceOf(obama);
        const std::vector<float> bidenRef = referenceOf(biden);
        EXPECT_EQ(obamaInGroup.reason, groupNote(dot(*obamaInGroup.embedding, obamaRef)));
        EXPECT_EQ(bidenInGroup.reason, groupNote(dot(*bidenInGroup.embedding, bidenRef)));
        EXPECT_THAT(obamaInGroup.reason,
                    MatchesRegex("Group photo: picked the face matching their other photos "
                                 "\\([0-9]+%\\)"));

        // Each member got their own face out of the same photo.
        EXPECT_GT(dot(*obamaInGroup.embedding, obamaRef), dot(*obamaInGroup.embedding, bidenRef));
        EXPECT_GT(dot(*bidenInGroup.embedding, bidenRef), dot(*bidenInGroup.embedding, obamaRef));
        EXPECT_LT(dot(*obamaInGroup.embedding, *bidenInGroup.embedding), 0.45f);
        EXPECT_GE(obamaInGroup.faceWidth, 80.0f);
        EXPECT_GE(bidenInGroup.faceWidth, 80.0f);
    }
}

TEST_F(EnrollPhotos, GroupPhotoWithoutASoloPhotoOfTheMemberCannotBeResolved) {
    const Member alone = check(memberWith("M0001", "Joe Biden", {group("two_people.jpg")}));
    expectRejected(alone.photos[0],
                   "2 faces and no photo of just this member to tell which is them");
    const Member three = check(memberWith("M0002", "Joe Biden", {group("obama_and_biden.jpg")}));
    expectRejected(three.photos[0],
                   "3 faces and no photo of just this member to tell which is them");
    // A member who is not in the photo at all matches none of its faces well enough.
    const Member stranger = check(memberWith(
        "M0003", "Rose Leslie", {person("Rose Leslie", "leslie1.jpg"), group("two_people.jpg")}));
    expectAccepted(stranger.photos[0], "solo photo");
    expectRejected(stranger.photos[1], "2 faces; couldn't tell which one is them");
}

// Mean absolute difference of the colour channels of two images of the same size.
double meanDifference(const BGRAImage& a, const BGRAImage& b) {
    double sum = 0;
    for (std::size_t i = 0; i < a.data.size(); ++i)
        if (i % 4 != 3) sum += std::abs(int(a.data[i]) - int(b.data[i]));
    return sum / (a.data.size() * 3 / 4);
}

TEST_F(EnrollPhotos, FacePictureShowsTheBestAcceptedFaceAndGoesWhenNoneIsLeft) {
    const std::vector<fs::path> files{person("Barack Obama", "obama2.jpg"),
                                      person("Barack Obama", "obama.jpg"),
                                      sharedFaces() / "sizes" / "obama-240p.jpg"};
    const Member checked = check(memberWith("M0001", "Barack Obama", files));
    ASSERT_TRUE(checked.photos[0].ok && checked.photos[1].ok);
    EXPECT_FALSE(checked.photos[2].ok) << "too small";
    ASSERT_NE(checked.photos[0].quality, checked.photos[1].quality);
    const std::size_t best = checked.photos[1].quality > checked.photos[0].quality ? 1 : 0;

    const fs::path thumb = library->thumbURL("M0001");
    std::optional<BGRAImage> picture = BGRAImage::load(thumb, 3000);
    ASSERT_TRUE(picture);
    ASSERT_EQ(picture->width, 112);
    ASSERT_EQ(picture->height, 112);
    // It is the aligned crop of the best face (up to JPEG loss), not of the other one.
    std::vector<double> differences;
    for (std::size_t i = 0; i < 2; ++i) {
        Enroller enroller(sharedEngine(), *library);
        auto [image, faces] = enroller.candidates(loadPhoto(files[i]));
        faces.resize(1);
        sharedEngine().embed(image, faces);
        differences.push_back(meanDifference(*picture, *faces[0].crop));
    }
    EXPECT_LT(differences[best], 4.0);
    EXPECT_LT(differences[best] * 3, differences[1 - best]);

    // Without an accepted photo the picture goes.
    Member rejectedOnly = checked;
    rejectedOnly.photos.erase(rejectedOnly.photos.begin(), rejectedOnly.photos.begin() + 2);
    const Member afterRejection = check(rejectedOnly);
    EXPECT_FALSE(afterRejection.photos[0].ok);
    EXPECT_FALSE(fs::exists(thumb));

    // A member without photos comes back unchanged, and a stray picture is removed.
    ASSERT_TRUE(picture->writeJPEG(thumb, 0.9));
    Member empty = checked;
    empty.photos.clear();
    EXPECT_EQ(check(empty), empty);
    EXPECT_FALSE(fs::exists(thumb));
    // Nothing to remove is no failure either.
    EXPECT_EQ(check(empty), empty);
}

TEST_F(EnrollPhotos, PhotoFiledUnderTheWrongMemberIsNoticed) {
    // One photo of each filed under the other: both members are told, each once.
    const Member kit = check(memberWith(
        "M0001", "Kit Harington",
        {person("Kit Harington", "harington1.jpeg"), person("Rose Leslie", "leslie1.jpg")}));
    const Member rose = check(memberWith(
        "M0002", "Rose Leslie",
        {person("Rose Leslie", "leslie2.jpg"), person("Kit Harington", "harington2.jpeg")}));
    for (const Member* m : {&kit, &rose})
        for (const Photo& p : m->photos)
            ASSERT_TRUE(p.ok) << m->name << " " << p.reason;
    EXPECT_THAT(
        Enroller::mislabelWarnings({kit, rose}, 0.05f),
        ::testing::ElementsAre(
            "Kit Harington: a photo looks more like Rose Leslie. Check it's the right person.",
            "Rose Leslie: a photo looks more like Kit Harington. Check it's the right person."));

    // Filed correctly, nobody is warned.
    const Member kitRight = check(memberWith(
        "M0003", "Kit Harington",
        {person("Kit Harington", "harington1.jpeg"), person("Kit Harington", "harington2.jpeg")}));
    const Member roseRight = check(
        memberWith("M0004", "Rose Leslie",
                   {person("Rose Leslie", "leslie1.jpg"), person("Rose Leslie", "leslie2.jpg")}));
    EXPECT_THAT(Enroller::mislabelWarnings({kitRight, roseRight}, 0.05f), ::testing::IsEmpty());
}

TEST_F(EnrollPhotos, DetectorThatCannotRunIsReportedOnEveryPhoto) {
    // A models folder whose recogniser loads but whose detector file is damaged: the engine is
    // made, and every detection fails with the runtime's own message.
    const fs::path models = dir / "broken-models";
    fs::create_directories(models);
    fs::copy_file(convertedModels() / "ArcFace.onnx", models / "ArcFace.onnx");
    std::ofstream(models / "SCRFD640.onnx") << "not a model";
    FaceEngine broken(models);
    const Member checked = Enroller(broken, *library)
                               .check(memberWith("M0001", "Joe Biden",
                                                 {person("Joe Biden", "biden.jpg"),
                                                  person("Joe Biden", "biden.jpg")}));
    for (const Photo& p : checked.photos) {
        EXPECT_TRUE(p.checked);
        EXPECT_FALSE(p.ok);
        EXPECT_THAT(p.reason, ::testing::StartsWith("Couldn't analyse: "));
        EXPECT_GT(p.reason.size(), std::string("Couldn't analyse: ").size());
        EXPECT_EQ(p.faceWidth, 0.0f);
        EXPECT_FALSE(p.embedding);
    }
    EXPECT_FALSE(fs::exists(library->thumbURL("M0001")));
}

TEST_F(EnrollPhotos, CrowdOfTenComparableFacesIsCountedAsSix) {
    // Ten copies of one portrait side by side: ten faces of the same size, the middle ones
    // equally prominent. Only the six most prominent are looked at.
    const BGRAImage tile = loadPhoto(sharedFaces() / "sizes" / "obama_small.jpg");
    BGRAImage crowd(tile.width * 5, tile.height * 2);
    for (int row = 0; row < 2; ++row)
        for (int col = 0; col < 5; ++col)
            for (int y = 0; y < tile.height; ++y) {
                const std::size_t from = static_cast<std::size_t>(y) * tile.width * 4;
                const std::size_t to =
                    (static_cast<std::size_t>(row * tile.height + y) * crowd.width +
                     static_cast<std::size_t>(col) * tile.width) *
                    4;
                std::copy_n(tile.data.begin() + from, tile.width * 4, crowd.data.begin() + to);
            }
    Enroller enroller(sharedEngine(), *library);
    auto [image, faces] = enroller.candidates(crowd);
    ASSERT_EQ(faces.size(), 10u);
    const fs::path crowdFile = writePhoto(crowd, "crowd.jpg");

    const Member alone = check(memberWith("M0001", "Barack Obama", {crowdFile}));
    expectRejected(alone.photos[0],
                   "6 faces and no photo of just this member to tell which is them");
    // Every face matches the member equally well, so none leads.
    const Member withSolo = check(
        memberWith("M0002", "Barack Obama", {crowdFile, person("Barack Obama", "obama.jpg")}));
    expectRejected(withSolo.photos[0], "6 faces; couldn't tell which one is them");
    expectAccepted(withSolo.photos[1], "solo photo");
}

} // namespace
} // namespace tallymere
