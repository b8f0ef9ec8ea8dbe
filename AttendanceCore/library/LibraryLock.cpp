#include "LibraryLock.h"

#include "LibraryError.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <signal.h>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace tallymere {

namespace {

// A planted link must not make the lock file land outside the library, and a FIFO or device in
// its place must not block or be written to: only a regular file is used.
int openLockFile(const std::filesystem::path& root, bool create) {
    const auto path = root / LibraryLock::fileName;
    int flags = O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | (create ? (O_RDWR | O_CREAT) : O_RDONLY);
    int fd = ::open(path.c_str(), flags, 0644);
    if (fd < 0) {
        if (!create && errno == ENOENT) return -1;
        if (errno == ELOOP)
            throw LibraryError("The library's lock file " + path.string() +
                               " is a link. Remove it and try again.");
        throw LibraryError("Cannot open the library's lock file " + path.string() + ": " +
                           std::strerror(errno));
    }
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        throw LibraryError("The library's lock file " + path.string() +
                           " is not a regular file. Remove it and try again.");
    }
    return fd;
}

struct flock region(LibraryLock::Range range, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    // Far beyond the recorded holder text, so the ranges never overlap what is written.
    lock.l_start = 1'000'000 + static_cast<off_t>(range);
    lock.l_len = 1;
    return lock;
}

bool lockNow(int fd, LibraryLock::Range range, LibraryLock::Kind kind) {
    auto lock = region(range, kind == LibraryLock::Kind::shared ? F_RDLCK : F_WRLCK);
    while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EACCES) return false;
        throw LibraryError(std::string("Cannot lock the library: ") + std::strerror(errno));
    }
    return true;
}

bool processRuns(long pid) {
    return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

} // namespace

std::string LibraryLock::Holder::description() const {
    const std::string name = program == applicationName ? "Tallymere" : program;
    return name + " (process " + std::to_string(pid) + ")";
}

std::optional<LibraryLock> LibraryLock::tryAcquire(const std::filesystem::path& root, Range range,
                                                   Kind kind) {
    LibraryLock lock(openLockFile(root, true));
    if (!lockNow(lock.fd, range, kind)) return std::nullopt;
    return lock;
}

std::optional<LibraryLock> LibraryLock::acquire(const std::filesystem::path& root, Range range,
                                                Kind kind, const std::function<void()>& onWait,
                                                const std::function<bool()>& stop) {
    LibraryLock lock(openLockFile(root, true));
    bool waited = false;
    while (!lockNow(lock.fd, range, kind)) {
        if (!waited && onWait) onWait();
        waited = true;
        if (stop && stop()) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return lock;
}

std::optional<LibraryLock::Holder> LibraryLock::recordedHolder(const std::filesystem::path& root) {
    int fd = -1;
    try {
        fd = openLockFile(root, false);
    } catch (const LibraryError&) {
        return std::nullopt;
    }
    if (fd < 0) return std::nullopt;
    // A record left by a holder that has gone names nobody: only an exclusive holder counts.
    auto probe = region(Range::library, F_RDLCK);
    if (::fcntl(fd, F_OFD_GETLK, &probe) != 0 || probe.l_type == F_UNLCK) {
        ::close(fd);
        return std::nullopt;
    }
    char text[256] = {};
    const ssize_t size = ::pread(fd, text, sizeof text - 1, 0);
    ::close(fd);
    if (size <= 0) return std::nullopt;
    std::istringstream in(std::string(text, static_cast<std::size_t>(size)));
    Holder holder;
    if (!(in >> holder.pid >> holder.program) || !processRuns(holder.pid)) return std::nullopt;
    return holder;
}

bool LibraryLock::isHeld(const std::filesystem::path& root, Range range) {
    int fd = -1;
    try {
        fd = openLockFile(root, false);
    } catch (const LibraryError&) {
        return false; // no usable lock file: nobody can hold a lock on it
    }
    if (fd < 0) return false;
    auto probe = region(range, F_WRLCK);
    const bool held = ::fcntl(fd, F_OFD_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    ::close(fd);
    return held;
}

void LibraryLock::recordHolder(std::string_view program) const {
    const std::string text = std::to_string(::getpid()) + " " + std::string(program) + "\n";
    // Best effort: the record only improves a message; the lock itself is what excludes.
    if (::ftruncate(fd, 0) == 0) {
        [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
    }
}

LibraryLock::LibraryLock(LibraryLock&& other) noexcept : fd(other.fd) {
    other.fd = -1;
}

LibraryLock& LibraryLock::operator=(LibraryLock&& other) noexcept {
    if (this != &other) {
        if (fd >= 0) ::close(fd);
        fd = other.fd;
        other.fd = -1;
    }
    return *this;
}

LibraryLock::~LibraryLock() {
    if (fd >= 0) ::close(fd); // closing the description releases its locks
}

} // namespace tallymere
