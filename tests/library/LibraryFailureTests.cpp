// Failures of the library's operations: each is reported in one plain sentence, and none leaves
// a change half made, a temporary file or a file the records do not name.

#include "library/AtomicFile.h"
#include "library/OpenLibrary.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::Not;

void writeText(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> found;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        found.push_back(entry.path().filename().string());
    std::sort(found.begin(), found.end());
    return found;
}

std::string failure(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const LibraryError& error) {
        return error.what();
    }
    return "no failure";
}

TEST(AtomicFile, FailuresNameTheFileAndCauseAndLeaveNoTemporaryFile) {
    testing::TempDir dir;
    const fs::path missing = dir / "missing";
    EXPECT_EQ(failure([&] { writeFileAtomically(missing / "out.csv", "x"); }),
              "Couldn't write " + (missing / "out.csv").string() + ": the folder " +
                  missing.string() + " does not exist.");

    // A full disk, or a file-size limit like it: the old content stays, no temporary file.
    const fs::path target = dir / "out.csv";
    writeText(target, "old");
    {
        testing::FileSizeLimit limit(16);
        EXPECT_EQ(failure([&] { writeFileAtomically(target, std::string(100, 'x')); }),
                  "Couldn't write " + target.string() +
                      ": the file would be larger than this system allows.");
    }
    EXPECT_EQ(readText(target), "old");
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"out.csv"});

    // A writer killed mid-write left its temporary file: the next write removes it.
    const fs::path stale = dir / ".out.csv.tmp-0123456789abcdef";
    writeText(stale, "half");
    fs::last_write_time(stale, fs::file_time_type::clock::now() - std::chrono::minutes(5));
    writeFileAtomically(target, "new");
    EXPECT_EQ(readText(target), "new");
    EXPECT_EQ(names(dir.path()), std::vector<std::string>{"out.csv"});
}

TEST(LibraryExport, TargetsInsideTheLibraryAreRefusedHoweverNamed) {
    testing::TempDir dir;
    OpenLibrary open(dir / "library");
    const Library& library = open.library();
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(library.root(), dir / "elsewhere" / "link");
    for (const fs::path& inside :
         {library.membersFile(), library.servicesDir() / "x" / "service.json",
          dir / "elsewhere" / ".." / "library" / "members.json",
          dir / "elsewhere" / "link" / "members.json", library.root() / "new.csv"})
        EXPECT_THAT(failure([&] { library.checkExportTarget(inside); }),
                    HasSubstr("is inside the library"))
            << inside;
    EXPECT_EQ(failure([&] { library.checkExportTarget(dir / "library.csv"); }), "no failure");
    EXPECT_EQ(failure([&] { library.checkExportTarget(dir / "elsewhere" / "out.csv"); }),
              "no failure");
}

TEST(LibraryRecords, UnparsableMemberListsAreDescribedInTheLibrarysWords) {
    testing::TempDir dir;
    const fs::path root = dir / "library";
    Library library(root);
    const std::pair<std::string, std::string> cases[] = {
        {std::string("[\n  {\"id\": \"M1\",\0 }]", 18),
         "members.json is not valid JSON (line 2, column 15)."},
        {"[\n  {\"id\": \"M1\", \"na", "members.json is not valid JSON (line 2, column 19)."},
        {std::string("\xff\xfe[\0]\0", 6), "members.json is not UTF-8 text."},
        {"[{\"id\": \"M\xe9\"}]", "members.json is not UTF-8 text."},
    };
    for (const auto& [text, problem] : cases) {
        writeText(library.membersFile(), text);
        EXPECT_EQ(library.readMembers().problem, "The member list " +
                                                     library.membersFile().string() +
                                                     " cannot be used: " + problem);
    }
}

