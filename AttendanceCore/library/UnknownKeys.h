#pragma once

#include <map>
#include <string>

namespace tallymere {

// The keys of a stored record that this version does not know, each with its value as JSON text.
// Kept with the record and written back when it is saved, so that a field a newer version added
// survives being saved by an older one.
using UnknownKeys = std::map<std::string, std::string>;

} // namespace tallymere
