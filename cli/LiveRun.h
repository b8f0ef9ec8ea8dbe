#pragma once

#include "runs/LiveSourceKind.h"

#include <filesystem>
#include <optional>
#include <string>

namespace tallymere::cli {

// What `live` was asked to do.
struct LiveRequest {
    std::string source;              // a camera (listed id or device path) or a URL
    std::string label = "Live";      // trimmed
    std::optional<double> stopAfter; // seconds of capture, then stop and save
};

// The live source a command-line SOURCE names: a URL (scheme "://", or "file:") is a stream; a
// listed camera's id or device path is that camera; another existing file is played as a file
// URL and another existing device is tried as a camera. Throws CommandError otherwise.
LiveSourceKind resolveLiveSource(const std::string& source);

// "file://" and the absolute path, percent-encoded where a URL needs it.
std::string fileUrl(const std::filesystem::path& path);

// Takes attendance live until Ctrl-C (or SIGTERM) or the time limit, then saves the session as a
// finished service, as the live page's "Stop & save" does; a second Ctrl-C discards it. Members
// are printed to standard output when first recognised, a status line goes to standard error.
// Holds the library as `process` does. Returns 0 saved, 1 failed, 130 discarded.
int liveService(const std::filesystem::path& root, const LiveRequest& request);

// Lists the cameras; returns the exit status.
int listCameras();

} // namespace tallymere::cli
