#include "library/AtomicFile.h"

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tallymere {

namespace fs = std::filesystem;

namespace {

fs::path folderOf(const fs::path& target) {
    return target.has_parent_path() ? target.parent_path() : fs::path(".");
}

std::string tempPrefix(const fs::path& target) {
    return "." + target.filename().string() + ".tmp-";
}

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

// Temporary files of earlier writes to `target` whose writer is gone: each writer holds a lock on
// its own temporary file until it is renamed, and a file touched in the last seconds may be one
// whose writer has not taken its lock yet.
void removeStaleTemps(const fs::path& target) {
    const std::string prefix = tempPrefix(target);
    std::error_code ec;
    for (fs::directory_iterator entries(folderOf(target), ec);
         !ec && entries != fs::directory_iterator(); entries.increment(ec)) {
        const fs::path path = entries->path();
        if (!path.filename().string().starts_with(prefix)) continue;
        const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
        if (fd < 0) continue;
        struct stat info {};
        const bool recent = ::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) ||
                            std::time(nullptr) - info.st_mtim.tv_sec < 2;
        if (!recent && ::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.c_str());
        ::close(fd);
    }
}

// A new temporary file beside `target`, locked while it is written; -1 with `error` set when it
// cannot be made.
int createTemp(const fs::path& target, fs::path& temp, int& error) {
    thread_local std::mt19937_64 random{std::random_device{}()};
    for (int attempt = 0;; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        temp = folderOf(target) / (tempPrefix(target) + suffix);
        // The usual permissions (0666 less the umask), exclusive so nothing existing is reused.
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::flock(fd, LOCK_EX);
            return fd;
        }
        if (errno != EEXIST || attempt > 16) {
            error = errno;
            return -1;
        }
    }
}

void writeAll(int fd, const char* data, size_t left, int& error) {
    while (left > 0 && error == 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno != EINTR) error = errno;
            continue;
        }
        data += written;
        left -= size_t(written);
    }
}

// Flushes and closes the written temporary file and renames it over the target; on failure the
// temporary file goes, the target stays as it was and the error is returned (0 when done).
int commit(int fd, const fs::path& temp, const fs::path& target, int error) {
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && ::rename(temp.c_str(), target.c_str()) != 0) error = errno;
    if (error != 0) {
        ::unlink(temp.c_str());
        return error;
    }
    // Make the rename itself durable. Only an input/output error is reported: some file systems
    // cannot flush a folder at all (EINVAL), and the new file is in place either way.
    const int dir = ::open(folderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        const int synced = ::fsync(dir);
        const int flushError = errno;
        ::close(dir);
        if (synced != 0 && flushError == EIO) return flushError;
    }
    return 0;
}

} // namespace

std::string writeFailureCause(const fs::path& target, int error) {
    const fs::path folder = folderOf(target);
    std::string cause;
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        cause = "the folder " + folder.string() + " does not exist";
        break;
    case ENOSPC:
    case EDQUOT:
        cause = "the disk is full";
        break;
    case EFBIG:
        cause = "the file would be larger than this system allows";
        break;
    case EACCES:
    case EPERM:
        cause = "no permission to write in " + folder.string();
        break;
    case EROFS:
        cause = "the disk is read-only";
        break;
    case EISDIR:
        cause = "it is a folder";
        break;
    default:
        cause = std::strerror(error);
        if (!cause.empty()) cause[0] = char(std::tolower(static_cast<unsigned char>(cause[0])));
        break;
    }
    return cause;
}

LibraryError writeFailure(const fs::path& target, int error) {
    return LibraryError("Couldn't write " + target.string() + ": " +
                        writeFailureCause(target, error) + ".");
}

void writeFileAtomically(const fs::path& target, std::string_view contents) {
    removeStaleTemps(target);
    fs::path temp;
    int error = 0;
    const int fd = createTemp(target, temp, error);
    if (fd < 0) throw writeFailure(target, error);
    writeAll(fd, contents.data(), contents.size(), error);
    if (const int failed = commit(fd, temp, target, error)) throw writeFailure(target, failed);
}

void copyFileAtomically(const fs::path& source, const fs::path& target) {
    const int in = ::open(source.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    struct stat info {};
    if (in < 0 || ::fstat(in, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = in < 0 ? errno : 0;
        closeQuietly(in);
        throw LibraryError("Couldn't read " + source.string() + ": " +
                           (error ? std::string(std::strerror(error)) : "it is not a file") + ".");
    }
    const auto copyFailure = [&](int error) {
        return LibraryError("Couldn't copy " + source.string() + ": " +
                            writeFailureCause(target, error) + ".");
    };
    // Never over a file that is there: the name must be new.
    if (::access(target.c_str(), F_OK) == 0) {
        ::close(in);
        throw copyFailure(EEXIST);
    }
    fs::path temp;
    int error = 0;
    const int fd = createTemp(target, temp, error);
    if (fd < 0) {
        ::close(in);
        throw copyFailure(error);
    }
    char buffer[65536];
    while (error == 0) {
        const ssize_t n = ::read(in, buffer, sizeof buffer);
        if (n == 0) break;
        if (n < 0) {
            if (errno == EINTR) continue;
            const int readError = errno;
            ::close(in);
            ::close(fd);
            ::unlink(temp.c_str());
            throw LibraryError("Couldn't read " + source.string() + ": " +
                               std::strerror(readError) + ".");
        }
        writeAll(fd, buffer, size_t(n), error);
    }
    ::close(in);
    if (const int failed = commit(fd, temp, target, error)) throw copyFailure(failed);
}

} // namespace tallymere
