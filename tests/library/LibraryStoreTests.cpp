// The library on disk: where it lives, loading and saving members and services, identifiers,
// photo imports, and the protections against damaged or crafted files.

#include "library/Json.h"
#include "library/Library.h"
#include "support/TestSupport.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <limits>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using namespace std::chrono;

// Sets (or unsets) an environment variable for the length of a test.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name)) old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedEnv() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Whether `text` has the given shape: in `shape`, '9' stands for a decimal digit, 'X' for an
// upper-case and 'x' for a lower-case hexadecimal digit; every other character stands for itself.
bool shaped(std::string_view text, std::string_view shape) {
    if (text.size() != shape.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const bool digit = c >= '0' && c <= '9';
        switch (shape[i]) {
        case '9':
            if (!digit) return false;
            break;
        case 'X':
            if (!digit && !(c >= 'A' && c <= 'F')) return false;
            break;
        case 'x':
            if (!digit && !(c >= 'a' && c <= 'f')) return false;
            break;
        default:
            if (c != shape[i]) return false;
        }
    }
    return true;
}

Member member(std::string id, std::string name) {
    Member m;
    m.id = std::move(id);
    m.name = std::move(name);
    m.created = sys_days{2026y / 3 / 8};
    return m;
}

std::vector<Member> membersWithIDs(std::vector<std::string> ids) {
    std::vector<Member> members;
    for (auto& id : ids)
        members.push_back(member(id, "Someone"));
    return members;
}

Service service(std::string id, Date date, Date created) {
    return Service(std::move(id), "Service", date, created, {"/videos/a.mp4"},
                   ProcessSettings::Mode::standard);
}

TEST(LibraryRoot, EnvironmentChoosesTheRootAndInitCreatesTheFolders) {
    TempDir dir;
    {
        ScopedEnv library("TALLYMERE_LIBRARY", (dir.path() / "My Library").c_str());
        const fs::path root = Library::defaultRoot();
        EXPECT_EQ(root, dir.path() / "My Library");
        Library opened(root);
        EXPECT_TRUE(fs::is_directory(root / "members"));
        EXPECT_TRUE(fs::is_directory(root / "services"));
    }
    {
        // Empty counts as unset: it must not make the current folder the library.
        ScopedEnv library("TALLYMERE_LIBRARY", "");
        ScopedEnv data("XDG_DATA_HOME", "/data/home");
        EXPECT_EQ(Library::defaultRoot(), fs::path("/data/home/Tallymere"));
    }
    {
        // A reader's library makes no folders.
        Library reader(dir.path() / "Not Yet", false);
        EXPECT_FALSE(fs::exists(dir.path() / "Not Yet"));
    }
    ScopedEnv noLibrary("TALLYMERE_LIBRARY", nullptr);
    {
        ScopedEnv data("XDG_DATA_HOME", "/data/home");
        EXPECT_EQ(Library::defaultRoot(), fs::path("/data/home/Tallymere"));
    }
    ScopedEnv noData("XDG_DATA_HOME", nullptr);
    ScopedEnv home("HOME", "/home/operator");
    EXPECT_EQ(Library::defaultRoot(), fs::path("/home/operator/.local/share/Tallymere"));
}

TEST(LibraryMembers, SavedSortedByNameCaseInsensitivelyAndReadBackInFileOrder) {
    TempDir dir;
    Library library(dir.path());
    EXPECT_TRUE(library.loadMembers().empty()); // no file yet

    const std::vector<Member> members{member("M0001", "bob"), member("M0002", "Alice"),
                                      member("M0003", "Émile"), member("M0004", "alice")};
    // The POSIX locale would sort by code point (upper case first); names must not.
    for (const char* locale : {"C", "en_GB.UTF-8", ""}) {
        ScopedEnv all("LC_ALL", locale);
        library.saveMembers(members);
        const auto loaded = library.loadMembers();
        std::vector<std::string> names;
        for (const Member& m : loaded)
            names.push_back(m.name);
        // "Alice" and "alice" compare equal and keep their relative order.
        EXPECT_EQ(names, (std::vector<std::string>{"Alice", "alice", "bob", "Émile"})) << locale;
    }
    EXPECT_EQ(members[0].name, "bob"); // the caller's list is untouched
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{"members", "members.json", "services"}));
}

