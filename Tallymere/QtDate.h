#pragma once

#include "library/Date.h"

#include <QDateTime>

namespace tallymere {

// The library's dates as the screens take them: milliseconds since the epoch, in UTC.
qint64 msecsSinceEpoch(Date date);
QDateTime toQDateTime(Date date);

} // namespace tallymere
