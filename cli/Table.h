#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tallymere::cli {

// A plain text table: a heading row and rows of cells, columns two spaces apart and padded to
// the widest cell as a terminal shows it (UTF-8, wide and combining characters counted).
class Table {
public:
    struct Column {
        std::string heading;
        bool rightAligned = false;
    };

    explicit Table(std::vector<Column> columns);

    // Missing cells are empty; extra cells are an error of the caller and are dropped. Control
    // characters in cells are shown escaped (printable).
    void add(std::vector<std::string> cells);
    bool empty() const { return rows.empty(); }

    // Each line starts with `indent`; no line ends in spaces.
    void print(std::ostream& out, std::string_view indent = "") const;

private:
    std::vector<Column> columns;
    std::vector<std::vector<std::string>> rows;
};

// Columns a terminal uses for a UTF-8 text: East Asian wide and full-width characters take two,
// combining marks and controls none, everything else one.
std::size_t displayWidth(std::string_view text);

} // namespace tallymere::cli