TEST(LibraryMembers, FailedSaveKeepsThePreviousFile) {
    TempDir dir;
    Library library(dir.path());
    library.saveMembers({member("M0001", "Anne")});
    const std::string before = readText(dir / "members.json");

    Member broken = member("M0002", "Bob");
    broken.photos.push_back(Photo("p.jpg", Date{}));
    broken.photos[0].quality = std::numeric_limits<float>::quiet_NaN();
    EXPECT_THROW(library.saveMembers({member("M0001", "Anne"), broken}), LibraryError);
    EXPECT_EQ(readText(dir / "members.json"), before);

    // A folder that cannot take the file: a sentence naming it, nothing left behind.
    Library nowhere(dir / "members.json" / "inside");
    EXPECT_THROW(nowhere.saveMembers({}), LibraryError);
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{"members", "members.json", "services"}));
}

TEST(LibraryMembers, DamagedMemberFileIsReportedAndSetAsideOnlyWhenAsked) {
    TempDir dir;
    Library library(dir.path());
    EXPECT_THROW(library.setAsideMembers(), LibraryError); // no file
    library.saveMembers({member("M0001", "Anne")});
    EXPECT_THROW(library.setAsideMembers(), LibraryError); // a good file stays
    const fs::path file = dir / "members.json";
    const std::string truncated = "[{\"id\": \"M0001\", \"name\": \"Anne\", \"created\": \"2026";
    for (const std::string& damage :
         {truncated, std::string("not json"), std::string("[{\"id\": 1}]"), std::string("{}")}) {
        writeText(file, damage);
        const Library::MemberList list = library.readMembers();
        EXPECT_FALSE(list.readable()) << damage;
        EXPECT_TRUE(list.members.empty());
        EXPECT_TRUE(
            list.problem.starts_with("The member list " + file.string() + " cannot be used: "))
            << list.problem;
        EXPECT_TRUE(library.loadMembers().empty());
        // Nothing replaces it: a save would lose the members it still holds.
        try {
            library.saveMembers({member("M0009", "Someone new")});
            ADD_FAILURE() << "a damaged list was saved over: " << damage;
        } catch (const LibraryError& error) {
            EXPECT_EQ(error.what(), list.problem);
        }
        // Reading changed nothing: the file is where it was, as it was.
        EXPECT_EQ(readText(file), damage);
        auto names = namesIn(dir.path());
        std::erase(names, ".tallymere.lock"); // the member lock's file, from updateMembers
        EXPECT_EQ(names, (std::vector<std::string>{"members", "members.json", "services"}));
        // The member list cannot be changed over it either.
        EXPECT_THROW(library.updateMembers([](std::vector<Member>& members) { members.clear(); }),
                     LibraryError);
        EXPECT_EQ(readText(file), damage);
    }
    EXPECT_THAT(library.readMembers().problem, ::testing::HasSubstr("Expected a JSON array"));

    // Setting it aside is the explicit step; two in the same second keep separate names.
    std::multiset<std::string> kept;
    for (const std::string& damage : {truncated, std::string("not json")}) {
        writeText(file, damage);
        const fs::path aside = library.setAsideMembers();
        EXPECT_TRUE(shaped(aside.filename().string(), "members.json.unreadable-99999999T999999Z") ||
                    shaped(aside.filename().string(), "members.json.unreadable-99999999T999999Z-9"))
            << aside;
        kept.insert(readText(aside));
        EXPECT_FALSE(fs::exists(file));
        EXPECT_TRUE(library.loadMembers().empty());
    }
    EXPECT_EQ(kept, (std::multiset<std::string>{truncated, "not json"}));
}

TEST(LibraryMembers, UpdateReReadsTheStoredListAndSavesTheChange) {
    TempDir dir;
    Library library(dir.path());
    library.saveMembers({member("M0001", "Anne")});
    // Another program's save after this one loaded its copy is kept.
    Library other(dir.path());
    other.saveMembers({member("M0001", "Anne"), member("M0002", "Bob")});
    const auto saved = library.updateMembers(
        [](std::vector<Member>& members) { members.push_back(member("M0003", "Carol")); });
    EXPECT_EQ(saved.size(), 3u);
    EXPECT_EQ(library.loadMembers(), saved);
    // A change that throws saves nothing.
    EXPECT_THROW(library.updateMembers([](std::vector<Member>& members) {
        members.clear();
        throw LibraryError("no");
    }),
                 LibraryError);
    EXPECT_EQ(library.loadMembers().size(), 3u);
}

