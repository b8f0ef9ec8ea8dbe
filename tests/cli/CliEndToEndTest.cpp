// The whole offline job through tallymere-cli with the shared test models, photos and recording:
// enrol people from their photos, process the recording and a set of photos, read and export the
// registers, process again, and stop a run with Ctrl-C.
//
// The recording shows Lin-Manuel Miranda close up from about 2.8 s to 7.2 s, and Barack Obama in
// three-quarter view in the audience from about 8 s, a low-confidence match with the small test
// recogniser; nobody else who is enrolled is in it.

#include "CliRunner.h"
#include "library/Library.h"
#include "support/ModelCache.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <optional>
#include <sstream>

using namespace tallymere;
using tallymere::testing::CliProcess;
using tallymere::testing::CliResult;
using tallymere::testing::runCli;
using tallymere::testing::sharedFaces;
using tallymere::testing::sharedModels;
using tallymere::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;

namespace {

// The shared source models converted once per build (detector sizes 640 and 1280).
const fs::path& convertedModels() {
    static const fs::path dir =
        tallymere::testing::convertedSharedModels("scrfd_2.5g_kps.onnx", "640,1280");
    return dir;
}

std::string show(const CliResult& r) {
    return "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    for (std::string word; in >> word;)
        out.push_back(word);
    return out;
}

// The first line holding `text`.
std::optional<std::string> lineWith(const std::vector<std::string>& lines,
                                    const std::string& text) {
    for (const auto& line : lines)
        if (line.find(text) != std::string::npos) return line;
    return std::nullopt;
}

struct Job {
    TempDir dir;
    fs::path root = dir / "library";

    std::map<std::string, std::string> environment() const {
        return {{"ATTENDANCE_MODELS", convertedModels().string()}, {"TALLYMERE_LIBRARY", ""}};
    }
    CliResult cli(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--library", root.string()});
        return runCli(arguments, environment());
    }
    CliProcess start(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--library", root.string()});
        return CliProcess(arguments, environment());
    }
    std::vector<Member> members() const { return Library(root).loadMembers(); }
    std::vector<Service> services() const { return Library(root).loadServices(); }
    std::string idOf(const std::string& name) const {
        for (const Member& m : members())
            if (m.name == name) return m.id;
        throw std::runtime_error("no member " + name);
    }
};

std::string outcome(const Photo& photo) {
    if (!photo.checked) return "Not checked";
    if (photo.ok) return photo.reason.empty() ? "Accepted" : "Accepted: " + photo.reason;
    return "Rejected: " + photo.reason;
}

} // namespace

