#include "runs/ProcessError.h"

#include <utility>

namespace tallymere {

ProcessError::ProcessError(Kind kind, std::string detail, const std::string& description)
    : std::runtime_error(description), kind_(kind), detail_(std::move(detail)) {}

ProcessError ProcessError::unreadable(const std::string& text, const std::string& file) {
    const std::string recording = file.empty() ? "the recording" : "the recording " + file;
    return ProcessError(Kind::unreadable, text, "Couldn't read " + recording + ": " + text);
}

ProcessError ProcessError::unreadablePhotos(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names)
        list += (list.empty() ? "" : ", ") + name;
    return ProcessError(Kind::unreadable, list, "Couldn't read any of the photos: " + list);
}

ProcessError ProcessError::noVideoTrack() {
    return ProcessError(Kind::noVideoTrack, {}, "This file has no video in it.");
}

ProcessError ProcessError::noMembers() {
    return ProcessError(
        Kind::noMembers, {},
        "No members are recognisable yet. Add members with at least one good photo first.");
}

ProcessError ProcessError::cancelled() {
    return ProcessError(Kind::cancelled, {}, "Cancelled");
}

} // namespace tallymere
