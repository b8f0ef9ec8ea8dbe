#include "QtDate.h"

#include <chrono>

namespace tallymere {

qint64 msecsSinceEpoch(Date date) {
    using namespace std::chrono;
    return duration_cast<milliseconds>(date.time_since_epoch()).count();
}

QDateTime toQDateTime(Date date) {
    return QDateTime::fromMSecsSinceEpoch(msecsSinceEpoch(date), Qt::UTC);
}

} // namespace tallymere
