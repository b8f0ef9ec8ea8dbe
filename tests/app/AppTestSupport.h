#pragma once

// Shared pieces of the application's Qt Test suites: one registry of test classes run by name,
// the shared models converted as the other suites do, and libraries seeded with enrolled members.

#include "library/Library.h"
#include "library/Records.h"

#include <QObject>
#include <QString>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tallymere::apptest {

// Test classes register themselves by name; the test program runs the one named on its command
// line (CTest runs each as its own test), or all of them.
using TestFactory = std::function<std::unique_ptr<QObject>()>;
bool registerTest(const char* name, TestFactory factory);

#define TALLYMERE_APP_TEST(Class)                                                                  \
    static const bool registered##Class = ::tallymere::apptest::registerTest(                      \
        #Class, [] { return std::unique_ptr<QObject>(new Class); })

// Whether the shared models, photos and recording are beside the checkout; a test that needs them
// skips with this text when they are not.
bool haveShared();
QString missingSharedMessage();

// The shared test models converted once per build (the same cache the other suites use).
std::filesystem::path convertedModels();

// The shared recording: a performer (Lin-Manuel Miranda) on a stage, 9 s.
std::filesystem::path stageClip();
// Shared still photos.
std::filesystem::path sharedPhoto(const std::string& relative);

// A fresh folder removed with everything in it when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Copies into `root` a library of everyone in the shared people folder, enrolled from their own
// photos by the enrolment check (made once per test process). Returns member ids by name.
std::map<std::string, std::string> seedEnrolledLibrary(const std::filesystem::path& root);

// A stored service with the given status, for start-up and queue tests.
Service storedService(const Library& library, const std::string& id, ServiceStatus status,
                      std::vector<std::string> sources = {});

} // namespace tallymere::apptest
