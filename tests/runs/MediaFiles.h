#pragma once

#include "support/TestSupport.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace tallymere::testing {

// Makes a test recording with the ffmpeg command; `args` are everything after the global options.
// Returns false (and fails the test) when ffmpeg does not succeed.
inline bool ffmpeg(const std::string& args) {
    const std::string command = "ffmpeg -nostdin -hide_banner -v error -y " + args;
    if (std::system(command.c_str()) == 0) return true;
    ADD_FAILURE() << "could not make a test recording: " << command;
    return false;
}

inline std::vector<char> readBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::vector<char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Sets the display transform (a, b, c, d) of the first track of an MP4 file in place, as a phone
// camera writes it: (0, 1, -1, 0) is a recording held upright, shown turned a quarter clockwise.
inline bool setTrackTransform(const std::filesystem::path& path, int a, int b, int c, int d) {
    auto bytes = readBytes(path);
    const std::string tag = "tkhd";
    auto at = std::search(bytes.begin(), bytes.end(), tag.begin(), tag.end());
    if (at == bytes.end()) return false;
    const std::size_t type = static_cast<std::size_t>(at - bytes.begin());
    const bool wide = bytes[type + 4] == 1; // version 1 has 64-bit times
    std::size_t matrix = type + 4 + (wide ? 36 : 24) + 16;
    auto put = [&](std::size_t index, int value) {
        const auto v = static_cast<std::uint32_t>(static_cast<std::int32_t>(value) * 65536);
        for (int k = 0; k < 4; ++k)
            bytes[matrix + index * 4 + k] = static_cast<char>((v >> (24 - 8 * k)) & 0xff);
    };
    put(0, a);
    put(1, b);
    put(3, c);
    put(4, d);
    writeBytes(path, bytes);
    return true;
}

} // namespace tallymere::testing
