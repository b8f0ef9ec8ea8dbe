#include "runs/AttendanceSession.h"

#include "library/Library.h"
#include "recognition/Aggregation.h"
#include "recognition/TrackDecision.h"
#include "runs/ProcessError.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

using namespace tallymere;
using tallymere::testing::TempDir;
namespace fs = std::filesystem;

namespace {

// a * axis i + b * axis j (a 512-value embedding; unit length when a² + b² = 1).
std::vector<float> mix(float a, int i, float b = 0, int j = 1) {
    std::vector<float> v(512, 0.0f);
    v[static_cast<std::size_t>(i)] += a;
    v[static_cast<std::size_t>(j)] += b;
    return v;
}

// A face whose embedding scores `score` against axis `i` (its remainder along axis 500 + i).
std::vector<float> scoring(float score, int i) {
    return mix(score, i, std::sqrt(1.0f - score * score), 500 + i);
}

Member member(const std::string& id, const std::string& name,
              const std::vector<std::vector<float>>& embeddings) {
    Member m;
    m.id = id;
    m.name = name;
    for (std::size_t k = 0; k < embeddings.size(); ++k) {
        Photo p("p" + std::to_string(k) + ".jpg", {});
        p.checked = true;
        p.ok = true;
        p.embedding = embeddings[k];
        m.photos.push_back(p);
    }
    return m;
}

// A square face `w` wide at (x, y) with an embedding and, unless told otherwise, a crop.
Face face(float x, float y, float w, std::vector<float> embedding, bool withCrop = true) {
    Face f;
    f.box = {x, y, x + w, y + w};
    f.kps = std::vector<Point>(5, Point{x + w / 2, y + w / 2});
    f.score = 0.9f;
    f.blur = 200;
    f.frontal = 1;
    f.embedding = std::move(embedding);
    if (withCrop) f.crop = BGRAImage(112, 112);
    return f;
}

struct Fixture {
    TempDir dir;
    Library library{dir / "library"};
    fs::path serviceDir = dir / "library" / "services" / "S1";
};

} // namespace

TEST(AttendanceSession, RefusesAGalleryWithoutEmbeddings) {
    Fixture fx;
    Member noPhotos = member("M0001", "Ann", {});
    Member rejected = member("M0002", "Bo", {mix(1, 0)});
    rejected.photos[0].ok = false;
    try {
        AttendanceSession session({noPhotos, rejected}, fx.library, {}, false);
        ADD_FAILURE() << "a session without recognisable members was created";
    } catch (const ProcessError& e) {
        EXPECT_EQ(e.kind(), ProcessError::Kind::noMembers);
    }
    AttendanceSession session({noPhotos, member("M0003", "Cy", {mix(1, 0)})}, fx.library, {},
                              false);
    EXPECT_EQ(session.gallery().memberIDs, std::vector<std::string>{"M0003"});
    EXPECT_EQ(session.frames(), 0);
}

