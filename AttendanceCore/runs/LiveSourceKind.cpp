#include "runs/LiveSourceKind.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace tallymere {

LiveSourceKind LiveSourceKind::camera(std::string id, std::string name) {
    LiveSourceKind source;
    source.kind = Kind::camera;
    source.id = std::move(id);
    source.name = std::move(name);
    return source;
}

LiveSourceKind LiveSourceKind::stream(std::string url) {
    LiveSourceKind source;
    source.kind = Kind::stream;
    source.url = std::move(url);
    return source;
}

UrlParts splitUrl(const std::string& url) {
    UrlParts parts;
    std::string rest = url;
    // Scheme: letters, digits, "+", "-", "." before the first ":", starting with a letter.
    const auto colon = url.find(':');
    if (colon != std::string::npos && colon > 0 &&
        std::isalpha(static_cast<unsigned char>(url[0])) &&
        std::all_of(url.begin(), url.begin() + static_cast<std::ptrdiff_t>(colon), [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        })) {
        parts.scheme = url.substr(0, colon);
        std::transform(parts.scheme.begin(), parts.scheme.end(), parts.scheme.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        rest = url.substr(colon + 1);
    }
    // Query and fragment are not part of the path.
    rest = rest.substr(0, rest.find_first_of("?#"));
    if (rest.starts_with("//")) {
        const auto end = rest.find('/', 2);
        std::string authority =
            rest.substr(2, end == std::string::npos ? std::string::npos : end - 2);
        parts.path = end == std::string::npos ? std::string() : rest.substr(end);
        if (const auto at = authority.rfind('@'); at != std::string::npos)
            authority.erase(0, at + 1);
        if (authority.starts_with("[")) {
            const auto close = authority.find(']');
            parts.host =
                authority.substr(1, close == std::string::npos ? std::string::npos : close - 1);
        } else {
            parts.host = authority.substr(0, authority.find(':'));
        }
    } else {
        parts.path = rest;
    }
    return parts;
}

std::string percentDecoded(const std::string& text) {
    auto hex = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) >= 0 &&
            hex(text[i + 2]) >= 0) {
            out += static_cast<char>(hex(text[i + 1]) * 16 + hex(text[i + 2]));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string LiveSourceKind::title() const {
    if (kind == Kind::camera) return name;
    const UrlParts parts = splitUrl(url);
    if (!parts.host.empty()) return parts.host;
    // The last non-empty component of the path, decoded; a bare "/" stays as it is.
    std::string path = parts.path;
    while (path.size() > 1 && path.ends_with('/'))
        path.pop_back();
    const auto slash = path.rfind('/');
    std::string last = slash == std::string::npos || path == "/" ? path : path.substr(slash + 1);
    return percentDecoded(last);
}

bool isStreamAddress(const std::string& text, StreamAddressRule rule) {
    const UrlParts parts = splitUrl(text);
    if (parts.scheme.empty()) return false;
    if (rule == StreamAddressRule::commandLine)
        return text.find("://") != std::string::npos || parts.scheme == "file";
    if (text.starts_with("file://")) return true;
    const bool plain = std::none_of(text.begin(), text.end(),
                                    [](unsigned char c) { return c <= ' ' || c == 0x7f; });
    return plain && parts.scheme.starts_with("http") && text.find("://") != std::string::npos &&
           !parts.host.empty();
}

} // namespace tallymere
