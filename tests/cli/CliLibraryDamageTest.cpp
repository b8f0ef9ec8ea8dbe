// tallymere-cli on libraries that were damaged, tampered with or changed by two programs at once:
// reading changes nothing, a damaged member list is reported and never replaced, member commands
// keep each other's changes, and nothing outside the library is written or deleted.

#include "CliRunner.h"
#include "library/Library.h"
#include "library/LibraryLock.h"
#include "support/ModelCache.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallymere;
using tallymere::testing::CliProcess;
using tallymere::testing::CliResult;
using tallymere::testing::runCli;
using tallymere::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;
using ::testing::StartsWith;
namespace fs = std::filesystem;

namespace {

struct Fixture {
    TempDir dir;
    fs::path root = dir / "library";
    fs::path noModels = dir / "no-models";
    Fixture() {
        fs::create_directories(noModels);
        Library{root};
    }

    CliResult cli(std::vector<std::string> arguments) const {
        arguments.insert(arguments.begin(), {"--library", root.string()});
        return runCli(arguments, {{"ATTENDANCE_MODELS", noModels.string()}});
    }
    std::vector<Member> members() const { return Library(root).loadMembers(); }
};

std::string show(const CliResult& r) {
    return "status " + std::to_string(r.status) + "\n--- stdout\n" + r.out + "--- stderr\n" + r.err;
}

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Member member(std::string id, std::string name) {
    Member m;
    m.id = std::move(id);
    m.name = std::move(name);
    m.created = std::chrono::sys_days{std::chrono::year(2026) / 3 / 8};
    return m;
}

// Every entry under a folder with its type, size, modification time and link target: equal
// snapshots mean nothing was made, removed or written there.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
    std::map<std::string, std::string> entries;
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(folder, ec))) return entries;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        struct stat info {};
        if (::lstat(it->path().c_str(), &info) != 0) continue;
        std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_size) +
                            " " + std::to_string(info.st_mtim.tv_sec) + "." +
                            std::to_string(info.st_mtim.tv_nsec);
        if (S_ISLNK(info.st_mode)) state += " -> " + fs::read_symlink(it->path(), ec).string();
        entries[fs::relative(it->path(), folder).string()] = state;
    }
    return entries;
}

Service interruptedService() {
    const Date date = std::chrono::sys_days{std::chrono::year(2026) / 3 / 8};
    Service s("20260308-093000-abcd", "Sunday", date, date, {"/recordings/sunday.mp4"},
              ProcessSettings::Mode::standard);
    s.status = ServiceStatus::processing;
    s.progress = 0.4;
    s.message = "40/100 frames";
    return s;
}

} // namespace

TEST(CliDamagedLibrary, ReadingCommandsChangeNothingOnDisk) {
    Fixture f;
    Library library(f.root);
    library.saveMembers({member("M0001", "Anne")});
    library.save(interruptedService());
    fs::remove(f.root / LibraryLock::fileName);
    const auto before = snapshot(f.root);
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"members"},
                                               {"members", "M0001"},
                                               {"list"},
                                               {"services"},
                                               {"show", "latest"},
                                               {"export", "latest"}}) {
        const CliResult r = f.cli(command);
        EXPECT_NE(r.status, 2) << show(r);
        EXPECT_EQ(snapshot(f.root), before) << command[0];
    }
    // The interrupted run shows as such; only a writing command stores it.
    const CliResult listed = f.cli({"services"});
    EXPECT_THAT(listed.out, HasSubstr("Interrupted when the app closed")) << show(listed);
    EXPECT_EQ(Library(f.root).loadServices().at(0).status, ServiceStatus::processing);

    // A library that is not there yet is not made by reading it.
    const fs::path absent = f.dir / "not-yet";
    const CliResult r = runCli({"--library", absent.string(), "members"});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("No members yet"));
    EXPECT_FALSE(fs::exists(absent));
}