TEST(AttendanceSession, OnScreenLabelsFollowThresholdsMarginAndSightings) {
    Fixture fx;
    ProcessSettings s; // threshold 0.40, strong 0.55, margin 0.06, two sightings
    AttendanceSession session({member("M0001", "Ann", {mix(1, 0)}),
                               member("M0002", "Bo", {mix(1, 1)}),
                               member("M0003", "Cy", {mix(1, 2)})},
                              fx.library, s, false);

    // Too small to identify: no member, score 0, whatever it looks like.
    auto small = session.ingest({face(10, 10, 20, mix(1, 0))}, 0.0, 0);
    ASSERT_EQ(small.size(), 1u);
    EXPECT_EQ(small[0].id, 0);
    EXPECT_EQ(small[0].box, (Box{10, 10, 30, 30}));
    EXPECT_FALSE(small[0].memberID);
    EXPECT_EQ(small[0].score, 0.0f);

    // One sighting at 0.50: above the threshold but neither strong nor seen twice.
    auto once = session.ingest({face(400, 10, 60, scoring(0.5f, 1))}, 1.0, 1);
    ASSERT_EQ(once.size(), 1u);
    EXPECT_FALSE(once[0].memberID);
    EXPECT_NEAR(once[0].score, 0.5f, 1e-6);
    // A second identifying sighting at the same place names the member.
    auto twice = session.ingest({face(400, 10, 60, scoring(0.5f, 1))}, 2.0, 2);
    ASSERT_EQ(twice.size(), 1u);
    EXPECT_EQ(twice[0].id, once[0].id);
    EXPECT_EQ(twice[0].memberID, "M0002");

    // 0.50 against a runner-up at 0.48: within the margin, so no name, but the score shows.
    std::vector<float> close = mix(0.5f, 2, 0.48f, 0);
    close[300] = std::sqrt(1 - 0.5f * 0.5f - 0.48f * 0.48f);
    auto ambiguous =
        session.ingest({face(400, 10, 60, scoring(0.5f, 1)), face(800, 400, 60, close)}, 3.0, 3);
    ASSERT_EQ(ambiguous.size(), 2u);
    EXPECT_EQ(ambiguous[0].memberID, "M0002");
    EXPECT_FALSE(ambiguous[1].memberID);
    EXPECT_NEAR(ambiguous[1].score, 0.5f, 1e-6);
    EXPECT_EQ(session.frames(), 4);
    EXPECT_EQ(session.lastT(), 3.0);

    // A strong match is named at once.
    auto strong = session.ingest({face(800, 800, 60, scoring(0.7f, 0))}, 4.0, 4);
    EXPECT_EQ(strong[0].memberID, "M0001");
}

TEST(AttendanceSession, LabelsOnlyTheMostRecentFourHundredTracks) {
    Fixture fx;
    AttendanceSession session({member("M0001", "Ann", {mix(1, 0)})}, fx.library, {}, false);
    auto first = session.ingest({face(0, 0, 30, scoring(0.9f, 0))}, 0.0, 0);
    EXPECT_EQ(first[0].memberID, "M0001");

    // The same face again, with 400 new faces far apart: its track is now older than the last
    // 400 and gets no label, while a new strong track still does.
    std::vector<Face> faces{face(0, 0, 30, scoring(0.9f, 0))};
    for (int k = 0; k < 400; ++k)
        faces.push_back(face(200.0f + 200.0f * (k % 20), 200.0f + 200.0f * (k / 20), 30,
                             k == 399 ? scoring(0.9f, 0) : mix(1, 7)));
    auto labels = session.ingest(faces, 1.0, 1);
    ASSERT_EQ(labels.size(), 401u);
    EXPECT_EQ(labels[0].id, 0);
    EXPECT_FALSE(labels[0].memberID);
    EXPECT_EQ(labels[0].score, 0.0f);
    EXPECT_EQ(labels[400].id, 400);
    EXPECT_EQ(labels[400].memberID, "M0001");
}

TEST(AttendanceSession, PresenceKeepsTheBestScoreAndEarliestSighting) {
    Fixture fx;
    AttendanceSession session(
        {member("M0001", "Ann", {mix(1, 0)}), member("M0002", "Bo", {mix(1, 1)})}, fx.library, {},
        false);
    EXPECT_TRUE(session.presence().empty());
    // Ann on two tracks far apart: 0.6 from 30 s, 0.7 from 10 s; Bo from 20 s.
    session.ingest({face(900, 0, 60, scoring(0.7f, 0))}, 10.0, 0);
    session.ingest({face(900, 0, 60, scoring(0.7f, 0))}, 11.0, 1);
    session.ingest({face(0, 500, 60, scoring(0.8f, 1))}, 20.0, 2);
    session.ingest({face(0, 0, 60, scoring(0.6f, 0))}, 30.0, 3);
    auto present = session.presence();
    ASSERT_EQ(present.size(), 2u);
    EXPECT_EQ(present[0].memberID, "M0001");
    EXPECT_NEAR(present[0].score, 0.7f, 1e-6);
    EXPECT_EQ(present[0].firstSeen, 10.0);
    EXPECT_EQ(present[1].memberID, "M0002");
    EXPECT_EQ(present[1].firstSeen, 20.0);
}

