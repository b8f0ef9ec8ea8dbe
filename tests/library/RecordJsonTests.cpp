// The stored JSON form of the library records and the processing settings: what is written (keys,
// number and date forms, optional keys), what reads back, and what strict reading refuses.

#include "library/Json.h"
#include "library/Records.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace tallymere {
namespace {

using namespace std::chrono;

Date at(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    return sys_days{year{y} / mo / d} + hours{h} + minutes{mi} + seconds{s} + milliseconds{ms};
}

Photo checkedPhoto() {
    Photo photo("1741426200123_3F2A1C.jpg", at(2026, 3, 8, 9, 30, 0));
    photo.checked = true;
    photo.ok = true;
    photo.reason = "Group photo: picked the face matching their other photos (62%)";
    photo.faceWidth = 131.25f;
    photo.quality = 0.8437f;
    photo.embedding = std::vector<float>{0.1f, -0.35f, 1e-7f, 0.0f, 1.0f / 3.0f};
    return photo;
}

Member sampleMember() {
    Member member;
    member.id = "M0001";
    member.name = "Anne \"Nan\" Smith, Jr.";
    member.created = at(2025, 12, 24, 18, 5, 59);
    member.photos = {checkedPhoto(), Photo("1741426200999_ABCDEF.png", at(2026, 1, 2, 3, 4, 5))};
    return member;
}

ServiceResults sampleResults() {
    ServiceResults results;
    MemberResult present;
    present.memberID = "M0001";
    present.present = true;
    present.confidence = 0.8437f;
    present.firstSeen = 12.4;
    present.lastSeen = 3725.0;
    present.sightings = 14;
    present.evidenceFile = "evidence/M0001.jpg";
    MemberResult absent;
    absent.memberID = "M0002";
    absent.needsReview = true;
    absent.reviewReason = "low-confidence match";
    results.members = {present, absent};
    results.visitors = {Visitor{"V1", "visitors/visitor_001.jpg", 42.5, 7}};
    results.framesAnalysed = 3600;
    results.durationSeconds = 3599.96;
    results.processingSeconds = 812.125;
    results.membersEnrolled = 2;
    results.model = "InsightFace buffalo_l (SCRFD-10G + ArcFace R50) · ONNX";
    results.settings = ProcessSettings::preset(ProcessSettings::Mode::thorough);
    return results;
}

Service sampleService() {
    Service service("20260308-093000-a3f9", "Sunday morning", at(2026, 3, 8, 9, 30, 0),
                    at(2026, 3, 8, 12, 0, 1), {"/videos/sunday.mp4", "/videos/sunday part 2.mov"},
                    ProcessSettings::Mode::quick);
    service.status = ServiceStatus::done;
    service.progress = 1;
    service.message = "Done";
    service.results = sampleResults();
    return service;
}

// Fields that Service equality does not look at are compared here too.
void expectSameService(const Service& a, const Service& b) {
    EXPECT_EQ(a, b);
    EXPECT_EQ(a.date, b.date);
    EXPECT_EQ(a.created, b.created);
    EXPECT_EQ(a.sourcePaths, b.sourcePaths);
    EXPECT_EQ(a.liveSource, b.liveSource);
    EXPECT_EQ(a.mode, b.mode);
    EXPECT_EQ(a.results, b.results);
}

// Every object in the text has its keys in ascending byte order.
void expectKeysSortedEverywhere(const Json& json) {
    if (json.is_object()) {
        std::string previous;
        bool first = true;
        for (auto it = json.begin(); it != json.end(); ++it) {
            if (!first) {
                EXPECT_LT(previous, it.key());
            }
            previous = it.key();
            first = false;
            expectKeysSortedEverywhere(it.value());
        }
    } else if (json.is_array()) {
        for (const Json& element : json)
            expectKeysSortedEverywhere(element);
    }
}

// The order in which keys appear in the raw text (not as a parser would reorder them).
std::vector<size_t> positionsOf(const std::string& text, const std::vector<std::string>& keys) {
    std::vector<size_t> positions;
    for (const std::string& key : keys)
        positions.push_back(text.find("\"" + key + "\":"));
    return positions;
}

TEST(RecordJson, SourcePathsThatAreNotUTF8RoundTripByteForByte) {
    Service service = sampleService();
    const std::string latin1 = "/home/ann/Caf\xE9 100%.jpg"; // a Latin-1 name, not UTF-8
    const std::string lookalike =
        "file:///home/ann/x%41.jpg"; // a relative name that reads as a URI
    service.sourcePaths = {"/home/ann/Caf\xC3\xA9.jpg", latin1, "/a/\xC0\xAF/b", "/a/\xED\xA0\x80",
                           lookalike};
    const std::string text = encodeJSON(service);
    const Json json = parseJSON(text);
    EXPECT_EQ(json["sourcePaths"][0], "/home/ann/Caf\xC3\xA9.jpg"); // UTF-8 stays as it was
    EXPECT_EQ(json["sourcePaths"][1], "file:///home/ann/Caf%E9%20100%25.jpg");
    EXPECT_EQ(json["sourcePaths"][2], "file:///a/%C0%AF/b");  // overlong "/" is not UTF-8
    EXPECT_EQ(json["sourcePaths"][3], "file:///a/%ED%A0%80"); // nor is a surrogate
    expectSameService(decodeJSON<Service>(text), service);

    EXPECT_EQ(readablePath(latin1), "/home/ann/Caf\\xE9 100%.jpg");
    EXPECT_EQ(readablePath("/home/ann/Caf\xC3\xA9.jpg"), "/home/ann/Caf\xC3\xA9.jpg");
    EXPECT_TRUE(isUTF8("\xF0\x9F\x98\x80"));
    EXPECT_FALSE(isUTF8("\xF0\x9F\x98"));
    EXPECT_FALSE(isUTF8("\xF4\x90\x80\x80")); // above U+10FFFF
}

TEST(RecordJson, EveryRecordRoundTrips) {
    const Member member = sampleMember();
    EXPECT_EQ(decodeJSON<Member>(encodeJSON(member)), member);
    EXPECT_EQ(decodeJSON<std::vector<Member>>(encodeJSON(std::vector<Member>{member, member})),
              (std::vector<Member>{member, member}));
    EXPECT_EQ(decodeJSON<Photo>(encodeJSON(checkedPhoto())), checkedPhoto());
    const ServiceResults results = sampleResults();
    EXPECT_EQ(decodeJSON<ServiceResults>(encodeJSON(results)), results);
    EXPECT_EQ(decodeJSON<MemberResult>(encodeJSON(results.members[0])), results.members[0]);
    EXPECT_EQ(decodeJSON<Visitor>(encodeJSON(results.visitors[0])), results.visitors[0]);

    Service service = sampleService();
    expectSameService(decodeJSON<Service>(encodeJSON(service)), service);
    service.liveSource = "FaceTime HD Camera";
    service.sourcePaths.clear();
    service.results.reset();
    service.status = ServiceStatus::cancelled;
    expectSameService(decodeJSON<Service>(encodeJSON(service)), service);

    for (ServiceStatus status : ServiceStatus::allCases) {
        service.status = status;
        EXPECT_EQ(decodeJSON<Service>(encodeJSON(service)).status, status);
    }
    for (auto mode : ProcessSettings::Mode::allCases) {
        const ProcessSettings settings = ProcessSettings::preset(mode);
        EXPECT_EQ(decodeJSON<ProcessSettings>(encodeJSON(settings)), settings);
        EXPECT_EQ(decodeJSON<ProcessSettings::Mode>(encodeJSON(mode)), mode);
    }
}

TEST(RecordJson, SinglePrecisionNumbersUseTheirShortestForm) {
    const std::string text = encodeJSON(ProcessSettings());
    EXPECT_NE(text.find("\"trackMinSim\": 0.35,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"margin\": 0.06,"), std::string::npos) << text;
    EXPECT_NE(text.find("\"matchThreshold\": 0.4,"), std::string::npos) << text;
    EXPECT_EQ(text.find("0.3499999"), std::string::npos) << text;

    // Any float reads back bit for bit, however it is written.
    std::mt19937 random(7);
    std::uniform_int_distribution<std::uint32_t> bits;
    std::vector<float> values;
    while (values.size() < 2000) {
        const auto pattern = bits(random);
        float value;
        std::memcpy(&value, &pattern, sizeof value);
        if (std::isfinite(value)) values.push_back(value);
    }
    values.insert(values.end(), {std::numeric_limits<float>::max(),
                                 std::numeric_limits<float>::denorm_min(), -0.0f, 0.1f});
    Photo photo("p.jpg", Date{});
    photo.embedding = values;
    const Photo back = decodeJSON<Photo>(encodeJSON(photo));
    ASSERT_TRUE(back.embedding);
    ASSERT_EQ(back.embedding->size(), values.size());
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(std::memcmp(&(*back.embedding)[i], &values[i], sizeof(float)), 0) << values[i];

    // Double fields keep double precision.
    Visitor visitor{"V", "v.jpg", 0.1 + 0.2, 1};
    EXPECT_EQ(decodeJSON<Visitor>(encodeJSON(visitor)).firstSeen, 0.1 + 0.2);
}

TEST(RecordJson, KeysAreSortedInEveryObjectIncludingNestedSettings) {
    const std::string serviceText = encodeJSON(sampleService());
    expectKeysSortedEverywhere(parseJSON(serviceText));
    // The parsed object sorts by itself, so look at the text: settings keys in byte order.
    const auto settingsAt = positionsOf(
        serviceText, {"detectorSize", "margin", "matchThreshold", "minEmbedFacePx", "minFacePx",
                      "minSightings", "sampleFPS", "strongThreshold", "tiles", "topK",
                      "trackMaxGap", "trackMinSim", "unknownClusterSim", "unknownMinSeconds"});
    EXPECT_TRUE(std::is_sorted(settingsAt.begin(), settingsAt.end())) << serviceText;
    EXPECT_EQ(std::count(settingsAt.begin(), settingsAt.end(), std::string::npos), 0);

    const std::string memberText = encodeJSON(sampleMember());
    const auto memberAt = positionsOf(memberText, {"created", "id", "name", "photos"});
    EXPECT_TRUE(std::is_sorted(memberAt.begin(), memberAt.end())) << memberText;
    // Pretty-printed: one key per line.
    EXPECT_NE(memberText.find("{\n"), std::string::npos);
    EXPECT_NE(memberText.find(",\n"), std::string::npos);
}

TEST(RecordJson, AbsentOptionalsLeaveNoKey) {
    Photo unchecked("a.jpg", at(2026, 3, 8, 9, 30, 0));
    const Json photo = parseJSON(encodeJSON(unchecked));
    EXPECT_FALSE(photo.contains("embedding"));
    EXPECT_FALSE(decodeJSON<Photo>(encodeJSON(unchecked)).embedding.has_value());

    Service service = sampleService();
    service.results.reset();
    const Json json = parseJSON(encodeJSON(service));
    EXPECT_FALSE(json.contains("results"));
    EXPECT_FALSE(json.contains("liveSource"));

    const Json absent = parseJSON(encodeJSON(sampleResults().members[1]));
    EXPECT_FALSE(absent.contains("firstSeen"));
    EXPECT_FALSE(absent.contains("lastSeen"));
    EXPECT_FALSE(absent.contains("evidenceFile"));

    // Null reads as absent too.
    Json withNulls = parseJSON(encodeJSON(unchecked));
    withNulls["embedding"] = nullptr;
    EXPECT_FALSE(decodeJSON<Photo>(withNulls.dump()).embedding.has_value());
}

TEST(RecordJson, DatesAreWholeSecondUTC) {
    Photo photo("a.jpg", at(2026, 3, 8, 9, 30, 0, 750));
    const Json json = parseJSON(encodeJSON(photo));
    EXPECT_EQ(json["added"], "2026-03-08T09:30:00Z");
    EXPECT_EQ(decodeJSON<Photo>(encodeJSON(photo)).added, at(2026, 3, 8, 9, 30, 0));
    EXPECT_EQ(isoDate(at(1999, 12, 31, 23, 59, 59, 999)), "1999-12-31T23:59:59Z");
    // Before 1970 the fraction still goes towards the past.
    EXPECT_EQ(isoDate(at(1969, 12, 31, 23, 59, 59, 500)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(parseISODate("2026-03-08T10:30:00+01:00"), at(2026, 3, 8, 9, 30, 0));
}

// A valid encoded service with one value replaced, for the strictness cases.
std::string serviceWith(const char* pointer, const Json& value) {
    Json json = parseJSON(encodeJSON(sampleService()));
    json[Json::json_pointer(pointer)] = value;
    return json.dump();
}

std::string serviceWithout(const char* parent, const char* key) {
    Json json = parseJSON(encodeJSON(sampleService()));
    json[Json::json_pointer(parent)].erase(key);
    return json.dump();
}

TEST(RecordJson, StrictReadingRefusesTheWholeDocument) {
    // The unmodified document reads; each case below changes one thing.
    EXPECT_NO_THROW(decodeJSON<Service>(serviceWith("/label", "fine")));

    // Missing required keys, at every level.
    EXPECT_THROW(decodeJSON<Service>(serviceWithout("", "message")), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWithout("/results", "model")), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWithout("/results/settings", "topK")), LibraryError);
    // Results stored before faces were left unembedded in their place read as embedding all.
    EXPECT_EQ(decodeJSON<Service>(serviceWithout("/results/settings", "reembedSeconds"))
                  .results->settings.reembedSeconds,
              0.0);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/settings/reembedSeconds", "3")),
                 LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWithout("/results/members/1", "sightings")),
                 LibraryError);

    // Wrong JSON types.
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/progress", "0.5")), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/framesAnalysed", 12.5)), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/members/0/present", 1)), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/members/0/reviewReason", nullptr)),
                 LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/sourcePaths/0", 3)), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/members", Json::object())),
                 LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/settings/detectorSize", 1e12)),
                 LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/results/members/0/confidence", 1e300)),
                 LibraryError);
    // A whole number written with a point is still a whole number.
    EXPECT_EQ(
        decodeJSON<Service>(serviceWith("/results/framesAnalysed", 12.0)).results->framesAnalysed,
        12);

    // Unknown enumeration texts.
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/status", "finished")), LibraryError);
    EXPECT_THROW(decodeJSON<Service>(serviceWith("/mode", "Standard")), LibraryError);
    EXPECT_FALSE(ProcessSettings::Mode::fromRawValue("Standard"));
    EXPECT_FALSE(ServiceStatus::fromRawValue("Done"));

    // Dates only in the ISO date-and-time form.
    for (const Json& bad :
         {Json(1741426200), Json("2026-03-08"), Json("yesterday"), Json("2026-03-08 09:30:00Z"),
          Json("2026-02-30T09:30:00Z"), Json("2026-03-08T24:00:00Z"), Json("2026-03-08T09:30:00")})
        EXPECT_THROW(decodeJSON<Service>(serviceWith("/date", bad)), LibraryError) << bad;

    // One bad photo fails the whole member list.
    Json members = parseJSON(encodeJSON(std::vector<Member>{sampleMember(), sampleMember()}));
    members[1]["photos"][0].erase("quality");
    EXPECT_THROW(decodeJSON<std::vector<Member>>(members.dump()), LibraryError);

    // Not JSON at all, or not the expected shape.
    EXPECT_THROW(decodeJSON<std::vector<Member>>("[{\"id\": \"M0001\""), LibraryError);
    EXPECT_THROW(decodeJSON<std::vector<Member>>("{}"), LibraryError);
    EXPECT_THROW(decodeJSON<Service>("[]"), LibraryError);

    // Unknown keys are read without complaint.
    EXPECT_NO_THROW(decodeJSON<Service>(serviceWith("/somethingNew", Json::array())));

    // A moment a Date cannot hold is refused, not wrapped round to another century.
    for (const char* far : {"9999-12-31T23:59:59Z", "2262-04-12T00:00:00Z", "1600-01-01T00:00:00Z"})
        EXPECT_THROW(decodeJSON<Service>(serviceWith("/date", far)), LibraryError) << far;
    EXPECT_EQ(isoDate(decodeJSON<Service>(serviceWith("/date", "2262-04-10T00:00:00Z")).date),
              "2262-04-10T00:00:00Z");
}