TEST(CliDamagedLibrary, DamagedMemberListIsReportedNeverReplaced) {
    for (const std::string& damage :
         {std::string("[{\"id\": \"M0001\", \"name\": \"Anne\", \"created\": \"2026"),
          std::string("[{\"id\": \"M0001\", \"name\": 7, \"created\": \"2026-03-08T00:00:00Z\", "
                      "\"photos\": []}]"),
          std::string("{}")}) {
        Fixture f;
        fs::create_directories(f.root / "members" / "M0001");
        writeText(f.root / "members" / "M0001" / "old.jpg", "the old member's photo");
        writeText(f.root / "members.json", damage);
        const auto before = snapshot(f.root);

        for (const std::vector<std::string>& command :
             std::vector<std::vector<std::string>>{{"members"},
                                                   {"list"},
                                                   {"add-member", "Bob"},
                                                   {"rename", "M0001", "X"},
                                                   {"remove-member", "M0001"},
                                                   {"check"}}) {
            const CliResult r = f.cli(command);
            EXPECT_EQ(r.status, 1) << command[0] << "\n" << show(r);
            EXPECT_THAT(r.err, HasSubstr("The member list " + (f.root / "members.json").string() +
                                         " cannot be used: "))
                << command[0];
            EXPECT_THAT(r.err, HasSubstr("tallymere-cli set-aside-members")) << command[0];
            EXPECT_THAT(r.out, Not(HasSubstr("No members yet"))) << command[0];
            EXPECT_EQ(readText(f.root / "members.json"), damage);
            EXPECT_TRUE(fs::exists(f.root / "members" / "M0001" / "old.jpg"));
        }
        // Commands that need no members go on.
        EXPECT_EQ(f.cli({"services"}).status, 0);
        auto after = snapshot(f.root);
        after.erase(LibraryLock::fileName);
        EXPECT_EQ(after, before);

        // Setting it aside is its own step, and says where the file went.
        const CliResult aside = f.cli({"set-aside-members"});
        ASSERT_EQ(aside.status, 0) << show(aside);
        std::vector<fs::path> kept;
        for (const auto& entry : fs::directory_iterator(f.root))
            if (entry.path().filename().string().starts_with("members.json.unreadable-"))
                kept.push_back(entry.path());
        ASSERT_EQ(kept.size(), 1u);
        EXPECT_THAT(aside.out, HasSubstr(kept[0].string()));
        EXPECT_EQ(readText(kept[0]), damage);
        EXPECT_THAT(f.cli({"members"}).out, HasSubstr("No members yet"));
        // Nothing left to set aside now.
        EXPECT_EQ(f.cli({"set-aside-members"}).status, 1);
    }
}

TEST(CliConcurrentMembers, AMemberChangeWaitsForAnotherAndKeepsIt) {
    Fixture f;
    Library(f.root).saveMembers({member("M0001", "Anne"), member("M0002", "Bob")});
    for (const std::vector<std::string>& command :
         std::vector<std::vector<std::string>>{{"rename", "M0001", "Anne Jones"},
                                               {"add-member", "Carol"},
                                               {"remove-member", "M0002"}}) {
        auto other = LibraryLock::tryAcquire(f.root, LibraryLock::Range::members,
                                             LibraryLock::Kind::exclusive);
        ASSERT_TRUE(other);
        std::vector<std::string> arguments{"--library", f.root.string()};
        arguments.insert(arguments.end(), command.begin(), command.end());
        CliProcess tool(arguments, {{"ATTENDANCE_MODELS", f.noModels.string()}});
        ASSERT_TRUE(tool.waitForError("Waiting for another program to finish changing the "
                                      "member list"))
            << command[0] << "\n"
            << show(tool.finish());
        // Meanwhile the other program adds a member of its own.
        std::vector<Member> members = f.members();
        members.push_back(member("M0100", "Other " + command[0]));
        Library(f.root).saveMembers(members);
        other.reset();
        const CliResult r = tool.finish();
        EXPECT_EQ(r.status, 0) << show(r);
        bool kept = false;
        for (const Member& m : f.members())
            kept = kept || m.name == "Other " + command[0];
        EXPECT_TRUE(kept) << command[0];
        std::vector<Member> stored = f.members();
        std::erase_if(stored, [](const Member& m) { return m.id == "M0100"; });
        Library(f.root).saveMembers(stored);
    }
    std::set<std::string> names;
    for (const Member& m : f.members())
        names.insert(m.id == "M0001" ? m.id + " " + m.name : m.name);
    EXPECT_EQ(names, (std::set<std::string>{"M0001 Anne Jones", "Carol"}));
    EXPECT_FALSE(fs::exists(f.root / "members" / "M0002"));
}

