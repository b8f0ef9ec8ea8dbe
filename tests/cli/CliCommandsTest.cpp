// tallymere-cli on libraries made by the test itself, without face models: the command line,
// member and service commands that need no engine, the start-up repair and the library lock, and
// the models-missing message.

#include "CliRunner.h"
#include "library/Json.h"
#include "library/Library.h"
#include "library/LibraryLock.h"
#include "library/Report.h"
#include "support/TestSupport.h"

#include <fcntl.h>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

using namespace tallymere;
using tallymere::testing::CliProcess;
using tallymere::testing::CliResult;
using tallymere::testing::runCli;
using tallymere::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::StartsWith;
namespace fs = std::filesystem;

namespace {

const char* interrupted = "Interrupted when the app closed. Choose Process again.";

// A library folder and an empty models folder, so that nothing finds real models.
struct Fixture {
    TempDir dir;
    fs::path root = dir / "library";
    fs::path noModels = dir / "no-models";
    Fixture() { fs::create_directories(noModels); }

    CliResult cli(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--library", root.string()});
        return runCli(arguments, {{"ATTENDANCE_MODELS", noModels.string()}});
    }
    std::vector<Member> members() const { return Library(root).loadMembers(); }
    std::vector<Service> services() const { return Library(root).loadServices(); }
};

std::string show(const CliResult& r) {
    return "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

std::vector<float> unitEmbedding(int axis) {
    std::vector<float> e(512, 0.0f);
    e[static_cast<std::size_t>(axis)] = 1.0f;
    return e;
}

Member memberWithPhotos(std::string id, std::string name, int good, int bad) {
    Member m;
    m.id = std::move(id);
    m.name = std::move(name);
    for (int i = 0; i < good + bad; ++i) {
        Photo p("p" + std::to_string(i) + ".jpg", {});
        p.checked = true;
        p.ok = i < good;
        if (p.ok)
            p.embedding = unitEmbedding(i);
        else
            p.reason = "No face found";
        m.photos.push_back(p);
    }
    return m;
}

// A processed service: Anne present (reviewed), Bob absent, a visitor.
Service doneService(const std::string& id, Date date) {
    Service s(id, "Sunday, \"early\"", date, date, {"/recordings/sunday.mp4"},
              ProcessSettings::Mode::quick);
    s.status = ServiceStatus::done;
    s.progress = 1;
    s.message = "Finished";
    ServiceResults r;
    MemberResult anne;
    anne.memberID = "M0001";
    anne.present = true;
    anne.confidence = 0.8437f;
    anne.firstSeen = 12.4;
    anne.lastSeen = 3725;
    anne.sightings = 14;
    anne.needsReview = true;
    anne.reviewReason = "low-confidence match";
    MemberResult bob;
    bob.memberID = "M0002";
    r.members = {anne, bob};
    r.visitors = {{"V0", "visitors/visitor_000.jpg", 95.0, 4}};
    r.framesAnalysed = 3601;
    r.durationSeconds = 3600;
    r.processingSeconds = 125;
    r.membersEnrolled = 2;
    r.model = "test model";
    r.settings = ProcessSettings::preset(ProcessSettings::Mode::quick);
    s.results = r;
    return s;
}

Date utc(int year, int month, int day, int hour) {
    using namespace std::chrono;
    return sys_days(std::chrono::year(year) / month / day) + hours(hour);
}

// Holds the library's lock as another tallymere-cli would while it processes.
// The locks another tool's run holds while it processes a service.
class HeldLock {
public:
    explicit HeldLock(const fs::path& root)
        : processing(take(root, LibraryLock::Range::processing, LibraryLock::Kind::exclusive)),
          access(take(root, LibraryLock::Range::library, LibraryLock::Kind::shared)) {}

    static LibraryLock take(const fs::path& root, LibraryLock::Range range,
                            LibraryLock::Kind kind) {
        auto lock = LibraryLock::tryAcquire(root, range, kind);
        if (!lock) throw std::runtime_error("lock");
        return std::move(*lock);
    }

private:
    LibraryLock processing;
    LibraryLock access;
};

} // namespace

TEST(CliCommandLine, UsageErrorsExitWithTwoAndHelpShowsEveryCommand) {
    Fixture f;
    const CliResult help = runCli({"--help"});
    EXPECT_EQ(help.status, 0) << show(help);
    for (const char* command :
         {"members", "add-member NAME [PHOTO...]", "add-photos ID PHOTO...",
          "remove-photo ID PHOTO_ID", "rename ID NAME", "remove-member ID", "check [ID...]",
          "process [--mode MODE] [--label TEXT] FILE...", "services", "show ID|latest",
          "export ID|latest [-o FILE]", "get-models [ZIP]", "remove-service ID"})
        EXPECT_THAT(help.out, HasSubstr("  " + std::string(command))) << command;
    // The version is answered before any command is looked for.
    const CliResult version = runCli({"--version"});
    EXPECT_EQ(version.status, 0) << show(version);
    EXPECT_THAT(version.out, ::testing::MatchesRegex("tallymere-cli [0-9]+\\.[0-9]+\\.[0-9]+\n"));

    for (const char* command :
         {"members", "add-member", "add-photos", "remove-photo", "rename", "remove-member", "check",
          "process", "services", "show", "export", "remove-service"}) {
        const CliResult r = runCli({command, "--help"});
        EXPECT_EQ(r.status, 0) << command;
        EXPECT_THAT(r.out,
                    StartsWith("Usage: tallymere-cli [--library DIR] " + std::string(command)));
    }
    EXPECT_EQ(runCli({"help", "export"}).out, runCli({"export", "--help"}).out);
    EXPECT_THAT(runCli({"process", "--help"}).out, HasSubstr("--mode MODE"));
    EXPECT_THAT(runCli({"export", "-h"}).out, HasSubstr("-o, --output FILE"));

    struct Case {
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases{
        {{}, "no command given"},
        {{"attendance"}, "unknown command attendance"},
        {{"--verbose", "members"}, "unknown option --verbose"},
        {{"members", "--all"}, "unknown option --all"},
        {{"rename", "M0001"}, "rename needs ID NAME"},
        {{"rename", "M0001", "   \t"}, "the new name is empty"},
        {{"add-member", " "}, "the member's name is empty"},
        {{"services", "extra"}, "too many arguments for services: extra"},
        {{"show"}, "show needs ID|latest"},
        {{"process", "--mode", "fast", "a.mp4"}, "unknown mode fast (quick, standard or thorough)"},
        {{"process", "--label"}, "--label needs a value (TEXT)"},
        {{"process"}, "process needs"},
        {{"remove-service", "latest"}, "remove-service needs the service's ID, not latest"},
        {{"--library"}, "--library needs a folder"},
    };
    for (const Case& c : cases) {
        const CliResult r = f.cli(c.arguments);
        EXPECT_EQ(r.status, 2) << show(r);
        EXPECT_THAT(r.err, StartsWith("tallymere-cli: " + c.message)) << show(r);
        EXPECT_THAT(r.err, HasSubstr("Usage: tallymere-cli")) << show(r);
        EXPECT_TRUE(r.out.empty()) << show(r);
    }
    // Nothing was created by the wrong command lines.
    EXPECT_TRUE(f.members().empty());
    EXPECT_TRUE(f.services().empty());
}

TEST(CliMembers, AddRenameRemoveWorkWithoutModelsAndNeedingModelsChangesNothing) {
    Fixture f;
    CliResult r = f.cli({"add-member", "  Anne Smith\t"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("Added M0001 Anne Smith"));
    r = f.cli({"add-member", "Bob"});
    ASSERT_EQ(r.status, 0) << show(r);
    ASSERT_EQ(f.members().size(), 2u);
    EXPECT_EQ(f.members()[0].name, "Anne Smith");
    EXPECT_TRUE(fs::is_directory(f.root / "members" / "M0001"));

    r = f.cli({"rename", "M0002", " Robert  Jones "});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(Library(f.root).loadMembers()[1].name, "Robert  Jones");

    // Photos need the check, so without models nothing at all is added.
    const fs::path photo = f.dir / "anne.jpg";
    std::ofstream(photo) << "not looked at";
    const auto before = f.members();
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"add-member", "Carol", photo.string()},
                                               {"add-photos", "M0001", photo.string()},
                                               {"check"}}) {
        r = f.cli(arguments);
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_EQ(r.err, "tallymere-cli: Face models not found in " + f.noModels.string() +
                             ". Get them with: tallymere-cli get-models\n")
            << arguments[0];
        EXPECT_EQ(f.members(), before) << arguments[0];
    }
    EXPECT_TRUE(fs::is_empty(f.root / "members" / "M0001"));