TEST(RecordJson, KeysOfANewerVersionSurviveASave) {
    Json member = parseJSON(encodeJSON(sampleMember()));
    member["pronouns"] = "she/her";
    member["photos"][0]["landmarks3D"] = Json::array({1, 2.5, Json::object({{"x", nullptr}})});
    Member read = decodeJSON<Member>(member.dump());
    read.name = "Renamed";
    const Json saved = parseJSON(encodeJSON(read));
    EXPECT_EQ(saved["pronouns"], "she/her");
    EXPECT_EQ(saved["photos"][0]["landmarks3D"], member["photos"][0]["landmarks3D"]);
    EXPECT_EQ(saved["name"], "Renamed");

    Json service = parseJSON(serviceWith("/label", "fine"));
    service["camera"] = Json::object({{"model", "X"}, {"zoom", 2}});
    const Json again = parseJSON(encodeJSON(decodeJSON<Service>(service.dump())));
    EXPECT_EQ(again["camera"], service["camera"]);
    // The record's own keys are never taken from the kept ones.
    Service changed = decodeJSON<Service>(service.dump());
    changed.unknownKeys["label"] = "\"stale\"";
    EXPECT_EQ(parseJSON(encodeJSON(changed))["label"], "fine");
}

TEST(RecordJson, NonFiniteNumbersFailTheSave) {
    Service service = sampleService();
    service.progress = std::numeric_limits<double>::quiet_NaN();
    EXPECT_THROW(encodeJSON(service), LibraryError);
    service = sampleService();
    service.results->members[0].confidence = std::numeric_limits<float>::infinity();
    EXPECT_THROW(encodeJSON(service), LibraryError);
    service = sampleService();
    service.results->settings.trackMaxGap = std::numeric_limits<double>::infinity();
    EXPECT_THROW(encodeJSON(service), LibraryError);
    Member member = sampleMember();
    member.photos[0].embedding->back() = std::nanf("");
    EXPECT_THROW(encodeJSON(std::vector<Member>{member}), LibraryError);
}