TEST(CliDamagedLibrary, PlantedLinksNeverTakeWritesOrDeletesOutside) {
    Fixture f;
    Library library(f.root);
    library.saveMembers({member("M0001", "Anne")});
    // A service record elsewhere, linked in as if it were the library's.
    Library elsewhere(f.dir / "elsewhere");
    Service record = interruptedService();
    elsewhere.save(record);
    const fs::path target = elsewhere.serviceDir(record.id);
    fs::create_directory_symlink(target, library.servicesDir() / record.id);
    // A member folder that is a link to someone's photos.
    const fs::path photos = f.dir / "photos";
    fs::create_directories(photos);
    writeText(photos / "keep.jpg", "someone's photo");
    fs::create_directory_symlink(photos, library.membersDir() / "M0001");
    std::vector<Member> members = f.members();
    members[0].photos.emplace_back("keep.jpg", Date{});
    library.saveMembers(members);
    const auto outside = snapshot(f.dir / "elsewhere");
    const auto photosBefore = snapshot(photos);

    // The start-up repair of a writing command, removing the photo and the member.
    CliResult r = f.cli({"rename", "M0001", "Anne Jones"});
    EXPECT_EQ(r.status, 0) << show(r);
    r = f.cli({"remove-photo", "M0001", "keep.jpg"});
    EXPECT_EQ(r.status, 0) << show(r);
    r = f.cli({"remove-member", "M0001"});
    EXPECT_EQ(r.status, 0) << show(r);
    r = f.cli({"remove-service", record.id});
    EXPECT_EQ(r.status, 1) << show(r); // not one of the library's services
    EXPECT_EQ(snapshot(f.dir / "elsewhere"), outside);
    EXPECT_EQ(snapshot(photos), photosBefore);
    EXPECT_FALSE(fs::exists(fs::symlink_status(library.membersDir() / "M0001")));
}

namespace {

Service doneService() {
    Service s = interruptedService();
    s.status = ServiceStatus::done;
    s.progress = 1;
    s.message = "Finished";
    ServiceResults results;
    MemberResult anne;
    anne.memberID = "M0001";
    anne.present = true;
    anne.confidence = 0.9f;
    results.members = {anne};
    s.results = results;
    return s;
}

} // namespace

TEST(CliExport, NeverIntoTheLibraryAndFailuresSayWhyInPlainWords) {
    Fixture f;
    Library library(f.root);
    library.saveMembers({member("M0001", "Anne")});
    library.save(doneService());
    const fs::path record = library.serviceDir(doneService().id) / "service.json";
    const std::string membersBefore = readText(library.membersFile());
    const std::string recordBefore = readText(record);
    fs::create_directory_symlink(f.root / "services", f.dir / "linked");
    for (const fs::path& target :
         {library.membersFile(), record, f.root / "services" / ".." / "members.json",
          f.dir / "linked" / doneService().id / "service.json"}) {
        const CliResult r = f.cli({"export", "latest", "-o", target.string()});
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_THAT(r.err, HasSubstr("is inside the library " + f.root.string())) << target;
    }
    EXPECT_EQ(readText(library.membersFile()), membersBefore);
    EXPECT_EQ(readText(record), recordBefore);

    const fs::path missing = f.dir / "missing" / "out.csv";
    const CliResult r = f.cli({"export", "latest", "-o", missing.string()});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_EQ(r.err, "tallymere-cli: Couldn't write " + missing.string() + ": the folder " +
                         (f.dir / "missing").string() + " does not exist.\n");
}

