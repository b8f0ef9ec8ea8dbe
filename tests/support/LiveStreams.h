#pragma once

// The shared recording as live sources for tests: an HLS playlist with its segments, made once
// per build with the ffmpeg command, and the recording's file URL.

#include "support/ModelCache.h"
#include "support/TestSupport.h"

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

namespace tallymere::testing {

inline std::filesystem::path sharedRecording() {
    return sharedFaces() / "video" / "stage_clip.mp4";
}

// A folder holding "index.m3u8" (a finished, video-on-demand playlist) and its one-second
// segments of the shared recording's picture; empty when ffmpeg fails.
inline std::filesystem::path hlsOfSharedRecording() {
    namespace fs = std::filesystem;
    const fs::path video = sharedRecording();
    // Every decoded frame as it is in the recording (no frames added for a constant rate).
    const std::string options = "-map 0:v:0 -an -c:v libx264 -preset ultrafast -g 30 "
                                "-keyint_min 30 -fps_mode passthrough -f hls -hls_time 1 "
                                "-hls_playlist_type vod";
    const std::string name = "hls-stage-clip-" + std::to_string(std::hash<std::string>()(options));
    return cachedFolder(name, {video}, [&](const fs::path& out) {
        std::string log;
        const int rc =
            runCommand("ffmpeg -nostdin -hide_banner -v error -y -i " + quoted(video) + " " +
                           options + " -hls_segment_filename " + quoted(out / "segment%03d.ts") +
                           " " + quoted(out / "index.m3u8"),
                       &log);
        if (rc != 0) ADD_FAILURE() << "ffmpeg could not make the HLS stream:\n" << log;
        return rc == 0;
    });
}

// "file://" and the shared recording's absolute path (it has no characters to escape).
inline std::string sharedRecordingUrl() {
    return "file://" + std::filesystem::absolute(sharedRecording()).string();
}

} // namespace tallymere::testing