TEST(LibraryMembers, NextMemberIDCountsUpPastTakenIDs) {
    TempDir dir;
    Library library(dir.path());
    EXPECT_EQ(library.nextMemberID({}), "M0001");
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0001", "M0002"})), "M0003");
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0002", "M0003"})), "M0004");
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0001", "M0003"})), "M0004");
    // Above the highest number, so that the id of a member deleted later is not given again.
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0005"})), "M0006");
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"X", "Y", "M12"})), "M0013");
    std::vector<std::string> many;
    for (int n = 1; n <= 9999; ++n) {
        char id[16];
        std::snprintf(id, sizeof id, "M%04d", n);
        many.push_back(id);
    }
    EXPECT_EQ(library.nextMemberID(membersWithIDs(many)), "M10000");
}

TEST(LibraryMembers, NextMemberIDNeverReusesAnIDOfARegisterOrAFolder) {
    TempDir dir;
    Library library(dir.path());
    // M0003 attended a service and was then deleted, with the highest id at the time.
    Service service("s1", "Sunday", Date{}, Date{}, {}, ProcessSettings::Mode::standard);
    ServiceResults results;
    MemberResult gone;
    gone.memberID = "M0003";
    gone.present = true;
    MemberResult kept;
    kept.memberID = "M0001";
    results.members = {kept, gone};
    service.results = results;
    library.save(service);
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0001", "M0002"})), "M0004");

    // A folder left behind (or made for a member whose record was never saved) is not reused
    // either, whatever it holds.
    fs::create_directories(library.membersDir() / "M0007");
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0001", "M0002"})), "M0008");
    fs::create_directories(library.membersDir() / "M0100x");
    writeText(library.membersDir() / "M0009", "not a folder");
    EXPECT_EQ(library.nextMemberID(membersWithIDs({"M0001"})), "M0010");
}

TEST(LibraryImport, CopiesImagesUnderNewLowerCaseNamesAndSkipsOtherFiles) {
    TempDir dir;
    Library library(dir / "library");
    writeText(dir / "in" / "Photo.JPG", "jpeg bytes");
    writeText(dir / "in" / "notes.txt", "text");
    writeText(dir / "in" / "a.png", "png bytes");
    writeText(dir / "in" / "b.mov", "video");
    writeText(dir / "in" / "noextension", "?");

    const auto before = system_clock::now();
    const auto photos = library.importPhotos({dir / "in" / "Photo.JPG", dir / "in" / "notes.txt",
                                              dir / "in" / "b.mov", dir / "in" / "noextension",
                                              dir / "in" / "a.png", dir / "in" / "Photo.JPG"},
                                             "M0001");
    ASSERT_EQ(photos.size(), 3u);
    for (const Photo& photo : photos) {
        EXPECT_TRUE(shaped(photo.id, "9999999999999_XXXXXX.jpg") ||
                    shaped(photo.id, "9999999999999_XXXXXX.png"))
            << photo.id;
        EXPECT_EQ(photo, Photo(photo.id, photo.added)); // fresh and unchecked
        EXPECT_GE(photo.added, before);
    }
    EXPECT_TRUE(photos[0].id.ends_with(".jpg"));
    EXPECT_TRUE(photos[1].id.ends_with(".png"));
    EXPECT_NE(photos[0].id, photos[2].id); // the same file twice gives two photos
    EXPECT_EQ(readText(library.photoURL("M0001", photos[0].id)), "jpeg bytes");
    EXPECT_EQ(readText(library.photoURL("M0001", photos[1].id)), "png bytes");
    EXPECT_EQ(namesIn(library.membersDir() / "M0001").size(), 3u);

    // A source that cannot be copied fails the call.
    EXPECT_THROW(library.importPhotos({dir / "in" / "missing.jpg"}, "M0001"), LibraryError);
}