TEST(CliDamagedLibrary, ADamagedServiceIsListedAndNeverStandsInForAnother) {
    Fixture f;
    Library library(f.root);
    const Service older = doneService();
    Service newer = doneService();
    newer.id = "20260315-093000-bbbb";
    newer.label = "Newer";
    library.save(older);
    library.save(newer);
    const fs::path record = library.serviceDir(newer.id) / "service.json";
    writeText(record, readText(record).substr(0, 20));
    const std::string problem =
        "The service " + newer.id +
        " cannot be read: service.json is not valid JSON (line 2, column 19).";

    CliResult r = f.cli({"services"});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr(older.id));
    EXPECT_THAT(r.out, HasSubstr(problem + "\n"));
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"show", "latest"}, {"export", "latest"}, {"show", newer.id}}) {
        r = f.cli(command);
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_THAT(r.err, StartsWith("tallymere-cli: " + problem + "\n")) << command[0];
        EXPECT_EQ(r.out, "") << command[0];
    }
    EXPECT_EQ(f.cli({"show", older.id}).status, 0);

    // A services folder that is a file is not "no services".
    fs::remove_all(f.root / "services");
    writeText(f.root / "services", "");
    r = f.cli({"services"});
    EXPECT_EQ(r.out, "The services folder " + (f.root / "services").string() +
                         " cannot be read: it is not a folder.\n");
}

TEST(CliDamagedLibrary, RemovalsThatCannotFinishAreReportedAndFinishWhenRunAgain) {
    Fixture f;
    Library library(f.root);
    Member anne = member("M0001", "Anne");
    anne.photos = {Photo("p.jpg", Date{}), Photo("p.jpg", Date{})};
    library.saveMembers({anne});
    fs::create_directories(library.membersDir() / "M0001");
    writeText(library.membersDir() / "M0001" / "p.jpg", "photo");
    Service done = doneService();
    library.save(done);
    fs::create_directories(library.serviceDir(done.id) / "evidence");
    writeText(library.serviceDir(done.id) / "evidence" / "e.jpg", "snapshot");

    // One file, two records: removing the photo would lose both records.
    CliResult r = f.cli({"remove-photo", "M0001", "p.jpg"});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_THAT(r.err, HasSubstr("2 photos of M0001 share the ID p.jpg."));
    EXPECT_EQ(f.members().at(0).photos.size(), 2u);

    tallymere::testing::UndeletableFolder member(library.membersDir() / "M0001");
    tallymere::testing::UndeletableFolder evidence(library.serviceDir(done.id) / "evidence");
    if (!member.held || !evidence.held) GTEST_SKIP() << "cannot make a folder undeletable here";
    r = f.cli({"remove-member", "M0001"});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_EQ(r.err, "tallymere-cli: Couldn't delete " + (library.membersDir() / "M0001").string() +
                         ": no permission to delete what is in it.\n");
    EXPECT_EQ(f.members().size(), 1u);
    EXPECT_TRUE(fs::exists(library.membersDir() / "M0001" / "p.jpg"));
    r = f.cli({"remove-service", done.id});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_THAT(r.err, HasSubstr((library.serviceDir(done.id) / "evidence").string()));
    EXPECT_EQ(library.loadServices().size(), 1u);
    EXPECT_TRUE(fs::exists(library.serviceDir(done.id) / "evidence" / "e.jpg"));

    member.release();
    evidence.release();
    EXPECT_EQ(f.cli({"remove-member", "M0001"}).status, 0);
    EXPECT_EQ(f.cli({"remove-service", done.id}).status, 0);
    EXPECT_TRUE(f.members().empty());
    EXPECT_FALSE(fs::exists(library.membersDir() / "M0001"));
    EXPECT_FALSE(fs::exists(library.serviceDir(done.id)));
}

TEST(CliExport, SpecialFilesAndLinksAreWrittenThroughNeverReplaced) {
    Fixture f;
    Library library(f.root);
    library.saveMembers({member("M0001", "Anne")});
    library.save(doneService());
    const std::string csv = library.csv(doneService(), library.loadMembers());

    // A link to this process's standard output, as /dev/stdout is.
    const fs::path toOutput = f.dir / "out.csv";
    fs::create_symlink("/proc/self/fd/1", toOutput);
    CliResult r = f.cli({"export", "latest", "-o", toOutput.string()});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.out, csv);
    EXPECT_TRUE(fs::is_symlink(toOutput));

    // A link to a regular file: the file gets the register, the link stays.
    const fs::path real = f.dir / "registers" / "sunday.csv";
    fs::create_directories(real.parent_path());
    writeText(real, "old");
    const fs::path link = f.dir / "latest.csv";
    fs::create_symlink(real, link);
    r = f.cli({"export", "latest", "-o", link.string()});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readText(real), csv);

    // A regular file is replaced as before.
    r = f.cli({"export", "latest", "-o", real.string()});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(readText(real), csv);
}