TEST(CliEndToEnd, EnrolProcessShowExportAgainAndCancel) {
    TALLYMERE_REQUIRE_SHARED();
    Job job;

    // ---- Enrol everyone in the shared people folder, one add-member each.
    std::vector<fs::path> people;
    for (const auto& entry : fs::directory_iterator(sharedFaces() / "people"))
        people.push_back(entry.path());
    std::sort(people.begin(), people.end());
    for (const fs::path& folder : people) {
        std::vector<std::string> arguments{"add-member", folder.filename().string()};
        std::vector<fs::path> photos;
        for (const auto& f : fs::directory_iterator(folder))
            photos.push_back(f.path());
        std::sort(photos.begin(), photos.end());
        for (const auto& p : photos)
            arguments.push_back(p.string());
        const CliResult r = job.cli(arguments);
        ASSERT_EQ(r.status, 0) << show(r);
        const Member added = job.members().back();
        EXPECT_EQ(added.name, folder.filename().string());
        EXPECT_THAT(r.out, StartsWith("Added " + added.id + " " + added.name + "\n"));
        // Every photo's printed outcome, beside the file it came from, is the stored one.
        ASSERT_EQ(added.photos.size(), photos.size());
        const auto lines = linesOf(r.out);
        for (std::size_t i = 0; i < photos.size(); ++i) {
            const auto line = lineWith(lines, added.photos[i].id);
            ASSERT_TRUE(line) << show(r);
            EXPECT_THAT(*line, HasSubstr(photos[i].filename().string()));
            EXPECT_THAT(*line, HasSubstr(outcome(added.photos[i])));
        }
        EXPECT_TRUE(added.isRecognisable()) << show(r);
        EXPECT_TRUE(fs::exists(job.root / "members" / added.id / "face.jpg"));
    }
    ASSERT_EQ(job.members().size(), 6u);

    // A group photo added to Biden is resolved against his own photo.
    const std::string biden = job.idOf("Joe Biden");
    CliResult r =
        job.cli({"add-photos", biden, (sharedFaces() / "groups/two_people.jpg").string()});
    ASSERT_EQ(r.status, 0) << show(r);
    const Member bidenNow = job.members().at(2);
    ASSERT_EQ(bidenNow.id, biden);
    ASSERT_EQ(bidenNow.photos.size(), 2u);
    EXPECT_THAT(r.out, HasSubstr("two_people.jpg"));
    EXPECT_THAT(r.out, HasSubstr(outcome(bidenNow.photos[1])));

    // Removing it checks the other photo again; the file goes.
    r = job.cli({"remove-photo", biden, bidenNow.photos[1].id});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, StartsWith("Removed photo " + bidenNow.photos[1].id + " of " + biden +
                                  " Joe Biden\n" + biden + "  Joe Biden  1/1 good photos"));
    EXPECT_FALSE(fs::exists(job.root / "members" / biden / bidenNow.photos[1].id));
    const Member bidenAfter = job.members().at(2);
    ASSERT_EQ(bidenAfter.photos.size(), 1u);
    EXPECT_EQ(bidenAfter.photos[0].id, bidenNow.photos[0].id);
    EXPECT_TRUE(bidenAfter.photos[0].ok);
    r = job.cli({"check", biden});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, StartsWith(biden + "  Joe Biden  1/1 good photos"));

    r = job.cli({"members"});
    ASSERT_EQ(r.status, 0) << show(r);
    const auto table = linesOf(r.out);
    for (const Member& m : job.members()) {
        const auto line = lineWith(table, m.id);
        ASSERT_TRUE(line) << show(r);
        EXPECT_THAT(*line, HasSubstr(m.name));
        EXPECT_THAT(*line, HasSubstr(std::to_string(m.goodPhotos()) + "/" +
                                     std::to_string(m.photos.size()) + "  Add more photos"));
    }

    // ---- Process the recording.
    const fs::path clip = sharedFaces() / "video" / "stage_clip.mp4";
    r = job.cli({"process", clip.string()});
    ASSERT_EQ(r.status, 0) << show(r);
    ASSERT_EQ(job.services().size(), 1u);
    const Service first = job.services().front();
    EXPECT_EQ(first.label, "stage_clip");
    EXPECT_EQ(first.mode, ProcessSettings::Mode::standard);
    EXPECT_EQ(first.sourcePaths,
              std::vector<std::string>{fs::absolute(clip).lexically_normal().string()});
    EXPECT_EQ(first.status, ServiceStatus::done);
    EXPECT_EQ(first.progress, 1.0);
    EXPECT_EQ(first.message, "Finished");
    ASSERT_TRUE(first.results);
    // Progress went to standard error as plain lines (not a terminal), ending with "Matching".
    EXPECT_THAT(r.err, HasSubstr("Preparing face models\n1/11 frames\n"));
    EXPECT_THAT(r.err, HasSubstr("\nMatching\n"));
    EXPECT_THAT(r.out, HasSubstr("Service " + first.id + " \"stage_clip\": done\n"));
    EXPECT_THAT(r.out, HasSubstr("Lin-Manuel Miranda"));

    const std::string miranda = job.idOf("Lin-Manuel Miranda");
    // Present members first, by name: Obama, then Miranda.
    ASSERT_GE(first.results->members.size(), 2u);
    EXPECT_EQ(first.results->members[0].memberID, job.idOf("Barack Obama"));
    const MemberResult& mirandaResult = first.results->members[1];
    ASSERT_EQ(mirandaResult.memberID, miranda);
    ASSERT_TRUE(mirandaResult.present);
    ASSERT_TRUE(mirandaResult.firstSeen);
    EXPECT_NEAR(*mirandaResult.firstSeen, 2.8, 1.0);
    EXPECT_EQ(first.results->framesAnalysed, 10);

    // show: Miranda present with his whole percentage and times; the others absent, unseen.
    r = job.cli({"show", "latest"});
    ASSERT_EQ(r.status, 0) << show(r);
    const auto shown = linesOf(r.out);
    const auto mirandaLine = lineWith(shown, "Lin-Manuel Miranda");
    ASSERT_TRUE(mirandaLine) << show(r);
    EXPECT_EQ(words(*mirandaLine),
              (std::vector<std::string>{
                  "Lin-Manuel", "Miranda", "present",
                  std::to_string(static_cast<int>(mirandaResult.confidence * 100)) + "%",
                  formatClock(mirandaResult.firstSeen), formatClock(mirandaResult.lastSeen),
                  std::to_string(mirandaResult.sightings)}));
    for (const char* name : {"Joe Biden", "Kit Harington", "Rose Leslie", "Alex Lacamoire"}) {
        const auto line = lineWith(shown, name);
        ASSERT_TRUE(line) << name;
        EXPECT_THAT(*line, HasSubstr("absent"));
        EXPECT_THAT(*line, ::testing::EndsWith(" 0")) << name;
    }
    EXPECT_THAT(r.out, HasSubstr("10 frames analysed in "));
    // The models the test converted, not the product's.
    EXPECT_THAT(r.out, HasSubstr("Model: scrfd_2.5g_kps + fr_feature \u00b7 ONNX"));

    // export: the register text, to standard output and to the default file name.
    r = job.cli({"export", first.id});
    ASSERT_EQ(r.status, 0) << show(r);
    const auto csv = linesOf(r.out);
    ASSERT_EQ(csv.size(), 7u) << r.out;
    EXPECT_EQ(csv[0],
              "member_id,name,status,confidence,first_seen,last_seen,sightings,needs_review,"
              "review_reason");
    EXPECT_THAT(csv[2], StartsWith(miranda + ",\"Lin-Manuel Miranda\",present,0."));
    for (const char* name : {"Joe Biden", "Kit Harington", "Rose Leslie", "Alex Lacamoire"}) {
        const auto line = lineWith(csv, name);
        ASSERT_TRUE(line) << name;
        EXPECT_EQ(*line, job.idOf(name) + ",\"" + name + "\",absent,,,,0,,\"\"");
    }
    EXPECT_EQ(r.out, Library(job.root).csv(first, job.members()));
    r = runCli({"--library", job.root.string(), "export", "latest", "-o", job.dir.path().string()},
               {{"TZ", "UTC"}});
    ASSERT_EQ(r.status, 0) << show(r);
    const std::string day =
        first.id.substr(0, 4) + "-" + first.id.substr(4, 2) + "-" + first.id.substr(6, 2);
    EXPECT_TRUE(fs::exists(job.dir / ("attendance-" + day + ".csv"))) << r.err;

    // ---- A set of photos, with its own label: both people of the group photo are present.
    r = job.cli({"process", "--label", "Group photos",
                 (sharedFaces() / "groups/two_people.jpg").string(),
                 (sharedFaces() / "groups/obama_and_biden.jpg").string()});
    ASSERT_EQ(r.status, 0) << show(r);
    r = job.cli({"export", "latest"});
    ASSERT_EQ(r.status, 0) << show(r);
    for (const char* name : {"Barack Obama", "Joe Biden"}) {
        const auto line = lineWith(linesOf(r.out), name);
        ASSERT_TRUE(line) << r.out;
        EXPECT_THAT(*line, HasSubstr(",present,0.")) << name;
        EXPECT_THAT(*line, HasSubstr(",0:00:00,")) << name;
    }

    // ---- The same recording again makes a second service of it.
    r = job.cli({"process", "--mode", "quick", clip.string()});
    ASSERT_EQ(r.status, 0) << show(r);
    auto services = job.services();
    ASSERT_EQ(services.size(), 3u);
    EXPECT_NE(services[0].id, first.id);
    EXPECT_EQ(services[0].label, "stage_clip");
    EXPECT_EQ(services[0].mode, ProcessSettings::Mode::quick);
    EXPECT_EQ(services[0].results->framesAnalysed, 5);
    EXPECT_EQ(services[1].label, "Group photos");
    r = job.cli({"services"});
    ASSERT_EQ(r.status, 0) << show(r);
    const auto listed = linesOf(r.out);
    ASSERT_EQ(listed.size(), 4u) << r.out;
    for (std::size_t i = 0; i < 3; ++i)
        EXPECT_THAT(listed[i + 1], StartsWith(services[i].id)) << r.out;
    EXPECT_THAT(listed[1], HasSubstr("Done    1 present, 5 absent, 0 visitors"));

    // ---- Ctrl-C after the first frame: the run stops and the service is kept as cancelled.
    CliProcess run = job.start({"process", "--label", "Stopped", clip.string()});
    ASSERT_TRUE(run.waitForError("1/11 frames"));
    run.signal(SIGINT);
    r = run.finish();
    EXPECT_EQ(r.status, 130) << show(r);
    EXPECT_THAT(r.err, HasSubstr("Cancelled. Service "));
    services = job.services();
    ASSERT_EQ(services.size(), 4u);
    const Service& stopped = services[0];
    EXPECT_EQ(stopped.label, "Stopped");
    EXPECT_EQ(stopped.status, ServiceStatus::cancelled);
    EXPECT_EQ(stopped.message, "Cancelled");
    EXPECT_FALSE(stopped.results);
    EXPECT_LT(stopped.progress, 1.0);
    EXPECT_FALSE(fs::exists(job.root / "services" / stopped.id / "evidence"));
    r = job.cli({"export", stopped.id});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("has no register to export (Cancelled)"));

    // A file that holds no recording fails the run; the service keeps the decoder's words.
    const fs::path junk = job.dir / "notes.mp4";
    std::ofstream(junk) << std::string(5000, 'x');
    r = job.cli({"process", junk.string()});
    EXPECT_EQ(r.status, 1) << show(r);
    services = job.services();
    ASSERT_EQ(services.size(), 5u);
    EXPECT_EQ(services[0].status, ServiceStatus::failed);
    EXPECT_FALSE(services[0].message.empty());
    EXPECT_FALSE(services[0].results);
    EXPECT_THAT(r.err, HasSubstr("tallymere-cli: " + services[0].message + "\n"));
}