TEST(AttendanceSession, TimeGapsSplitTracksOnlyForRecordings) {
    Fixture fx;
    ProcessSettings s; // tracks end after 6 s unseen
    for (bool stills : {false, true}) {
        AttendanceSession session({member("M0001", "Ann", {mix(1, 0)})}, fx.library, s, stills);
        session.ingest({face(100, 100, 60, scoring(0.9f, 0))}, 0.0, 0);
        session.ingest({face(100, 100, 60, scoring(0.9f, 0))}, 10.0, 1);
        EXPECT_EQ(session.tracker().tracks().size(), stills ? 1u : 2u) << "stills " << stills;
    }
}

TEST(AttendanceSession, FinishWritesTheRegisterSnapshotsAndVisitors) {
    Fixture fx;
    // An earlier run's snapshots, to be replaced.
    fs::create_directories(fx.serviceDir / "evidence");
    fs::create_directories(fx.serviceDir / "visitors");
    std::ofstream(fx.serviceDir / "evidence" / "M0009.jpg") << "old";
    std::ofstream(fx.serviceDir / "visitors" / "visitor_004.jpg") << "old";
    std::ofstream(fx.serviceDir / "service.json") << "{}";

    std::vector<Member> members{
        member("M0001", "bob", {mix(1, 0)}),         member("M0002", "Alice", {mix(1, 1)}),
        member("M0003", "Zed", {mix(1, 2)}),         member("M0004", "alice", {mix(1, 3)}),
        member("M0005", "E\u0301mile", {mix(1, 4)}), // decomposed É
        member("M0006", "\u00c9lise", {mix(1, 5)})};
    ProcessSettings s;
    AttendanceSession session(members, fx.library, s, false);
    // Zed present for three frames; two strangers (unlike anyone enrolled) for three frames each,
    // the first never seen with a crop; one stranger for two frames only.
    for (int k = 0; k < 3; ++k) {
        const double t = k;
        session.ingest({face(0, 0, 60, scoring(0.9f, 2)), face(300, 0, 60, mix(1, 100), false),
                        face(600, 0, 60, mix(1, 200)),
                        face(900, 0, 60, k < 2 ? mix(1, 300) : mix(1, 301))},
                       t + 5, k * 30);
    }
    const ServiceResults r = session.finish(fx.serviceDir, 12.5, 3.25, false);

    std::vector<std::string> order;
    for (const auto& m : r.members)
        order.push_back(m.memberID);
    // Present first, then the absent in code-point order of the composed names: capitals before
    // lower case, and the decomposed "Émile" sorts as "É", after "bob" and after "Élise".
    EXPECT_EQ(order,
              (std::vector<std::string>{"M0003", "M0002", "M0004", "M0001", "M0006", "M0005"}));
    const MemberResult& zed = r.members[0];
    EXPECT_TRUE(zed.present);
    EXPECT_EQ(zed.firstSeen, 5.0);
    EXPECT_EQ(zed.lastSeen, 7.0);
    EXPECT_EQ(zed.sightings, 3);
    EXPECT_EQ(zed.evidenceFile, "evidence/M0003.jpg");
    EXPECT_TRUE(BGRAImage::load(fx.serviceDir / "evidence" / "M0003.jpg", 500));
    for (std::size_t i = 1; i < r.members.size(); ++i) {
        EXPECT_FALSE(r.members[i].present);
        EXPECT_FALSE(r.members[i].evidenceFile);
    }

    // Two unknown clusters of one track each, in order of appearance: the first has no crop and
    // gives no visitor, so the one visitor keeps its own number.
    ASSERT_EQ(r.visitors.size(), 1u);
    EXPECT_EQ(r.visitors[0].id, "V1");
    EXPECT_EQ(r.visitors[0].imageFile, "visitors/visitor_001.jpg");
    EXPECT_EQ(r.visitors[0].firstSeen, 5.0);
    EXPECT_EQ(r.visitors[0].sightings, 3);
    EXPECT_TRUE(BGRAImage::load(fx.serviceDir / "visitors" / "visitor_001.jpg", 500));

    // The earlier run's snapshots are gone; the rest of the folder is untouched.
    EXPECT_FALSE(fs::exists(fx.serviceDir / "evidence" / "M0009.jpg"));
    EXPECT_FALSE(fs::exists(fx.serviceDir / "visitors" / "visitor_004.jpg"));
    EXPECT_TRUE(fs::exists(fx.serviceDir / "service.json"));

    EXPECT_EQ(r.framesAnalysed, 3);
    EXPECT_EQ(r.durationSeconds, 12.5);
    EXPECT_EQ(r.processingSeconds, 3.25);
    EXPECT_EQ(r.membersEnrolled, 6);
    EXPECT_EQ(r.model, "InsightFace buffalo_l (SCRFD-10G + ArcFace R50) \u00b7 ONNX");
    EXPECT_EQ(r.settings, s);
}