TEST(OpenLibraryFailures, MemberChangesAreAllOrNothing) {
    testing::TempDir dir;
    OpenLibrary library(dir / "library");
    const fs::path membersDir = library.library().membersDir();
    writeText(dir / "a.jpg", std::string(4096, 'a'));
    fs::create_directory(dir / "b.jpg"); // a photo that cannot be read

    // A name that could never be saved is refused before anything is written.
    EXPECT_EQ(failure([&] { library.addMember("Bad \xff name"); }), "The name is not valid text.");
    EXPECT_FALSE(fs::exists(library.library().membersFile()));

    // A photo that cannot be copied: no member, no folder, no partial file.
    EXPECT_EQ(failure([&] {
                  library.addMember("Anne", {dir / "a.jpg", dir / "b.jpg"});
              }),
              "Couldn't read " + (dir / "b.jpg").string() + ": it is not a file.");
    {
        testing::FileSizeLimit limit(1024);
        EXPECT_EQ(failure([&] { library.addMember("Anne", {dir / "a.jpg"}); }),
                  "Couldn't copy " + (dir / "a.jpg").string() +
                      ": the file would be larger than this system allows.");
    }
    EXPECT_TRUE(library.members().empty());
    EXPECT_TRUE(names(membersDir).empty());

    const Member anne = library.addMember("Anne", {dir / "a.jpg"});
    ASSERT_EQ(anne.photos.size(), 1u);
    EXPECT_EQ(names(membersDir / anne.id), std::vector<std::string>{anne.photos[0].id});
    EXPECT_EQ(failure([&] { library.rename(anne.id, "\xc0\xaf"); }), "The name is not valid text.");

    // Adding photos keeps those copied before a failure, and says which one failed.
    EXPECT_EQ(failure([&] {
                  library.addPhotos(anne.id, {dir / "a.jpg", dir / "b.jpg"});
              }),
              "Couldn't read " + (dir / "b.jpg").string() +
                  ": it is not a file. The photo before it was added.");
    EXPECT_EQ(library.member(anne.id).photos.size(), 2u);
    EXPECT_EQ(names(membersDir / anne.id).size(), 2u);

    // Two records of one photo id name one file: removing "one" would drop both.
    Library(library.library().root()).updateMembers([&](std::vector<Member>& members) {
        members[0].photos.push_back(members[0].photos[0]);
    });
    library.reload();
    const std::string shared = anne.photos[0].id;
    EXPECT_EQ(failure([&] { library.removePhoto(anne.id, shared); }),
              "2 photos of " + anne.id + " share the ID " + shared +
                  ". Give each its own ID in the member list first.");
    EXPECT_EQ(library.member(anne.id).photos.size(), 3u);
    EXPECT_TRUE(fs::exists(membersDir / anne.id / shared));

    // A folder whose files cannot be deleted keeps its member, with every file; once it can be,
    // the same removal finishes.
    testing::UndeletableFolder locked(membersDir / anne.id);
    if (!locked.held) GTEST_SKIP() << "cannot make a folder undeletable here";
    EXPECT_EQ(failure([&] { library.removeMember(anne.id); }),
              "Couldn't delete " + (membersDir / anne.id).string() +
                  ": no permission to delete what is in it.");
    EXPECT_EQ(library.members().size(), 1u);
    EXPECT_EQ(names(membersDir / anne.id).size(), 2u);
    locked.release();
    library.removeMember(anne.id);
    EXPECT_TRUE(library.members().empty());
    EXPECT_FALSE(fs::exists(membersDir / anne.id));
}

TEST(OpenLibraryFailures, DamagedServicesAreListedWithWhyAndNeverStandInForOthers) {
    testing::TempDir dir;
    const fs::path root = dir / "library";
    const Date day = std::chrono::sys_days{std::chrono::year(2026) / 3 / 8};
    {
        OpenLibrary writer(root);
        writer.addService(Service("20260308-093000-aaaa", "Older", day, day, {"/a.mp4"},
                                  ProcessSettings::Mode::standard));
        writer.addService(Service("20260315-093000-bbbb", "Newer", day + std::chrono::days(7),
                                  day + std::chrono::days(7), {"/b.mp4"},
                                  ProcessSettings::Mode::standard));
    }
    const fs::path newer = root / "services" / "20260315-093000-bbbb";
    writeText(newer / "service.json", readText(newer / "service.json").substr(0, 20));

    OpenLibrary library(root);
    ASSERT_EQ(library.services().size(), 1u);
    ASSERT_EQ(library.unreadableServices().size(), 1u);
    const std::string problem =
        "The service 20260315-093000-bbbb cannot be read: service.json is not valid JSON (line 2, "
        "column 19).";
    EXPECT_EQ(library.unreadableServices()[0].problem, problem);
    for (const char* id : {"latest", "20260315-093000-bbbb"}) {
        try {
            library.service(id);
            ADD_FAILURE() << id << " gave a service";
        } catch (const LibraryError& error) {
            EXPECT_EQ(error.kind(), LibraryError::Kind::unreadableService);
            EXPECT_EQ(error.what(), problem);
        }
    }
    EXPECT_EQ(library.service("20260308-093000-aaaa").label, "Older");

    // Set aside, it is kept beside the others and no longer listed; only a damaged one goes so.
    EXPECT_THAT(failure([&] { library.setAsideService("20260308-093000-aaaa"); }),
                HasSubstr("not set aside"));
    const fs::path aside = library.setAsideService("20260315-093000-bbbb");
    EXPECT_TRUE(fs::exists(aside / "service.json"));
    EXPECT_TRUE(library.unreadableServices().empty());
    EXPECT_EQ(library.service("latest").label, "Older");

    // A service whose folder cannot be deleted stays whole and listed.
    testing::UndeletableFolder locked(root / "services" / "20260308-093000-aaaa");
    if (locked.held) {
        EXPECT_THAT(failure([&] { library.removeService("20260308-093000-aaaa"); }),
                    HasSubstr("no permission to delete what is in it"));
        EXPECT_EQ(library.services().size(), 1u);
        EXPECT_EQ(Library(root).loadServices().size(), 1u);
        locked.release();
        library.removeService("20260308-093000-aaaa");
        EXPECT_TRUE(library.services().empty());
    }

    // A services folder that is a file is a problem, not "no services".
    fs::remove_all(root / "services");
    writeText(root / "services", "not a folder");
    library.reloadServices();
    EXPECT_EQ(library.servicesProblem(), "The services folder " + (root / "services").string() +
                                             " cannot be read: it is not a folder.");
    EXPECT_THAT(failure([&] { library.service("latest"); }), HasSubstr("cannot be read"));
}

} // namespace
} // namespace tallymere
