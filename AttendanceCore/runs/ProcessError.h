#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace tallymere {

// Why a processing run (a recording or a live session) could not produce a register. The
// description is the text stored as the service's message.
class ProcessError : public std::runtime_error {
public:
    enum class Kind { unreadable, noVideoTrack, noMembers, cancelled };

    // "Couldn't read the recording <file>: " followed by `text` (the decoder's own words); without
    // a file name, "Couldn't read the recording: ".
    static ProcessError unreadable(const std::string& text, const std::string& file = {});
    // "Couldn't read any of the photos: " and the files' names; the names are the detail.
    static ProcessError unreadablePhotos(const std::vector<std::string>& names);
    static ProcessError noVideoTrack();
    static ProcessError noMembers();
    static ProcessError cancelled();

    Kind kind() const noexcept { return kind_; }
    // The carried text of `unreadable`; empty for the other kinds.
    const std::string& detail() const noexcept { return detail_; }

private:
    ProcessError(Kind kind, std::string detail, const std::string& description);

    Kind kind_;
    std::string detail_;
};

} // namespace tallymere
