#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tallymere {

// The advisory locks that let the application and the command-line tool share one library folder
// without losing each other's changes. All of them are open-file-description locks on bytes of
// ".tallymere.lock" in the library's root; the operating system drops them when the process ends,
// however it ends, so a crashed program never leaves the library locked.
//
// - `Range::library` says who may write: the application holds it exclusively for its whole life;
//   each tool command that writes holds it shared for as long as it runs (tool commands coexist,
//   the application excludes them all); repairing interrupted services needs it exclusively, so a
//   run in progress in another program is never marked interrupted.
// - `Range::members` is held exclusively around every read-modify-write of the member list, so two
//   programs writing members re-read under it and never save over each other's changes.
// - `Range::processing` is held exclusively by a run that processes a service, one at a time.
//
// The exclusive holder of `Range::library` records its process id and program name in the file,
// so the others can say who holds the library.
class LibraryLock {
public:
    static constexpr const char* fileName = ".tallymere.lock";
    static constexpr const char* applicationName = "tallymere";
    static constexpr const char* toolName = "tallymere-cli";

    enum class Range { library = 0, members = 1, processing = 2 };
    enum class Kind { shared, exclusive };

    // The program that recorded itself as the library's exclusive holder, while it still runs.
    struct Holder {
        long pid = 0;
        std::string program;
        // "Tallymere (process 1234)", "tallymere-cli (process 1234)".
        std::string description() const;
    };

    // The lock if it is free now; nothing when another holder excludes it. Throws LibraryError when
    // the lock file cannot be used (a link, a special file, a folder that cannot be written).
    static std::optional<LibraryLock> tryAcquire(const std::filesystem::path& root, Range range,
                                                 Kind kind);

    // Waits until the lock is free, looking every 0.2 s. `onWait` is called once if it has to
    // wait; `stop` is asked on every look and ends the wait with nothing when it answers true.
    static std::optional<LibraryLock> acquire(const std::filesystem::path& root, Range range,
                                              Kind kind, const std::function<void()>& onWait,
                                              const std::function<bool()>& stop);

    // Who recorded themselves as the library's exclusive holder, if that process still runs. Does
    // not create the lock file; nothing when it is absent or unreadable.
    static std::optional<Holder> recordedHolder(const std::filesystem::path& root);

    // Whether some holder (another process, or another lock of this one) has `range` now, in
    // either kind. Does not create the lock file; false when it is absent. Lets a reader tell a
    // live run from an interrupted one without writing anything.
    static bool isHeld(const std::filesystem::path& root, Range range);

    // Records this process as the exclusive holder of the library (call on an exclusive
    // `Range::library` lock).
    void recordHolder(std::string_view program) const;

    LibraryLock(LibraryLock&& other) noexcept;
    LibraryLock& operator=(LibraryLock&& other) noexcept;
    LibraryLock(const LibraryLock&) = delete;
    LibraryLock& operator=(const LibraryLock&) = delete;
    ~LibraryLock();

private:
    explicit LibraryLock(int fd) : fd(fd) {}
    int fd = -1;
};

} // namespace tallymere