TEST(AttendanceSession, FinishWithNobodyPresentLeavesEmptySnapshotFolders) {
    Fixture fx;
    AttendanceSession session({member("M0001", "Ann", {mix(1, 0)})}, fx.library, {}, false,
                              "test models");
    const ServiceResults r = session.finish(fx.serviceDir, 0, 0, false);
    EXPECT_EQ(r.model, "test models");
    ASSERT_EQ(r.members.size(), 1u);
    EXPECT_FALSE(r.members[0].present);
    EXPECT_FALSE(r.members[0].firstSeen);
    EXPECT_TRUE(r.visitors.empty());
    EXPECT_TRUE(fs::is_directory(fx.serviceDir / "evidence"));
    EXPECT_TRUE(fs::is_empty(fx.serviceDir / "evidence"));
    EXPECT_TRUE(fs::is_empty(fx.serviceDir / "visitors"));

    // A folder that cannot be made fails the end of the run with the file system's error.
    const fs::path blocked = fx.dir / "blocked";
    std::ofstream(blocked) << "a file where the service folder should be";
    EXPECT_THROW(session.finish(blocked, 0, 0, false), fs::filesystem_error);
}

TEST(AttendanceSession, AMemberIdThatIsNotAFileNameGetsNoSnapshot) {
    Fixture fx;
    AttendanceSession session({member("../M0001", "Ann", {mix(1, 0)})}, fx.library, {}, false);
    session.ingest({face(0, 0, 60, scoring(0.9f, 0))}, 0, 0);
    const ServiceResults r = session.finish(fx.serviceDir, 1, 1, false);
    ASSERT_EQ(r.members.size(), 1u);
    EXPECT_TRUE(r.members[0].present);
    EXPECT_FALSE(r.members[0].evidenceFile);
    EXPECT_FALSE(fs::exists(fx.serviceDir / "M0001.jpg"));
}

TEST(AttendanceSession, ASnapshotThatCouldNotBeWrittenIsNotRecorded) {
    Fixture fx;
    AttendanceSession session({member("M0001", "Ann", {mix(1, 0)})}, fx.library, {}, false);
    // Crops that cannot be encoded (no pixels) stand for any failed write.
    Face known = face(0, 0, 60, scoring(0.9f, 0));
    Face stranger = face(300, 0, 60, mix(1, 200));
    known.crop = BGRAImage();
    stranger.crop = BGRAImage();
    for (int k = 0; k < 3; ++k)
        session.ingest({known, stranger}, k, k);
    const ServiceResults r = session.finish(fx.serviceDir, 3, 1, false);
    ASSERT_EQ(r.members.size(), 1u);
    EXPECT_TRUE(r.members[0].present);
    EXPECT_FALSE(r.members[0].evidenceFile);
    EXPECT_TRUE(r.visitors.empty());
    EXPECT_TRUE(fs::is_empty(fx.serviceDir / "evidence"));
    EXPECT_TRUE(fs::is_empty(fx.serviceDir / "visitors"));
}

