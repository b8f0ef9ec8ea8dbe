#pragma once

#include <string>

namespace tallymere {

// A text cell of an exported CSV (a register, the attendance report): an apostrophe before text
// a spreadsheet would run as a formula (starting with "=", "+", "-", "@", a tab or a carriage
// return), quotes (inner ones doubled) around text that could carry a separator, a quote or a
// line break, or always when `quoted`.
std::string csvCell(const std::string& value, bool quoted);

} // namespace tallymere