    // Mistakes name what went wrong and change nothing.
    r = f.cli({"add-photos", "M0001", (f.dir / "missing.jpg").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: Photo not found: " + (f.dir / "missing.jpg").string() +
                         ". Check the path and try again.\n");
    const fs::path notes = f.dir / "notes.txt";
    std::ofstream(notes) << "text";
    r = f.cli({"add-member", "Dan", notes.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(notes.string() + " is not a photo. Photos: bmp, heic"));
    for (const auto& arguments :
         std::vector<std::vector<std::string>>{{"rename", "M0009", "X"},
                                               {"remove-member", "M0009"},
                                               {"members", "M0009"},
                                               {"add-photos", "M0009", photo.string()},
                                               {"remove-photo", "M0009", "a.jpg"}}) {
        r = f.cli(arguments);
        EXPECT_EQ(r.status, 1) << arguments[0];
        EXPECT_EQ(r.err, "tallymere-cli: No member with ID M0009. \"tallymere-cli members\" "
                         "lists the members and their IDs.\n")
            << arguments[0];
    }
    r = f.cli({"remove-photo", "M0001", "a.jpg"});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("Member M0001 has no photo a.jpg."));
    EXPECT_EQ(f.members(), before);

    r = f.cli({"remove-member", "M0001"});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("Removed M0001 Anne Smith and 0 photos."));
    ASSERT_EQ(f.members().size(), 1u);
    EXPECT_EQ(f.members()[0].id, "M0002");
    EXPECT_FALSE(fs::exists(f.root / "members" / "M0001"));
}