namespace {

// The presence list as deciding every track again gives it.
std::vector<LivePresence> literalPresence(const std::vector<TrackDecision>& decisions) {
    std::vector<LivePresence> entries;
    for (const TrackDecision& d : decisions) {
        if (!d.memberID) continue;
        auto found = std::find_if(entries.begin(), entries.end(),
                                  [&](const LivePresence& e) { return e.memberID == *d.memberID; });
        if (found == entries.end()) {
            entries.push_back(LivePresence{*d.memberID, d.score, d.firstT});
        } else {
            found->score = std::max(found->score, d.score);
            found->firstSeen = std::min(found->firstSeen, d.firstT);
        }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const auto& a, const auto& b) { return a.firstSeen < b.firstSeen; });
    return entries;
}

std::string fileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

TEST(AttendanceSession, ReusedDecisionsAndClosedTracksGiveTheResultsOfDecidingAllAgain) {
    Fixture fx;
    std::vector<Member> members;
    for (int i = 0; i < 8; ++i)
        members.push_back(
            member("M000" + std::to_string(i + 1), "P" + std::to_string(i), {mix(1, i)}));
    ProcessSettings s;
    AttendanceSession session(members, fx.library, s, false);
    // The same faces through a tracker of its own, every track decided again at every step.
    Tracker reference(s.trackMaxGap, s.trackMinSim);

    std::mt19937 rng(4);
    std::uniform_real_distribution<float> uniform(0, 1);
    for (int frame = 0; frame < 400; ++frame) {
        const double t = frame * 0.5;
        std::vector<Face> faces;
        // Ten members and strangers in seats, each seen in spells of a few seconds; some look
        // like two members at once, some are too small to identify.
        for (int k = 0; k < 12; ++k) {
            if (std::sin(t / (3 + k) + k) < 0.2 || uniform(rng) < 0.15f) continue;
            const float x = float(k) * 150;
            std::vector<float> e = k < 8 ? scoring(0.3f + uniform(rng) * 0.6f, k) : mix(1, 100 + k);
            if (k == 7) e = mix(0.6f, 6, 0.6f + uniform(rng) * 0.1f, 7);
            Face f = face(x + uniform(rng) * 4, 20, k == 3 ? 22 : 60, normalized(e));
            f.frontal = uniform(rng);
            std::fill(f.crop->data.begin(), f.crop->data.end(), std::uint8_t(frame));
            faces.push_back(std::move(f));
        }
        session.ingest(faces, t, frame);
        reference.update(faces, t, frame, s.minEmbedFacePx);
        if (frame % 3 == 0) {
            ASSERT_EQ(session.presence(),
                      literalPresence(decide(reference.tracks(), session.gallery(), s)))
                << frame;
        }
    }
    ASSERT_GT(reference.tracks().size(), 30u); // tracks did close and start again

    const ServiceResults r = session.finish(fx.serviceDir, 200, 1, false);
    const auto decisions = decide(reference.tracks(), session.gallery(), s);
    Aggregation expected = aggregate(session.gallery().memberIDs, reference.tracks(), decisions);
    ASSERT_EQ(r.members.size(), expected.members.size());
    for (const MemberResult& e : expected.members) {
        const auto got =
            std::find_if(r.members.begin(), r.members.end(),
                         [&](const MemberResult& m) { return m.memberID == e.memberID; });
        ASSERT_NE(got, r.members.end());
        MemberResult withoutFile = *got;
        withoutFile.evidenceFile.reset();
        EXPECT_EQ(withoutFile, e) << e.memberID;
        if (!e.present) continue;
        // The snapshot is the best crop encoded as it always was, even when its track closed
        // long before the end.
        const auto jpeg = expected.bestTracks.at(e.memberID)->bestCrop->encodeJPEG(0.9);
        ASSERT_TRUE(jpeg);
        EXPECT_EQ(fileBytes(fx.serviceDir / *got->evidenceFile),
                  std::string(jpeg->begin(), jpeg->end()));
    }
    const auto clusters = clusterUnknowns(reference.tracks(), decisions, s, false);
    ASSERT_EQ(r.visitors.size(), clusters.size());
    for (std::size_t k = 0; k < clusters.size(); ++k) {
        int sightings = 0;
        for (const auto& track : clusters[k])
            sightings += track->sightings;
        EXPECT_EQ(r.visitors[k].sightings, sightings);
    }
    // Closed tracks kept no more than the register needs.
    std::size_t released = 0;
    for (const auto& track : session.tracker().tracks())
        if (!session.tracker().isOpen(*track)) {
            EXPECT_TRUE(track->top.empty());
            EXPECT_TRUE(track->embSum.empty());
            EXPECT_FALSE(track->bestCrop);
            ++released;
        }
    EXPECT_GT(released, 20u);
}