TEST(LibraryServices, ListedNewestFirstSkippingWhatCannotBeRead) {
    TempDir dir;
    Library library(dir.path());
    const Date sunday = sys_days{2026y / 3 / 8} + 9h + 30min;
    library.save(service("a", sunday, sunday + 1h));
    library.save(service("b", sunday, sunday + 3h)); // same date, created later: first
    library.save(service("c", sunday - days(7), sunday + 5h));
    library.save(service("d", sunday + days(7), sunday - days(30)));
    Service withResults = service("e", sunday - days(7), sunday + 5h); // ties with c
    withResults.results = ServiceResults{};
    library.save(withResults);

    // Things that are not services.
    fs::create_directories(library.servicesDir() / ".hidden");
    writeText(library.servicesDir() / "stray.txt", "hello");
    writeText(library.servicesDir() / "broken" / "service.json", "{\"id\": \"broken\"}");
    fs::create_directories(library.servicesDir() / "empty" / "evidence");

    const auto services = library.loadServices();
    std::vector<std::string> ids;
    for (const Service& s : services)
        ids.push_back(s.id);
    ASSERT_EQ(ids.size(), 5u);
    EXPECT_EQ(ids[0], "d");
    EXPECT_EQ(ids[1], "b");
    EXPECT_EQ(ids[2], "a");
    EXPECT_EQ((std::set<std::string>{ids[3], ids[4]}), (std::set<std::string>{"c", "e"}));
    EXPECT_TRUE(fs::exists(library.servicesDir() / "broken" / "service.json")); // left alone

    // Saving again replaces the record and leaves the folder's other contents.
    writeText(library.serviceDir("a") / "evidence" / "M0001.jpg", "jpeg");
    Service updated = services[2];
    updated.status = ServiceStatus::failed;
    updated.message = "Interrupted when the app closed. Choose Process again.";
    library.save(updated);
    EXPECT_EQ(namesIn(library.serviceDir("a")),
              (std::vector<std::string>{"evidence", "service.json"}));
    const auto reloaded = library.loadServices();
    EXPECT_EQ(reloaded[2], updated);

    library.deleteService("a");
    EXPECT_FALSE(fs::exists(library.servicesDir() / "a"));
    EXPECT_EQ(library.loadServices().size(), 4u);
    library.deleteService("never-was"); // nothing to do, no error
}

TEST(LibraryServices, NewServiceIDIsLocalTimeAndRandomSuffix) {
    TempDir dir;
    Library library(dir.path());
    auto stamp = [] {
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        char text[32];
        std::strftime(text, sizeof text, "%Y%m%d-%H%M%S-", &local);
        return std::string(text);
    };
    std::set<std::string> ids;
    for (int i = 0; i < 50; ++i) {
        const std::string before = stamp();
        const std::string id = library.newServiceID();
        const std::string after = stamp();
        EXPECT_EQ(id.size(), 20u);
        EXPECT_TRUE(shaped(id, "99999999-999999-xxxx")) << id;
        EXPECT_TRUE(id.starts_with(before) || id.starts_with(after)) << id;
        ids.insert(id);
    }
    EXPECT_GT(ids.size(), 40u); // 50 draws from 65536 suffixes
}

TEST(LibraryServices, ASourceFileNameThatIsNotUTF8IsSavedAndLoadedUnchanged) {
    TempDir dir;
    Library library(dir.path());
    const std::string path = (dir / "Gr\xFC\xDF Gott.mp4").string();
    writeText(path, "video");
    Service service("s1", "Sunday", Date{}, Date{}, {path}, ProcessSettings::Mode::standard);
    library.save(service);
    const auto loaded = library.loadServices();
    ASSERT_EQ(loaded.size(), 1u);
    EXPECT_EQ(loaded[0].sourcePaths, std::vector<std::string>{path});
    EXPECT_TRUE(fs::exists(loaded[0].sourcePaths[0]));
}

TEST(LibraryServices, NewServiceIDDrawsAgainForATakenFolder) {
    TempDir dir;
    Library library(dir.path());
    fs::create_directories(library.servicesDir() / "20260308-093000-0000");
    fs::create_symlink("nowhere", library.servicesDir() / "20260308-093000-0001");
    writeText(library.servicesDir() / "20260308-093000-0002", "a file");
    std::vector<std::string> suffixes{"0000", "0001", "0002", "0000", "beef"};
    std::size_t next = 0;
    const auto draw = [&] { return suffixes.at(next++); };
    EXPECT_EQ(Library::freeServiceID(library.servicesDir(), "20260308-093000", draw),
              "20260308-093000-beef");
    EXPECT_EQ(next, suffixes.size());

    // With every name taken it gives up rather than overwrite.
    EXPECT_THROW(Library::freeServiceID(library.servicesDir(), "20260308-093000",
                                        [] { return std::string("0000"); }),
                 LibraryError);
}