TEST(CliMembers, TableShowsGoodPhotosStatusAndPhotoOutcomes) {
    Fixture f;
    Library library(f.root);
    Member unchecked = memberWithPhotos("M0003", "Cleo", 0, 0);
    unchecked.photos.emplace_back("new.jpg", Date{});
    Member accepted = memberWithPhotos("M0004", "Dora", 1, 0);
    accepted.photos[0].reason =
        "Group photo: picked the face that matches their other photos (62%)";
    accepted.photos[0].faceWidth = 141.7f;
    library.saveMembers({memberWithPhotos("M0001", "Anne", 3, 1),
                         memberWithPhotos("M0002", "Bob", 2, 0), unchecked, accepted});
    CliResult r = f.cli({"members"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.out, "ID     NAME  PHOTOS  STATUS\n"
                     "M0001  Anne     3/4  Ready\n"
                     "M0002  Bob      2/2  Add more photos (3+ recommended)\n"
                     "M0003  Cleo     0/1  No usable photos yet\n"
                     "M0004  Dora     1/1  Add more photos (3+ recommended)\n"
                     "\n"
                     "Photos that may be filed under the wrong member:\n"
                     "  Anne: a photo looks more like Bob. Check it's the right person.\n"
                     "  Bob: a photo looks more like Anne. Check it's the right person.\n");

    r = f.cli({"members", "M0003", "M0004", "M0001"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("M0003  Cleo  0/1 good photos · No usable photos yet\n"));
    EXPECT_THAT(r.out, HasSubstr("new.jpg  "));
    EXPECT_THAT(r.out, HasSubstr("  Not checked\n"));
    EXPECT_THAT(r.out, HasSubstr("142 px  Accepted: Group photo: picked the face that matches "
                                 "their other photos (62%)\n"));
    EXPECT_THAT(r.out, HasSubstr("  Rejected: No face found\n"));
    EXPECT_LT(r.out.find("M0003"), r.out.find("M0004"));
}

TEST(CliServices, ListShowAndExportAStoredRegisterWithoutModels) {
    Fixture f;
    Library library(f.root);
    library.saveMembers({memberWithPhotos("M0001", "Anne \"Nan\" Smith", 1, 0)});
    const Service older = doneService("20240310-093000-aaaa", utc(2024, 3, 10, 9));
    Service failed("20240317-093000-bbbb", "Evening", utc(2024, 3, 17, 18), utc(2024, 3, 17, 18),
                   {"/recordings/evening.mp4"}, ProcessSettings::Mode::standard);
    failed.status = ServiceStatus::failed;
    failed.message = "This file has no video in it.";
    library.save(older);
    library.save(failed);

    CliResult r = f.cli({"services"});
    ASSERT_EQ(r.status, 0) << show(r);
    std::istringstream lines(r.out);
    std::string heading, first, second;
    std::getline(lines, heading);
    std::getline(lines, first);
    std::getline(lines, second);
    EXPECT_THAT(heading, StartsWith("ID                    DATE              LABEL"));
    EXPECT_THAT(first, StartsWith("20240317-093000-bbbb")); // newest first
    EXPECT_THAT(first, HasSubstr("Failed  This file has no video in it."));
    EXPECT_THAT(second, HasSubstr("Done    1 present, 1 absent, 1 visitor"));

    // "latest" is the newest service; it has no register.
    r = f.cli({"export", "latest"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: Service 20240317-093000-bbbb has no register to export "
                     "(Failed: This file has no video in it.).\n");
    r = f.cli({"show", "latest"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, HasSubstr("Failed: This file has no video in it.\n"));

    r = f.cli({"show", older.id});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("Sunday, \"early\"  (20240310-093000-aaaa)\n"));
    EXPECT_THAT(r.out,
                HasSubstr("Present 1 · To double-check 1 · Absent 1 · Visitors (estimate) 1"));
    EXPECT_THAT(r.out,
                HasSubstr("NAME              STATUS   CONFIDENCE  FIRST SEEN  LAST SEEN  "
                          "SIGHTINGS  REVIEW\n"
                          "Anne \"Nan\" Smith  present         84%  0:00:12     1:02:05           "
                          "14  low-confidence match\n"
                          "M0002             absent                                              "
                          "0\n"));
    EXPECT_THAT(r.out, HasSubstr("  V0       0:01:35             4  visitors/visitor_000.jpg\n"));
    EXPECT_THAT(r.out, HasSubstr("3601 frames analysed in 2m5s · 1h00m of recording · 2 members "
                                 "enrolled\nModel: test model\n"));

    // The register as the application exports it, to standard output or a file.
    const std::string expected = library.csv(older, library.loadMembers());
    r = f.cli({"export", older.id});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.out, expected);
    EXPECT_THAT(expected, HasSubstr("M0001,\"Anne \"\"Nan\"\" Smith\",present,0.844,0:00:12,"
                                    "1:02:05,14,yes,\"low-confidence match\"\n"));
    const fs::path outFolder = f.dir / "out";
    fs::create_directories(outFolder);
    r = runCli({"--library", f.root.string(), "export", older.id, "-o", outFolder.string()},
               {{"TZ", "UTC"}});
    ASSERT_EQ(r.status, 0) << show(r);
    const fs::path written = outFolder / "attendance-2024-03-10.csv";
    std::ifstream in(written);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), expected);
    r = f.cli({"export", older.id, "--output=" + (f.dir / "register.csv").string()});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(fs::file_size(f.dir / "register.csv"), expected.size());
    r = f.cli({"export", older.id, "-o", (f.dir / "no-folder" / "x.csv").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("tallymere-cli: Couldn't write "));

    r = f.cli({"show", "20990101-000000-0000"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: No service with ID 20990101-000000-0000. \"tallymere-cli "
                     "services\" lists the services and their IDs.\n");

    r = f.cli({"remove-service", older.id});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_FALSE(fs::exists(library.serviceDir(older.id)));
    ASSERT_EQ(f.services().size(), 1u);
}

TEST(CliServices, StartUpRepairsInterruptedRunsUnlessAnotherProcessHoldsTheLibrary) {
    Fixture f;
    Library library(f.root);
    Service running("20240310-093000-cccc", "Sunday", utc(2024, 3, 10, 9), utc(2024, 3, 10, 9),
                    {"/recordings/sunday.mp4"}, ProcessSettings::Mode::standard);
    running.status = ServiceStatus::processing;
    running.progress = 0.4;
    running.message = "40/100 frames";
    library.save(running);
    {
        HeldLock other(f.root);
        CliResult r = f.cli({"services"});
        EXPECT_EQ(r.status, 0) << show(r);
        EXPECT_THAT(r.out, HasSubstr("Processing 40%  40/100 frames"));
        EXPECT_EQ(f.services()[0].status, ServiceStatus::processing);
        r = f.cli({"remove-service", running.id});
        EXPECT_EQ(r.status, 1);
        EXPECT_THAT(r.err, HasSubstr("is being processed by another tallymere-cli"));
        EXPECT_TRUE(fs::exists(library.serviceDir(running.id)));

        // A second run waits for the first and can be given up with Ctrl-C: nothing is made.
        fs::path recording = f.dir / "next.mp4";
        std::ofstream(recording) << "x";
        CliProcess waiting({"--library", f.root.string(), "process", recording.string()},
                           {{"ATTENDANCE_MODELS", f.noModels.string()}});
        ASSERT_TRUE(waiting.waitForError("waiting for it to finish"));
        waiting.signal(SIGINT);
        const CliResult gaveUp = waiting.finish();
        EXPECT_EQ(gaveUp.status, 130) << show(gaveUp);
        EXPECT_THAT(gaveUp.err, HasSubstr("Cancelled; no service was created."));
        EXPECT_EQ(f.services().size(), 1u);
    }
    // Reading shows the run as interrupted; the first writing command stores it so.
    CliResult r = f.cli({"services"});
    EXPECT_THAT(r.out, HasSubstr(interrupted));
    EXPECT_EQ(f.services().at(0).status, ServiceStatus::processing);
    r = f.cli({"add-member", "Anne"});
    EXPECT_EQ(r.status, 0) << show(r);
    const Service repaired = f.services().at(0);
    EXPECT_EQ(repaired.status, ServiceStatus::failed);
    EXPECT_EQ(repaired.message, interrupted);
    EXPECT_EQ(repaired.progress, 0.4);
}

TEST(CliServices, WritingCommandsRefuseAtOnceWhileTheApplicationHoldsTheLibrary) {
    Fixture f;
    ASSERT_EQ(f.cli({"add-member", "Anne Smith"}).status, 0);
    const std::string holder = "Tallymere (process " + std::to_string(::getpid()) + ")";
    {
        auto application =
            HeldLock::take(f.root, LibraryLock::Range::library, LibraryLock::Kind::exclusive);
        application.recordHolder(LibraryLock::applicationName);
        for (const std::vector<std::string>& command :
             std::vector<std::vector<std::string>>{{"add-member", "Ben"},
                                                   {"rename", "M0001", "Anne Jones"},
                                                   {"remove-member", "M0001"}}) {
            const auto started = std::chrono::steady_clock::now();
            const CliResult r = f.cli(command);
            EXPECT_EQ(r.status, 1) << show(r);
            EXPECT_THAT(r.err, HasSubstr("The library is open in " + holder)) << show(r);
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
        }
        // Reading goes on meanwhile.
        const CliResult read = f.cli({"members"});
        EXPECT_EQ(read.status, 0) << show(read);
        EXPECT_THAT(read.out, HasSubstr("Anne Smith"));
    }
    const CliResult after = f.cli({"rename", "M0001", "Anne Jones"});
    EXPECT_EQ(after.status, 0) << show(after);
}

TEST(CliProcessCommand, RefusesWhatTheNewServiceSheetWouldNotStart) {
    Fixture f;
    const fs::path recording = f.dir / "sunday.mp4";
    std::ofstream(recording) << "x";
    const fs::path photo = f.dir / "a.jpg";
    std::ofstream(photo) << "x";

    CliResult r = f.cli({"process", (f.dir / "gone.mp4").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: File not found: " + (f.dir / "gone.mp4").string() +
                         ". Check the path and try again.\n");
    r = f.cli({"process", recording.string(), photo.string()});
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr("give one recording, or any number of photos"));
    r = f.cli({"process", f.dir.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("is not a file"));

    // No member can be recognised yet.
    Library(f.root).saveMembers({memberWithPhotos("M0001", "Anne", 0, 2)});
    r = f.cli({"process", recording.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: No members are recognisable yet. Add members with at least "
                     "one good photo first. Use \"tallymere-cli add-member NAME PHOTO...\".\n");

    // Without models the run cannot start; no service is left behind.
    Library(f.root).saveMembers({memberWithPhotos("M0001", "Anne", 1, 0)});
    r = f.cli({"process", recording.string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "tallymere-cli: Face models not found in " + f.noModels.string() +
                         ". Get them with: tallymere-cli get-models\n");
    EXPECT_TRUE(f.services().empty());
}

TEST(CliServices, CorrectFollowsTheOperatorAndRestoreBringsTheRunBack) {
    Fixture f;
    Library library(f.root);
    library.saveMembers({memberWithPhotos("M0001", "Anne", 1, 0),
                         memberWithPhotos("M0002", "Bob", 1, 0),
                         memberWithPhotos("M0003", "Carl", 1, 0)});
    const Service sunday = doneService("20240310-093000-aaaa", utc(2024, 3, 10, 9));
    library.save(sunday);
    const auto results = [&] { return encodeJSON(*library.loadServices().front().results); };
    const std::string automatic = results();

    CliResult r = f.cli({"correct", "latest", "M0001", "confirm"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("M0001 Anne: present (confirmed by operator)\n"));
    r = f.cli({"correct", sunday.id, "--visitor", "V0", "M0002"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("Visitor V0 is M0002 Bob.\n"));
    r = f.cli({"show", "latest"});
    EXPECT_THAT(r.out,
                HasSubstr("Present 2 · To double-check 0 · Absent 0 · Visitors (estimate) 0"));
    EXPECT_THAT(r.out, HasSubstr("Bob   present              0:01:35                        4  "
                                 "marked present by operator\n"));
    EXPECT_THAT(f.cli({"export", "latest"}).out,
                HasSubstr("M0002,\"Bob\",present,,0:01:35,,4,,\"marked present by operator\"\n"));
    EXPECT_THAT(f.cli({"services"}).out, HasSubstr("2 present, 0 absent, 0 visitors"));
    r = f.cli({"correct", "latest", "M0001", "absent"});
    EXPECT_THAT(f.cli({"export", "latest"}).out,
                HasSubstr("M0001,\"Anne\",absent,,,,0,,\"marked absent by operator\"\n"));
    EXPECT_EQ(results(), automatic);

    for (const char* id : {"M0001", "M0002"})
        ASSERT_EQ(f.cli({"correct", "latest", id, "restore"}).status, 0);
    EXPECT_EQ(f.cli({"export", "latest"}).out, library.csv(sunday, library.loadMembers()));
    EXPECT_TRUE(library.loadServices().front().corrections.empty());

    // Refusals change nothing; without models --add-photo names no one either.
    const auto refused = [&](std::vector<std::string> arguments, int status,
                             const std::string& text) {
        arguments.insert(arguments.begin(), "correct");
        const CliResult result = f.cli(arguments);
        EXPECT_EQ(result.status, status) << show(result);
        EXPECT_THAT(result.err, HasSubstr(text));
    };
    refused({"nope", "M0001", "absent"}, 1, "No service with ID nope.");
    refused({"latest", "M0009", "absent"}, 1, "No member with ID M0009.");
    refused(
        {"latest", "M0003", "present"}, 1,
        "M0003 Carl was not on the register of \"Sunday, \"early\"\": it holds the members who");
    refused({"latest", "--visitor", "V9", "M0002"}, 1,
            "has no visitor V9. \"tallymere-cli show SERVICE\" lists its visitors.");
    refused({"latest", "M0001", "maybe"}, 2, "unknown decision maybe");
    refused({"latest", "M0001", "present", "--add-photo"}, 2, "--add-photo goes with --visitor");
    refused({"latest", "--visitor", "V0", "M0002", "--add-photo"}, 1, "Face models not found");
    Service queued("20240317-093000-bbbb", "Evening", utc(2024, 3, 17, 18), utc(2024, 3, 17, 18),
                   {}, ProcessSettings::Mode::standard);
    queued.status = ServiceStatus::failed;
    library.save(queued);
    refused({"latest", "M0001", "absent"}, 1, "has no register to correct yet.");
    EXPECT_TRUE(library.loadServices().back().corrections.empty());
}

TEST(CliAttendance, FollowUpHistoryAndReportAgreeWithTheCore) {
    Fixture f;
    Library library(f.root);
    const std::vector<Member> members{memberWithPhotos("M0001", "Anne \"Nan\" Smith", 1, 0),
                                      memberWithPhotos("M0002", "Bob", 1, 0)};
    library.saveMembers(members);
    // Four weekly services: Anne is there at the first only; Bob is absent from the first two.
    std::vector<Service> services;
    for (int week = 0; week < 4; ++week) {
        Service s = doneService("2024030" + std::to_string(week + 1) + "-093000-aaaa",
                                utc(2024, 3, 3 + 7 * week, 9));
        s.results->members[0].present = week == 0;
        s.results->members[0].needsReview = false;
        s.results->members[1].present = week >= 2;
        library.save(s);
        services.push_back(s);
    }
    const std::map<std::string, std::string> utcZone{{"TZ", "UTC"}};
    const auto cli = [&](std::vector<std::string> arguments) {
        arguments.insert(arguments.begin(), {"--library", f.root.string()});
        return runCli(arguments, utcZone);
    };

    CliResult r = cli({"follow-up"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.out, "Away from the last 3 services or more: 1 member\n\n"
                     "ID     NAME              AWAY  LAST SEEN\n"
                     "M0001  Anne \"Nan\" Smith     3  2024-03-03\n");
    r = cli({"follow-up", "--missed", "4", "--label", "SUNDAY, \"EARLY\""});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Everyone has been seen in the last 4 services (SUNDAY, \"EARLY\" only).\n");
    EXPECT_EQ(cli({"follow-up", "--missed", "9"}).status, 2);

    r = cli({"history", "M0001"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, StartsWith("M0001  Anne \"Nan\" Smith\nAttended 1 of the last 4 · away 3 "
                                  "services in a row · last seen 2024-03-03\n\n"
                                  "DATE              SERVICE          ID                    "
                                  "ATTENDED  NOTE\n"
                                  "2024-03-24 09:00  Sunday, \"early\"  20240304-093000-aaaa  "
                                  "absent\n"));
    r = cli({"history", "M0002"});
    EXPECT_THAT(r.out, HasSubstr("Attended 2 of the last 4 · last seen 2024-03-24\n"));

    // The report is the core's, to standard output or into a folder, never into the library.
    ReportRange range{"2024-03-10", "2024-03-17", {}};
    r = cli({"report", "--from", "2024-03-10", "--to", "2024-03-17"});
    ASSERT_EQ(r.status, 0) << show(r);
    setenv("TZ", "UTC", 1);
    tzset();
    EXPECT_EQ(r.out, attendanceReport(services, members, range));
    EXPECT_THAT(r.out, StartsWith("member_id,name,\"2024-03-10 Sunday, \"\"early\"\"\","));
    r = cli({"report", "-o", f.dir.path().string() + "/"});
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.err, "Saved the attendance report of 4 services to " + f.dir.path().string() +
                         "/attendance-report.csv\n");
    std::ifstream in(f.dir / "attendance-report.csv");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              attendanceReport(services, members));
    r = cli({"report", "-o", (f.root / "members.json").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, StartsWith("tallymere-cli: The report cannot be saved to "));
    EXPECT_EQ(cli({"report", "--from", "2024-02-30"}).status, 2);
    EXPECT_EQ(cli({"report", "--from", "2024-03-10", "--to", "2024-03-01"}).status, 2);
}