TEST(AttendanceSession, AFaceInItsPlaceIsEmbeddedAgainOnlyWhenItsTrackNeedsIt) {
    Fixture fx;
    ProcessSettings s;
    s.reembedSeconds = 3;
    AttendanceSession session({member("M0001", "Ann", {mix(1, 0)})}, fx.library, s, false);
    // Aligned crops of two looks: stripes across, and stripes down.
    const auto striped = [](bool across) {
        BGRAImage crop(112, 112);
        for (int y = 0; y < 112; ++y)
            for (int x = 0; x < 112; ++x)
                for (int c = 0; c < 3; ++c)
                    crop.data[static_cast<std::size_t>((y * 112 + x) * 4 + c)] =
                        ((across ? y : x) / 14) % 2 ? 200 : 40;
        return crop;
    };
    Face seen = face(100, 100, 60, scoring(0.9f, 0));
    seen.blur = 100; // room to be sharper
    seen.crop = striped(true);
    Face bare = seen;
    bare.embedding.clear();
    using Needs = std::vector<bool>;
    // Until three identifying sightings, every face is embedded.
    for (int frame = 0; frame < 3; ++frame) {
        EXPECT_EQ(session.needsEmbedding({bare}, frame), Needs{true}) << frame;
        session.ingest({seen}, frame, frame);
    }
    EXPECT_EQ(session.needsEmbedding({bare}, 3), Needs{false});
    session.ingest({bare}, 3, 3);
    const Track& track = *session.tracker().tracks()[0];
    EXPECT_EQ(track.sightings, 4);
    EXPECT_EQ(track.idSightings, 3);
    // The last embedding vouches for less than reembedSeconds.
    EXPECT_EQ(session.needsEmbedding({bare}, 4.9), Needs{false});
    EXPECT_EQ(session.needsEmbedding({bare}, 5), Needs{true});
    // A larger or sharper view than the track's best is embedded at once.
    Face larger = bare;
    larger.box.x2 += 6;
    larger.box.y2 += 6;
    Face sharper = bare;
    sharper.blur = 120;
    EXPECT_EQ(session.needsEmbedding({larger}, 4), Needs{true});
    EXPECT_EQ(session.needsEmbedding({sharper}, 4), Needs{true});
    // So is a face in the place that looks unlike the track's last embedded one: someone else.
    Face someoneElse = bare;
    someoneElse.crop = striped(false);
    EXPECT_EQ(session.needsEmbedding({someoneElse}, 4), Needs{true});
    // A neighbour close enough to be taken for the same person: both embedded.
    EXPECT_EQ(session.needsEmbedding({bare, face(125, 100, 60, {})}, 4), (Needs{true, true}));

    // Never without the interval, nor for still images; and a track first earns the identifying
    // sightings a visitor needs (6 at two frames a second).
    ProcessSettings off = s;
    off.reembedSeconds = 0;
    ProcessSettings dense = s;
    dense.sampleFPS = 2;
    for (const auto& [settings, stills, frames] :
         {std::tuple{off, false, 3}, std::tuple{s, true, 3}, std::tuple{dense, false, 5}}) {
        AttendanceSession other({member("M0001", "Ann", {mix(1, 0)})}, fx.library, settings,
                                stills);
        for (int frame = 0; frame < frames; ++frame)
            other.ingest({seen}, frame * 0.5, frame);
        EXPECT_EQ(other.needsEmbedding({bare}, frames * 0.5), Needs{true});
    }
}
