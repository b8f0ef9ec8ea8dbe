// The store on a library that was tampered with: links planted inside it never make a write or a
// delete land outside, and special or huge files in place of records are refused at once.

#include "library/Library.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

using namespace tallymere;
using tallymere::testing::TempDir;
using ::testing::HasSubstr;
namespace fs = std::filesystem;

namespace {

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

Service service(const std::string& id) {
    const Date date = std::chrono::sys_days{std::chrono::year(2026) / 3 / 8};
    return Service(id, "Sunday", date, date, {"/videos/a.mp4"}, ProcessSettings::Mode::standard);
}

} // namespace

TEST(LibraryLinks, MemberFolderThatIsALinkIsNeverWrittenThroughAndLosesOnlyTheLink) {
    TempDir dir;
    Library library(dir / "library");
    const fs::path outside = dir / "outside";
    fs::create_directories(outside);
    writeText(outside / "keep.jpg", "someone else's file");
    fs::create_directory_symlink(outside, library.membersDir() / "M0001");
    const fs::path photo = dir / "new.jpg";
    writeText(photo, "a photo");

    try {
        library.importPhotos({photo}, "M0001");
        ADD_FAILURE() << "imported through a link";
    } catch (const LibraryError& error) {
        EXPECT_THAT(error.what(), HasSubstr("is a link"));
    }
    library.deletePhotoFile("M0001", "keep.jpg");
    EXPECT_EQ(readText(outside / "keep.jpg"), "someone else's file");
    library.deleteMemberFiles("M0001");
    EXPECT_FALSE(fs::exists(fs::symlink_status(library.membersDir() / "M0001")));
    EXPECT_EQ(readText(outside / "keep.jpg"), "someone else's file");
    EXPECT_EQ(std::distance(fs::directory_iterator(outside), fs::directory_iterator()), 1);

    // A photo that is a link loses the link, not its target.
    fs::create_directories(library.membersDir() / "M0002");
    fs::create_symlink(outside / "keep.jpg", library.membersDir() / "M0002" / "p.jpg");
    library.deletePhotoFile("M0002", "p.jpg");
    EXPECT_FALSE(fs::exists(fs::symlink_status(library.membersDir() / "M0002" / "p.jpg")));
    EXPECT_EQ(readText(outside / "keep.jpg"), "someone else's file");

    // A members folder that is a link: nothing is imported or deleted through it.
    Library linked(dir / "linked");
    fs::remove(linked.membersDir());
    fs::create_directory_symlink(outside, linked.membersDir());
    fs::create_directories(outside / "M0003");
    writeText(outside / "M0003" / "x.jpg", "x");
    EXPECT_THROW(linked.importPhotos({photo}, "M0003"), LibraryError);
    linked.deleteMemberFiles("M0003");
    linked.deletePhotoFile("M0003", "x.jpg");
    EXPECT_EQ(readText(outside / "M0003" / "x.jpg"), "x");
}

TEST(LibraryLinks, ServiceFolderThatIsALinkIsSkippedNeverRewrittenAndLosesOnlyTheLink) {
    TempDir dir;
    Library library(dir / "library");
    Library elsewhere(dir / "elsewhere");
    Service record = service("20260308-093000-abcd");
    record.status = ServiceStatus::processing;
    elsewhere.save(record);
    const fs::path target = elsewhere.serviceDir(record.id);
    const std::string before = readText(target / "service.json");
    fs::create_directory_symlink(target, library.servicesDir() / record.id);

    EXPECT_TRUE(library.loadServices().empty());
    record.status = ServiceStatus::failed;
    EXPECT_THROW(library.save(record), LibraryError);
    EXPECT_EQ(readText(target / "service.json"), before);
    library.deleteService(record.id);
    EXPECT_FALSE(fs::exists(fs::symlink_status(library.servicesDir() / record.id)));
    EXPECT_EQ(readText(target / "service.json"), before);
}

TEST(LibrarySpecialFiles, RecordsThatAreNotRegularFilesOrAreHugeAreRefusedAtOnce) {
    TempDir dir;
    Library library(dir / "library");
    const fs::path file = library.membersFile();

    ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0);
    EXPECT_THAT(library.readMembers().problem, HasSubstr("is not a regular file"));
    fs::remove(file);

    fs::create_symlink("/dev/zero", file);
    EXPECT_THAT(library.readMembers().problem, HasSubstr("is not a regular file"));
    fs::remove(file);

    fs::create_directory(file);
    EXPECT_THAT(library.readMembers().problem, HasSubstr("cannot be"));
    fs::remove(file);

    // A sparse file larger than any library's list is refused without being read.
    { std::ofstream out(file); }
    fs::resize_file(file, Library::maxRecordFileBytes + 1);
    EXPECT_THAT(library.readMembers().problem, HasSubstr("is larger than 256 MB"));
    fs::remove(file);

    // A service whose record is a FIFO or a device is skipped; the others are listed.
    library.save(service("20260308-093000-aaaa"));
    fs::create_directories(library.servicesDir() / "20260308-093000-bbbb");
    ASSERT_EQ(
        ::mkfifo((library.servicesDir() / "20260308-093000-bbbb" / "service.json").c_str(), 0644),
        0);
    fs::create_directories(library.servicesDir() / "20260308-093000-cccc");
    fs::create_symlink("/dev/zero",
                       library.servicesDir() / "20260308-093000-cccc" / "service.json");
    const auto services = library.loadServices();
    ASSERT_EQ(services.size(), 1u);
    EXPECT_EQ(services[0].id, "20260308-093000-aaaa");
}
