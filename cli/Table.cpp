#include "Table.h"

#include "Format.h"

#include <algorithm>
#include <unicode/uchar.h>
#include <unicode/utf8.h>

namespace tallymere::cli {

Table::Table(std::vector<Column> columns) : columns(std::move(columns)) {}

void Table::add(std::vector<std::string> cells) {
    cells.resize(columns.size());
    for (std::string& cell : cells)
        cell = printable(cell);
    rows.push_back(std::move(cells));
}

void Table::print(std::ostream& out, std::string_view indent) const {
    std::vector<std::size_t> widths(columns.size(), 0);
    for (std::size_t c = 0; c < columns.size(); ++c) {
        widths[c] = displayWidth(columns[c].heading);
        for (const auto& row : rows)
            widths[c] = std::max(widths[c], displayWidth(row[c]));
    }
    auto printRow = [&](const std::vector<std::string>& cells) {
        std::string line(indent);
        for (std::size_t c = 0; c < cells.size(); ++c) {
            const std::string padding(widths[c] - displayWidth(cells[c]), ' ');
            if (c > 0) line += "  ";
            if (columns[c].rightAligned)
                line += padding + cells[c];
            else
                line += cells[c] + padding;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << '\n';
    };
    std::vector<std::string> headings;
    for (const Column& column : columns)
        headings.push_back(column.heading);
    printRow(headings);
    for (const auto& row : rows)
        printRow(row);
}

std::size_t displayWidth(std::string_view text) {
    std::size_t width = 0;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const int32_t length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        if (c < 0) { // a byte that is not UTF-8 shows as one replacement character
            ++width;
            continue;
        }
        const auto category = u_charType(c);
        if (category == U_NON_SPACING_MARK || category == U_ENCLOSING_MARK ||
            category == U_CONTROL_CHAR || category == U_FORMAT_CHAR)
            continue;
        const auto eastAsian = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
        width += (eastAsian == U_EA_WIDE || eastAsian == U_EA_FULLWIDTH) ? 2 : 1;
    }
    return width;
}

} // namespace tallymere::cli
