// The locks that let the application and the tool share one library: who excludes whom, what a
// waiting program learns about the holder, and lock files that are not what they should be.

#include "library/LibraryError.h"
#include "library/LibraryLock.h"
#include "support/TestSupport.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tallymere {
namespace {

namespace fs = std::filesystem;
using testing::TempDir;
using Range = LibraryLock::Range;
using Kind = LibraryLock::Kind;

// Each acquisition opens the file anew, so two locks in one process behave as two programs do.
TEST(LibraryLock, ApplicationExcludesWritersWhileWritersShareAndExcludeRepair) {
    TempDir dir;
    auto writer = LibraryLock::tryAcquire(dir.path(), Range::library, Kind::shared);
    ASSERT_TRUE(writer);
    EXPECT_TRUE(LibraryLock::tryAcquire(dir.path(), Range::library, Kind::shared));
    // A repair (or the application) must wait for every writer.
    EXPECT_FALSE(LibraryLock::tryAcquire(dir.path(), Range::library, Kind::exclusive));
    // The other ranges are independent of the library range.
    EXPECT_TRUE(LibraryLock::tryAcquire(dir.path(), Range::members, Kind::exclusive));
    writer.reset();

    auto application = LibraryLock::tryAcquire(dir.path(), Range::library, Kind::exclusive);
    ASSERT_TRUE(application);
    EXPECT_FALSE(LibraryLock::tryAcquire(dir.path(), Range::library, Kind::shared));
    application.reset();
    EXPECT_TRUE(LibraryLock::tryAcquire(dir.path(), Range::library, Kind::shared));
}

TEST(LibraryLock, MembersAndProcessingAreHeldOneAtATime) {
    TempDir dir;
    for (Range range : {Range::members, Range::processing}) {
        auto first = LibraryLock::tryAcquire(dir.path(), range, Kind::exclusive);
        ASSERT_TRUE(first);
        EXPECT_FALSE(LibraryLock::tryAcquire(dir.path(), range, Kind::exclusive));
        int waits = 0;
        int looks = 0;
        auto gaveUp = LibraryLock::acquire(
            dir.path(), range, Kind::exclusive, [&] { ++waits; }, [&] { return ++looks >= 2; });
        EXPECT_FALSE(gaveUp);
        EXPECT_EQ(waits, 1);
        first.reset();
        EXPECT_TRUE(LibraryLock::acquire(dir.path(), range, Kind::exclusive, nullptr, nullptr));
    }
}

TEST(LibraryLock, HolderIsKnownOnlyWhileItHoldsTheLibrary) {
    TempDir dir;
    EXPECT_FALSE(LibraryLock::recordedHolder(dir.path())); // no lock file yet
    EXPECT_FALSE(fs::exists(dir.path() / LibraryLock::fileName));
    {
        auto application = LibraryLock::tryAcquire(dir.path(), Range::library, Kind::exclusive);
        ASSERT_TRUE(application);
        application->recordHolder(LibraryLock::applicationName);
        const auto holder = LibraryLock::recordedHolder(dir.path());
        ASSERT_TRUE(holder);
        EXPECT_EQ(holder->pid, ::getpid());
        EXPECT_EQ(holder->program, LibraryLock::applicationName);
        EXPECT_EQ(holder->description(), "Tallymere (process " + std::to_string(::getpid()) + ")");
    }
    // The record stays in the file but names nobody once the lock is gone.
    EXPECT_FALSE(LibraryLock::recordedHolder(dir.path()));
}

TEST(LibraryLock, RefusesLinksAndSpecialFilesInPlaceOfTheLockFile) {
    TempDir dir;
    const fs::path outside = dir.path() / "outside";
    const fs::path library = dir.path() / "library";
    fs::create_directories(library);
    fs::create_symlink(outside, library / LibraryLock::fileName);
    EXPECT_THROW(LibraryLock::tryAcquire(library, Range::library, Kind::shared), LibraryError);
    EXPECT_FALSE(fs::exists(outside)); // nothing created through the link

    fs::remove(library / LibraryLock::fileName);
    ASSERT_EQ(::mkfifo((library / LibraryLock::fileName).c_str(), 0644), 0);
    EXPECT_THROW(LibraryLock::tryAcquire(library, Range::library, Kind::shared), LibraryError);
    EXPECT_FALSE(LibraryLock::recordedHolder(library));
}

} // namespace
} // namespace tallymere
