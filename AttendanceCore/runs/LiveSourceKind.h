#pragma once

#include <cstddef>
#include <functional>
#include <string>

namespace tallymere {

// Where a live session takes its frames from: a camera (its stable identifier and display name)
// or a stream (the URL of an HLS playlist or of a directly playable video, RTSP included).
struct LiveSourceKind {
    enum class Kind { camera, stream };

    Kind kind = Kind::stream;
    std::string id;   // camera only
    std::string name; // camera only
    std::string url;  // stream only

    static LiveSourceKind camera(std::string id, std::string name);
    static LiveSourceKind stream(std::string url);

    bool isCamera() const { return kind == Kind::camera; }

    // The name stored as the finished service's live source: the camera's name; for a stream the
    // URL's host as written (percent-encoded), or without a host the last path component.
    std::string title() const;

    bool operator==(const LiveSourceKind&) const = default;
};

// The parts of a URL a live source needs. A URL without "//" after its scheme has no host.
struct UrlParts {
    std::string scheme; // lower case
    std::string host;   // as written, without brackets or port; empty when there is none
    std::string path;   // as written, percent-encoded
};
UrlParts splitUrl(const std::string& url);

// Which texts a front end takes as a stream address. The window's new-service sheet offers web
// streams a person types or pastes (a scheme beginning with "http", with a host) and "file://"
// URLs; the tool, which also reaches RTSP cameras, takes any URL with "://" and "file:" URLs.
enum class StreamAddressRule { window, commandLine };
bool isStreamAddress(const std::string& text, StreamAddressRule rule);

// %XX sequences replaced by their bytes; a malformed sequence is kept as it stands.
std::string percentDecoded(const std::string& text);

} // namespace tallymere

template <>
struct std::hash<tallymere::LiveSourceKind> {
    std::size_t operator()(const tallymere::LiveSourceKind& source) const noexcept {
        const std::hash<std::string> h;
        return h(source.id) ^ (h(source.name) << 1) ^ (h(source.url) << 2) ^
               static_cast<std::size_t>(source.kind);
    }
};
