#include "library/Csv.h"

#include <string_view>

namespace tallymere {

std::string csvCell(const std::string& value, bool quoted) {
    std::string cell = value;
    if (!cell.empty() && std::string_view("=+-@\t\r").find(cell.front()) != std::string_view::npos)
        cell.insert(0, 1, '\'');
    if (!quoted && cell.find_first_of(",;\"\n\r\t") == std::string::npos) return cell;
    std::string out = "\"";
    for (const char c : cell) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    return out;
}

} // namespace tallymere
