#pragma once

#include <filesystem>
#include <functional>
#include <optional>

namespace tallymere::cli {

// The advisory lock that keeps two processes from processing a service, or repairing interrupted
// ones, in the same library at the same time: an exclusive flock on ".tallymere.lock" in the
// library's root. The operating system drops it when the process ends, however it ends, so a
// crashed run never leaves the library locked.
class LibraryLock {
public:
    static constexpr const char* fileName = ".tallymere.lock";

    // The lock if no other process holds it; nothing when one does or the lock file cannot be
    // opened (a read-only library).
    static std::optional<LibraryLock> tryAcquire(const std::filesystem::path& root);

    // Waits until the lock is free, looking every 0.2 s. `onWait` is called once if it has to
    // wait; `stop` is asked on every look and ends the wait with nothing when it answers true.
    // Throws std::system_error when the lock file cannot be opened.
    static std::optional<LibraryLock> acquire(const std::filesystem::path& root,
                                              const std::function<void()>& onWait,
                                              const std::function<bool()>& stop);

    LibraryLock(LibraryLock&& other) noexcept;
    LibraryLock& operator=(LibraryLock&& other) noexcept;
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
    ~LibraryLock();

private:
    explicit LibraryLock(int fd) : fd(fd) {}
    int fd = -1;
};

} // namespace tallymere::cli