TEST(RecordDerivedValues, CountsAndRecognisability) {
    ServiceResults results;
    results.members.resize(3);
    results.members[0].present = true;
    results.members[1].present = true;
    results.members[1].needsReview = true;
    EXPECT_EQ(results.present(), 2);
    EXPECT_EQ(results.absent(), 1);
    EXPECT_EQ(results.needsReview(), 1);

    Member member = sampleMember();
    EXPECT_EQ(member.goodPhotos(), 1);
    EXPECT_TRUE(member.isRecognisable());
    member.photos[0].ok = false;
    EXPECT_EQ(member.goodPhotos(), 0);
    EXPECT_FALSE(member.isRecognisable());
}

TEST(RecordEquality, ServicesCompareByIdStatusProgressMessageAndLabel) {
    const Service a = sampleService();
    Service b = a;
    b.results.reset();
    b.date += hours(24);
    b.sourcePaths.clear();
    b.mode = ProcessSettings::Mode::thorough;
    EXPECT_EQ(a, b);
    EXPECT_EQ(std::hash<Service>()(a), std::hash<Service>()(b));
    b = a;
    b.label = "Evening";
    EXPECT_NE(a, b);
    b = a;
    b.progress = 0.5;
    EXPECT_NE(a, b);
    b = a;
    b.status = ServiceStatus::failed;
    EXPECT_NE(a, b);

    // Photos compare by every field.
    Photo p = checkedPhoto();
    Photo q = p;
    q.embedding = std::vector<float>{0.1f, -0.35f, 1e-7f, 0.0f, 0.34f};
    EXPECT_NE(p, q);
}

