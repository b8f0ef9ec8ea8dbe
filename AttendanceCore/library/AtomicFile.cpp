#include "library/AtomicFile.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace tallymere {

namespace {

[[noreturn]] void fail(const char* what, const std::filesystem::path& path, int error) {
    throw std::filesystem::filesystem_error(what, path,
                                            std::error_code(error, std::generic_category()));
}

void closeQuietly(int fd) {
    if (fd >= 0) ::close(fd);
}

} // namespace

void writeFileAtomically(const std::filesystem::path& target, std::string_view contents) {
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");

    // A hidden name beside the target, unique even when two libraries write at once. Created with
    // the usual permissions (0666 less the umask), exclusive so nothing existing is reused.
    thread_local std::mt19937_64 random{std::random_device{}()};
    std::filesystem::path temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
        temp = folder / ("." + target.filename().string() + ".tmp-" + suffix);
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && (errno != EEXIST || attempt > 16)) fail("Cannot create file", temp, errno);
    }

    auto abandon = [&](const char* what, int error) {
        closeQuietly(fd);
        ::unlink(temp.c_str());
        fail(what, target, error);
    };

    const char* data = contents.data();
    size_t left = contents.size();
    while (left > 0) {
        const ssize_t written = ::write(fd, data, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            abandon("Cannot write file", errno);
        }
        data += written;
        left -= size_t(written);
    }
    if (::fsync(fd) != 0) abandon("Cannot write file", errno);
    const int closed = ::close(fd);
    fd = -1;
    if (closed != 0) abandon("Cannot write file", errno);
    if (::rename(temp.c_str(), target.c_str()) != 0) abandon("Cannot replace file", errno);

    // Make the rename itself durable. Only an input/output error is reported: some file systems
    // cannot flush a folder at all (EINVAL), and the new file is in place either way.
    const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        const int synced = ::fsync(dir);
        const int error = errno;
        ::close(dir);
        if (synced != 0 && error == EIO) fail("Cannot flush folder", folder, error);
    }
}

} // namespace tallymere
