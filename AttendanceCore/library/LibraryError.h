#pragma once

#include <stdexcept>
#include <string>

namespace tallymere {

// The one error of the member and service library: a record that cannot be encoded or decoded, an
// identifier that cannot name a file, a save that could not be written, a member or service that
// is not there. The text is shown as is; the kind lets a front end add how to find the right one.
class LibraryError : public std::runtime_error {
public:
    enum class Kind {
        general,
        notALibrary,    // the library's path is not a folder
        damagedMembers, // the stored member list cannot be used (and is never saved over)
        unknownMember,
        unknownPhoto,
        unknownService,
        unreadableService, // its folder is there but its record cannot be used
        unknownVisitor,    // a visitor a service's register does not have
        noServices,        // "latest" named with no service yet
    };

    explicit LibraryError(const std::string& text, Kind kind = Kind::general)
        : std::runtime_error(text), kind_(kind) {}

    Kind kind() const { return kind_; }

private:
    Kind kind_;
};

} // namespace tallymere