TEST(CliLibraryPath, APathThatIsNotAFolderIsAnError) {
    Fixture f;
    const fs::path file = f.dir / "notes.txt";
    writeText(file, "not a library");
    const fs::path photo = f.dir / "a.jpg";
    writeText(photo, "x");
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"members"}, {"list"}, {"add-member", "Anne"}, {"process", photo.string()}}) {
        std::vector<std::string> arguments{"--library", file.string()};
        arguments.insert(arguments.end(), command.begin(), command.end());
        const CliResult r = runCli(arguments, {{"ATTENDANCE_MODELS", f.noModels.string()}});
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_EQ(r.err, "tallymere-cli: The library " + file.string() +
                             " is not a folder. Give the library's folder with --library or "
                             "TALLYMERE_LIBRARY.\n")
            << command[0];
    }
    EXPECT_EQ(readText(file), "not a library");
    EXPECT_EQ(std::distance(fs::directory_iterator(f.dir.path()), fs::directory_iterator()), 4);
}

TEST(CliDamagedLibrary, SmallerFaults) {
    Fixture f;
    Library library(f.root);
    // Two members sharing an id, as only a hand edit makes: neither is removed.
    library.saveMembers({member("M0001", "Anne"), member("M0001", "Bob")});
    fs::create_directories(library.membersDir() / "M0001");
    writeText(library.membersDir() / "M0001" / "p.jpg", "photo");
    for (const std::vector<std::string>& command : std::vector<std::vector<std::string>>{
             {"remove-member", "M0001"}, {"rename", "M0001", "X"}}) {
        const CliResult r = f.cli(command);
        EXPECT_EQ(r.status, 1) << show(r);
        EXPECT_THAT(r.err, HasSubstr("2 members share the ID M0001 (Anne, Bob)"));
    }
    EXPECT_EQ(f.members().size(), 2u);
    EXPECT_TRUE(fs::exists(library.membersDir() / "M0001" / "p.jpg"));

    // Names with line breaks and terminal escapes reach the terminal escaped.
    library.saveMembers({member("M0001", "Anne\nM0002  Mallory"), member("M0003", "\x1b[2JEve")});
    CliResult r = f.cli({"members"});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_THAT(r.out, HasSubstr("Anne\\nM0002  Mallory"));
    EXPECT_THAT(r.out, HasSubstr("\\x1b[2JEve"));
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos);
    r = f.cli({"rename", "M0003", "Eve\x1b]0;owned\x07"});
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << r.out;

    // A name that cannot be saved leaves no member folder behind.
    const auto folders = snapshot(library.membersDir());
    r = f.cli({"add-member", "Bad \xff name"});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_EQ(r.err, "tallymere-cli: The name is not valid text.\n");
    EXPECT_EQ(snapshot(library.membersDir()), folders);
    EXPECT_EQ(f.members().size(), 2u);

    // A lock file that is a link makes no file where it points.
    fs::remove(f.root / LibraryLock::fileName);
    fs::create_symlink(f.dir / "planted", f.root / LibraryLock::fileName);
    r = f.cli({"add-member", "Carol"});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_THAT(r.err, HasSubstr("is a link"));
    EXPECT_FALSE(fs::exists(f.dir / "planted"));
}

namespace {

// The shared source models converted once per build, as the end-to-end test uses them.
const fs::path& convertedModels() {
    static const fs::path dir =
        tallymere::testing::convertedSharedModels("scrfd_2.5g_kps.onnx", "640,1280");
    return dir;
}

Member recognisable(std::string id, std::string name) {
    Member m = member(std::move(id), std::move(name));
    Photo photo("p.jpg", Date{});
    photo.checked = photo.ok = true;
    photo.embedding = std::vector<float>(512, 0.0f);
    (*photo.embedding)[0] = 1;
    m.photos = {photo};
    return m;
}

} // namespace

