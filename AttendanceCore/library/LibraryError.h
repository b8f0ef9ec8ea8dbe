#pragma once

#include <stdexcept>
#include <string>

namespace tallymere {

// The one error of the member and service library: a record that cannot be encoded or decoded, an
// identifier that cannot name a file, a save that could not be written. The text is shown as is.
class LibraryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace tallymere
