// The operator's corrections to a register: stored beside the automatic results, followed by the
// register everywhere it is read.

#include "library/Json.h"
#include "library/OpenLibrary.h"
#include "library/Register.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using Decision = MemberCorrection::Decision;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

std::string fileText(const fs::path& path) {
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

MemberResult result(std::string id, bool present, float confidence, int sightings,
                    std::string reason = {}) {
    MemberResult r;
    r.memberID = std::move(id);
    r.present = present;
    r.confidence = confidence;
    r.sightings = sightings;
    if (sightings > 0) {
        r.firstSeen = 10.0 * sightings;
        r.lastSeen = 100.0 * sightings;
        r.evidenceFile = "evidence/" + r.memberID + ".jpg";
    }
    r.needsReview = !reason.empty();
    r.reviewReason = std::move(reason);
    return r;
}

// A register of the held-out kind: a confident match, a low-confidence one, a wrong match, two
// members the camera missed and two visitors, one of whom is one of those members.
struct Fixture {
    testing::TempDir dir;
    OpenLibrary library{dir.path() / "library"};
    std::string anne, bob, carl, dora, eve, id = "20260301-100000-aaaa";

    Fixture() {
        anne = library.addMember("Anne").id;
        bob = library.addMember("Bob").id;
        carl = library.addMember("Carl").id;
        dora = library.addMember("Dora").id;
        eve = library.addMember("Eve").id;
        Service service(id, "Sunday", {}, {}, {"/rec.mp4"}, ProcessSettings::Mode::standard);
        service.status = ServiceStatus::done;
        ServiceResults results;
        results.members = {
            result(anne, true, 0.91f, 3), result(bob, true, 0.52f, 1, "low-confidence match"),
            result(dora, true, 0.61f, 2), result(carl, false, 0, 0), result(eve, false, 0, 0)};
        results.visitors = {{"V1", "visitors/V1.jpg", 5, 4}, {"V2", "visitors/V2.jpg", 65, 7}};
        service.results = results;
        library.addService(service);
        fs::create_directories(library.library().serviceDir(id) / "visitors");
        std::ofstream(library.library().serviceDir(id) / "visitors/V2.jpg") << "face";
    }
    std::vector<std::string> csv() {
        return lines(library.library().csv(library.service(id), library.members()));
    }
    // The automatic results as stored.
    std::string storedResults() {
        const Json json = parseJSON(fileText(library.library().serviceDir(id) / "service.json"));
        return json.at("results").dump();
    }
};

const char* header =
    "member_id,name,status,confidence,first_seen,last_seen,sightings,needs_review,review_reason";

TEST(Corrections, TheRegisterFollowsEachDecisionAndRestoreUndoesIt) {
    Fixture f;
    const auto automatic = f.csv();
    ASSERT_EQ(automatic,
              (std::vector<std::string>{
                  header, "M0001,\"Anne\",present,0.910,0:00:30,0:05:00,3,,\"\"",
                  "M0002,\"Bob\",present,0.520,0:00:10,0:01:40,1,yes,"
                  "\"low-confidence match\"",
                  "M0004,\"Dora\",present,0.610,0:00:20,0:03:20,2,,\"\"",
                  "M0003,\"Carl\",absent,,,,0,,\"\"", "M0005,\"Eve\",absent,,,,0,,\"\""}));
    const std::string results = f.storedResults();

    f.library.decide(f.id, f.bob, Decision::confirmed);
    f.library.decide(f.id, f.carl, Decision::present);
    f.library.decide("latest", f.dora, Decision::absent);
    const Service named = f.library.nameVisitor(f.id, "V2", f.eve);
    EXPECT_EQ(f.storedResults(), results);

    // Present first, by name, with the operator's lines needing no review.
    EXPECT_EQ(f.csv(), (std::vector<std::string>{
                           header, "M0001,\"Anne\",present,0.910,0:00:30,0:05:00,3,,\"\"",
                           "M0002,\"Bob\",present,0.520,0:00:10,0:01:40,1,,"
                           "\"confirmed by operator\"",
                           "M0003,\"Carl\",present,,,,0,,\"marked present by operator\"",
                           "M0005,\"Eve\",present,,0:01:05,,7,,\"marked present by operator\"",
                           "M0004,\"Dora\",absent,,,,0,,\"marked absent by operator\""}));
    const Register shown = correctedRegister(named, f.library.members());
    EXPECT_EQ(shown.present(), 4);
    EXPECT_EQ(shown.absent(), 1);
    EXPECT_EQ(shown.needsReview(), 0);
    ASSERT_EQ(shown.visitors.size(), 1u);
    EXPECT_EQ(shown.visitors[0].id, "V1");
    EXPECT_EQ(shown.lines[3].result.evidenceFile, "visitors/V2.jpg");
    EXPECT_EQ(shown.lines[3].visitor->id, "V2");
    EXPECT_EQ(shown.lines[4].correction->decision, Decision::absent);

    // A later decision replaces an earlier one.
    f.library.decide(f.id, f.dora, Decision::confirmed);
    EXPECT_EQ(f.csv()[4],
              "M0004,\"Dora\",present,0.610,0:00:20,0:03:20,2,,\"confirmed by operator\"");

    // Restoring Eve takes the visitor link back too; the stored file then has no corrections.
    for (const std::string& member : {f.bob, f.carl, f.dora, f.eve})
        f.library.restoreAutomatic(f.id, member);
    EXPECT_EQ(f.csv(), automatic);
    EXPECT_EQ(f.storedResults(), results);
    EXPECT_EQ(fileText(f.library.library().serviceDir(f.id) / "service.json").find("corrections"),
              std::string::npos);
    OpenLibrary reopened(f.dir.path() / "library");
    EXPECT_EQ(correctedRegister(reopened.service(f.id), reopened.members()).visitors.size(), 2u);
}

TEST(Corrections, ANamedVisitorsSnapshotBecomesAPhotoOfTheMember) {
    Fixture f;
    EXPECT_THROW(f.library.addVisitorPhoto(f.id, "V2"), LibraryError); // not named yet
    f.library.decide(f.id, f.dora, Decision::absent);
    f.library.nameVisitor(f.id, "V2", f.eve);
    const std::vector<Photo> photos = f.library.addVisitorPhoto(f.id, "V2");
    ASSERT_EQ(photos.size(), 1u);
    EXPECT_FALSE(photos[0].checked);
    EXPECT_EQ(f.library.member(f.eve).photos.size(), 1u);
    EXPECT_EQ(fileText(f.library.library().photoURL(f.eve, photos[0].id)), "face");

    // A deleted member's decision stays on the register under their id; deleting them changes
    // no stored service.
    const fs::path stored = f.library.library().serviceDir(f.id) / "service.json";
    const std::string before = fileText(stored);
    f.library.removeMember(f.dora);
    EXPECT_EQ(fileText(stored), before);
    EXPECT_EQ(f.csv()[4], "M0004,\"M0004\",absent,,,,0,,\"marked absent by operator\"");
}

TEST(Corrections, RefusalsNameWhatIsWrong) {
    Fixture f;
    const auto fails = [](auto action, const std::string& text, LibraryError::Kind kind) {
        try {
            action();
            ADD_FAILURE() << "accepted: " << text;
        } catch (const LibraryError& error) {
            EXPECT_EQ(error.what(), text);
            EXPECT_EQ(error.kind(), kind);
        }
    };
    using Kind = LibraryError::Kind;
    fails([&] { f.library.decide("nope", f.anne, Decision::absent); }, "No service with ID nope.",
          Kind::unknownService);
    fails([&] { f.library.decide(f.id, "M0042", Decision::absent); }, "No member with ID M0042.",
          Kind::unknownMember);
    const std::string late = f.library.addMember("Fay").id;
    fails([&] { f.library.nameVisitor(f.id, "V1", late); },
          "M0006 Fay was not on the register of \"Sunday\": it holds the members who could be "
          "recognised when it was processed, not those enrolled later or without usable photos "
          "then.",
          Kind::general);
    fails([&] { f.library.nameVisitor(f.id, "V9", f.anne); },
          "The service \"Sunday\" has no visitor V9.", Kind::unknownVisitor);
    Service queued("20260302-100000-bbbb", "Monday", {}, {}, {}, ProcessSettings::Mode::standard);
    f.library.addService(queued);
    fails([&] { f.library.restoreAutomatic(queued.id, f.anne); },
          "The service \"Monday\" (20260302-100000-bbbb) has no register to correct yet.",
          Kind::general);
    EXPECT_TRUE(f.library.service(f.id).corrections.empty());
}

TEST(Corrections, StoredAsOneOptionalKeyThatOlderFilesLack) {
    Service service("s", "Sunday", {}, {}, {}, ProcessSettings::Mode::standard);
    service.results = ServiceResults{};
    const std::string before = encodeJSON(service);
    EXPECT_EQ(before.find("corrections"), std::string::npos);
    EXPECT_TRUE(decodeJSON<Service>(before).corrections.empty());

    const Date decided = wholeSeconds(std::chrono::system_clock::now());
    service.corrections.members = {{"M0001", Decision::present, decided},
                                   {"M0002", Decision::absent, decided},
                                   {"M0003", Decision::confirmed, decided}};
    service.corrections.visitors = {{"V1", "M0001", decided}};
    service.corrections.unknownKeys["note"] = "\"from a newer version\"";
    const std::string after = encodeJSON(service);

    // Every other key is written as before: a reader that does not know the new key (which
    // keeps unknown keys) sees the same service.
    Json withoutKey = parseJSON(after);
    EXPECT_TRUE(withoutKey.at("corrections").at("members")[2].at("confirmed").get<bool>());
    EXPECT_FALSE(withoutKey.at("corrections").at("members")[1].at("present").get<bool>());
    withoutKey.erase("corrections");
    EXPECT_EQ(jsonText(withoutKey), before);
    EXPECT_EQ(decodeJSON<Service>(after).corrections, service.corrections);

    // A decision that is neither present, absent nor confirmed does not read.
    Json bad = parseJSON(after);
    bad["corrections"]["members"][2].erase("confirmed");
    EXPECT_THROW(decodeJSON<Service>(jsonText(bad)), LibraryError);
}

} // namespace
} // namespace tallymere
