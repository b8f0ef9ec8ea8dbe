#include "library/OpenLibrary.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>

namespace tallymere {
namespace {

namespace fs = std::filesystem;

Photo checkedPhoto(const Photo& photo, bool ok) {
    Photo checked = photo;
    checked.checked = true;
    checked.ok = ok;
    return checked;
}

TEST(OpenLibrary, ACheckMergesIntoTheMemberAsStoredAfterIt) {
    testing::TempDir dir;
    for (const char* name : {"a.jpg", "b.jpg", "c.jpg", "d.jpg"})
        std::ofstream(dir.path() / name) << "photo";
    OpenLibrary library(dir.path() / "library");
    const Member anne = library.addMember(" Anne\t");
    EXPECT_EQ(anne.name, "Anne");
    const auto photos = library.addPhotos(
        anne.id, {dir.path() / "a.jpg", dir.path() / "b.jpg", dir.path() / "c.jpg"});
    ASSERT_EQ(photos.size(), 3u);

    // The check sees a, b and c; meanwhile b is removed, d added and the member renamed.
    Member checked = library.member(anne.id);
    for (Photo& photo : checked.photos)
        photo = checkedPhoto(photo, true);
    library.removePhoto(anne.id, photos[1].id);
    const auto late = library.addPhotos(anne.id, {dir.path() / "d.jpg"});
    library.rename(anne.id, "Anne Smith");

    const Member saved = library.mergeChecked(anne.id, checked);
    EXPECT_EQ(saved.name, "Anne Smith");
    ASSERT_EQ(saved.photos.size(), 3u);
    EXPECT_EQ(saved.photos[0], checked.photos[0]);
    EXPECT_EQ(saved.photos[1], checked.photos[2]);
    EXPECT_EQ(saved.photos[2].id, late[0].id);
    EXPECT_FALSE(saved.photos[2].checked);
    const Member stored = Library(dir.path() / "library").loadMembers().front();
    EXPECT_EQ(stored.photos.size(), 3u);
    EXPECT_EQ(stored.photos[1].id, saved.photos[1].id);
    EXPECT_EQ(library.members().front(), saved);

    try {
        library.rename("M0009", "Nobody");
        FAIL() << "renamed a member who is not there";
    } catch (const LibraryError& error) {
        EXPECT_EQ(error.kind(), LibraryError::Kind::unknownMember);
        EXPECT_STREQ(error.what(), "No member with ID M0009.");
    }
}

TEST(OpenLibrary, ServicesChangeOnlyWhenSavedAndInterruptedRunsAreRepaired) {
    testing::TempDir dir;
    OpenLibrary library(dir.path() / "library");
    Service sunday("20260301-100000-aaaa", "Sunday", {}, {}, {}, ProcessSettings::Mode::standard);
    sunday.status = ServiceStatus::processing;
    library.addService(sunday);
    ASSERT_EQ(library.services().size(), 1u);

    // A folder where the record goes cannot be written: the list keeps what is stored.
    fs::remove_all(library.library().serviceDir(sunday.id));
    std::ofstream(library.library().serviceDir(sunday.id)) << "in the way";
    EXPECT_THROW(library.updateService(sunday.id, [](Service& s) { s.label = "Changed"; }),
                 LibraryError);
    EXPECT_EQ(library.services().front().label, "Sunday");
    fs::remove(library.library().serviceDir(sunday.id));

    EXPECT_EQ(library.repairInterrupted(), 1);
    library.reloadServices();
    ASSERT_EQ(library.services().size(), 1u);
    EXPECT_EQ(library.services().front().status, ServiceStatus::failed);
    EXPECT_STREQ(library.services().front().message.c_str(), OpenLibrary::interruptedMessage);

    library.removeService(sunday.id);
    EXPECT_TRUE(library.services().empty());
    EXPECT_FALSE(fs::exists(library.library().serviceDir(sunday.id)));
}

} // namespace
} // namespace tallymere