TEST(RecordConstruction, FreshPhotoAndServiceStartEmpty) {
    const Photo photo("x.jpg", at(2026, 3, 8, 9, 30, 0));
    EXPECT_FALSE(photo.checked || photo.ok);
    EXPECT_TRUE(photo.reason.empty());
    EXPECT_EQ(photo.faceWidth, 0);
    EXPECT_EQ(photo.quality, 0);
    EXPECT_FALSE(photo.embedding);

    const Service service("id", "label", Date{}, Date{}, {"/a.mp4"},
                          ProcessSettings::Mode::thorough);
    EXPECT_EQ(service.status, ServiceStatus::queued);
    EXPECT_EQ(service.progress, 0);
    EXPECT_TRUE(service.message.empty());
    EXPECT_FALSE(service.liveSource);
    EXPECT_FALSE(service.results);
    EXPECT_EQ(service.mode, ProcessSettings::Mode::thorough);
}

TEST(ProcessSettingsPresets, OnlyRateAndDetectorSizeDiffer) {
    using Mode = ProcessSettings::Mode;
    const ProcessSettings defaults;
    EXPECT_EQ(ProcessSettings::preset(Mode::standard), defaults);
    ProcessSettings expected = defaults;
    expected.sampleFPS = 0.5;
    EXPECT_EQ(ProcessSettings::preset(Mode::quick), expected);
    expected.sampleFPS = 2.0;
    expected.detectorSize = 1920;
    EXPECT_EQ(ProcessSettings::preset(Mode::thorough), expected);
    // The single-precision thresholds are the floats nearest the decimals.
    EXPECT_EQ(defaults.trackMinSim, 0.35f);
    EXPECT_EQ(defaults.margin, 0.06f);
}

TEST(ProcessSettingsModes, RawValuesTitlesAndOrder) {
    using Mode = ProcessSettings::Mode;
    ASSERT_EQ(Mode::allCases.size(), 3u);
    EXPECT_EQ(Mode::allCases[0], Mode::quick);
    EXPECT_EQ(Mode::allCases[2], Mode::thorough);
    for (Mode mode : Mode::allCases) {
        EXPECT_EQ(Mode::fromRawValue(mode.rawValue()), mode);
        EXPECT_EQ(mode.id(), mode.rawValue());
        std::string title(mode.rawValue());
        title[0] = char(std::toupper(title[0]));
        EXPECT_EQ(mode.title(), title);
        EXPECT_FALSE(mode.detail().empty());
    }
    EXPECT_EQ(Mode(Mode::thorough).detail(),
              "2 frames per second at higher resolution. Finds smaller faces; about 3× slower.");
    EXPECT_FALSE(Mode::fromRawValue(""));
    EXPECT_FALSE(Mode::fromRawValue("quick "));
}

} // namespace
} // namespace tallymere