TEST(CliWithModels, PhotosOfWhichNoneCanBeReadFailTheRun) {
    TALLYMERE_REQUIRE_SHARED();
    Fixture f;
    Library(f.root).saveMembers({recognisable("M0001", "Anne")});
    const fs::path a = f.dir / "a.jpg";
    const fs::path b = f.dir / "b.png";
    writeText(a, "not a picture");
    writeText(b, "");
    const CliResult r = runCli({"--library", f.root.string(), "process", a.string(), b.string()},
                               {{"ATTENDANCE_MODELS", convertedModels().string()}});
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_THAT(r.err, HasSubstr("Couldn't read any of the photos: a.jpg, b.png"));
    const auto services = Library(f.root).loadServices();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].status, ServiceStatus::failed);
    EXPECT_FALSE(services[0].results);
}

TEST(CliWithModels, AMemberWhosePhotoCannotBeCopiedIsNotAddedAtAll) {
    TALLYMERE_REQUIRE_SHARED();
    Fixture f;
    const fs::path photo = tallymere::testing::sharedFaces() / "people" / "Joe Biden" / "biden.jpg";
    const std::map<std::string, std::string> environment{
        {"ATTENDANCE_MODELS", convertedModels().string()}};
    const std::vector<std::string> command{"--library", f.root.string(), "add-member", "Joe",
                                           photo.string()};
    CliResult r;
    {
        // Inherited by the tool: a disk that fills up while the photo is copied.
        tallymere::testing::FileSizeLimit limit(fs::file_size(photo) / 2);
        r = runCli(command, environment);
    }
    EXPECT_EQ(r.status, 1) << show(r);
    EXPECT_EQ(r.err, "tallymere-cli: Couldn't copy " + photo.string() +
                         ": the file would be larger than this system allows.\n");
    EXPECT_TRUE(f.members().empty());
    EXPECT_TRUE(snapshot(f.root / "members").empty());

    r = runCli(command, environment);
    EXPECT_EQ(r.status, 0) << show(r);
    ASSERT_EQ(f.members().size(), 1u);
    EXPECT_EQ(f.members()[0].photos.size(), 1u);
}

TEST(CliWithModels, ACheckMergesIntoTheListAsItIsAfterIt) {
    TALLYMERE_REQUIRE_SHARED();
    Fixture f;
    Library library(f.root);
    Member joe = member("M0001", "Joe");
    joe.photos = library.importPhotos(
        {tallymere::testing::sharedFaces() / "people" / "Joe Biden" / "biden.jpg"}, "M0001");
    library.saveMembers({joe});

    auto other =
        LibraryLock::tryAcquire(f.root, LibraryLock::Range::members, LibraryLock::Kind::exclusive);
    ASSERT_TRUE(other);
    CliProcess tool({"--library", f.root.string(), "check", "M0001"},
                    {{"ATTENDANCE_MODELS", convertedModels().string()}});
    ASSERT_TRUE(tool.waitForError("Waiting for another program to finish changing the "
                                  "member list"))
        << show(tool.finish());
    // While the check ran, another program renamed Joe, added a photo record and a member.
    std::vector<Member> changed = f.members();
    changed[0].name = "Joe Biden";
    changed[0].photos.emplace_back("later.jpg", Date{});
    changed.push_back(member("M0002", "Kamala"));
    library.saveMembers(changed);
    other.reset();
    const CliResult r = tool.finish();
    EXPECT_EQ(r.status, 0) << show(r);

    const auto members = f.members();
    ASSERT_EQ(members.size(), 2u);
    const Member& checked = members[0].id == "M0001" ? members[0] : members[1];
    EXPECT_EQ(checked.name, "Joe Biden");
    ASSERT_EQ(checked.photos.size(), 2u);
    EXPECT_TRUE(checked.photos[0].ok) << checked.photos[0].reason;
    EXPECT_EQ(checked.photos[1].id, "later.jpg");
    EXPECT_FALSE(checked.photos[1].checked);
}
