#include "LibraryLock.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace tallymere::cli {

namespace {

int openLockFile(const std::filesystem::path& root) {
    return ::open((root / LibraryLock::fileName).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
}

bool lockNow(int fd) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno == EINTR) continue;
        return false;
    }
    return true;
}

} // namespace

std::optional<LibraryLock> LibraryLock::tryAcquire(const std::filesystem::path& root) {
    const int fd = openLockFile(root);
    if (fd < 0) return std::nullopt;
    if (!lockNow(fd)) {
        ::close(fd);
        return std::nullopt;
    }
    return LibraryLock(fd);
}

std::optional<LibraryLock> LibraryLock::acquire(const std::filesystem::path& root,
                                                const std::function<void()>& onWait,
                                                const std::function<bool()>& stop) {
    const int fd = openLockFile(root);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(),
                                (root / LibraryLock::fileName).string());
    LibraryLock lock(fd);
    bool waited = false;
    while (!lockNow(fd)) {
        if (!waited && onWait) onWait();
        waited = true;
        if (stop && stop()) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return lock;
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
    if (fd >= 0) ::close(fd); // closing the only descriptor releases the flock
}

} // namespace tallymere::cli
