#pragma once

#include "library/History.h"
#include "library/Member.h"
#include "library/Service.h"

#include <string>
#include <vector>

namespace tallymere {

// Which registers a report covers: from and to local days ("YYYY-MM-DD", both included; empty
// for no bound) and the label filter.
struct ReportRange {
    std::string fromDay;
    std::string toDay;
    RegisterFilter filter;

    bool covers(const Service& service) const;
};

// The attendance report as CSV text (LF line ends): a heading row, then one row per member (the
// enrolled ones in list order, then the ids of members deleted since, by id): id, name, one
// column per covered register in date order headed by its local day and label holding
// "present", "absent" or nothing when the member is not on that register, then how many they
// attended, how many registers they are on and the rate as a whole percentage ("75%"; empty
// without registers). Cells are neutralised as the register's CSV's are (csvCell).
std::string attendanceReport(const std::vector<Service>& services,
                             const std::vector<Member>& members, const ReportRange& range = {});

} // namespace tallymere
