#pragma once

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <linux/fs.h>
#include <random>
#include <string>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace tallymere::testing {

// The folder of shared test material (models, photos, video) beside the checkout.
inline std::filesystem::path sharedDir() {
    if (const char* env = std::getenv("TALLYMERE_SHARED")) return env;
    return TALLYMERE_SHARED_DIR;
}

inline std::filesystem::path sharedModels() {
    return sharedDir() / "models";
}
inline std::filesystem::path sharedFaces() {
    return sharedDir() / "faces";
}

// Skips the current test with a clear message when the shared material is absent.
#define TALLYMERE_REQUIRE_SHARED()                                                                 \
    do {                                                                                           \
        if (!std::filesystem::exists(::tallymere::testing::sharedModels() / "fr_feature.onnx") ||  \
            !std::filesystem::exists(::tallymere::testing::sharedFaces()))                         \
            GTEST_SKIP() << "shared test models and faces not found at "                           \
                         << ::tallymere::testing::sharedDir()                                      \
                         << " (set TALLYMERE_SHARED to the folder holding models/ and faces/)";    \
    } while (0)

// A fresh temporary folder removed with everything in it when the object goes.
class TempDir {
public:
    TempDir() {
        std::random_device rd;
        auto base = std::filesystem::temp_directory_path();
        for (;;) {
            path_ = base / ("tallymere-test-" + std::to_string(rd()));
            if (std::filesystem::create_directory(path_)) break;
        }
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Files written by this process may grow to `bytes` only while it lives: a full disk without
// one. Writes past it fail (SIGXFSZ is ignored) instead of ending the process.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &saved);
        previous = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit = saved;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previous);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit saved{};
    void (*previous)(int) = nullptr;
};

// A folder whose entries cannot be deleted while this lives: immutable for root (whose rights
// pass any permission check), read-only for anyone else. `held` is false where neither works.
class UndeletableFolder {
public:
    explicit UndeletableFolder(std::filesystem::path folder) : folder_(std::move(folder)) {
        if (::geteuid() == 0) {
            held = setImmutable(true);
        } else {
            std::filesystem::permissions(folder_, std::filesystem::perms::owner_read |
                                                      std::filesystem::perms::owner_exec);
            held = true;
        }
    }
    ~UndeletableFolder() { release(); }
    void release() {
        if (!held) return;
        if (::geteuid() == 0)
            setImmutable(false);
        else
            std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
        held = false;
    }
    bool held = false;

private:
    bool setImmutable(bool on) {
        const int fd = ::open(folder_.c_str(), O_RDONLY | O_DIRECTORY);
        if (fd < 0) return false;
        int flags = 0;
        bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        done = done && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        ::close(fd);
        return done;
    }
    std::filesystem::path folder_;
};

} // namespace tallymere::testing
