#pragma once

#include "Access.h"
#include "library/ProcessSettings.h"

#include <filesystem>
#include <string>
#include <vector>

namespace tallymere::cli {

// What `process` was asked to do.
struct RunRequest {
    std::vector<std::filesystem::path> files; // as given on the command line
    ProcessSettings::Mode mode = ProcessSettings::Mode::standard;
    std::string label; // trimmed; empty: the first file's name without its extension
};

// Checks the files as the new-service sheet would accept them: each exists and is a recording or
// a photo, and several files are all photos (a recording is read alone). Throws CommandError or
// UsageError. Returns the service's label.
std::string checkRunRequest(const RunRequest& request);

// Takes attendance as the application's queue does for one new service: waits for any other run
// in the library to end, repairs interrupted services, creates the service (queued), runs it and
// stores each status change. Progress goes to standard error, the register's summary to standard
// output. Ctrl-C (or SIGTERM) cancels between frames. Returns the exit status: 0 done,
// 1 failed, 130 cancelled.
// The finished service's line, its present members and where to see the whole register.
void printSummary(const Service& service, const std::vector<Member>& members);

int processService(const std::filesystem::path& root, const RunRequest& request);

} // namespace tallymere::cli