TEST(LibraryIdentifiers, CraftedIdsCannotReachOutsideTheLibrary) {
    TempDir dir;
    const fs::path victim = dir / "victim";
    writeText(victim / "precious.txt", "keep me");
    Library library(dir / "library");

    // A service file whose id points two levels up is not listed, so it cannot be deleted.
    Service crafted = service("evil", Date{}, Date{});
    crafted.id = "../../victim";
    writeText(library.servicesDir() / "evil" / "service.json", encodeJSON(crafted));
    EXPECT_TRUE(library.loadServices().empty());
    for (const char* id : {"../../victim", "..", ".", "", "a/../../..", "../library"})
        library.deleteService(id);
    for (const char* id : {"../../victim", "..", ".", "", "../services"})
        library.deleteMemberFiles(id);
    EXPECT_EQ(readText(victim / "precious.txt"), "keep me");
    EXPECT_TRUE(fs::exists(library.servicesDir() / "evil" / "service.json"));
    EXPECT_TRUE(fs::is_directory(library.membersDir()));

    // Saves and imports refuse, and write nothing.
    EXPECT_THROW(library.save(crafted), LibraryError);
    crafted.id = std::string("a\0b", 3);
    EXPECT_THROW(library.save(crafted), LibraryError);
    writeText(dir / "in.jpg", "jpeg");
    EXPECT_THROW(library.importPhotos({dir / "in.jpg"}, "../../victim"), LibraryError);
    EXPECT_EQ(namesIn(victim), (std::vector<std::string>{"precious.txt"}));

    // Path helpers refuse too, so removing a photo or writing a face picture cannot escape.
    EXPECT_THROW(library.photoURL("M0001", "../../../victim/precious.txt"), LibraryError);
    EXPECT_THROW(library.photoURL("..", "face.jpg"), LibraryError);
    EXPECT_THROW(library.thumbURL("../M0001"), LibraryError);
    EXPECT_THROW(library.serviceDir(".."), LibraryError);
    EXPECT_EQ(library.photoURL("M0001", "1741426200123_3F2A1C.jpg"),
              dir / "library" / "members" / "M0001" / "1741426200123_3F2A1C.jpg");
    EXPECT_EQ(library.thumbURL("M0001"), dir / "library" / "members" / "M0001" / "face.jpg");
    EXPECT_EQ(library.serviceDir("20260308-093000-a3f9"),
              dir / "library" / "services" / "20260308-093000-a3f9");
    // An id with dots inside is still one name.
    EXPECT_TRUE(Library::isPlainName("..hidden"));
    EXPECT_TRUE(Library::isPlainName("a.b"));
}

TEST(LibraryExtensions, AcceptedImageAndVideoSets) {
    EXPECT_EQ(Library::imageExtensions(),
              (std::set<std::string, std::less<>>{"jpg", "jpeg", "png", "heic", "heif", "webp",
                                                  "tif", "tiff", "bmp"}));
    EXPECT_EQ(Library::videoExtensions(), (std::set<std::string, std::less<>>{
                                              "mp4", "mov", "m4v", "mkv", "avi", "mts", "3gp"}));
}

TEST(LibraryConcurrency, ReadersNeverSeeAHalfWrittenMemberFile) {
    TempDir dir;
    Library writer(dir.path());
    Library reader(dir.path()); // a second object: only the atomic replacement protects it
    std::vector<Member> big;
    for (int i = 0; i < 200; ++i) {
        Member m = member("M" + std::to_string(1000 + i), "Member " + std::to_string(i));
        Photo p("p.jpg", Date{});
        p.ok = true;
        p.embedding = std::vector<float>(512, 0.044f);
        m.photos.push_back(p);
        big.push_back(m);
    }
    writer.saveMembers(big);
    std::atomic<bool> done{false};
    std::thread saving([&] {
        for (int i = 0; i < 20; ++i)
            writer.saveMembers(big);
        done = true;
    });
    int reads = 0, complete = 0;
    while (!done || reads == 0) {
        ++reads;
        if (reader.loadMembers().size() == big.size()) ++complete;
    }
    saving.join();
    EXPECT_EQ(complete, reads);
    // No temporary files left behind.
    EXPECT_EQ(namesIn(dir.path()),
              (std::vector<std::string>{"members", "members.json", "services"}));
}

} // namespace
} // namespace tallymere
