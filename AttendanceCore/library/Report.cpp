#include "library/Report.h"

#include "library/Csv.h"
#include "library/Register.h"

#include <cmath>
#include <map>
#include <unordered_map>

namespace tallymere {

bool ReportRange::covers(const Service& service) const {
    if (!filter.counts(service)) return false;
    if (fromDay.empty() && toDay.empty()) return true;
    // Days in the one "YYYY-MM-DD" form compare as text.
    const std::string day = localDay(service.date);
    return (fromDay.empty() || day >= fromDay) && (toDay.empty() || day <= toDay);
}

std::string attendanceReport(const std::vector<Service>& services,
                             const std::vector<Member>& members, const ReportRange& range) {
    std::vector<const Service*> covered;
    for (const Service* service : countedRegisters(services, range.filter))
        if (range.covers(*service)) covered.push_back(service);

    // One row per member: enrolled members first, in list order; ids only registers still hold
    // after, by id. A cell is 'p', 'a' or 0 (not on that register).
    std::vector<std::string> ids;
    std::vector<std::string> names;
    std::unordered_map<std::string, std::size_t> rowOf;
    for (const Member& member : members)
        if (rowOf.emplace(member.id, ids.size()).second) {
            ids.push_back(member.id);
            names.push_back(member.name);
        }
    std::vector<std::vector<char>> cells(ids.size(), std::vector<char>(covered.size(), 0));
    std::map<std::string, std::vector<char>> deleted;
    for (std::size_t column = 0; column < covered.size(); ++column)
        for (const RegisterLine& line : correctedRegister(*covered[column], {}).lines) {
            const char mark = line.result.present ? 'p' : 'a';
            const auto found = rowOf.find(line.result.memberID);
            if (found != rowOf.end()) {
                cells[found->second][column] = mark;
                continue;
            }
            auto& row = deleted[line.result.memberID];
            row.resize(covered.size(), 0);
            row[column] = mark;
        }
    for (auto& [id, row] : deleted) {
        ids.push_back(id);
        names.push_back(id); // as the register's CSV names a deleted member
        cells.push_back(std::move(row));
    }

    std::string text = "member_id,name";
    for (const Service* service : covered) {
        std::string heading = localDay(service->date);
        if (!service->label.empty()) heading += " " + service->label;
        text += "," + csvCell(heading, false);
    }
    text += ",attended,registers,rate\n";
    for (std::size_t row = 0; row < ids.size(); ++row) {
        int attended = 0, registers = 0;
        text += csvCell(ids[row], false) + "," + csvCell(names[row], true);
        for (const char cell : cells[row]) {
            text += ',';
            if (cell == 0) continue;
            ++registers;
            if (cell == 'p') ++attended;
            text += cell == 'p' ? "present" : "absent";
        }
        text += "," + std::to_string(attended) + "," + std::to_string(registers) + ",";
        if (registers > 0) text += std::to_string(std::lround(100.0 * attended / registers)) + "%";
        text += "\n";
    }
    return text;
}

} // namespace tallymere
